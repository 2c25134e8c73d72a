// The system scan over the whole server stack: session, engine, topics and
// scheduler on the in-process virtual bus, with a real database file.
#include "ConfigTestUtil.h"
#include "bus/Communication.h"
#include "config/SystemScan.h"
#include "engine/BulkRead.h"
#include "dde/DdeServer.h"

#include "Setting.h"

#include <QtTest>

using namespace tesmira;

namespace {

// A rig whose server talks to the in-process bus at a fixed rate and does
// not poll the parameters when the scan is done.
struct Scan : cfgtest::Rig {
  Scan()
  {
    server->cfg.InterfaceName = QStringLiteral("SIM");
    server->cfg.AutoIncreaseBaudrate = false;
    server->cfg.PollParametersOnInit = false;
    ApplyPortSettings(*server);
  }
  bool open() { return StartCommunication(*server).isEmpty() && server->state.CommOpen; }
};

} // namespace

class tst_systemscan : public QObject {
  Q_OBJECT
private slots:
  void initTestCase()
  {
    // Silent nodes time out quickly on the in-process bus.
    qputenv("TESMIRA_SORA32_TIMEOUT_MS", "40");
  }

  // A fresh installation: the walk finds node 8, the library reads the
  // configuration, the empty device table is filled (the operator agrees),
  // topics C(0)..C(8) appear and polling starts. Before the communication
  // is open, a check does nothing.
  void fullScan()
  {
    cfgtest::World w;
    QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
    Scan scan;
    Server& s = *scan.server;
    QCOMPARE(CheckConfig(s), int16_t(0));
    QVERIFY(!scan.log().contains("Searching for highest"));
    QVERIFY(scan.open());
    scan.prompt.answers << support::Prompt::AnswerYes;
    QCOMPARE(CheckConfigAndStartPolling(s), QString());
    QCOMPARE(scan.prompt.asked.size(), 1);
    QCOMPARE(scan.prompt.asked[0].title, QString("Channel amount"));
    QVERIFY(s.dde->topic(8) && !s.dde->topic(9));
    // The highest node is stored for the next start.
    QStringList shown{s.setting()->GetCommonSetting("Communication", "SystemLNA", "")};
    for (const char* field : {"ComStatus", "MaxChan", "MaxNode", "lblInterfaceType"})
      shown << s.fields.value(field);
    QCOMPARE(shown, QStringList({"8", "Normal polling", "8", "8", "RS232 at node 1"}));
    const QStringList rows = w.rows();
    QCOMPARE(rows.size(), 8);
    const QString log = scan.log();
    for (const char* line :
         {"Searching for highest occupied node address at SORANET (Esc to stop)",
          "Highest occupied node address at SORANET = 8", "Scanning SORANET to determine system configuration...",
          "Reading SORANET system configuration OK", "Database updated, total channels = 8",
          "Modules currently connected to SORANET stored in database", "8 DDE topics (channels) active",
          "System poll interval = 100 ms", "System poll channel batch = 10",
          "System real-time poll interval = 25 ms", "Server is active and ready for any client"})
      QVERIFY2(log.contains(QLatin1String(line)), line);

    // A second scan of the same bus, with the highest node set by hand: no
    // walk, nothing asked, the table kept.
    scan.prompt.asked.clear();
    s.channels.ManualLNA = 12;
    const int walks = scan.log().count("Searching for highest occupied node address");
    QCOMPARE(CheckConfig(s), int16_t(0));
    QVERIFY(scan.log().contains("Highest node address is manually set to 12"));
    QCOMPARE(scan.log().count("Searching for highest occupied node address"), walks);
    QCOMPARE(s.channels.ScanLimit, uint8_t(14));
    QVERIFY(scan.prompt.asked.isEmpty());
    QCOMPARE(w.rows(), rows);
  }

  // The interface counts as a Soranet host when it says so in its host text
  // or knows a next node; on a host, the real-time set-up items of its
  // channel are not read but shown "n/a". Any other interface has them read.
  void interfaceClassification()
  {
    const QJsonObject alone{{"links", QJsonObject{{"next", 0}, {"lna", 1}}}};
    QJsonObject hostAlone = alone;
    hostAlone["hostText"] = "SORANET ";
    QJsonArray type2 = cfgtest::standardModules();
    type2[0] = cfgtest::module(1, 2, "IF0000001");
    const struct {
      const char* name;
      QJsonArray modules;
      bool host;
    } cases[] = {
      {"type 1 knowing a next node", cfgtest::standardModules(), true},
      {"type 1 alone, host text", {cfgtest::module(1, 1, "IF0000001", {1}, hostAlone)}, true},
      {"type 1 alone", {cfgtest::module(1, 1, "IF0000001", {1}, alone)}, false},
      {"type 2", type2, false},
    };
    for (const auto& c : cases) {
      cfgtest::World w;
      QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
      w.setScenario(c.modules);
      Scan scan;
      Server& s = *scan.server;
      QVERIFY2(scan.open(), c.name);
      scan.prompt.answers << support::Prompt::AnswerYes;
      QCOMPARE(CheckConfig(s), int16_t(0));
      Poll_All_Params(s, 1, QStringLiteral("186"));
      const QString shown = s.dde->topic(1)->item(186);
      QVERIFY2(c.host ? shown == "n/a" : shown == "255", qPrintable(QString(c.name) + ": " + shown));
      sora32::CloseCommunication();
    }
  }

  // After a node that did not answer, the walk asks the last answering node
  // again for its successor, and so finds a last module that missed its first
  // requests (still starting up, through every retry of the library) while
  // the nodes know addresses up to 10.
  void walkPastSilentNode()
  {
    cfgtest::World w;
    QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
    QJsonArray modules = cfgtest::standardModules();
    for (int i = 0; i < modules.size(); ++i) {
      QJsonObject o = modules[i].toObject();
      o["links"] = QJsonObject{{"lna", 10}};
      modules[i] = o;
    }
    w.setScenario(modules, QJsonObject{{"silent", QJsonArray{4}}, {"missed", QJsonObject{{"8", 6}}}});
    Scan scan;
    QVERIFY(scan.open());
    QCOMPARE(int(FindRealSystemLNA(*scan.server, 1)), 8);
    QVERIFY(scan.log().contains("Highest occupied node address at SORANET = 8"));
    QVERIFY(!scan.server->state.SuppressErrors);
  }

  // The operator refuses the update: result 1, the topics of the table's
  // channels exist, nothing is written and polling does not start.
  void refusedUpdate()
  {
    cfgtest::World w;
    QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
    // The first three channels the bus gives; 4 to 8 are missing.
    w.writeRows({{1, 1, 1, 1, "IFI-232", "IF0000001", ""}, {3, 1, 2, 3, "DMFM", "FM0000003", ""},
                 {4, 1, 3, 4, "DMFC", "FC0000004", ""}});
    const QStringList before = w.rows();
    Scan scan;
    Server& s = *scan.server;
    QVERIFY(scan.open());
    scan.prompt.answers << support::Prompt::AnswerNo;
    QCOMPARE(CheckConfig(s), int16_t(1));
    QCOMPARE(w.rows(), before);
    QVERIFY(s.dde->topic(3) && !s.dde->topic(4));
    QVERIFY(!scan.log().contains("Server is active and ready for any client"));
    // The caller closes the communication and names the failure.
    scan.prompt.answers << support::Prompt::AnswerNo;
    QVERIFY(!CheckConfigAndStartPolling(s).isEmpty());
    QVERIFY(!s.state.CommOpen);
  }
};

QTEST_MAIN(tst_systemscan)
#include "tst_systemscan.moc"
