#include "TestHome.h"

#include "core/Server.h"
#include "core/Settings.h"
#include "core/clsGeneral.h"
#include "db/Database.h"

#include "Setting.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

using namespace tesmira;

namespace {
void writeIni(const QString& path, const QString& text)
{
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
  f.write(text.toUtf8());
}
// A server on the current settings folder with the port settings loaded.
std::unique_ptr<Server> loaded(const std::function<void(Server&)>& before = {})
{
  auto s = std::make_unique<Server>();
  s->createGeneral(".");
  if (before)
    before(*s);
  LoadPortSettings(*s);
  return s;
}
}

class TestSettings : public QObject {
  Q_OBJECT
private slots:
  void versions()
  {
    QCOMPARE(clsGeneral::makeVersion(4, 86, ""), QString("V4.86"));
    QCOMPARE(clsGeneral::makeVersion(1, 5, "b"), QString("V1.05b"));
    QCOMPARE(clsGeneral::makeVersion(2, 0, "beta"), QString("V2.00 beta"));
    QCOMPARE(clsGeneral::makeFullVersion(4, 86, 12, ""), QString("4.86.0.12"));
    QCOMPARE(clsGeneral::makeFullVersion(1, 5, 0, "rc1"), QString("1.5.0.0 rc1"));
    TestHome home;
    clsGeneral g(".", "Tesmira", 4, 86, 3, "");
    QCOMPARE(g.sError(), QString());
    QVERIFY(g.oSetting() && g.oDebug() && g.oFolder());
  }

  void freshDefaults()
  {
    TestHome home;
    const auto server = loaded();
    const Server& s = *server;
    const Configuration& c = s.cfg;
    // A sample of plain defaults; those with behaviour attached are checked below.
    QVERIFY(c.ChainProcess && c.ChainParameter && !c.IndirectPolling && c.TrimCRLF);
    QVERIFY(!c.AutoIncreaseBaudrate); // gated by the absent program option
    QCOMPARE(int(c.SystemLNA), 3);
    QCOMPARE(c.PendingTimeout, 10);
    QCOMPARE(s.fields.value("PollTime"), QString("100"));
    QCOMPARE(s.fields.value("RTPInterval"), QString("25"));
    // Closed communication: the interface display.
    QCOMPARE(s.fields.value("lblCommPort"), QString("COM1  38400,n,8,1,-"));
    QCOMPARE(s.fields.value("lblInterfaceType"), QString("not active"));
    QCOMPARE(s.fields.value("Caption"), s.ProgramTitle);
    // Loading writes nothing back.
    QVERIFY(!QFile::exists(home.file("common.ini")) || QFile(home.file("common.ini")).size() == 0);
  }

  void correctionsAndCombinations()
  {
    TestHome home;
    writeIni(home.file("common.ini"),
             "[Communication]\nInterfaceName=\"   \"\nBaudrate=0\nArbitration=0\nAutoIncreaseBaudrate=True\n"
             "[settings]\npolltime=1500\nAllowRemoveUnavailableParameters=False\n"
             "RemoveUnavailableParameters=True\nAllowPollUnavailableParameters=True\nPollUnavailableParameters=True\n");
    const auto server = loaded([](Server& s) { s.options.OptAllowRemove = true; });
    Server& s = *server;
    QCOMPARE(s.cfg.InterfaceName, QString("COM1"));
    QCOMPARE(s.cfg.Baudrate, 38400);
    QCOMPARE(int(s.cfg.Arbitration), 67);
    QVERIFY(!s.cfg.AutoIncreaseBaudrate);
    QVERIFY(s.cfg.AllowRemoveUnavailableParameters); // forced by /R
    QVERIFY(s.cfg.RemoveUnavailableParameters);
    QVERIFY(s.cfg.PollUnavailableParameters);
    QCOMPARE(s.cfg.Polltime, 1500); // section and key found without regard to case
    QCOMPARE(s.cfg.PendingTimeout, 12); // follows the loaded poll time
    // The store keeps what was there.
    QCOMPARE(s.setting()->GetCommonSetting("Communication", "Baudrate", "x"), QString("0"));

    writeIni(home.file("program.ini"), "[Options]\nShowAutoIncreaseBaudrate=True\n");
    const auto t = loaded();
    QVERIFY(t->cfg.AutoIncreaseBaudrate);
    QVERIFY(!t->cfg.AllowRemoveUnavailableParameters);
    QVERIFY(!t->cfg.RemoveUnavailableParameters); // gated off without /R
  }

