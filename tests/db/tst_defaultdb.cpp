// The default database that the build produces (bin/Tesmira.mdb): installed
// on first start, accepted by InitDB, and consistent with how the server's
// code uses its parameters and device types. Its contents are not restated
// value by value: only the rules and the parameters the code relies on.
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
    // The shipped file passes the server's own version check as it is.
    QCOMPARE(m_db->InitDB(), QString());
    // Once there, it is never copied again (the user's edits are kept).
    m_db.reset();
    m_db = std::make_unique<Database>(m_world->setting, m_world->folder, nullptr);
    QVERIFY(dbtest::exec(target, {"UPDATE _Info SET Text = 'V3.99' WHERE Field = 'DBVersion'"}));
    QCOMPARE(m_db->InstallDefaultDatabase(), QString());
    QCOMPARE(m_db->InitDB(), QString());
    QCOMPARE(m_db->DBVersion, QString("V3.99"));

    QCOMPARE(m_db->LoadParameterTable(), QString());
    QVERIFY(m_prompt.asked.isEmpty());
    QCOMPARE(m_db->ParNrMeasure, int16_t(8));
    QCOMPARE(m_db->ParNrSetpoint, int16_t(9));
    QVERIFY(m_db->ParNrValveOut > 0 && m_db->ParNrAlarmInfo > 0 && m_db->ParNrGlobModify > 0);
  }
  void cleanupTestCase()
  {
    m_db.reset();
    m_world.reset();
    support::setPrompt(nullptr);
  }

  // The parameters the server's code addresses by number.
  void parametersTheCodeReliesOn()
  {
    using namespace tesmira;
    QCOMPARE(par(1).Name, QString("IDENTSTRNG"));
    QVERIFY(par(1).VarType[0] == VarString && par(1).Read);
    for (int n : {8, 9})
      QVERIFY2(par(n).Process == 255 && par(n).VarType[0] == VarInteger && par(n).Poll && par(n).Min < par(n).Max,
               qPrintable(QString::number(n)));
    QVERIFY(par(9).Write);
    QCOMPARE(par(m_db->ParNrValveOut).VarType[0], uint8_t(VarLong));
    QVERIFY(par(175).Read && par(175).VarType[0] != VarString);  // compared with device type numbers
    // Real-time set-up (channel, parameter, options) is written, its value read.
    for (int n = 186; n <= 189; ++n)
      QVERIFY2(par(n).Process == 123 && (n == 189 ? par(n).Read : par(n).Write), qPrintable(QString::number(n)));
    // Strings the link layer passes through untrimmed, among them the module-wide 33 and 34.
    for (int n : {33, 34, 61, 62, 84, 85, 87, 88, 89, 194, 195, 196, 208, 209, 236})
      QVERIFY2(par(n).VarType[0] == VarString && par(n).VarLength > 0, qPrintable(QString::number(n)));
    // 33 and 34 are read once per module: they must not sit at a channel's process.
    for (int n : {33, 34})
      QVERIFY2(par(n).Process == 0 || (par(n).Process >= 113 && par(n).Process <= 127), qPrintable(QString::number(n)));
  }

  // Numbers and names unique and in range, bus addresses unique, and what
  // the engine needs of each row to poll and write it.
  void parametersAreConsistent()
  {
    QCOMPARE(m_db->ParameterTable.size(), size_t(m_db->MaxParNr) + 2);
    QSet<QString> names;
    QSet<QPair<int, int>> addresses;
    for (size_t i = 0; i < m_db->ParameterTable.size(); ++i) {
      const auto& d = m_db->ParameterTable[i];
      if (d.Name.isEmpty())
        continue;
      const QString what = QString::number(d.ParNr) + " " + d.Name;
      QVERIFY2(d.ParNr == int(i) && d.ParNr >= 0 && d.ParNr <= m_db->MaxParNr, qPrintable(what));
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
    QVERIFY(names.size() >= 150);
  }

  // FlowDevices has one yes/no column per parameter number from IDENTSTRNG
  // on, named as the parameter (or _Pnnn for a gap, never set); every type
  // offers only existing parameters and has its identification text.
  void deviceTypesOfferExistingParameters()
  {
    QSqlQuery q(m_db->TheDatabase);
    QVERIFY(q.exec("SELECT * FROM FlowDevices"));
    const int first = q.record().indexOf("IDENTSTRNG");
    QCOMPARE(q.record().count() - first, int(m_db->MaxParNr));
    for (int p = 1; p <= m_db->MaxParNr; ++p)
      QCOMPARE(q.record().fieldName(first + p - 1),
               par(p).Name.isEmpty() ? QString("_P%1").arg(p, 3, 10, QChar('0')) : par(p).Name.trimmed());
    int expectedId = 1;
    while (q.next()) {
      const QString id = QString("%1").arg(expectedId++, 2, 10, QChar('0'));
      QCOMPARE(q.value("ID").toString(), id);
      QVERIFY(q.value("Dev_Channels").toInt() >= 1);
      QVERIFY2(q.value("IDENTSTRNG").toInt(), qPrintable(id));
      for (int p = 1; p <= m_db->MaxParNr; ++p)
        QVERIFY2(!par(p).Name.isEmpty() || q.value(first + p - 1).toInt() == 0, qPrintable(id));
      QVERIFY2(!m_db->ValueDescription(175, QString::number(expectedId - 1)).isEmpty(), qPrintable(id));
    }
    QVERIFY(expectedId > 2);
    // Value texts belong to real parameters only.
    QVERIFY(q.exec("SELECT parameter FROM qryParValue"));
    while (q.next())
      QVERIFY2(!par(q.value(0).toInt()).Name.isEmpty(), qPrintable(q.value(0).toString()));
  }

  // A multi-channel module's channels sit at processes 1..n. Every
  // parameter such a type offers either stands for the whole module (process
  // 0, 113..127) or reaches a different bus process for each channel, and a
  // reply from that process is matched back to the channel that asked.
  void processDataIsAddressedPerChannel()
  {
    auto busProcess = [](int proc, int c) { return proc == 255 ? c : proc >= 33 && proc <= 112 ? proc + c - 1 : proc; };
    auto replyProcess = [](int p) {
      for (int base : {96, 64, 32, 0})
        if (p > base && p <= base + (base == 96 ? 7 : 32))
          return p - base;
      return 0;
    };
    QSqlQuery q(m_db->TheDatabase);
    QVERIFY(q.exec("SELECT CAST(ID AS INTEGER), Dev_Channels, Dev_Functions FROM FlowDevices"));
    int multi = 0;
    while (q.next()) {
      const int id = q.value(0).toInt(), channels = q.value(1).toInt();
      if (channels < 2 || q.value(2).toInt() != 2)  // analog multi-channel instruments
        continue;
      ++multi;
      QList<int16_t> offered;
      m_db->AvailableParams(m_db->DBPath, id, offered);
      for (int16_t n : offered) {
        const auto& d = par(n);
        const QString what = QString("type %1 P%2 %3").arg(id).arg(n).arg(d.Name.trimmed());
        if (d.Process == 0 || (d.Process >= 113 && d.Process <= 127))
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

  // The configuration tables the server writes hold every column it writes.
  void deviceAndMirrorTables()
  {
    const QSqlRecord net = m_db->TheDatabase.record("NetDevPar");
    for (const char* c : {"Dev_ID", "Dev_Name", "Dev_Ver", "Dev_Nodenr", "Dev_Proc", "Dev_Chan", "Dev_Memo",
                          "Polling", "Modify"})
      QVERIFY2(net.indexOf(c) >= 0, c);
    QSqlQuery q(m_db->TheDatabase);
    QVERIFY(q.exec("SELECT COUNT(*) FROM Commport") && q.next());
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
