// tesmira-dde against a server in this process: output forms, link text,
// pokes, advise until a signal, and the exit codes for each failure.
#include "LinkTestUtil.h"
#include "Server.h"

#include <QProcess>
#include <QStandardPaths>

#include <csignal>

using namespace linktest;

class TestTool : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void requestForms();
    void failuresHaveDistinctExitCodes_data();
    void failuresHaveDistinctExitCodes();
    void pokeValues();
    void adviseUntilInterrupted();
    void adviseEndsWhenTopicCloses();
    void pythonExampleClient();

private:
    struct Run {
        int code = -1;
        QByteArray out;
        QByteArray err;
    };
    // Runs tesmira-dde while the server keeps serving on this thread.
    Run run(const QStringList& args, const QByteArray& input = {});
    QString tool() const { return qEnvironmentVariable("TESMIRA_BIN_DIR") + "/tesmira-dde"; }

    std::unique_ptr<PrivateRuntime> m_runtime;
    std::unique_ptr<ddeml::Server> m_server;
    QStringList m_pokes;
};

void TestTool::init()
{
    m_runtime = std::make_unique<PrivateRuntime>();
    m_server = std::make_unique<ddeml::Server>();
    QString err;
    QVERIFY2(m_server->registerService("Tesmira", &err), qPrintable(err));
    m_server->addTopic("C(1)");
    m_server->createItem("C(1)", "P(8)", QString::fromUtf8("5\r\nzwei\\drei µ"));
    m_server->createItem("C(1)", "P(9)", "Setpoint");
    m_pokes.clear();
    m_server->setPokeHandler([this](const QString&, const QString& item, const QString& v) {
        m_pokes << item + "=" + v;
        return v != "refuse";
    });
}

void TestTool::cleanup()
{
    m_server.reset();
    m_runtime.reset();
}

TestTool::Run TestTool::run(const QStringList& args, const QByteArray& input)
{
    QProcess p;
    p.start(tool(), args);
    if (!p.waitForStarted(5000))
        qFatal("cannot start %s", qPrintable(tool()));
    p.write(input);
    p.closeWriteChannel();
    waitFor([&] { return p.state() == QProcess::NotRunning; }, 15000);
    Run r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

void TestTool::requestForms()
{
    Run r = run({"request", "Tesmira", "C(1)", "P(8)"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QByteArray("5\\r\\nzwei\\\\drei µ\n"));
    r = run({"--raw", "request", "tesmira", "c(1)", "p(8)"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QString::fromUtf8("5\r\nzwei\\drei µ").toUtf8());
    r = run({"link", "Tesmira|C(1)!P(9)"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QByteArray("Setpoint\n"));
    QString err;
    QVERIFY(m_server->listenTcp(0, &err));
    r = run({"--tcp", QString::number(m_server->tcpPort()), "link", "Tesmira|C(1)!P(9)"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QByteArray("Setpoint\n"));
    r = run({"--help"});
    QCOMPARE(r.code, 0);
    QVERIFY(r.out.contains("Exit codes"));
}

void TestTool::failuresHaveDistinctExitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no service") << QStringList {"request", "Nobody", "C(1)", "P(8)"} << 3 << QByteArray("No service Nobody");
    QTest::newRow("no topic") << QStringList {"link", "Tesmira|C(5)!P(8)"} << 4 << QByteArray("no topic C(5)");
    QTest::newRow("no item") << QStringList {"request", "Tesmira", "C(1)", "P(4)"} << 5 << QByteArray("no item P(4)");
    QTest::newRow("refused poke") << QStringList {"poke", "Tesmira", "C(1)", "P(9)", "refuse"} << 6 << QByteArray("did not accept");
    QTest::newRow("execute") << QStringList {"execute", "Tesmira", "C(1)", "[x]"} << 6 << QByteArray("no execute");
    QTest::newRow("bad link text") << QStringList {"link", "Tesmira!P(8)"} << 2 << QByteArray("SERVICE|TOPIC!ITEM");
    QTest::newRow("missing arguments") << QStringList {"poke", "Tesmira", "C(1)"} << 2 << QByteArray("needs");
    QTest::newRow("unknown command") << QStringList {"frob"} << 2 << QByteArray("unknown command");
}

void TestTool::failuresHaveDistinctExitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, message);
    const Run r = run(args);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), r.err.constData());
    QVERIFY(r.out.isEmpty());
}

