// The link layer: the server on this thread with blocking clients on worker
// threads through real Unix and TCP sockets, peers that speak the wire
// protocol by hand, and the tesmira-dde tool and the documented Python
// example as separate processes. The framing rules themselves are checked on
// random input by the fuzz target's properties.
#include "Client.h"
#include "FuzzChecks.h"
#include "LinkTestUtil.h"
#include "ProcessRig.h"
#include "Protocol.h"
#include "Registry.h"
#include "Shipped.h"
#include "Server.h"
#include "TestHome.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>

#include <atomic>
#include <csignal>
#include <sys/stat.h>

using namespace linktest;
using ddeml::AdviseEvent;
using ddeml::AdviseMode;
using ddeml::Client;

namespace {

struct Fixture {
    TestHome home;
    ddeml::Server server;
    QString error; // why the service could not be set up; each test checks it first
    Fixture()
    {
        if (!server.registerService(QStringLiteral("Tesmira"), &error))
            return;
        server.addTopic(QStringLiteral("C(1)"));
        server.createItem(QStringLiteral("C(1)"), QStringLiteral("P(8)"), QStringLiteral("Measure"));
        server.createItem(QStringLiteral("C(1)"), QStringLiteral("P(9)"), QStringLiteral("Setpoint"));
    }
    quint16 listenTcp() // 0, with the reason in error, when it cannot listen
    {
        return server.listenTcp(0, &error) ? server.tcpPort() : 0;
    }
};

// The world of the tool tests: P(8) holds a CR LF, a backslash and non-ASCII
// text; pokes of "refuse" are refused. C(1) describes its items as the
// server's channel topics do; C(2) has only a list.
struct ToolWorld : Fixture {
    ToolWorld()
    {
        server.setItem("C(1)", "P(8)", QString::fromUtf8("5\r\nzwei\\drei µ"));
        server.createItem("C(1)", "TopicItemList", "P(8)\tP(9)");
        server.createItem("C(1)", "TopicItemNames", "measure\tsetpoint");
        server.createItem("C(1)", "TopicItemInfo", "Item\tName\tLongName\tUnit\tType\tMin\tMax\tAccess\tPolled\r\n"
                                                   "P(8)\tmeasure\tMeasure\t%\tinteger\t-23593\t41942\tR\tY\r\n"
                                                   "P(9)\tsetpoint\tSetpoint\t%\tinteger\t0\t32000\tRW\tN\r\n");
        server.addTopic("C(2)");
        server.createItem("C(2)", "TopicItemList", "P(1)");
        server.createItem("C(2)", "TopicItemNames", "IDENTSTRNG");
        server.createItem("C(2)", "P(1)", "W");
        server.setPokeHandler([](const QString&, const QString&, const QString& v) {
            return v == "refuse" ? QStringLiteral("refused by the test") : QString();
        });
    }
};

struct Run {
    int code = -1;
    QByteArray out, err;
};

// Waits while this thread serves for a program to end: its exit code, -1
// when it crashed or did not end in time.
int ended(QProcess& p, int timeoutMs = 15000)
{
    const bool done = waitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    return done && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

// Runs a program while the server keeps serving on this thread.
Run run(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return {-1, {}, "cannot start " + program.toUtf8()};
    p.write(input);
    p.closeWriteChannel();
    return {ended(p), p.readAllStandardOutput(), p.readAllStandardError()};
}

// Sends bytes and collects n bytes of replies while this thread serves.
QByteArray say(RawPeer& p, const QByteArray& bytes, qsizetype n)
{
    p.send(bytes);
    QByteArray got;
    waitFor([&] { return (got += p.readAvailable()).size() >= n; }, 5000);
    return got;
}

QString tool() { return qEnvironmentVariable("TESMIRA_BIN_DIR") + "/tesmira-dde"; }
Run dde(const QStringList& args, const QByteArray& input = {}) { return run(tool(), args, input); }

} // namespace

class TestLink : public QObject {
    Q_OBJECT
private slots:
    // The fuzz target's properties on a few seconds of random input (a broken
    // property aborts with its name).
    void randomInputKeepsReaderProperties()
    {
        const auto seeds = fuzzchecks::corpus(qEnvironmentVariable("TESMIRA_SOURCE_DIR").toStdString()
                                              + "/fuzz/corpus/link");
        QVERIFY(!seeds.empty());
        QVERIFY(fuzzchecks::randomInputs(fuzzchecks::linkFrames, seeds, 1500, 11) > 1000);
    }

