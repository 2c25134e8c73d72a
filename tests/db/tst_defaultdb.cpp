// The default database that the build produces (bin/Tesmira.mdb): installed
// on first start, accepted by InitDB, loaded into the parameter table, and
// consistent with how the rest of the server uses its parameters and device
// types.
#include "DbTestUtil.h"
#include "Paths.h"
#include "Prompt.h"
#include "db/Database.h"

#include <QSet>
#include <QSqlRecord>

using tesmira::Database;

class TestDefaultDb : public QObject {
  Q_OBJECT
  support::ScriptedPrompt m_prompt;
  std::unique_ptr<dbtest::World> m_world;
  std::unique_ptr<Database> m_db;

  const tesmira::ParameterDef& par(int n) const { return m_db->ParameterTable.at(size_t(n)); }

private slots:
  // First start: the default database is copied into the data folder, never
  // over an existing one, and never when the settings name another file.
  // The copy is then loaded for the checks on its contents below.
  void initTestCase()
  {
    support::setPrompt(&m_prompt);
    const QString source = support::Paths::programDir() + "/Tesmira.mdb";
    QVERIFY2(QFileInfo::exists(source), "the default database is built beside the program");
    {
      dbtest::World other;
      other.nameDatabase(other.path("named.mdb"));
      Database named(other.setting, other.folder, nullptr);
      QCOMPARE(named.InstallDefaultDatabase(), QString());
      QVERIFY(!QFileInfo::exists(named.DefaultDBPath()));
      QVERIFY(named.InitDB().contains("named.mdb' not found."));
    }
    m_world = std::make_unique<dbtest::World>();
    m_db = std::make_unique<Database>(m_world->setting, m_world->folder, nullptr);
    const QString target = m_db->DefaultDBPath();
    QCOMPARE(target, m_world->dir.path() + "/data/Tesmira32/Tesmira.mdb");
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(m_db->InstallDefaultDatabase(), "Installed the default database at '" + target + "'.");
    QCOMPARE(dbtest::fingerprint(target).left(32), dbtest::fingerprint(source).left(32));
    // Once there, it is never copied again (the user's edits are kept).
    QVERIFY(dbtest::exec(target, {"UPDATE _Info SET Text = 'V3.99' WHERE Field = 'DBVersion'"}));
    QCOMPARE(m_db->InstallDefaultDatabase(), QString());
    QCOMPARE(m_db->InitDB(), QString());
    QCOMPARE(m_db->DBVersion, QString("V3.99"));

    QCOMPARE(m_db->LoadParameterTable(), QString());
    QVERIFY(m_prompt.asked.isEmpty());
    QCOMPARE(m_db->MaxParNr, int16_t(510));
    QCOMPARE(m_db->ParameterTable.size(), size_t(512));
    const auto rows = std::count_if(m_db->ParameterTable.begin(), m_db->ParameterTable.end(),
                                    [](const auto& d) { return !d.Name.isEmpty(); });
    QVERIFY2(rows >= 150, qPrintable(QString::number(rows)));
    QCOMPARE(m_db->ParNrMeasure, int16_t(8));
    QCOMPARE(m_db->ParNrSetpoint, int16_t(9));
    QVERIFY(m_db->ParNrValveOut > 0 && m_db->ParNrAlarmInfo > 0);
    QCOMPARE(m_db->ParNrGlobModify, int16_t(81));
    QVERIFY(m_db->ParValueSet);
  }
  void cleanupTestCase()
  {
    m_db.reset();
    m_world.reset();
    support::setPrompt(nullptr);
  }