void TestTool::pokeValues()
{
    Run r = run({"poke", "Tesmira", "C(1)", "P(9)", "12.5"});
    QCOMPARE(r.code, 0);
    QCOMPARE(m_server->item("C(1)", "P(9)"), QString("12.5"));
    r = run({"poke", "--escapes", "Tesmira", "C(1)", "P(9)", "5\\r\\n"});
    QCOMPARE(r.code, 0);
    QCOMPARE(m_server->item("C(1)", "P(9)"), QString("5\r\n"));
    r = run({"poke", "--stdin", "Tesmira", "C(1)", "P(9)"}, QByteArray("a\nb\0c", 5));
    QCOMPARE(r.code, 0);
    QCOMPARE(m_server->itemBytes("C(1)", "P(9)"), QByteArray("a\nb\0c", 5));
    QCOMPARE(m_pokes.size(), 3);
    QCOMPARE(m_pokes.first(), QString("P(9)=12.5"));
}

void TestTool::adviseUntilInterrupted()
{
    QProcess p;
    p.start(tool(), {"advise", "Tesmira", "C(1)", "P(9)", "p(8)"});
    QVERIFY(waitFor([&] { return m_server->adviseLinkCount("C(1)", "P(8)") == 1; }));
    m_server->setItem("C(1)", "P(9)", "1\n2");
    QByteArray out;
    QVERIFY(waitFor([&] {
        out += p.readAllStandardOutput();
        return out.count('\n') >= 3;
    }));
    QCOMPARE(out, QByteArray("P(9)\tSetpoint\np(8)\t5\\r\\nzwei\\\\drei µ\nP(9)\t1\\n2\n"));
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(waitFor([&] { return p.state() == QProcess::NotRunning; }));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);

    // A warm link shows the current value, then each new value after a notice.
    QProcess w;
    w.start(tool(), {"advise", "--warm", "Tesmira", "C(1)", "P(9)"});
    out.clear();
    QVERIFY(waitFor([&] {
        out += w.readAllStandardOutput();
        return out.count('\n') >= 1;
    }));
    m_server->setItem("C(1)", "P(9)", "3");
    QVERIFY(waitFor([&] {
        out += w.readAllStandardOutput();
        return out.count('\n') >= 2;
    }));
    QCOMPARE(out, QByteArray("1\\n2\n3\n"));
    w.terminate();
    QVERIFY(waitFor([&] { return w.state() == QProcess::NotRunning; }));
    QCOMPARE(w.exitCode(), 0);
}

void TestTool::adviseEndsWhenTopicCloses()
{
    QProcess p;
    p.start(tool(), {"link", "--advise", "Tesmira|C(1)!P(9)"});
    QVERIFY(waitFor([&] { return m_server->adviseLinkCount("C(1)", "P(9)") == 1; }));
    m_server->removeTopic("C(1)");
    QVERIFY(waitFor([&] { return p.state() == QProcess::NotRunning; }));
    QCOMPARE(p.exitCode(), 8);
    QVERIFY(p.readAllStandardError().contains("removed"));
}

// The example in the protocol document, run against a real server.
void TestTool::pythonExampleClient()
{
    const QString python = QStandardPaths::findExecutable("python3");
    if (python.isEmpty())
        QSKIP("python3 is not installed");
    const QString script = qEnvironmentVariable("TESMIRA_SOURCE_DIR") + "/docs/examples/link_client.py";
    auto runPy = [&](const QStringList& args) {
        QProcess p;
        p.start(python, QStringList {script} + args);
        waitFor([&] { return p.state() == QProcess::NotRunning; }, 15000);
        return std::make_pair(p.exitCode(), p.readAllStandardOutput() + p.readAllStandardError());
    };
    auto r = runPy({"request", "tesmira", "C(1)", "P(8)"});
    QCOMPARE(r.first, 0);
    QCOMPARE(r.second, QByteArray("'5\\r\\nzwei\\\\drei µ'\n"));
    r = runPy({"poke", "Tesmira", "C(1)", "P(9)", "42"});
    QCOMPARE(r.first, 0);
    QCOMPARE(m_server->item("C(1)", "P(9)"), QString("42"));
    r = runPy({"request", "Tesmira", "C(1)", "P(4)"});
    QCOMPARE(r.first, 1);
    QVERIFY(r.second.contains("NO_ITEM"));
    QString err;
    QVERIFY(m_server->listenTcp(0, &err));
    r = runPy({"--tcp", QString::number(m_server->tcpPort()), "request", "Tesmira", "C(1)", "P(9)"});
    QCOMPARE(r.second, QByteArray("'42'\n"));
}

QTEST_GUILESS_MAIN(TestTool)
#include "tst_tool.moc"
