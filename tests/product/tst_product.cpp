// Whole-program tests of what a user meets first on Linux: discovery of
// topics and items with tesmira-dde, a log that follows logrotate, a failed
// opening that says which port failed and why, and the daemon kept alive
// under systemd's watchdog.
#include "ProcessRig.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct Run {
  int exitCode = -1;
  QString out, err;
};
Run run(const QProcessEnvironment& env, const QString& program, const QStringList& args)
{
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(qEnvironmentVariable("TESMIRA_BIN_DIR") + '/' + program, args);
  const bool finished = p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit;
  p.kill();
  p.waitForFinished();
  return {finished ? p.exitCode() : -1, QString::fromLocal8Bit(p.readAllStandardOutput()),
          QString::fromLocal8Bit(p.readAllStandardError())};
}

// The program opened at start (/O) on the given interface, with errors on
// its console.
bool start(processrig::Program& p, const QString& interfaceName, const QStringList& extra = {})
{
  return p.write("user.ini", "[Menu Settings]\nEchoErr=True\n") &&
         p.start("[Communication]\nInterfaceName=" + interfaceName.toUtf8() + "\n", QStringList{"/O"} + extra);
}

bool says(processrig::Program& p, const QString& text)
{
  return until([&] { return p.output().contains(text.toLocal8Bit()); }, 20000);
}

}

class TestProduct : public QObject {
  Q_OBJECT
private slots:
  // Also: the MQTT bridge is off unless switched on, so nothing connects to
  // the broker program.ini names.
  void discoveryFollowsTheBus()
  {
    processrig::Program server;
    QTcpServer broker;
    QVERIFY(broker.listen(QHostAddress::LocalHost));
    QVERIFY(server.write("program.ini",
                         QStringLiteral("[MQTT]\nHost=127.0.0.1\nPort=%1\n").arg(broker.serverPort()).toUtf8()));
    QVERIFY(start(server, "SIM"));
    QVERIFY2(says(server, "Server is active and ready for any client"), server.output().constData());
    QVERIFY(!broker.waitForNewConnection(100));
    QVERIFY(!server.output().contains("MQTT"));

    Run r = run(server.env, "tesmira-dde", {"list"});
    QCOMPARE(r.exitCode, 0);
    const QStringList topics = r.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(topics.first(), QStringLiteral("C(0)"));
    for (const char* t : {"C(3)", "C(8)", "server", "System"})
      QVERIFY2(topics.contains(t), qPrintable(r.out));

    r = run(server.env, "tesmira-dde", {"list", "C(3)"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(QRegularExpression("\\nP\\(8\\) +measure +\\d+\\n").match(r.out).hasMatch(), qPrintable(r.out));
    QVERIFY(r.out.indexOf("\nP(9) ") < r.out.indexOf("\nP(10) ")); // numbers in names compare as numbers

    // Discovery items are the server's own.
    r = run(server.env, "tesmira-dde", {"poke", "Tesmira", "C(3)", "TopicItemList", "x"});
    QCOMPARE(r.exitCode, 6);
    QVERIFY2(r.err.contains("read-only"), qPrintable(r.err));
    QVERIFY(server.get("C(3)", "TopicItemList").startsWith("P(0)\tP(1)\t"));

    // Closing the communication removes the channel topics from the list.
    QVERIFY(server.put("Server", "OpenCom", "0"));
    QCOMPARE(server.get("System", "Topics").trimmed(), QStringLiteral("server\tSystem"));
  }

  // A headless server keeps its parameter log from the start and opens it
  // again on SIGHUP, after logrotate has moved it away.
  void headlessLogFollowsLogrotate()
  {
    processrig::Program server;
    const QString log = server.home.file("parameters.log");
    QVERIFY(start(server, "SIM", {"--log=" + log}));
    QVERIFY2(says(server, "Log file " + log + " opened"), server.output().constData());
    QVERIFY2(says(server, "Server is active and ready for any client"), server.output().constData());
    QVERIFY(QFile::rename(log, log + ".1"));
    ::kill(pid_t(server.process.processId()), SIGHUP);
    QVERIFY2(says(server, "Log file " + log + " opened again"), server.output().constData());
    QVERIFY(server.put("C(3)", "P(9)", "16000"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > 0, 10000);
    QFile rotated(log + ".1");
    QVERIFY(rotated.open(QIODevice::ReadOnly));
    QVERIFY(rotated.readAll().contains("Server is active and ready for any client"));
  }

  void failedOpeningNamesPortAndReason()
  {
    QTcpServer silent; // accepts and never answers
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const std::pair<QString, QString> table[] = {
      {"/dev/ttyTesmiraNone", "no such device"},
      {QString("tcp:127.0.0.1:%1").arg(silent.serverPort()), "no answer from the bus"},
      {"tcp:127.0.0.1:1", "Connection refused"}};
    for (const auto& [interfaceName, reason] : table) {
      processrig::Program server;
      QVERIFY(start(server, interfaceName));
      QVERIFY2(says(server, "Communication to SORANET forced to stop"), server.output().constData());
      QVERIFY2(says(server, "Error\tCannot open " + interfaceName + ": " + reason), server.output().constData());
    }
  }

  // Under WatchdogSec= systemd restarts a service that stays silent longer
  // than WATCHDOG_USEC: tesmirad, once ready, says WATCHDOG=1 well within
  // that time, every time. The notifications come to a socket bound here, as
  // systemd's NOTIFY_SOCKET.
  void daemonFeedsTheWatchdog()
  {
    processrig::Program daemon;
    daemon.program = QStringLiteral("tesmirad");
    const QByteArray path = QFile::encodeName(daemon.home.file("notify"));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(fd >= 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    QVERIFY(size_t(path.size()) < sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const qint64 periodMs = 3000;
    daemon.env.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(path));
    daemon.env.insert("WATCHDOG_USEC", QString::number(periodMs * 1000));
    QVERIFY(start(daemon, "SIM"));

    // Reads one notification, waiting at most timeoutMs; empty on time-out.
    auto next = [fd](int timeoutMs) {
      pollfd p {fd, POLLIN, 0};
      char buf[512];
      if (::poll(&p, 1, timeoutMs) != 1)
        return QByteArray();
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      return n > 0 ? QByteArray(buf, int(n)) : QByteArray();
    };
    QByteArray got;
    QElapsedTimer waited;
    waited.start();
    while (!got.contains("READY=1") && waited.elapsed() < 30000)
      got = next(1000);
    QVERIFY2(got.contains("READY=1"), got.constData());
    for (int i = 0; i < 4; ++i) {
      QElapsedTimer gap;
      gap.start();
      do
        got = next(int(periodMs));
      while (!got.isEmpty() && got != "WATCHDOG=1" && gap.elapsed() < periodMs);
      QVERIFY2(got == "WATCHDOG=1", qPrintable(QStringLiteral("ping %1 after %2 ms: '%3'")
                                                     .arg(i).arg(gap.elapsed()).arg(QString::fromLatin1(got))));
      QVERIFY2(gap.elapsed() < periodMs, qPrintable(QStringLiteral("ping %1 after %2 ms").arg(i).arg(gap.elapsed())));
    }
    QCOMPARE(daemon.stop(), 0);
  }
};

QTEST_GUILESS_MAIN(TestProduct)
#include "tst_product.moc"