    // One conversation message by message, with the replies the protocol
    // document shows: a refusal is said and the conversation goes on, advise
    // links carry changes only, a refused format or poke is a link error.
    void conversationReplies()
    {
        Fixture f;
        QVERIFY2(f.error.isEmpty(), qPrintable(f.error));
        QSignalSpy errors(&f.server, &ddeml::Server::linkError);
        f.server.setPokeHandler([](const QString&, const QString&, const QString& v) {
            return v == "bad" ? QStringLiteral("Value out of\nrange") : QString();
        });
        RawPeer p(f.server.socketPath());
        const QList<QPair<QByteArray, QByteArray>> script = {
            {"REQUEST P(8)\n", "ERR NOT_CONNECTED send CONNECT service topic first\n"},
            {"CONNECT tesmira\n", "ERR BAD_ARGUMENTS usage: CONNECT service topic\n"},
            {"CONNECT tesmira c(1)\r\n", "OK\n"},
            {"FROB x\n", "ERR BAD_COMMAND unknown command FROB\n"},
            {"\n", "ERR BAD_COMMAND empty line\n"},
            {"REQUEST\n", "ERR BAD_ARGUMENTS usage: REQUEST item [format]\n"},
            {"ADVISE P(8) LUKEWARM\n", "ERR BAD_ARGUMENTS advise mode must be HOT or WARM\n"},
            {"CONNECT Tesmira C(1)\n", "ERR ALREADY_CONNECTED this link already has a topic\n"},
            {"REQUEST P(77)\n", "ERR NO_ITEM no item P(77) on topic C(1)\n"},
            {"REQUEST p(8) BITMAP\n", "ERR BAD_FORMAT only the format TEXT is offered\n"},
            {"EXECUTE 3\n[x]", "ERR EXECUTE_REFUSED this server accepts no execute commands\n"},
            {"POKE P(9) 3\nbad", "ERR POKE_FAILED Value out of range\n"},
            {"REQUEST P(9) text\n", "VALUE 3\nbad"}, // the refused poke's text stays
            {"ADVISE p(8) HOT\n", "OK\nDATA p(8) 7\nMeasure"},
            {"ADVISE P(9) WARM\n", "OK\n"},
        };
        for (const auto& [send, reply] : script)
            QCOMPARE(say(p, send, reply.size()), reply);
        RawPeer other(f.server.socketPath()); // another service's name ends the link
        const QByteArray noService = "ERR NO_SERVICE no service Elsewhere here\n";
        QCOMPARE(say(other, "CONNECT Elsewhere C(1)\n", noService.size()), noService);
        f.server.setItem("C(1)", "P(8)", "12.5");
        f.server.setItem("C(1)", "P(8)", "12.5"); // the same text again: nothing is sent
        f.server.setItem("C(1)", "P(9)", "40");
        const QByteArray pushed = "DATA p(8) 4\n12.5CHANGED P(9)\n";
        QCOMPARE(say(p, {}, pushed.size()), pushed);
        const QByteArray unadvised = "OK\nERR NOT_ADVISED no advise link on item P(8)\n";
        QCOMPARE(say(p, "UNADVISE P(8)\nUNADVISE P(8)\n", unadvised.size()), unadvised);
        f.server.setItem("C(1)", "P(8)", "13");
        QCOMPARE(say(p, "REQUEST P(8)\n", 10), QByteArray("VALUE 2\n13"));
        QCOMPARE(QList<QVariantList>(errors), QList<QVariantList>({{"C(1)", "P(8)", 1}, {"C(1)", "P(9)", 8}}));
    }

