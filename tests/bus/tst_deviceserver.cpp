// The real tesmira program, headless, on a serial line reached through a
// serial device server: ser2net passing bytes as they are, ser2net taking its
// port settings by RFC 2217, and socat serving a single connection. Behind
// each sits soranet-sim on a pseudo-terminal. Each opening must find every
// channel of the default bus, serve values, close cleanly, and use exactly
// one TCP connection (counted at the device server); with RFC 2217 the rate
// the server configures reaches the pseudo-terminal. A device server that
// refuses the connection is reported with what it did, and the link clients
// are answered while an opening waits for a slow device server.
#include "ProcessRig.h"
#include "TerminalSpeed.h"

#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

namespace {

// Whether something listens on 127.0.0.1:port, read from the kernel's table
// so that no probing connection uses up a one-connection device server.
bool listening(int port)
{
  QFile f("/proc/net/tcp");
  if (!f.open(QIODevice::ReadOnly))
    return false;
  const QByteArray local = QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.simplified().split(' ').value(1) == local && line.simplified().split(' ').value(3) == "0A")
      return true;
  return false;
}

// Starts ser2net in p's world, serving the serial line at pty on
// 127.0.0.1:port (by RFC 2217 when asked); options: lines of its
// connection's options.
void startSer2net(QProcess& dev, const processrig::Program& p, int port, const QString& pty, bool rfc2217,
                  const QString& options = {})
{
  QFile cfg(p.home.file("ser2net.yaml"));
  if (cfg.open(QIODevice::WriteOnly))
    cfg.write(QString("connection: &line\n  accepter: %1tcp,127.0.0.1,%2\n  connector: serialdev,%3,38400n81,local\n%4")
                  .arg(rfc2217 ? "telnet(rfc2217)," : "")
                  .arg(port)
                  .arg(pty, options)
                  .toUtf8());
  cfg.close();
  dev.start("ser2net", {"-n", "-c", cfg.fileName(), "-P", p.home.file("ser2net.pid")});
}

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
    QTest::addColumn<int>("lineRate");   // speed code seen on the terminal while polling; 0: not checked
    QTest::newRow("ser2net raw") << "ser2net-raw" << false << 38400 << false << 0;
    QTest::newRow("socat, one connection") << "socat" << true << 38400 << false << 0;
    QTest::newRow("rfc2217 rate") << "ser2net-rfc2217" << true << 19200 << false << int(B19200);
    QTest::newRow("rfc2217 raise") << "ser2net-rfc2217" << false << 19200 << true << int(B460800);
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
    processrig::Program p;
    const QString pty = p.home.file("pty"), trace = p.home.file("trace");
    QProcess sim, dev;
    const auto end = qScopeGuard([&] {
      for (QProcess* c : {&sim, &dev}) {
        c->kill();
        c->waitForFinished();
      }
    });
    sim.start(p.bin + "/soranet-sim", {"--no-pacing", "--link", pty});
    QVERIFY(until([&] { return QFile::exists(pty); }, 5000));

    const int port = freePort();
    QString iface = QString("tcp:127.0.0.1:%1").arg(port);
    if (tool == "socat") {
      dev.start("socat", {"-d", "-d", QString("TCP-LISTEN:%1,bind=127.0.0.1").arg(port),
                          "FILE:" + pty + ",raw,echo=0,b38400"});
    } else {
      const bool rfc = server.endsWith("rfc2217");
      startSer2net(dev, p, port, pty, rfc,
                   "  options:\n    kickolduser: true\n    trace-both: " + trace + "\n    trace-timestamp: true\n");
      if (rfc)
        iface.replace("tcp:", "rfc2217:");
    }
    QVERIFY(dev.waitForStarted());
    QVERIFY2(until([&] { return listening(port); }, 10000), "the device server does not listen");

    if (raise)
      QVERIFY(p.write("program.ini", "[Options]\nShowAutoIncreaseBaudrate=True\n"));
    // With the raise the highest node is known beforehand, so the scan does
    // not apply the port settings again (which would set the configured rate).
    QVERIFY(p.start(QString("[Communication]\nInterfaceName=%1\nBaudrate=%2\n%3")
                        .arg(byPoke ? "SIM" : iface)
                        .arg(baud)
                        .arg(raise ? "SystemLNA=8\n" : "")
                        .toUtf8(),
                    byPoke ? QStringList{"/NT"} : QStringList{"/NT", "/O"}));
    if (byPoke)
      QVERIFY(p.put("Server", "Interface", iface) && p.put("Server", "OpenCom", "1"));
    QVERIFY2(p.until([&] { return p.get("Server", "Status") == "Normal polling"; }, 40000), p.output().constData());
    QCOMPARE(p.get("Server", "MaxChan"), QString("8"));
    // A measured value arrives from the bus (the item shows the parameter's
    // name until then).
    QVERIFY(p.until([&] { bool ok = false; p.get("C(3)", "P(8)").toInt(&ok); return ok; }));
    if (lineRate)
      QCOMPARE(int(terminalSpeed(pty)), lineRate);

    QVERIFY(p.put("Server", "OpenCom", "0"));
    QVERIFY(p.until([&] { return p.get("Server", "Status") == "Idle"; }, 20000));
    // A closed network line is kept 3 s before it is really closed.
    QByteArray log;
    if (tool == "socat") {
      QVERIFY(dev.waitForFinished(10000)); // a socat serving one connection ends with it
      log = dev.readAllStandardError();
    } else {
      QVERIFY(until([&] {
        QFile f(trace);
        log = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        return log.contains(" CLOSE netcon");
      }, 10000));
      QCOMPARE(log.count(" CLOSE netcon"), 1);
    }
    QCOMPARE(log.count(tool == "socat" ? "accepting connection" : " OPEN "), 1);
    QCOMPARE(p.stop(), 0);
    if (raise)
      QVERIFY2(p.output().contains("Communication baudrate changed to 460800"), p.output().constData());
  }

  void openingSaysWhatTheDeviceServerDid_data()
  {
    QTest::addColumn<QString>("server"); // ser2net-busy, socat-hangup, socat-silent
    QTest::addColumn<QString>("scheme"); // tcp or rfc2217
    QTest::addColumn<QString>("reason"); // after "Cannot open <interface>: "
    QTest::newRow("ser2net port in use") << "ser2net-busy" << "tcp"
                                         << "the device server closed the connection: \"Port already in use\"";
    QTest::newRow("ser2net port in use, rfc2217") << "ser2net-busy" << "rfc2217"
                                                  << "the device server closed the connection: \"Port already in use\"";
    QTest::newRow("hang-up right after accept")
        << "socat-hangup" << "tcp"
        << "the device server closed the connection right after accepting it (does it serve another client?)";
    QTest::newRow("silent telnet peer") << "socat-silent" << "rfc2217" << "no telnet answer from the device server";
  }

  void openingSaysWhatTheDeviceServerDid()
  {
    QFETCH(QString, server);
    QFETCH(QString, scheme);
    QFETCH(QString, reason);
    const QString tool = server.startsWith("ser2net") ? "ser2net" : "socat";
    for (const QString& t : {tool, QString("socat")})
      if (QStandardPaths::findExecutable(t).isEmpty()) {
        if (qEnvironmentVariableIsSet("CI"))
          QFAIL(qPrintable(t + " is not installed"));
        QSKIP(qPrintable(t + " is not installed"));
      }
    processrig::Program p;
    QVERIFY(p.write("user.ini", "[Menu Settings]\nEchoErr=True\n"));
    const QString pty = p.home.file("pty");
    const int port = freePort();
    QProcess line, dev;
    QTcpSocket first; // the client that holds the port
    const auto end = qScopeGuard([&] {
      for (QProcess* c : {&line, &dev}) {
        c->kill();
        c->waitForFinished();
      }
    });
    if (server == "ser2net-busy") {
      // A serial line nobody answers on: the first client holds it.
      line.start("socat", {"PTY,raw,echo=0,link=" + pty, "PTY,raw,echo=0"});
      QVERIFY(until([&] { return QFile::exists(pty); }, 5000));
      startSer2net(dev, p, port, pty, scheme == "rfc2217");
      QVERIFY(until([&] {
        first.connectToHost(QHostAddress::LocalHost, quint16(port));
        return first.waitForConnected(200);
      }));
    } else {
      // Accepts and at once ends (a device server serving another client
      // hangs up so), or accepts and says nothing until the test ends it.
      dev.start("socat", {QString("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                          server == "socat-hangup" ? "EXEC:true" : "EXEC:'tail -f /dev/null'"});
      QTcpSocket probe;
      QVERIFY(until([&] {
        probe.connectToHost(QHostAddress::LocalHost, quint16(port));
        return probe.waitForConnected(200);
      }));
    }
    const QString iface = QString("%1:127.0.0.1:%2").arg(scheme).arg(port);
    QVERIFY(p.start(QString("[Communication]\nInterfaceName=%1\n").arg(iface).toUtf8()));

    // The opening goes on in the server while this thread asks it, on
    // another conversation, for its status: each answer comes promptly.
    QProcess opening;
    opening.setProcessEnvironment(p.env);
    opening.start(p.bin + "/tesmira-dde", {"poke", "Tesmira", "Server", "OpenCom", "1"});
    QVERIFY(opening.waitForStarted());
    qint64 slowest = 0;
    int asked = 0;
    // Until the poke is answered (this thread runs no event loop, so the
    // process's state is only learnt by waiting on it).
    while (!opening.waitForFinished(20) && asked < 1000) {
      QElapsedTimer clock;
      clock.start();
      QString status;
      QVERIFY2(ddeml::Request("Tesmira", "Server", "Status", 5000, &status), p.output().constData());
      slowest = qMax(slowest, clock.elapsed());
      ++asked;
    }
    QVERIFY(opening.state() == QProcess::NotRunning);
    // The silent peer holds the opening for the whole telnet wait (2 s).
    if (server == "socat-silent")
      QVERIFY2(asked > 10, qPrintable(QString("only %1 requests during the opening").arg(asked)));
    QVERIFY2(slowest < 300, qPrintable(QString("a request during the opening took %1 ms").arg(slowest)));
    QVERIFY2(p.until([&] { return p.errors().contains(("Error\tCannot open " + iface + ": " + reason).toUtf8()); }),
             p.output().constData());
  }
};

QTEST_GUILESS_MAIN(TestDeviceServer)
#include "tst_deviceserver.moc"
