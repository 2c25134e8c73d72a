// The session's own rules: write preparation, configuration messages;
// opening against the in-process virtual bus; and the opening and closing
// procedures of the whole program on a line to the virtual bus.
#include "RowCompare.h"
#include "ServerRig.h"
#include "TerminalSpeed.h"

#include "bus/Communication.h"

#include "ui/ConsolePane.h"

#include <QScopeGuard>
#include <QtTest>

using namespace tesmira;

class TestSession : public QObject {
  Q_OBJECT
private slots:
  void initTestCase() { qputenv("TESMIRA_SORA32_TIMEOUT_MS", "150"); }

  void writePreparation()
  {
    const struct {
      const char* row;
      int type, length;
      QVariant value;
      int code;
      QVariant prepared;
    } rows[] = {
        // Integers are rounded half to even; a float has no range; a string
        // longer than its length is sent as it is.
        {"byte not a number", 0, 0, "abc", 5, {}}, {"byte 256", 0, 0, "256", 6, {}},
        {"byte 255 with spaces", 0, 0, " 255 ", 0, qint64(255)}, {"integer 32768", 1, 0, "32768", 6, {}},
        {"integer -32768", 1, 0, "-32768", 0, qint64(-32768)}, {"integer 2.5 to even", 1, 0, "2.5", 0, qint64(2)},
        {"long 3900000000", 3, 0, "3900000000", 6, {}}, {"long minimum", 3, 0, "-2147483648", 0, qint64(-2147483648LL)},
        {"float 1e30", 2, 0, "1e30", 0, float(1e30)}, {"float not a number", 2, 0, "fast", 5, {}},
        {"string padded", 4, 8, "ab", 0, "ab      "}, {"string longer kept", 4, 3, "abcdef", 0, "abcdef"},
        {"string empty", 4, 0, "", 0, " "}, {"no type", 255, 0, "1", 38, {}}};
    for (const auto& r : rows) {
      QVariant out;
      ROW_COMPARE(r.row, int(clsComSoraDLL::PrepareWriteValue(uint8_t(r.type), uint8_t(r.length), r.value, out)), r.code);
      if (r.code == 0)
        ROW_COMPARE(r.row, out, r.prepared);
    }
  }

  // Configuring and opening the in-process bus; alone on it, the interface
  // is bus master (24).
  void configureAndOpen()
  {
    TestHome home;
    clsComSoraDLL session;
    QString error;
    QCOMPARE(int(session.ConfigureCommunication("nonsense:interface", 38400, true, true, error)), 20);
    QCOMPARE(error, QString("SORANET cannot be configured for nonsense:interface."));

    QCOMPARE(int(session.ConfigureCommunication("SIM", 38400, true, true, error)), 0);
    QCOMPARE(int(session.StartCommunication()), 0);
    QVERIFY(sora32::GetCommunication() != 0);
    QCOMPARE(int(session.StopCommunication()), 0);
    QCOMPARE(int(sora32::GetCommunication()), 0);

    QFile scenario(home.file("alone.json"));
    QVERIFY(scenario.open(QIODevice::WriteOnly));
    scenario.write(R"({"modules": [{"node": 1, "type": 1, "number": "IF0000001", "channels": [1]}]})");
    scenario.close();
    qputenv("TESMIRA_SIM_SCENARIO", scenario.fileName().toLocal8Bit());
    const int16_t r = session.StartCommunication();
    session.StopCommunication();
    qunsetenv("TESMIRA_SIM_SCENARIO");
    QCOMPARE(int(r), 24);
  }
  // Closing ends the interface's acquisition of every channel before the
  // line goes: the writes that end it are answered, none is dropped.
  void closingEndsTheAcquisition()
  {
    serverrig::Rig p;
    QCOMPARE(p.start(38400), QString());
    QVERIFY(p.s->state.InterfaceAcquisition);
    const QMap<int, int> acquiring = p.bus->acquisitions();
    QVERIFY(std::count_if(acquiring.begin(), acquiring.end(), [](int node) { return node > 0; }) > 1);
    StopCommunication(*p.s);
    QStringList still; // processes of the interface still acquiring from a node
    const QMap<int, int> after = p.bus->acquisitions();
    for (auto a = after.begin(); a != after.end(); ++a)
      if (a.value() != 0)
        still << QString("%1:%2").arg(a.key()).arg(a.value());
    QCOMPARE(still, QStringList());
  }