    // Conversations take turns, one message each: a message that comes in
    // while another client's poke is handled is served before that client's
    // next message and answered at once, also while a handler waits in a
    // nested event loop. The
    // pokes of one conversation never overlap, each acknowledged after its
    // handler returned.
    void conversationsTakeTurns()
    {
        Fixture f;
        QVERIFY2(f.error.isEmpty(), qPrintable(f.error));
        RawPeer flood(f.server.socketPath()), quiet(f.server.socketPath());
        QCOMPARE(say(quiet, "CONNECT Tesmira C(1)\n", 3), QByteArray("OK\n"));
        QStringList order;
        int depth = 0, maxDepth = 0;
        QByteArray acks, quietAt04, quietDuringWait;
        qsizetype acksDuringWait = -1;
        f.server.setPokeHandler([&](const QString&, const QString&, const QString& v) {
            maxDepth = qMax(maxDepth, ++depth);
            order << v;
            if (v == "03")
                quiet.send("POKE P(8) 1\nq");
            if (v == "04") // the reply left before the next message was taken
                quietAt04 = quiet.readAvailable();
            if (v == "05") { // waits as the server does for a bus reply
                quiet.send("REQUEST P(9)\n");
                waitFor([&] { return (quietDuringWait += quiet.readAvailable()).endsWith("05"); }, 5000);
                acks += flood.readAvailable();
                acksDuringWait = acks.count('\n');
            }
            --depth;
            return QString();
        });
        QByteArray wire = "CONNECT Tesmira C(1)\n";
        for (int i = 1; i <= 8; ++i)
            wire += "POKE P(9) 2\n0" + QByteArray::number(i);
        wire += "REQUEST P(9)\n";
        flood.send(wire);
        QVERIFY(waitFor([&] { return (acks += flood.readAvailable()).endsWith("08"); }));
        // acksDuringWait: CONNECT and the pokes before the waiting one.
        QCOMPARE(std::tuple(acks, order.join(','), maxDepth, quietAt04, quietDuringWait, acksDuringWait),
                 std::tuple(QByteArray("OK\n").repeated(9) + "VALUE 2\n08", QString("01,02,03,q,04,05,06,07,08"), 1,
                            QByteArray("OK\n"), QByteArray("VALUE 2\n05"), qsizetype(5)));
    }

    // Values up to the documented bound travel both ways, whatever the
    // socket buffers; half-sent messages, whether the peer goes away or
    // just stops, and broken ones end their conversation and leave nothing
    // behind.
    void largePokesAndHalfSentMessages()
    {
        Fixture f;
        QVERIFY2(f.error.isEmpty(), qPrintable(f.error));
        f.server.setLimits({.frameTimeoutMs = 300});
        const QByteArray big(ddeml::kDefaultMaxValue, '7');
        inThread([&] {
            Client c;
            QVERIFY(c.connect("Tesmira", "C(1)"));
            QVERIFY2(c.poke("P(9)", big), qPrintable(c.errorString()));
            QByteArray back;
            QVERIFY(c.request("P(9)", &back));
            QCOMPARE(back, big);
        });
        auto openFds = [] { return QDir("/proc/self/fd").count(); };
        QVERIFY(waitFor([&] { return f.server.conversationCount() == 0; }));
        const auto fdsBefore = openFds();
        const QByteArray half = "CONNECT Tesmira C(1)\nPOKE P(9) 1048576\n" + QByteArray(300000, 'x');
        inThread([&] {
            for (int i = 0; i < 100; ++i) {
                RawPeer p(f.server.socketPath());
                QVERIFY(p.send(half));
            }
            // One that stays silent is cut off after the time-out.
            RawPeer stuck(f.server.socketPath());
            stuck.send("CONNECT Tesmira C(1)\nPOKE P(9) 10\n12345");
            QCOMPARE(stuck.readLine(), QByteArray("OK"));
            QCOMPARE(stuck.readLine(3000), QByteArray("ERR TIMEOUT message not complete after 0.3 s"));
            QVERIFY(stuck.waitClosed());
            // A message that breaks the framing is said and ends its conversation.
            for (const auto& [wire, error] : QList<QPair<QByteArray, QByteArray>> {
                     {QByteArray(5000, 'A'), "ERR LINE_TOO_LONG header line longer than 1024 bytes"},
                     {"POKE P(9) 99999999\n", "ERR VALUE_TOO_LARGE value longer than 1048576 bytes"},
                     {"POKE P(9) -5\n", "ERR BAD_ARGUMENTS bad byte count"}, {"POKE\n", "ERR BAD_ARGUMENTS POKE needs a byte count"}}) {
                RawPeer p(f.server.socketPath());
                p.send("CONNECT Tesmira C(1)\n" + wire);
                QCOMPARE(p.readLine(), QByteArray("OK"));
                QCOMPARE(p.readLine(), error);
                QVERIFY(p.waitClosed());
            }
        });
        QVERIFY(waitFor([&] { return f.server.conversationCount() == 0; }));
        QVERIFY(waitFor([&] { return openFds() == fdsBefore; }));
        QCOMPARE(f.server.item("C(1)", "P(9)"), QString(big));
    }

