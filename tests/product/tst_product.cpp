// Whole-program tests of what a user meets first on Linux: the version,
// discovery of topics and items with tesmira-dde, and a failed opening that
// says which port failed and why.
#include "TestHome.h"

#include <QProcess>
#include <QTcpServer>
#include <QtTest>
#include <csignal>

namespace {

QString bin(const QString& name) { return qEnvironmentVariable("TESMIRA_BIN_DIR") + '/' + name; }

QProcessEnvironment environment(const TestHome& home) { return home.environment(); }

void writeFile(const QString& path, const QByteArray& text)
{
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(text);
}

struct Run {
  int exitCode = -1;
  QString out, err;
};
Run run(const TestHome& home, const QString& program, const QStringList& args)
{
  QProcess p;
  p.setProcessEnvironment(environment(home));
  p.start(bin(program), args);
  Run r;
  if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit)
    r.exitCode = p.exitCode();
  else
    p.kill();
  p.waitForFinished();
  r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
  r.err = QString::fromLocal8Bit(p.readAllStandardError());
  return r;
}

// A headless server on the given interface, opened at start (/O).
class RunningServer {
public:
  RunningServer(const TestHome& home, const QString& interfaceName, const QStringList& extra = {})
  {
    writeFile(home.file("common.ini"), "[Communication]\nInterfaceName=" + interfaceName.toUtf8() + "\n");
    writeFile(home.file("user.ini"), "[Menu Settings]\nEchoErr=True\n");
    m_p.setProcessEnvironment(environment(home));
    m_p.start(bin("tesmira"), QStringList{"/O"} + extra);
  }
  qint64 pid() const { return m_p.processId(); }
  ~RunningServer()
  {
    m_p.terminate();
    if (!m_p.waitForFinished(20000))
      m_p.kill();
  }
  bool waitFor(const QString& text, int ms = 20000)
  {
    QDeadlineTimer deadline(ms);
    while (!m_out.contains(text) && !deadline.hasExpired()) {
      m_p.waitForReadyRead(100);
      m_out += QString::fromLocal8Bit(m_p.readAllStandardOutput());
    }
    return m_out.contains(text);
  }
  const QString& output() const { return m_out; }

private:
  QProcess m_p;
  QString m_out;
};

}

class TestProduct : public QObject {
  Q_OBJECT
private slots:
  void versions()
  {
    TestHome home;
    for (const QString& program : {QStringLiteral("tesmira"), QStringLiteral("tesmira-dde")}) {
      const Run r = run(home, program, {"--version"});
      QCOMPARE(r.exitCode, 0);
      QVERIFY2(QRegularExpression("^" + program + " \\d+\\.\\d+\\.\\d+", QRegularExpression::CaseInsensitiveOption)
                 .match(r.out).hasMatch(),
               qPrintable(r.out));
    }
  }

  void discoveryFollowsTheBus()
  {
    TestHome home;
    RunningServer server(home, "SIM");
    QVERIFY2(server.waitFor("Server is active and ready for any client"), qPrintable(server.output()));

    Run r = run(home, "tesmira-dde", {"list"});
    QCOMPARE(r.exitCode, 0);
    const QStringList topics = r.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(topics.first(), QStringLiteral("C(0)"));
    for (const char* t : {"C(3)", "C(8)", "server", "System"})
      QVERIFY2(topics.contains(t), qPrintable(r.out));
    QVERIFY(topics.indexOf("C(8)") < topics.indexOf("server")); // natural order

    r = run(home, "tesmira-dde", {"list", "C(3)"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(QRegularExpression("\\nP\\(8\\) +measure +\\d+\\n").match(r.out).hasMatch(), qPrintable(r.out));
    QVERIFY(r.out.indexOf("\nP(9) ") < r.out.indexOf("\nP(10) "));

    // Discovery items are the server's own.
    r = run(home, "tesmira-dde", {"poke", "Tesmira", "C(3)", "TopicItemList", "x"});
    QCOMPARE(r.exitCode, 6);
    QVERIFY2(r.err.contains("read-only"), qPrintable(r.err));
    r = run(home, "tesmira-dde", {"request", "Tesmira", "C(3)", "TopicItemList"});
    QVERIFY(r.out.startsWith("P(0)\\tP(1)\\t"));

    // Closing the communication removes the channel topics from the list.
    QCOMPARE(run(home, "tesmira-dde", {"poke", "Tesmira", "Server", "OpenCom", "0"}).exitCode, 0);
    r = run(home, "tesmira-dde", {"request", "Tesmira", "System", "Topics"});
    QCOMPARE(r.out.trimmed(), QStringLiteral("server\\tSystem"));
  }

  // A headless server keeps its parameter log from the start and opens it
  // again on SIGHUP, after logrotate has moved it away.
  void headlessLogFollowsLogrotate()
  {
    TestHome home;
    const QString log = home.file("parameters.log");
    RunningServer server(home, "SIM", {"--log=" + log});
    QVERIFY2(server.waitFor("Log file " + log + " opened"), qPrintable(server.output()));
    QVERIFY2(server.waitFor("Server is active and ready for any client"), qPrintable(server.output()));
    // A served request: the server is in its event loop, signals are handled.
    QCOMPARE(run(home, "tesmira-dde", {"request", "Tesmira", "System", "Status"}).exitCode, 0);
    QVERIFY(QFile::rename(log, log + ".1"));
    ::kill(pid_t(server.pid()), SIGHUP);
    QVERIFY2(server.waitFor("Log file " + log + " opened again"), qPrintable(server.output()));
    QCOMPARE(run(home, "tesmira-dde", {"poke", "Tesmira", "C(3)", "P(9)", "16000"}).exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > 0, 10000);
    QFile rotated(log + ".1");
    QVERIFY(rotated.open(QIODevice::ReadOnly));
    QVERIFY(rotated.readAll().contains("Server is active and ready for any client"));
  }

  void failedOpeningNamesPortAndReason_data()
  {
    QTest::addColumn<QString>("interfaceName");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no device") << "/dev/ttyTesmiraNone" << "no such device";
    QTest::newRow("silent bus") << "tcp:127.0.0.1:%1" << "no answer from the bus";
    QTest::newRow("refused") << "tcp:127.0.0.1:1" << "Connection refused";
  }
  void failedOpeningNamesPortAndReason()
  {
    QFETCH(QString, interfaceName);
    QFETCH(QString, reason);
    QTcpServer silent; // accepts and never answers
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    if (interfaceName.contains("%1"))
      interfaceName = interfaceName.arg(silent.serverPort());
    TestHome home;
    RunningServer server(home, interfaceName);
    QVERIFY2(server.waitFor("Communication to SORANET forced to stop"), qPrintable(server.output()));
    QVERIFY2(server.waitFor("Error\tCannot open " + interfaceName + ": " + reason), qPrintable(server.output()));
  }
};

QTEST_GUILESS_MAIN(TestProduct)
#include "tst_product.moc"