  // The opening procedure with its retry, the temporary rate on a COM port
  // and its return to the instrument default on closing, and a rate the
  // line cannot take, which leaves the open line at the rate it has.
  void openAndCloseProcedures()
  {
    serverrig::Rig p;
    QCOMPARE(p.start(38400), QString());
    ConsolePane console;
    p.s->log->setConsole(&console);
    p.s->log->EchoAll = true;
    const QString line = p.s->cfg.InterfaceName; // the bus, as a COM port
    qputenv("TESMIRA_COM7", p.pty.toLocal8Bit());
    const struct {
      const char* name;
      QString port;
      int missed, retries; // requests the interface leaves unanswered; RetryNetworkAccess
      bool raise;          // AutoIncreaseBaudrate
      QString result;
      QStringList opened, label, closed;
    } rows[] = {
      {"answers at the retry", line, 3, 1, false, "",
       {"Trying to make connection to SORANET interface", "Connection to SORANET interface OK"},
       {}, {"Communication to SORANET forced to stop"}},
      {"no retry", line, 3, 0, false, "Communication could not be opened.",
       {"Trying to make connection to SORANET interface", "Connection to SORANET interface FAILED",
        "Communication to SORANET forced to stop"},
       {}, {}},
      {"COM port at a raised rate", "COM7", 0, 1, true, "",
       {"Temporary instrument baudrate changed to 460800", "Communication baudrate changed to 460800"},
       {"COM7  [460800],n,8,1,-"},
       {"Temporary instrument baudrate restored", "Communication to SORANET forced to stop"}},
    };
    for (const auto& r : rows) {
      StopCommunication(*p.s);
      console.clear();
      soranetsim::Faults f;
      f.missed[1] = r.missed;
      p.bus->setFaults(f);
      p.s->cfg.InterfaceName = r.port;
      p.s->cfg.RetryNetworkAccess = r.retries;
      p.s->cfg.AutoIncreaseBaudrate = r.raise;
      ApplyPortSettings(*p.s);
      QCOMPARE(StartCommunication(*p.s), r.result);
      QVERIFY2(p.s->state.CommOpen == r.result.isEmpty(), r.name);
      for (const QString& l : r.opened)
        QVERIFY2(console.toPlainText().contains(l), qPrintable(QString(r.name) + ": " + l));
      if (!r.label.isEmpty())
        QCOMPARE(p.s->fields.value("lblCommPort"), r.label[0]);
      console.clear();
      StopCommunication(*p.s);
      for (const QString& l : r.closed)
        QVERIFY2(console.toPlainText().contains(l), qPrintable(QString(r.name) + ": " + l));
      if (r.raise)
        QCOMPARE(p.s->fields.value("lblCommPort"), QString("COM7  38400,n,8,1,-"));
    }

    // A rate the line cannot take is refused before the line rate is set:
    // the open line keeps its 38400 baud.
    p.s->cfg.AutoIncreaseBaudrate = false;
    p.s->cfg.InterfaceName = line;
    ApplyPortSettings(*p.s);
    QCOMPARE(StartCommunication(*p.s), QString());
    p.s->cfg.Baudrate = 76800;
    p.prompt.asked.clear();
    ApplyPortSettings(*p.s);
    QCOMPARE(p.prompt.asked.size(), 1);
    QVERIFY(p.prompt.asked[0].text.endsWith("\r\nBaudrate not supported."));
    QCOMPARE(terminalSpeed(p.pty), speed_t(B38400));
    StopCommunication(*p.s);
    qunsetenv("TESMIRA_COM7");
  }

  // The temporary 460800 holds on both sides, line and instrument, through
  // the scan, though the scan finds another highest node than the stored
  // one and applies the port settings again.
  void raisedRateKeptThroughTheScan()
  {
    serverrig::Rig p;
    QVERIFY2(serverrig::installDatabase(qEnvironmentVariable("TESMIRA_BIN_DIR"), p.home.defaultDatabase()) &&
               p.startBus(),
             qPrintable(p.failure));
    qputenv("TESMIRA_COM7", p.pty.toLocal8Bit());
    const auto unset = qScopeGuard([] { qunsetenv("TESMIRA_COM7"); });
    QCOMPARE(p.load("[Communication]\nInterfaceName=COM7\nBaudrate=38400\nAutoIncreaseBaudrate=True\nSystemLNA=3\n"
                    "[Settings]\nPollParametersOnInit=False\n",
                    "[Options]\nShowAutoIncreaseBaudrate=True\n",
                    [](Options& o) {
                      o.OptOpenCom = true;
                      o.TrayIconEnabled = false;
                    }),
             QString());
    QCOMPARE(std::tuple(p.s->state.CommOpen, p.s->cfg.SystemLNA, p.bus->requestedBaud(), terminalSpeed(p.pty)),
             std::tuple(true, uint8_t(8), 460800, speed_t(B460800)));
  }

};

QTEST_MAIN(TestSession)
#include "tst_session.moc"