  void parametersOtherPartsRelyOn()
  {
    using namespace tesmira;
    struct Addr { int nr; int proc; int fb; uint8_t type; };
    for (const Addr& a : {Addr{1, 0, 0, VarString}, Addr{2, 0, 1, VarChar}, Addr{3, 0, 2, VarChar},
                          Addr{4, 0, 3, VarChar}, Addr{5, 0, 4, VarChar}, Addr{6, 0, 5, VarChar},
                          Addr{7, 0, 10, VarChar}, Addr{8, 255, 0, VarInteger}, Addr{9, 255, 1, VarInteger},
                          Addr{27, 255, 19, VarChar}, Addr{81, 0, 19, VarChar}, Addr{105, 113, 5, VarString}}) {
      QVERIFY2(par(a.nr).Process == a.proc && par(a.nr).FBnr == a.fb && par(a.nr).VarType[0] == a.type,
               qPrintable(QString::number(a.nr)));
    }
    QCOMPARE(par(1).Name, QString("IDENTSTRNG"));
    QCOMPARE(par(2).Name, QString("pna       "));
    QCOMPARE(par(1).VarLength, uint8_t(0));
    QVERIFY(par(6).Min == 0 && par(6).Max == 255);  // values above 127 carry a flag
    QVERIFY(par(7).VarType[1] == VarInteger);
    for (int n : {8, 11}) {
      QCOMPARE(par(n).Min, -23593.0);
      QCOMPARE(par(n).Max, 41942.0);
    }
    QCOMPARE(par(9).Max, 32000.0);
    QVERIFY(par(8).Poll && par(9).Poll && par(9).Write);
    QCOMPARE(par(m_db->ParNrValveOut).VarType[0], uint8_t(VarLong));
    QVERIFY(!par(175).Name.isEmpty() && par(175).Read);
    for (int n = 186; n <= 189; ++n)
      QCOMPARE(par(n).Process, uint8_t(123));
    for (int n : {33, 34, 61, 62, 84, 85, 87, 88, 89, 194, 195, 196, 208, 209, 210, 236})
      QVERIFY2(par(n).VarType[0] == VarString && par(n).VarLength > 0, qPrintable(QString::number(n)));
    int relative = 0, secondType = 0, high = 0, higher = 0;
    for (const auto& d : m_db->ParameterTable) {
      if (d.Name.isEmpty())
        continue;
      relative += (d.Process >= 33 && d.Process <= 112) ? 1 : 0;
      secondType += d.VarType[1] != VarNone ? 1 : 0;
      high += d.ParNr >= 238 ? 1 : 0;
      higher += d.ParNr >= 340 ? 1 : 0;
    }
    QVERIFY(relative >= 10 && secondType >= 2 && high >= 20 && higher >= 10);
  }

  void parametersAreConsistent()
  {
    QSet<QString> names;
    QSet<QPair<int, int>> addresses;
    for (const auto& d : m_db->ParameterTable) {
      if (d.Name.isEmpty())
        continue;
      const QString what = QString::number(d.ParNr) + " " + d.Name;
      QVERIFY2(!names.contains(d.Name.trimmed().toLower()), qPrintable(what));
      names.insert(d.Name.trimmed().toLower());
      if (d.ParNr == 0)
        continue;
      QVERIFY2(!addresses.contains({d.Process, d.FBnr}), qPrintable(what));
      addresses.insert({d.Process, d.FBnr});
      QVERIFY2(!d.Poll || d.Read, qPrintable(what));
      QVERIFY2(d.VarType[0] != tesmira::VarNone, qPrintable(what));
      QVERIFY2(d.Process != 121 && d.Process != 122, qPrintable(what));  // reached through 113 and 118
      // Writes of numbers are checked against Min..Max: every writable number needs a range.
      if (d.Write && d.VarType[0] != tesmira::VarString)
        QVERIFY2(d.Min < d.Max, qPrintable(what));
      QVERIFY2(d.Group[0] > 0, qPrintable(what));
    }
  }

