// The session's own rules: baud codes, write validation and preparation,
// configuration messages; and opening against the in-process virtual bus.
#include "TestHome.h"

#include "bus/clsComSoraDLL.h"

#include "sora32.h"

#include <QtTest>

using namespace tesmira;

class TestSession : public QObject {
  Q_OBJECT
private slots:
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

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