  void conversionErrors()
  {
    TestHome home;
    writeIni(home.file("common.ini"), "[Settings]\nPolltime=fast\nTrimCRLF=maybe\n[Communication]\nArbitration=300\n");
    const auto server = loaded();
    Server& s = *server;
    QCOMPARE(s.cfg.Polltime, 0); // first load: the variable stays 0
    QCOMPARE(s.cfg.PendingTimeout, 10);
    QVERIFY(!s.cfg.TrimCRLF);
    QCOMPARE(int(s.cfg.Arbitration), 67); // overflow -> 0 -> corrected
    QCOMPARE(s.cfg.PollBatch, 10);        // the keys after it still load
    // A later load keeps the previous value instead.
    s.cfg.Polltime = 250;
    LoadPortSettings(s);
    QCOMPARE(s.cfg.Polltime, 250);
    QFile log(home.path() + "/logs/debug.log");
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().contains("Settings/Polltime = 'fast'"));
  }

  // Halves round to the even neighbour: 10.5 -> 10, 11.5 -> 12, 17.5 and 18.5 -> 18.
  void pendingTimeoutRounding()
  {
    const int cases[][3] = {{500, 10, 10}, {1500, 10, 12}, {2500, 15, 18}, {3500, 15, 18}, {100, 10, 10}};
    for (const auto& c : cases)
      QCOMPARE(PendingTimeoutFor(c[0], c[1]), c[2]);
  }

  void setters()
  {
    TestHome home;
    QDir().mkpath(home.path() + "/data/Tesmira32");
    const QString db = home.defaultDatabase();
    QVERIFY(QFile::copy(qEnvironmentVariable("TESMIRA_BIN_DIR") + "/Tesmira.mdb", db));
    QFile::setPermissions(db, QFile::ReadOwner | QFile::WriteOwner);
    Server s;
    s.createGeneral(".");
    s.createServices();
    QCOMPARE(s.db->InitDB(), QString());
    LoadPortSettings(s);

    QString field = "0";
    QVERIFY(SetPollTime(s, field));
    QCOMPARE(field, QString("1"));
    QCOMPARE(s.cfg.Polltime, 1);
    QCOMPARE(s.cfg.PendingTimeout, 15);
    field = "200";
    QVERIFY(SetPollBatch(s, field));
    QCOMPARE(field, QString("120"));
    field = "fast";
    QVERIFY(!SetRealtimePollTime(s, field));
    QCOMPARE(s.cfg.RealtimePollTime, 25);
    field = "25"; // unchanged: nothing stored
    QVERIFY(!SetRealtimePollTime(s, field));
    QVERIFY(!s.setting()->contains(support::Setting::Scope::Common, "Settings", "RealtimePollTime"));
    field = "20000";
    QVERIFY(SetRealtimePollTime(s, field));
    QCOMPARE(s.cfg.RealtimePollTime, 10000);

    for (const auto& [key, value] : {std::pair{"PollTime", "1"}, {"PollBatch", "120"}, {"RealtimePollTime", "10000"}})
      QCOMPARE(s.setting()->GetCommonSetting("Settings", key, ""), QString(value));
    QCOMPARE(s.fields.value("PollBatch"), QString("120"));
    // No 32-bit number: the setting falls back to its default, in memory only.
    field = "1e20";
    QVERIFY(SetPollBatch(s, field));
    QCOMPARE(s.cfg.PollBatch, 10);
    QCOMPARE(s.fields.value("PollBatch"), QString("10"));
    QCOMPARE(s.setting()->GetCommonSetting("Settings", "PollBatch", ""), QString("120"));
    s.cfg.PollBatch = 120;

    s.cfg.SystemLNA = 9;
    StoreCurrentSystemLNA(s);
    QCOMPARE(s.setting()->GetCommonSetting("Communication", "SystemLNA", ""), QString("9"));

    s.db->CloseDB();
    {
      QSqlDatabase plain = QSqlDatabase::addDatabase("QSQLITE", "plain");
      plain.setDatabaseName(db);
      QVERIFY(plain.open());
      QSqlQuery q("SELECT PollTime, PollBatch, RTPInterval, SystemLNA FROM Commport", plain);
      QVERIFY(q.next());
      QCOMPARE(QList<int>({q.value(0).toInt(), q.value(1).toInt(), q.value(2).toInt(), q.value(3).toInt()}),
               QList<int>({1, 120, 10000, 9}));
    }
    QSqlDatabase::removeDatabase("plain");
  }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