  // A multi-channel module's channels sit at processes 1..n. Every
  // parameter such a type offers either stands for the whole module (process
  // 0, 113..127) or reaches a different bus process for each channel, and a
  // reply from that process is matched back to the channel that asked.
  void processDataIsAddressedPerChannel()
  {
    // Bus process for a channel at process c (empty = 255 in memory).
    auto busProcess = [](int proc, int c) {
      if (proc == 255)
        return c;
      return proc >= 33 && proc <= 112 ? proc + c - 1 : proc;
    };
    // Channel process a reply from bus process p belongs to; 0 = whole module.
    auto replyProcess = [](int p) {
      if (p >= 1 && p <= 32)
        return p;
      if (p >= 33 && p <= 64)
        return p - 32;
      if (p >= 65 && p <= 96)
        return p - 64;
      if (p >= 97 && p <= 103)
        return p - 96;
      return 0;
    };
    QSqlQuery q(m_db->TheDatabase);
    QVERIFY(q.exec("SELECT CAST(ID AS INTEGER), Dev_Channels, Dev_Functions FROM FlowDevices"));
    int multi = 0;
    while (q.next()) {
      const int id = q.value(0).toInt(), channels = q.value(1).toInt(), functions = q.value(2).toInt();
      if (channels < 2 || functions != 2)  // analog multi-channel instruments
        continue;
      ++multi;
      QList<int16_t> offered;
      m_db->AvailableParams(m_db->DBPath, id, offered);
      for (int16_t n : offered) {
        const auto& d = par(n);
        const QString what = QString("type %1 P%2 %3").arg(id).arg(n).arg(d.Name.trimmed());
        const bool moduleWide = d.Process == 0 || (d.Process >= 113 && d.Process <= 127);
        if (moduleWide)
          continue;
        QVERIFY2(d.Process == 255 || (d.Process >= 33 && d.Process <= 112), qPrintable(what));
        for (int c = 1; c <= channels; ++c)
          QVERIFY2(replyProcess(busProcess(d.Process, c)) == c, qPrintable(what + " channel " + QString::number(c)));
      }
    }
    QVERIFY(multi >= 2);
    // No parameter is tied to the first channel: literal processes 1..32
    // would send every channel's request there.
    for (const auto& d : m_db->ParameterTable)
      QVERIFY2(d.Name.isEmpty() || d.Process == 0 || d.Process > 32, qPrintable(d.Name));
  }

  void valueTexts()
  {
    QSqlQuery q(m_db->TheDatabase);
    QVERIFY(q.exec("SELECT * FROM qryParValue"));
    const QSqlRecord r = q.record();
    QCOMPARE(r.count(), 6);
    const QStringList expected{"Nr", "Name", "Filter", "Value", "Description", "parameter"};
    for (int i = 0; i < 6; ++i)
      QCOMPARE(r.fieldName(i), expected[i]);
    int rows = 0;
    while (q.next()) {
      ++rows;
      const int n = q.value("parameter").toInt();
      QCOMPARE(q.value("Nr").toInt(), n);
      QVERIFY2(!par(n).Name.isEmpty(), qPrintable(QString::number(n)));  // value texts of real parameters only
    }
    QVERIFY(rows >= 50);
    QCOMPARE(m_db->ValueDescription(7, "73").isEmpty(), false);
    QCOMPARE(m_db->ValueDescription(7, "82").isEmpty(), false);
    QVERIFY(!m_db->ValueDescription(6, "72").isEmpty());
    QVERIFY(q.exec("SELECT COUNT(*) FROM ParValue WHERE Filter IS NOT NULL AND Filter <> ''"));
    QVERIFY(q.next() && q.value(0).toInt() > 0);
    // Every device type has its text for the identification number.
    QVERIFY(q.exec("SELECT COUNT(*) FROM FlowDevices"));
    QVERIFY(q.next());
    const int types = q.value(0).toInt();
    for (int id = 1; id <= types; ++id)
      QVERIFY2(!m_db->ValueDescription(175, QString::number(id)).isEmpty(), qPrintable(QString::number(id)));
  }

