#pragma once
// Helpers for the database tests: a private settings world per test and small
// SQLite files written through a connection of the test's own.
#include "Debug.h"
#include "Folder.h"
#include "Setting.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace dbtest {

// A fresh TESMIRA_HOME with the settings components created inside it.
struct World {
  QTemporaryDir dir;
  support::Folder folder;
  support::Setting setting;
  World()
  {
    qputenv("TESMIRA_HOME", dir.path().toLocal8Bit());
    folder.ClassInitialize(QCoreApplication::applicationDirPath(), QStringLiteral("Tesmira"));
    setting.ClassInitialize(&folder);
  }
  ~World() { qunsetenv("TESMIRA_HOME"); }
  QString path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }
  void nameDatabase(const QString& file)
  {
    setting.save(support::Setting::Scope::Program, QStringLiteral("Database Settings"),
                 QStringLiteral("Database"), file);
  }
};

// Executes statements on a new or existing SQLite file; fails the test on error.
inline bool exec(const QString& file, const QStringList& statements)
{
  bool ok = true;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("dbtest-writer"));
    db.setDatabaseName(file);
    if (!db.open())
      return false;
    for (const QString& s : statements) {
      QSqlQuery q(db);
      if (!q.exec(s)) {
        qWarning() << q.lastError().text() << s;
        ok = false;
        break;
      }
    }
    db.close();
  }
  QSqlDatabase::removeDatabase(QStringLiteral("dbtest-writer"));
  return ok;
}

inline const char* allParametersDdl()
{
  // No primary key: rows keep the order they were inserted in, so a test can
  // store them out of number order.
  return "CREATE TABLE AllParameters (Parameter INTEGER, Name TEXT, LongName TEXT, description TEXT,"
         " Process INTEGER, FBnr INTEGER, VarType TEXT, VarType2 TEXT, VarLength INTEGER, \"Default\" TEXT,"
         " Min REAL, Max REAL, Read INTEGER, Write INTEGER, Poll INTEGER, Advanced INTEGER, Secured INTEGER,"
         " \"Highly secured\" INTEGER, Group0 INTEGER, Group1 INTEGER, Group2 INTEGER, Available INTEGER,"
         " Filter TEXT)";
}

// A database with _Info (version given, or no row when version is null),
// AllParameters, ParValue and Commport, all empty but _Info and Commport.
inline bool makeBasic(const QString& file, const QString& version)
{
  QStringList s{QStringLiteral("CREATE TABLE _Info (Field TEXT, Text TEXT)"),
                QString::fromLatin1(allParametersDdl()),
                QStringLiteral("CREATE TABLE ParValue (Parameter INTEGER, Value INTEGER, Description TEXT, Filter TEXT)"),
                QStringLiteral("CREATE TABLE FlowDevices (ID TEXT, Dev_Type TEXT, Dev_Name TEXT, Dev_Channels INTEGER, "
                               "Dev_Functions INTEGER, IDENTSTRNG INTEGER)"),
                QStringLiteral("CREATE TABLE NetDevPar (Dev_ID INTEGER, Dev_Name TEXT, Dev_Ver TEXT, Dev_Nodenr INTEGER, "
                               "Dev_Proc INTEGER, Dev_Chan INTEGER, Dev_Memo TEXT)"),
                QStringLiteral("CREATE TABLE Commport (InterfaceName TEXT, Baud INTEGER, PollTime INTEGER)"),
                QStringLiteral("INSERT INTO Commport VALUES ('COM1', 38400, 100)"),
                QStringLiteral("INSERT INTO Commport VALUES ('COM9', 9600, 999)")};
  if (!version.isNull())
    s << QStringLiteral("INSERT INTO _Info VALUES ('DBVersion', '%1')").arg(version);
  return exec(file, s);
}

// A basic V3.63 database in the world, with more statements run on it, named
// by the settings as the server's database. Empty on failure.
inline QString makeNamed(World& w, const QString& name, const QStringList& more = {})
{
  const QString file = w.path(name);
  if (!makeBasic(file, QStringLiteral("V3.63")) || !exec(file, more))
    return {};
  w.nameDatabase(file);
  return file;
}

// Fingerprint of a file: its bytes' hash and its modification time.
inline QByteArray fingerprint(const QString& file)
{
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly))
    return {};
  return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256) +
         QFileInfo(file).lastModified().toString(Qt::ISODateWithMs).toLatin1();
}

}