    // Only the server's user is served: the socket's folder and the socket
    // are the user's alone, and over TCP only the holder of the token file
    // (which the client library shows by itself).
    void onlyTheUserIsServed()
    {
        Fixture f;
        QVERIFY2(f.error.isEmpty(), qPrintable(f.error));
        const quint16 port = f.listenTcp();
        QVERIFY2(port, qPrintable(f.error));
        const QString dir = f.home.runtime() + "/dde", tokenPath = ddeml::tcpTokenPath(port);
        for (const auto& [path, mode] : {std::pair {dir, 0700u}, {dir + "/Tesmira", 0600u}, {tokenPath, 0600u}}) {
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, mode);
        }
        QFile file(tokenPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray token = file.readAll().trimmed();
        const QList<QPair<QByteArray, QByteArray>> cases = {
            {"CONNECT Tesmira C(1)\n", "ERR AUTH_REQUIRED send AUTH with the token from " + QFile::encodeName(tokenPath) + " first\n"},
            {"AUTH " + QByteArray(32, '0') + "\nCONNECT Tesmira C(1)\n", "ERR AUTH_FAILED wrong token\n"},
            {"AUTH " + token + "\nCONNECT Tesmira C(1)\nREQUEST P(8)\n", "OK\nOK\nVALUE 7\nMeasure"},
        };
        inThread([&] {
            for (const auto& [send, reply] : cases) {
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                QVERIFY(s.waitForConnected(2000));
                s.write(send);
                s.waitForBytesWritten(2000);
                QByteArray got;
                while (got.size() < reply.size() && s.waitForReadyRead(2000))
                    got += s.readAll();
                QVERIFY2(got.startsWith(reply), got.constData());
                if (reply.startsWith("ERR"))
                    QVERIFY(s.state() == QAbstractSocket::UnconnectedState || s.waitForDisconnected(2000));
            }
            Client c;
            QVERIFY2(c.connectTcp(port, "Tesmira", "C(1)"), qPrintable(c.errorString()));
        });
        f.server.unregisterService();
        QVERIFY(!QFileInfo::exists(tokenPath) && !QFileInfo::exists(dir + "/Tesmira"));
    }

    // The program killed without cleaning up leaves its socket behind; the
    // next server takes the name in any letter case and removes the leftover.
    // (A live one keeps it: tst_dde_topics.)
    void staleSocketReclaimed()
    {
        processrig::Program program;
        QVERIFY(program.start(""));
        program.process.kill();
        QVERIFY(program.process.waitForFinished(5000));
        QVERIFY(QFileInfo::exists(ddeml::serviceDir() + "/Tesmira"));
        ddeml::Server s;
        QString err;
        QVERIFY2(s.registerService("tesmira", &err), qPrintable(err));
        QCOMPARE(QDir(ddeml::serviceDir()).entryList(QDir::System), QStringList {"tesmira"}); // the dead one's is gone
    }

