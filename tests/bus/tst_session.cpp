// The session's own rules: baud codes, write validation and preparation,
// configuration messages; opening against the in-process virtual bus; and
// the opening and closing procedures of the whole program on a line to the
// virtual bus.
#include "ServerRig.h"
#include "TestHome.h"

#include "bus/Communication.h"
#include "bus/clsComSoraDLL.h"
#include "log/Logger.h"

#include <QPlainTextEdit>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "sora32.h"

#include <QtTest>

using namespace tesmira;

class TestSession : public QObject {
  Q_OBJECT
private slots:
  void initTestCase() { qputenv("TESMIRA_SORA32_TIMEOUT_MS", "150"); }

  void baudCodes_data()
  {
    QTest::addColumn<int>("rate");
    QTest::addColumn<bool>("supported");
    QTest::addColumn<int>("code");
    for (int r : {300, 600, 1200, 2400, 4800, 9600, 19200})
      QTest::newRow(qPrintable(QString::number(r))) << r << true << r;
    QTest::newRow("38400") << 38400 << true << -27136;
    QTest::newRow("57600") << 57600 << true << -7936;
    const int high[] = {115200, 128000, 153600, 230400, 256000, 460800};
    for (int i = 0; i < 6; ++i)
      QTest::newRow(qPrintable(QString::number(high[i]))) << high[i] << true << i + 1;
    QTest::newRow("76800") << 76800 << false << 0;
    QTest::newRow("0") << 0 << false << 0;
  }
  void baudCodes()
  {
    QFETCH(int, rate);
    QFETCH(bool, supported);
    QFETCH(int, code);
    int16_t c = 0;
    QCOMPARE(clsComSoraDLL::BaudCode(rate, c), supported);
    if (supported)
      QCOMPARE(int(c), code);
  }

  void writePreparation_data()
  {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("length");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("code");
    QTest::addColumn<QVariant>("prepared");
    QTest::newRow("char text") << 0 << 0 << QVariant("abc") << 5 << QVariant();
    QTest::newRow("char 256") << 0 << 0 << QVariant("256") << 6 << QVariant();
    QTest::newRow("char -1") << 0 << 0 << QVariant("-1") << 6 << QVariant();
    QTest::newRow("char 255") << 0 << 0 << QVariant(" 255 ") << 0 << QVariant(qint64(255));
    QTest::newRow("int 32768") << 1 << 0 << QVariant("32768") << 6 << QVariant();
    QTest::newRow("int -32768") << 1 << 0 << QVariant("-32768") << 0 << QVariant(qint64(-32768));
    QTest::newRow("int half to even") << 1 << 0 << QVariant("2.5") << 0 << QVariant(qint64(2));
    QTest::newRow("long 3900000000") << 3 << 0 << QVariant("3900000000") << 6 << QVariant();
    QTest::newRow("long -2147483648") << 3 << 0 << QVariant("-2147483648") << 0 << QVariant(qint64(-2147483648LL));
    QTest::newRow("float any size") << 2 << 0 << QVariant("1e30") << 0 << QVariant(float(1e30));
    QTest::newRow("float text") << 2 << 0 << QVariant("fast") << 5 << QVariant();
    QTest::newRow("string padded") << 4 << 8 << QVariant("ab") << 0 << QVariant("ab      ");
    QTest::newRow("string longer kept") << 4 << 3 << QVariant("abcdef") << 0 << QVariant("abcdef");
    QTest::newRow("string empty") << 4 << 0 << QVariant("") << 0 << QVariant(" ");
    QTest::newRow("unknown type") << 255 << 0 << QVariant("1") << 38 << QVariant();
  }
  void writePreparation()
  {
    QFETCH(int, type);
    QFETCH(int, length);
    QFETCH(QVariant, value);
    QFETCH(int, code);
    QFETCH(QVariant, prepared);
    QVariant out;
    QCOMPARE(int(clsComSoraDLL::PrepareWriteValue(uint8_t(type), uint8_t(length), value, out)), code);
    if (code == 0)
      QCOMPARE(out, prepared);
  }

  void configureAndOpen()
  {
    TestHome home;
    clsComSoraDLL session;
    QVERIFY(session.iAppId() > 0);
    QString error;
    // An unsupported rate stops before the line rate is set.
    QCOMPARE(int(session.ConfigureCommunication("SIM", 76800, true, true, error)), 0);
    QCOMPARE(error, QString("Baudrate not supported."));
    QCOMPARE(int(session.ConfigureCommunication("nonsense:interface", 38400, true, true, error)), 20);
    QCOMPARE(error, QString("SORANET cannot be configured for nonsense:interface."));

    QCOMPARE(int(session.ConfigureCommunication("SIM", 38400, true, true, error)), 0);
    QCOMPARE(error, QString());
    QCOMPARE(int(session.StartCommunication()), 0);
    QVERIFY(sora32::GetCommunication() != 0);
    // Unknown types are refused by the wrapper itself.
    QCOMPARE(int(session.SendMessageReadRequest(1, 1, 0, 9, 0, 1)), 38);
    QCOMPARE(int(session.SendMessageWriteRequest(1, 1, 0, 0, 0, "x", 1)), 5);
    QCOMPARE(int(session.StopCommunication()), 0);
    QCOMPARE(int(sora32::GetCommunication()), 0);
  }

  // The opening procedure with its retry, the temporary rate on a COM port
  // and its return to the instrument default on closing, and a rate the
  // line cannot take, which leaves the open line at the rate it has.
  void openAndCloseProcedures()
  {
    serverrig::Rig p;
    QCOMPARE(p.start(38400), QString());
    QPlainTextEdit console;
    p.s->log->setConsole(&console);
    p.s->log->EchoAll = true;
    const QString line = p.s->cfg.InterfaceName; // the pseudo-terminal
    qputenv("TESMIRA_COM7", line.toLocal8Bit());
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
    const int fd = ::open(QFile::encodeName(QFileInfo(line).canonicalFilePath()).constData(), O_RDONLY | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios t{};
    QCOMPARE(tcgetattr(fd, &t), 0);
    ::close(fd);
    QCOMPARE(cfgetospeed(&t), speed_t(B38400));
    StopCommunication(*p.s);
    qunsetenv("TESMIRA_COM7");
  }

  void busMasterWhenAlone()
  {
    TestHome home;
    QFile scenario(home.file("alone.json"));
    QVERIFY(scenario.open(QIODevice::WriteOnly));
    scenario.write(R"({"modules": [{"node": 1, "type": 1, "number": "IF0000001", "channels": [1]}]})");
    scenario.close();
    qputenv("TESMIRA_SIM_SCENARIO", scenario.fileName().toLocal8Bit());
    qputenv("TESMIRA_SIM_PACING", "0");
    clsComSoraDLL session;
    QString error;
    QCOMPARE(int(session.ConfigureCommunication("SIM", 38400, true, true, error)), 0);
    const int16_t r = session.StartCommunication();
    session.StopCommunication();
    qunsetenv("TESMIRA_SIM_SCENARIO");
    QCOMPARE(int(r), 24);
  }
};

QTEST_MAIN(TestSession)
#include "tst_session.moc"
