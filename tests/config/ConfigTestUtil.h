#pragma once
// Helpers for the system-scan and device-table tests: a private world with a
// copy of the default database, scenario files for the in-process virtual
// bus, a plain SQLite view of the device table, and a server on it whose
// console lines are captured and whose operator answers are scripted.
#include "ServerRig.h"
#include "SqlFile.h"
#include "TestHome.h"
#include "log/Logger.h"

#include "Prompt.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include "ui/ConsolePane.h"
#include <QtTest>
#include <memory>

namespace cfgtest {

// One module of a scenario: {"node": n, "type": t, "number": ..., "channels": [...]}.
inline QJsonObject module(int node, int type, const QString& number, QList<int> channels = {1},
                          QJsonObject extra = {})
{
  extra["node"] = node;
  extra["type"] = type;
  extra["number"] = number;
  extra["channels"] = QJsonArray::fromVariantList(QVariantList(channels.begin(), channels.end()));
  return extra;
}

// The test installation: interface at node 1, flow meter at 3 (reports an
// interface identification of 200), flow controller at 4 (100), a
// four-channel meter at 6 and a pressure meter at 8: 5 modules, 8 channels.
inline QJsonArray standardModules()
{
  return {module(1, 1, "IF0000001"), module(3, 3, "FM0000003", {1}, QJsonObject{{"ifiId", 200}}),
          module(4, 4, "FC0000004", {1}, QJsonObject{{"ifiId", 100}}), module(6, 10, "MM0000006", {1, 2, 3, 4}),
          module(8, 6, "PM0000008")};
}

// A fresh settings folder with the default database installed, and the
// virtual bus pointed at it.
class World {
public:
  QString error; // why the world could not be made; each test checks it first
  World()
  {
    const QString bin = qEnvironmentVariable("TESMIRA_BIN_DIR");
    if (!serverrig::installDatabase(bin, dbFile))
      error = "no default database in " + bin;
    qputenv("TESMIRA_SIM_DB", (bin + "/Tesmira.mdb").toLocal8Bit());
    setScenario(standardModules());
  }
  ~World()
  {
    sora32::CloseCommunication();
    qunsetenv("TESMIRA_SIM_SCENARIO");
  }

  void setScenario(const QJsonArray& modules, const QJsonObject& faults = {})
  {
    QJsonObject o{{"baud", 38400}, {"modules", modules}};
    if (!faults.isEmpty())
      o["faults"] = faults;
    QFile f(home.file("scenario.json"));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
      f.write(QJsonDocument(o).toJson());
    qputenv("TESMIRA_SIM_SCENARIO", home.file("scenario.json").toLocal8Bit());
  }

  // Opens the in-process bus on its own and lets the library read the
  // configuration up to node lna (no server involved).
  bool openBus(int lna = 10)
  {
    sora32::CloseCommunication();
    const int16_t r = sora32::OpenCommunication("SIM");
    return (r == 0 || r == 24) && sora32::ReadSystemConfig(uint8_t(lna)) == 0;
  }

  // Rows of NetDevPar in stored order through a connection of the test's own:
  // "node/proc/chan/type/name/number/memo/polling/modify".
  QStringList rows() const
  {
    QStringList out;
    sqlfile::use(dbFile, [&](QSqlQuery& q) {
      q.exec("SELECT Dev_Nodenr, Dev_Proc, Dev_Chan, Dev_ID, Dev_Name, Dev_Ver, Dev_Memo, Polling, Modify "
             "FROM NetDevPar ORDER BY rowid");
      while (q.next()) {
        QStringList f;
        for (int i = 0; i < 9; ++i)
          f << q.value(i).toString();
        out << f.join('/');
      }
    });
    return out;
  }

  // Replaces NetDevPar with the given rows (node, proc, chan, type, name, number, memo).
  void writeRows(const QList<QVariantList>& rows) const
  {
    sqlfile::use(dbFile, [&](QSqlQuery& q) {
      q.exec("DELETE FROM NetDevPar");
      for (const QVariantList& r : rows) {
        q.prepare("INSERT INTO NetDevPar (Dev_Nodenr, Dev_Proc, Dev_Chan, Dev_ID, Dev_Name, Dev_Ver, Dev_Memo, "
                  "Polling, Modify) VALUES (?, ?, ?, ?, ?, ?, ?, 1, 0)");
        for (const QVariant& v : r)
          q.addBindValue(v);
        q.exec();
      }
    });
  }

  TestHome home;
  QString dbFile = home.defaultDatabase();
};

// A server with its services and the parameter table loaded, every console
// line captured and the operator's answers scripted. Create it after the
// World it works on.
struct Rig {
  Rig() : server(std::make_unique<tesmira::Server>())
  {
    server->createGeneral(".");
    server->createServices();
    if (!server->db->InitDB().isEmpty() || !server->db->LoadParameterTable().isEmpty())
      qWarning("database not loaded");
    support::setPrompt(&prompt);
    server->log->setConsole(&console);
    server->log->EchoAll = true;
  }
  ~Rig()
  {
    server->log->setConsole(nullptr);
    support::setPrompt(nullptr);
  }
  QString log() const { return console.toPlainText(); }

  support::ScriptedPrompt prompt;
  tesmira::ConsolePane console;
  std::unique_ptr<tesmira::Server> server;
};

// Device-table rows as World::rows() shows them.
inline QStringList rowTexts(const QList<QVariantList>& rows, int polling = 1)
{
  QStringList out;
  for (const QVariantList& r : rows) {
    QStringList f;
    for (int i = 0; i < 7; ++i)
      f << r[i].toString();
    out << (f << QString::number(polling) << "0").join('/');
  }
  return out;
}

}