  // FlowDevices has one yes/no column per parameter number from IDENTSTRNG
  // on, named as the parameter (or _Pnnn for a gap, never set), and one row
  // per device type numbered 01, 02, ... (The offer read by name and by
  // position is compared for every type in tests/config.)
  void deviceTypeColumns()
  {
    QSqlQuery q(m_db->TheDatabase);
    QVERIFY(q.exec("SELECT * FROM FlowDevices"));
    const QSqlRecord rec = q.record();
    const int first = rec.indexOf("IDENTSTRNG");
    QCOMPARE(first, 5);
    QCOMPARE(rec.count() - first, int(m_db->MaxParNr));
    for (int p = 1; p <= m_db->MaxParNr; ++p)
      QCOMPARE(rec.fieldName(first + p - 1),
               par(p).Name.isEmpty() ? QString("_P%1").arg(p, 3, 10, QChar('0')) : par(p).Name.trimmed());
    int expectedId = 1;
    while (q.next()) {
      const QString id = QString("%1").arg(expectedId++, 2, 10, QChar('0'));
      QCOMPARE(q.value("ID").toString(), id);
      QVERIFY(q.value("Dev_Channels").toInt() >= 1);
      QVERIFY(!q.value("DEV_TYPE").toString().isEmpty() && q.value("DEV_TYPE").toString().size() <= 7);
      QVERIFY2(q.value("IDENTSTRNG").toInt() && q.value(par(2).Name.trimmed()).toInt(), qPrintable(id));
      for (int p = 1; p <= m_db->MaxParNr; ++p)
        if (par(p).Name.isEmpty())
          QCOMPARE(q.value(first + p - 1).toInt(), 0);
    }
    QVERIFY(expectedId - 1 >= 24);
  }

  void deviceTypesFitTheirRoles()
  {
    auto offers = [this](int id) {
      QList<int16_t> l;
      m_db->AvailableParams(m_db->DBPath, id, l);
      return QSet<int16_t>(l.begin(), l.end());
    };
    for (int id : {1, 2}) {
      const auto s = offers(id);
      for (int p = 186; p <= 189; ++p)
        QVERIFY(s.contains(int16_t(p)));
    }
    QVERIFY(std::any_of(offers(1).begin(), offers(1).end(), [](int16_t p) { return p >= 238; }));
    for (int id : {16, 17, 18})
      QVERIFY(offers(id).contains(105));
    QVERIFY(!offers(3).contains(105));
    for (int id : {4, 7, 9, 15, 17, 22, 23}) {
      const auto s = offers(id);
      QVERIFY2(s.contains(m_db->ParNrMeasure) && s.contains(m_db->ParNrSetpoint) && s.contains(m_db->ParNrValveOut),
               qPrintable(QString::number(id)));
    }
    QVERIFY(offers(3).contains(m_db->ParNrMeasure) && !offers(3).contains(m_db->ParNrSetpoint));
    QVERIFY(offers(24).contains(340));
    QVERIFY(offers(4).contains(81) && offers(4).contains(27));
    QVERIFY(!offers(16).contains(81));
  }

  void deviceAndMirrorTables()
  {
    QSqlQuery q(m_db->TheDatabase);
    QVERIFY(q.exec("SELECT COUNT(*) FROM NetDevPar"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 0);
    const QSqlRecord net = m_db->TheDatabase.record("NetDevPar");
    for (const char* c : {"Dev_ID", "Dev_Name", "Dev_Ver", "Dev_Nodenr", "Dev_Proc", "Dev_Chan", "Dev_Memo",
                          "Polling", "Modify"})
      QVERIFY2(net.indexOf(c) >= 0, c);
    QVERIFY(q.exec("SELECT COUNT(*) FROM Commport"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 1);
    QList<QPair<QString, QVariant>> all;
    for (const char* c : {"PollTime", "RTPInterval", "PollBatch", "SystemLNA", "Retrynr", "ParScan",
                          "TrimTrailingSpaces", "TrimCRLF", "PopUpErr", "PopUpPollWatchdog", "SuppressCompatErrors",
                          "IndirPollDisable", "InterfaceName", "Baud", "Shake", "ParChain", "ProcChain"})
      all.append({QString::fromLatin1(c), 1});
    QCOMPARE(m_db->WriteCommport(all), QString());
  }
};

QTEST_MAIN(TestDefaultDb)
#include "tst_defaultdb.moc"
