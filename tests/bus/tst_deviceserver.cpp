// The real tesmira program, headless, on a serial line reached through a
// serial device server: ser2net passing bytes as they are, ser2net taking its
// port settings by RFC 2217, and socat serving a single connection. Behind
// each sits soranet-sim on a pseudo-terminal. Each opening must find every
// channel of the default bus, serve values, close cleanly, and use exactly
// one TCP connection (counted at the device server); with RFC 2217 the rate
// the server configures reaches the pseudo-terminal.
#include "TestHome.h"
#include "Until.h"

#include "Client.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The output speed set on a terminal, as a number; 0 when unknown.
int terminalRate(const QString& path)
{
  const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    return 0;
  termios t{};
  const bool ok = tcgetattr(fd, &t) == 0;
  ::close(fd);
  if (!ok)
    return 0;
  switch (cfgetospeed(&t)) {
  case B19200: return 19200;
  case B38400: return 38400;
  case B115200: return 115200;
  case B460800: return 460800;
  default: return -1;
  }
}

QString request(const QString& topic, const QString& item)
{
  QString v;
  return ddeml::Request("Tesmira", topic, item, 5000, &v) ? v : QStringLiteral("<none>");
}

bool poke(const QString& topic, const QString& item, const QString& value)
{
  ddeml::Client c;
  return c.connect("Tesmira", topic) && c.poke(item, value, 60000);
}

// A child process killed at the end of the test.
struct Child : QProcess {
  ~Child() override
  {
    if (state() != NotRunning) {
      kill();
      waitForFinished();
    }
  }
};

}

class TestDeviceServer : public QObject {
  Q_OBJECT

private slots:
  void openingThroughDeviceServer_data()
  {
    QTest::addColumn<QString>("server"); // ser2net-raw, ser2net-rfc2217, socat
    QTest::addColumn<bool>("byPoke");    // interface chosen by poking Server!Interface
    QTest::addColumn<int>("baud");       // configured rate
    QTest::addColumn<bool>("raise");     // temporary higher rate allowed
    QTest::addColumn<int>("lineRate");   // rate seen on the terminal while polling; 0: not checked
    QTest::newRow("ser2net raw") << "ser2net-raw" << false << 38400 << false << 0;
    QTest::newRow("socat, one connection") << "socat" << true << 38400 << false << 0;
    QTest::newRow("rfc2217 rate") << "ser2net-rfc2217" << true << 19200 << false << 19200;
    QTest::newRow("rfc2217 raise") << "ser2net-rfc2217" << false << 19200 << true << 460800;
  }