    // A client that does not read what it is sent is dropped; the others
    // are served.
    void silentClientIsDroppedOthersServed()
    {
        Fixture f;
        QVERIFY2(f.error.isEmpty(), qPrintable(f.error));
        f.server.setLimits({.maxOutputBacklog = 256 * 1024});
        QSignalSpy errors(&f.server, &ddeml::Server::linkError);
        RawPeer silent(f.server.socketPath());
        silent.send("CONNECT Tesmira C(1)\nADVISE P(8) HOT\n");
        QVERIFY(waitFor([&] { return f.server.adviseLinkCount("C(1)", "P(8)") == 1; }));

        constexpr int kValues = 3000;
        std::atomic<bool> linked {false};
        std::atomic<int> received {0};
        auto reader = background([&] {
            Client c;
            if (!c.connect("Tesmira", "C(1)") || !c.advise("P(8)", AdviseMode::Hot))
                return -1;
            AdviseEvent ev;
            c.nextAdvise(&ev, 2000);
            linked = true;
            while (received < kValues && c.nextAdvise(&ev, 5000))
                ++received;
            return received.load();
        });
        QVERIFY(waitFor([&] { return linked.load(); }));
        const QString big(1000, QLatin1Char('v'));
        for (int i = 0; i < kValues; ++i) {
            f.server.setItem("C(1)", "P(8)", big + QString::number(i));
            // Keep pace with the reading client, so that only the silent one
            // builds up a backlog.
            if (i % 50 == 0)
                QVERIFY(waitFor([&] { return received >= i - 200; }));
        }
        QCOMPARE(resultOf(reader), kValues);
        // Only the silent client was dropped (the reader got every value).
        QCOMPARE(QList<QVariantList>(errors), QList<QVariantList>({{"C(1)", "P(8)", 11}}));
        QVERIFY(silent.waitClosed());
        // Its link went with it (the reader's went when it disconnected).
        QVERIFY(waitFor([&] { return f.server.adviseLinkCount("C(1)", "P(8)") == 0; }));
        // So is one that sends requests and never reads the replies.
        auto greedy = background([&] {
            RawPeer p(f.server.socketPath());
            p.send("CONNECT Tesmira C(1)\n");
            if (p.readLine() != "OK")
                return false;
            for (int i = 0; i < 100 && !p.broken(); ++i)
                p.send(QByteArray("REQUEST P(8)\n").repeated(1000), 100);
            return p.broken();
        });
        QVERIFY(resultOf(greedy));
    }

    void toolRequestAndPokeForms()
    {
        ToolWorld w;
        QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
        const QString port = QString::number(w.listenTcp());
        const QList<QPair<QStringList, QByteArray>> forms = {
            {{"request", "Tesmira", "C(1)", "P(8)"}, "5\\r\\nzwei\\\\drei µ\n"},
            {{"--raw", "request", "tesmira", "c(1)", "p(8)"}, "5\r\nzwei\\drei µ"},
            {{"--tcp", port, "link", "Tesmira|C(1)!P(9)"}, "Setpoint\n"}};
        for (const auto& [args, out] : forms) {
            const Run r = dde(args);
            QCOMPARE(std::pair(r.code, r.out), std::pair(0, out));
        }
        // Pokes: plain, with escapes, and bytes from standard input (not
        // UTF-8, with a NUL; they survive over TCP as well).
        const QByteArray raw("a\r\n\0b\xff\x80", 7);
        for (const auto& [args, input, stored] : QList<std::tuple<QStringList, QByteArray, QByteArray>> {
                 {{"poke", "Tesmira", "C(1)", "P(9)", "12.5"}, {}, "12.5"},
                 {{"poke", "--escapes", "Tesmira", "C(1)", "P(9)", "5\\r\\n"}, {}, "5\r\n"},
                 {{"poke", "--stdin", "Tesmira", "C(1)", "P(9)"}, raw, raw}}) {
            QCOMPARE(dde(args, input).code, 0);
            QCOMPARE(w.server.itemBytes("C(1)", "P(9)"), stored);
        }
        QCOMPARE(dde({"--raw", "--tcp", port, "request", "Tesmira", "C(1)", "P(9)"}).out, raw);
    }

