// Whole-program tests of what a user meets first on Linux: discovery of
// topics and items with tesmira-dde and a log that follows logrotate (a
// failed opening that says which port failed and why: tst_service_program).
#include "ProcessRig.h"

#include <QTcpServer>
#include <QtTest>
#include <csignal>

namespace {

// The program opened at start (/O) on the given interface.
bool start(processrig::Program& p, const QString& interfaceName, const QStringList& extra = {})
{
  return p.start("[Communication]\nInterfaceName=" + interfaceName.toUtf8() + "\n", QStringList{"/O"} + extra);
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

    auto r = server.run("tesmira-dde", {"list"});
    QCOMPARE(std::pair(r.code, r.out.split('\n', Qt::SkipEmptyParts)),
             std::pair(0, QStringList({"C(0)", "C(1)", "C(2)", "C(3)", "C(4)", "C(5)", "C(6)", "C(7)", "C(8)", "server",
                                       "System"})));

    r = server.run("tesmira-dde", {"list", "C(3)"});
    QCOMPARE(r.code, 0);
    QVERIFY2(QRegularExpression("\\nP\\(8\\) +measure +\\d+ 1/320 %\\n").match(r.out).hasMatch(), qPrintable(r.out));
    QVERIFY(r.out.indexOf("\nP(9) ") < r.out.indexOf("\nP(10) ")); // numbers in names compare as numbers

    // Discovery items are the server's own.
    r = server.run("tesmira-dde", {"poke", "Tesmira", "C(3)", "TopicItemList", "x"});
    QCOMPARE(r.code, 6);
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
};

QTEST_GUILESS_MAIN(TestProduct)
#include "tst_product.moc"