  void openingThroughDeviceServer()
  {
    QFETCH(QString, server);
    QFETCH(bool, byPoke);
    QFETCH(int, baud);
    QFETCH(bool, raise);
    QFETCH(int, lineRate);
    const QString tool = server.startsWith("ser2net") ? "ser2net" : "socat";
    if (QStandardPaths::findExecutable(tool).isEmpty()) {
      if (qEnvironmentVariableIsSet("CI"))
        QFAIL(qPrintable(tool + " is not installed"));
      QSKIP(qPrintable(tool + " is not installed"));
    }
    TestHome home;
    const QString bin = qEnvironmentVariable("TESMIRA_BIN_DIR");
    const QString pty = home.file("pty"), trace = home.file("trace");

    Child sim;
    sim.start(bin + "/soranet-sim", {"--no-pacing", "--link", pty});
    QVERIFY(until([&] { return QFile::exists(pty); }, 5000));

    Child dev;
    const int port = freePort();
    QString iface;
    if (tool == "socat") {
      dev.start("socat", {"-d", "-d", QString("TCP-LISTEN:%1,bind=127.0.0.1").arg(port),
                          "FILE:" + pty + ",raw,echo=0,b38400"});
      iface = QString("tcp:127.0.0.1:%1").arg(port);
    } else {
      const bool rfc = server.endsWith("rfc2217");
      QFile cfg(home.file("ser2net.yaml"));
      QVERIFY(cfg.open(QIODevice::WriteOnly));
      cfg.write(QString("connection: &line\n"
                        "  accepter: %1tcp,127.0.0.1,%2\n"
                        "  connector: serialdev,%3,38400n81,local\n"
                        "  options:\n    kickolduser: true\n    trace-both: %4\n    trace-timestamp: true\n")
                    .arg(rfc ? "telnet(rfc2217)," : "")
                    .arg(port)
                    .arg(pty, trace)
                    .toUtf8());
      cfg.close();
      dev.start("ser2net", {"-n", "-c", cfg.fileName(), "-P", home.file("ser2net.pid")});
      iface = QString("%1:127.0.0.1:%2").arg(rfc ? "rfc2217" : "tcp").arg(port);
    }
    QVERIFY(dev.waitForStarted());
    QThread::msleep(300); // the device server listening

    // The server: SIM configured when the interface is poked later.
    QFile common(home.file("common.ini"));
    QVERIFY(common.open(QIODevice::WriteOnly));
    // With the raise the highest node is known beforehand, so the scan does
    // not apply the port settings again (which would set the configured rate).
    common.write(QString("[Communication]\nInterfaceName=%1\nBaudrate=%2\n%3")
                     .arg(byPoke ? "SIM" : iface)
                     .arg(baud)
                     .arg(raise ? "SystemLNA=8\n" : "")
                     .toUtf8());
    common.close();
    if (raise) {
      QFile program(home.file("program.ini"));
      QVERIFY(program.open(QIODevice::WriteOnly));
      program.write("[Options]\nShowAutoIncreaseBaudrate=True\n");
    }
    Child tesmira;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    tesmira.setProcessEnvironment(env);
    tesmira.start(bin + "/tesmira", byPoke ? QStringList{"/NT"} : QStringList{"/NT", "/O"});
    QVERIFY(until([&] { return request("Server", "Status") != "<none>"; }, 20000));
    if (byPoke) {
      QVERIFY(poke("Server", "Interface", iface));
      QVERIFY(poke("Server", "OpenCom", "1"));
    }
    QVERIFY2(until([&] { return request("Server", "Status") == "Normal polling"; }, 40000),
             qPrintable(tesmira.readAllStandardOutput()));
    QCOMPARE(request("Server", "MaxChan"), QString("8"));
    // A measured value arrives from the bus (the item shows the parameter's
    // name until then).
    QVERIFY(until([&] { bool ok = false; request("C(3)", "P(8)").toInt(&ok); return ok; }, 10000));
    if (lineRate)
      QCOMPARE(terminalRate(pty), lineRate);

    QVERIFY(poke("Server", "OpenCom", "0"));
    QVERIFY(until([&] { return request("Server", "Status") == "Idle"; }, 20000));
    QThread::msleep(3500); // a closed network line is kept 3 s before it is really closed
    QByteArray log;
    if (tool == "socat") {
      dev.waitForFinished(5000); // a socat serving one connection ends with it
      log = dev.readAllStandardError();
    } else {
      QFile f(trace);
      QVERIFY(f.open(QIODevice::ReadOnly));
      log = f.readAll();
      QCOMPARE(log.count(" CLOSE netcon"), 1);
    }
    QCOMPARE(log.count(tool == "socat" ? "accepting connection" : " OPEN "), 1);
    tesmira.terminate();
    QVERIFY(tesmira.waitForFinished(20000));
    QCOMPARE(tesmira.exitCode(), 0);
    if (raise) {
      const QByteArray out = tesmira.readAllStandardOutput();
      QVERIFY2(out.contains("Communication baudrate changed to 460800"), out.constData());
    }
  }
};

QTEST_GUILESS_MAIN(TestDeviceServer)
#include "tst_deviceserver.moc"