    // Runs of the tool as shipped (tests/ddeml/tool-runs.txt: the exit code
    // and every line it wrote; TESMIRA_WRITE_TEXTS=1 writes it anew): help,
    // every usage error, and each failure with its own exit code and text.
    void toolRunsAsShipped()
    {
        ToolWorld w;
        QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
        const QList<QStringList> runs = {
            {"--help"}, {"--version"}, {}, {"frob"}, {"--bogus", "list"}, {"--tcp", "65536", "list"}, {"--tcp", "x", "list"},
            {"--timeout", "-1", "list"}, {"--tcp", "1", "request", "Tesmira", "C(1)", "P(8)"}, {"request", "Tesmira", "C(1)"}, {"request", "Nobody", "C(1)", "P(8)"},
            {"request", "Tesmira", "C(5)", "P(8)"}, {"request", "Tesmira", "C(1)", "P(4)"}, {"request", "Tesmira", "C 1", "P(8)"},
            {"advise", "Tesmira", "C(1)"}, {"--raw", "advise", "Tesmira", "C(1)", "P(8)"}, {"poke", "Tesmira", "C(1)", "P(9)"},
            {"poke", "--stdin", "Tesmira", "C(1)", "P(9)", "5"}, {"poke", "Tesmira", "C(1)", "P(9)", "refuse"},
            {"poke", "--escapes", "Tesmira", "C(1)", "P(9)", "\\q"}, {"poke", "Tesmira", "C(1)", "P(9)", "-9"},
            {"execute", "Tesmira", "C(1)"}, {"execute", "Tesmira", "C(1)", "[x]"}, {"link"}, {"link", "Tesmira!P(8)"},
            {"link", "Tesmira|C(5)!P(8)"}, {"link", "--raw", "--advise", "Tesmira|C(1)!P(8)"}, {"info", "Tesmira"},
            {"info", "Tesmira", "C(1)", "P(8)"}, {"list", "C(1)", "C(2)"}, {"list", "--service", "Nobody"}, {"list"}, {"list", "C(1)"}, {"list", "C(2)"},
            {"info", "Tesmira", "C(1)"}, {"info", "Tesmira", "c(1)", "p(9)"}, {"info", "Tesmira", "C(1)", "P(7)"}};
        QStringList shown;
        const QRegularExpression home(QRegularExpression::escape(QDir::tempPath()) + "/tst_ddeml_link-\\w+");
        for (const QStringList& args : runs) {
            const Run r = dde(args);
            shipped::addRun(shown, "tesmira-dde " + args.join(' '), r.code, QString::fromUtf8(r.out),
                            QString::fromUtf8(r.err).replace(home, "<home>"));
        }
        const QString diff = shipped::differs(shown, "tests/ddeml/tool-runs.txt");
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
    }

    void toolAdvise()
    {
        ToolWorld w;
        QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
        // One item is enough, and its values come without its name.
        QProcess one;
        one.start(tool(), {"advise", "Tesmira", "C(1)", "P(9)"});
        QByteArray value;
        QVERIFY(waitFor([&] { return (value += one.readAllStandardOutput()).endsWith('\n'); }));
        QCOMPARE(value, QByteArray("Setpoint\n"));
        ::kill(pid_t(one.processId()), SIGINT);
        QCOMPARE(ended(one), 0);
        // Advise until interrupted: current values, then every change.
        QProcess p;
        p.start(tool(), {"advise", "Tesmira", "C(1)", "P(9)", "p(8)"});
        QVERIFY(waitFor([&] { return w.server.adviseLinkCount("C(1)", "P(8)") == 1; }));
        w.server.setItem("C(1)", "P(9)", "1\n2");
        QByteArray out;
        QVERIFY(waitFor([&] { return (out += p.readAllStandardOutput()).count('\n') >= 3; }));
        QCOMPARE(out, QByteArray("P(9)\tSetpoint\np(8)\t5\\r\\nzwei\\\\drei µ\nP(9)\t1\\n2\n"));
        ::kill(pid_t(p.processId()), SIGINT);
        QCOMPARE(ended(p), 0);

        // An advise ends with code 8 when its topic goes.
        QProcess link;
        link.start(tool(), {"link", "--advise", "Tesmira|C(1)!P(9)"});
        QVERIFY(waitFor([&] { return w.server.adviseLinkCount("C(1)", "P(9)") == 1; }));
        w.server.removeTopic("C(1)");
        QCOMPARE(ended(link), 8);
        QVERIFY(link.readAllStandardError().contains("removed"));
    }

    // The example in the protocol document, run against a real server.
    void pythonExampleClient()
    {
        const QString python = QStandardPaths::findExecutable("python3");
        if (python.isEmpty())
            QSKIP("python3 is not installed");
        ToolWorld w;
        QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
        const QString script = qEnvironmentVariable("TESMIRA_SOURCE_DIR") + "/docs/examples/link_client.py";
        QCOMPARE(run(python, {script, "poke", "Tesmira", "C(1)", "P(9)", "42"}).code, 0);
        const QString port = QString::number(w.listenTcp());
        const Run r = run(python, {script, "--tcp", port, "request", "Tesmira", "C(1)", "P(8)"});
        QCOMPARE(std::tuple(r.code, r.out, w.server.item("C(1)", "P(9)")),
                 std::tuple(0, QByteArray("'5\\r\\nzwei\\\\drei µ'\n"), QString("42")));
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
