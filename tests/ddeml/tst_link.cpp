// The link layer: framing of the wire protocol on literal byte strings, then
// the server on this thread with blocking clients on worker threads through
// real Unix and TCP sockets, misbehaving peers by hand, and the tesmira-dde
// tool and the documented Python example as separate processes.
#include "Client.h"
#include "FuzzChecks.h"
#include "LinkTestUtil.h"
#include "Protocol.h"
#include "Registry.h"
#include "Server.h"
#include "TestHome.h"

#include <QEventLoop>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QStandardPaths>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <memory>
#include <sys/stat.h>

using namespace linktest;
using ddeml::AdviseEvent;
using ddeml::AdviseMode;
using ddeml::Client;
using ddeml::ClientError;
using ddeml::FrameReader;
using ddeml::Message;

namespace {

struct Fixture {
    TestHome home;
    ddeml::Server server;
    Fixture()
    {
        QString err;
        if (!server.registerService(QStringLiteral("Tesmira"), &err))
            qFatal("registerService: %s", qPrintable(err));
        server.addTopic(QStringLiteral("C(1)"));
        server.createItem(QStringLiteral("C(1)"), QStringLiteral("P(0)"), QStringLiteral("paramread"));
        server.createItem(QStringLiteral("C(1)"), QStringLiteral("P(8)"), QStringLiteral("Measure"));
        server.createItem(QStringLiteral("C(1)"), QStringLiteral("P(9)"), QStringLiteral("Setpoint"));
    }
    quint16 listenTcp()
    {
        QString err;
        if (!server.listenTcp(0, &err))
            qFatal("listenTcp: %s", qPrintable(err));
        return server.tcpPort();
    }
    void limitBacklog()
    {
        ddeml::ServerLimits lim;
        lim.maxOutputBacklog = 256 * 1024;
        server.setLimits(lim);
    }
};

// The world of the tool tests: P(8) holds a CR LF, a backslash and non-ASCII
// text; pokes are recorded and "refuse" is refused.
struct ToolWorld : Fixture {
    QStringList pokes;
    ToolWorld()
    {
        server.setItem("C(1)", "P(8)", QString::fromUtf8("5\r\nzwei\\drei µ"));
        server.setPokeHandler([this](const QString&, const QString& item, const QString& v) {
            pokes << item + "=" + v;
            return v == "refuse" ? QStringLiteral("refused by the test") : QString();
        });
    }
};

struct Run {
    int code = -1;
    QByteArray out, err;
};

// Runs a program while the server keeps serving on this thread.
Run run(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(5000))
        qFatal("cannot start %s", qPrintable(program));
    p.write(input);
    p.closeWriteChannel();
    waitFor([&] { return p.state() == QProcess::NotRunning; }, 15000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

QString tool() { return qEnvironmentVariable("TESMIRA_BIN_DIR") + "/tesmira-dde"; }
Run dde(const QStringList& args, const QByteArray& input = {}) { return run(tool(), args, input); }

FrameReader::Result next(FrameReader& r, Message* m)
{
    QByteArray tok;
    QString text;
    return r.next(m, &tok, &text);
}

QByteArray allBytes()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    return all;
}

} // namespace

class TestLink : public QObject {
    Q_OBJECT
private slots:
    void framesAcrossChunks()
    {
        FrameReader r({"POKE"});
        const QByteArray wire = "REQUEST P(8)\nPOKE P(9) 5\nab\ncdADVISE P(1) HOT\n";
        Message m;
        // Fed one byte at a time, a message is handed out only when whole.
        QList<Message> got;
        for (char c : wire) {
            r.append(&c, 1);
            while (next(r, &m) == FrameReader::Result::Ready)
                got << m;
        }
        QCOMPARE(got.size(), 3);
        QCOMPARE(got[0].verb, QByteArray("REQUEST"));
        QCOMPARE(got[0].args, QList<QByteArray>({"P(8)"}));
        QCOMPARE(got[1].verb, QByteArray("POKE"));
        QCOMPARE(got[1].args, QList<QByteArray>({"P(9)"}));
        QVERIFY(got[1].hasPayload);
        QCOMPARE(got[1].payload, QByteArray("ab\ncd"));
        QCOMPARE(got[2].args, QList<QByteArray>({"P(1)", "HOT"}));
        QCOMPARE(r.buffered(), 0);

        const QByteArray value = allBytes() + "\r\n\r\n";
        const QByteArray data = ddeml::payloadMessage("DATA", {"P(8)"}, value);
        QCOMPARE(data.left(14), QByteArray("DATA P(8) 260\n"));
        FrameReader d({"DATA"});
        d.append(data);
        QCOMPARE(next(d, &m), FrameReader::Result::Ready);
        QCOMPARE(m.payload, value);
        QCOMPARE(next(d, &m), FrameReader::Result::NeedMore);

        // CR before LF and runs of blanks.
        FrameReader e({});
        e.append("ERR  NO_ITEM   no item P(3) on topic C(1)\r\n");
        QCOMPARE(next(e, &m), FrameReader::Result::Ready);
        QCOMPARE(m.verb, QByteArray("ERR"));
        QCOMPARE(m.args.first(), QByteArray("NO_ITEM"));
        QCOMPARE(m.rest, QByteArray("NO_ITEM   no item P(3) on topic C(1)"));
    }

    void frameBoundsAreErrors_data()
    {
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("token");
        QTest::newRow("long line") << QByteArray(150, 'x') + '\n' << QByteArray("LINE_TOO_LONG");
        QTest::newRow("huge count") << QByteArray("POKE P(1) 99999999999999\n") << QByteArray("VALUE_TOO_LARGE");
        QTest::newRow("negative count") << QByteArray("POKE P(1) -5\n") << QByteArray("BAD_ARGUMENTS");
        QTest::newRow("no count") << QByteArray("POKE\n") << QByteArray("BAD_ARGUMENTS");
    }
    void frameBoundsAreErrors()
    {
        QFETCH(QByteArray, wire);
        FrameReader r({"POKE"}, 100, 1000);
        r.append(wire);
        Message m;
        QByteArray tok;
        QString text;
        QCOMPARE(r.next(&m, &tok, &text), FrameReader::Result::Error);
        QTEST(tok, "token");
        QVERIFY(!text.isEmpty());
    }

    void escapesAndNames()
    {
        const QByteArray esc = ddeml::escapeValue(allBytes());
        QVERIFY(!esc.contains('\n') && !esc.contains('\r'));
        QByteArray back;
        QVERIFY(ddeml::unescapeValue(esc, &back));
        QCOMPARE(back, allBytes());
        QCOMPARE(ddeml::escapeValue("5\r\n"), QByteArray("5\\r\\n"));
        QCOMPARE(ddeml::escapeValue("a\\b\x01\x7f"), QByteArray("a\\\\b\\x01\\x7F"));
        QCOMPARE(ddeml::escapeValue("Flüss"), QByteArray("Flüss"));
        for (const char* bad : {"end\\", "\\q", "\\x4", "\\x+1"})
            QVERIFY2(!ddeml::unescapeValue(bad, &back), bad);
        QVERIFY(ddeml::isValidName("C(1)"));
        QVERIFY(ddeml::isValidName("Flüsse"));
        for (const QByteArray& bad : {QByteArray(), QByteArray("two words"), QByteArray("tab\there"), QByteArray(256, 'a')})
            QVERIFY2(!ddeml::isValidName(bad), bad.constData());
    }

    // The fuzz target's properties on a few seconds of random input (a broken
    // property aborts with its name).
    void randomInputKeepsReaderProperties()
    {
        const auto seeds = fuzzchecks::corpus(qEnvironmentVariable("TESMIRA_SOURCE_DIR").toStdString()
                                              + "/fuzz/corpus/link");
        QVERIFY(!seeds.empty());
        QVERIFY(fuzzchecks::randomInputs(fuzzchecks::linkFrames, seeds, 1500, 11) > 1000);
    }

    void registryFolderAndModes()
    {
        Fixture f;
        const QString dir = f.home.runtime() + "/dde";
        QCOMPARE(ddeml::serviceDir(), dir);
        struct stat st {};
        QCOMPARE(::stat(qPrintable(dir), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
        QCOMPARE(::stat(qPrintable(dir + "/Tesmira"), &st), 0);
        QVERIFY(S_ISSOCK(st.st_mode));
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(ddeml::findServiceSocket("TESMIRA"), dir + "/Tesmira");
        f.server.unregisterService();
        QVERIFY(!QFileInfo::exists(dir + "/Tesmira"));
        QVERIFY(ddeml::findServiceSocket("Tesmira").isEmpty());
    }

    void connectAndRequest()
    {
        Fixture f;
        const quint16 port = f.listenTcp();
        inThread([port] {
            // (Unknown service, topic and item over the socket: the tool's exit codes.)
            Client c;
            QVERIFY(!c.connectTcp(port, "Other", "C(1)"));
            QCOMPARE(c.error(), ClientError::NoService);
            QVERIFY(!c.isConnected());
            // Names compare without regard to case.
            QVERIFY2(c.connect("tesmira", "c(1)", 1000), qPrintable(c.errorString()));
            QString v;
            QVERIFY(c.request("p(9)", &v));
            QCOMPARE(v, QString("Setpoint"));
            QVERIFY(!c.request("P(77)", &v));
            QCOMPARE(c.error(), ClientError::NoItem);
            // A refusal does not end the conversation.
            QVERIFY(c.request("P(8)", &v));
            QCOMPARE(v, QString("Measure"));
            QVERIFY(ddeml::Request("TESMIRA", "C(1)", "p(8)", 1000, &v));
            QCOMPARE(v, QString("Measure"));
        });
        QVERIFY(waitFor([&] { return f.server.conversationCount() == 0; }));
    }

    void hotAdviseAndUnadvise()
    {
        Fixture f;
        std::atomic<int> stage {0};
        auto done = background([&] {
            Client c;
            if (!c.connect("Tesmira", "C(1)") || !c.advise("p(8)", AdviseMode::Hot))
                return QStringLiteral("advise failed: ") + c.errorString();
            AdviseEvent ev;
            QStringList got;
            if (!c.nextAdvise(&ev, 5000))
                return QStringLiteral("no initial value");
            got << QString::fromUtf8(ev.value);
            stage = 1;
            for (int i = 0; i < 2; ++i) {
                if (!c.nextAdvise(&ev, 5000) || ev.kind != AdviseEvent::Kind::Data)
                    return QStringLiteral("missing push");
                got << ev.item + "=" + QString::fromUtf8(ev.value);
            }
            if (!c.unadvise("P(8)"))
                return c.errorString();
            stage = 2;
            while (stage != 3)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            // Replies come in order after pushes, so a request round trip
            // proves that nothing more was pushed after the unadvise.
            QString v;
            if (!c.request("P(8)", &v) || c.pendingAdvise() != 0)
                return QStringLiteral("push after unadvise");
            if (c.unadvise("P(8)") || c.error() != ClientError::NotAdvised)
                return QStringLiteral("second unadvise accepted");
            return got.join(',') + ";" + v;
        });
        QVERIFY(waitFor([&] { return stage == 1; }));
        QCOMPARE(f.server.adviseLinkCount("C(1)", "P(8)"), 1);
        QVERIFY(f.server.setItem("C(1)", "P(8)", "12.5"));
        QVERIFY(f.server.setItem("C(1)", "P(8)", "12.5")); // the same text again: nothing pushed
        QVERIFY(f.server.setItem("C(1)", "P(8)", "12.6"));
        QVERIFY(waitFor([&] { return stage == 2; }));
        QCOMPARE(f.server.adviseLinkCount("C(1)", "P(8)"), 0);
        f.server.setItem("C(1)", "P(8)", "13");
        stage = 3;
        QCOMPARE(resultOf(done), QString("Measure,p(8)=12.5,p(8)=12.6;13"));
    }

    void warmAdvise()
    {
        Fixture f;
        std::atomic<bool> linked {false};
        auto done = background([&] {
            Client c;
            if (!c.connect("Tesmira", "C(1)") || !c.advise("P(9)", AdviseMode::Warm))
                return QStringLiteral("advise failed");
            linked = true;
            AdviseEvent ev;
            if (!c.nextAdvise(&ev, 5000))
                return QStringLiteral("no notice");
            if (ev.kind != AdviseEvent::Kind::Changed || !ev.value.isEmpty())
                return QStringLiteral("a warm link carried data");
            QString v;
            c.request(ev.item, &v);
            return ev.item + "=" + v;
        });
        QVERIFY(waitFor([&] { return linked.load(); }));
        f.server.setItem("C(1)", "P(9)", "40.0");
        QCOMPARE(resultOf(done), QString("P(9)=40.0"));
    }

    void pokeIsAcknowledgedAfterHandler()
    {
        Fixture f;
        std::atomic<bool> handlerDone {false}, pokeSeen {false}, otherServed {false};
        QStringList seen;
        f.server.setPokeHandler([&](const QString& t, const QString& i, const QString& v) {
            seen = QStringList {t, i, v, f.server.item(t, i)};
            pokeSeen = true;
            // Waits as the server does for a bus reply: a nested event loop,
            // during which another client must still be answered.
            QEventLoop loop;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
                if (otherServed)
                    loop.quit();
            });
            poll.start(1);
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
            loop.exec();
            handlerDone = true;
            return QString();
        });
        auto other = background([&] {
            while (!pokeSeen)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            QString v;
            otherServed = ddeml::Request("Tesmira", "C(1)", "P(8)", 2000, &v);
            return otherServed && !handlerDone;
        });
        QVERIFY(inThread([&] {
            Client c;
            return c.connect("Tesmira", "C(1)") && c.poke("p(9)", QStringLiteral("55.5"), 8000) && handlerDone;
        }));
        QVERIFY(resultOf(other)); // answered while the handler was still waiting
        // The server's own spelling of the item; the text is stored before the handler runs.
        QCOMPARE(seen, QStringList({"C(1)", "P(9)", "55.5", "55.5"}));
        QCOMPARE(f.server.item("C(1)", "P(9)"), QString("55.5"));
    }

    void pokesOfOneConversationAreSerialised()
    {
        Fixture f;
        int depth = 0, maxDepth = 0;
        QStringList order;
        f.server.setPokeHandler([&](const QString&, const QString&, const QString& v) {
            maxDepth = qMax(maxDepth, ++depth);
            order << v;
            QEventLoop loop;
            QTimer::singleShot(20, &loop, &QEventLoop::quit);
            loop.exec();
            --depth;
            return QString();
        });
        // Three pokes sent back to back without waiting; each is handled
        // only after the previous one was acknowledged. (The requested
        // value "b" has no line end of its own: it runs into the next OK.)
        RawPeer p(f.server.socketPath());
        QVERIFY(p.ok());
        p.send("CONNECT Tesmira C(1)\nPOKE P(9) 1\naPOKE P(9) 1\nbREQUEST P(9)\nPOKE P(9) 1\nc");
        QByteArray got;
        inThread([&] {
            for (int i = 0; i < 5; ++i)
                got += p.readLine() + ';';
        });
        QCOMPARE(got, QByteArray("OK;OK;OK;VALUE 1;bOK;"));
        QCOMPARE(order, QStringList({"a", "b", "c"}));
        QCOMPARE(maxDepth, 1);
    }

    void pokeFailureAndExecuteAndFormat()
    {
        Fixture f;
        QSignalSpy errors(&f.server, &ddeml::Server::linkError);
        f.server.setPokeHandler([](const QString&, const QString&, const QString& v) {
            return v == "bad" ? QStringLiteral("Value out of\nrange") : QString();
        });
        inThread([] {
            Client c;
            QVERIFY(c.connect("Tesmira", "C(1)"));
            QVERIFY(!c.poke("P(9)", QStringLiteral("bad")));
            QCOMPARE(c.error(), ClientError::PokeFailed);
            // The handler's reason reaches the client, kept on one line.
            QVERIFY(c.errorString().contains("Value out of range"));
            QByteArray v;
            QVERIFY(!c.request("P(8)", &v, 2000, "BITMAP"));
            QCOMPARE(c.error(), ClientError::BadFormat);
            QVERIFY(c.request("P(8)", &v, 2000, "text"));
        });
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors.at(0), QVariantList({"C(1)", "P(9)", 8}));
        QCOMPARE(errors.at(1), QVariantList({"C(1)", "P(8)", 1}));
        // The refused poke still left its text in the item.
        QCOMPARE(f.server.item("C(1)", "P(9)"), QString("bad"));
    }

    void valuesRoundTripUnchanged()
    {
        Fixture f;
        const quint16 port = f.listenTcp();
        const QString text = QString::fromUtf8("5\r\nZeile 2\r\n\tµ°C – Durchfluß\n");
        f.server.setItem("C(1)", "P(8)", text);
        const QByteArray raw("a\r\n\0b\xff\xfe\x80 end \r", 14);
        inThread([&] {
            Client c, tcp;
            QVERIFY(c.connect("Tesmira", "C(1)"));
            QString v;
            QVERIFY(c.request("P(8)", &v));
            QCOMPARE(v, text);
            QVERIFY(c.advise("P(8)", AdviseMode::Hot));
            AdviseEvent ev;
            QVERIFY(c.nextAdvise(&ev, 2000));
            QCOMPARE(ev.value, text.toUtf8());
            // Bytes that are not UTF-8 and a NUL survive a poke and a
            // request, over TCP as well.
            QVERIFY2(tcp.connectTcp(port, "Tesmira", "C(1)"), qPrintable(tcp.errorString()));
            QVERIFY(tcp.poke("P(9)", raw));
            QByteArray back;
            QVERIFY(c.request("P(9)", &back));
            QCOMPARE(back, raw);
            QVERIFY(tcp.request("P(9)", &back));
            QCOMPARE(back, raw);
        });
        QCOMPARE(f.server.itemBytes("C(1)", "P(9)"), raw);
    }

    // Values up to the documented bound travel both ways, whatever the
    // socket buffers; half-sent messages, whether the peer goes away or
    // just stops, end their conversation and leave nothing behind.
    void largePokesAndHalfSentMessages()
    {
        Fixture f;
        ddeml::ServerLimits lim;
        lim.frameTimeoutMs = 300;
        f.server.setLimits(lim);
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
                QVERIFY(p.send(half) == half.size());
            }
            // One that stays silent is cut off after the time-out.
            RawPeer stuck(f.server.socketPath());
            stuck.send("CONNECT Tesmira C(1)\nPOKE P(9) 10\n12345");
            QCOMPARE(stuck.readLine(), QByteArray("OK"));
            QVERIFY(stuck.readLine(3000).startsWith("ERR TIMEOUT "));
            QVERIFY(stuck.waitClosed());
        });
        QVERIFY(waitFor([&] { return f.server.conversationCount() == 0; }));
        QVERIFY(waitFor([&] { return openFds() == fdsBefore; }));
        QCOMPARE(f.server.item("C(1)", "P(9)"), QString(big));
    }

    // Over TCP only the holder of the token file (the server's user) is
    // served; the client library shows it by itself.
    void tcpNeedsTheToken()
    {
        Fixture f;
        const quint16 port = f.listenTcp();
        const QString tokenPath = ddeml::tcpTokenPath(port);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(tokenPath).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QFile file(tokenPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray token = file.readAll().trimmed();
        QCOMPARE(token.size(), 32);
        const QList<QPair<QByteArray, QByteArray>> cases = {
            {"CONNECT Tesmira C(1)\n", "ERR AUTH_REQUIRED "},
            {"AUTH " + QByteArray(32, '0') + "\nCONNECT Tesmira C(1)\n", "ERR AUTH_FAILED "},
            {"AUTH\n", "ERR AUTH_FAILED "},
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
        QVERIFY(!QFileInfo::exists(tokenPath));
        inThread([&] {
            Client c;
            QVERIFY(!c.connectTcp(port, "Tesmira", "C(1)"));
            QCOMPARE(c.error(), ClientError::NoService);
        });
    }

    void advise129thLinkGivesCode7()
    {
        Fixture f;
        QSignalSpy errors(&f.server, &ddeml::Server::linkError);
        std::vector<std::unique_ptr<Client>> clients;
        inThread([&] {
            for (int i = 0; i < 128; ++i) {
                auto c = std::make_unique<Client>();
                QVERIFY(c->connect("Tesmira", "C(1)"));
                QVERIFY2(c->advise("P(8)", i % 2 ? AdviseMode::Hot : AdviseMode::Warm), qPrintable(c->errorString()));
                clients.push_back(std::move(c));
            }
            // Advising again on a conversation that has a link takes no new link.
            QVERIFY(clients[0]->advise("P(8)", AdviseMode::Hot));
            Client last;
            QVERIFY(last.connect("Tesmira", "C(1)"));
            QVERIFY(!last.advise("P(8)", AdviseMode::Hot));
            QCOMPARE(last.error(), ClientError::NoFreeLink);
            QVERIFY(last.advise("P(9)", AdviseMode::Hot)); // other items are not affected
        });
        QCOMPARE(f.server.adviseLinkCount("C(1)", "P(8)"), 128);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0), QVariantList({"C(1)", "P(8)", 7}));
        clients.clear();
        QVERIFY(waitFor([&] { return f.server.adviseLinkCount("C(1)", "P(8)") == 0; }));
    }

    void topicRemovalClosesConversations()
    {
        Fixture f;
        f.server.addTopic("C(2)");
        f.server.createItem("C(2)", "P(8)", "x");
        std::atomic<int> linked {0};
        auto watcher = background([&] {
            Client c;
            if (!c.connect("Tesmira", "C(1)") || !c.advise("P(8)", AdviseMode::Hot))
                return QStringLiteral("no link");
            AdviseEvent ev;
            c.nextAdvise(&ev, 2000); // current value
            ++linked;
            if (!c.nextAdvise(&ev, 10000) || ev.kind != AdviseEvent::Kind::Closed)
                return QStringLiteral("not closed");
            QString v;
            if (c.request("P(8)", &v) || c.error() != ClientError::TopicClosed)
                return QStringLiteral("still usable");
            return QStringLiteral("closed");
        });
        Client other; // on another topic: unaffected
        inThread([&] {
            QVERIFY(other.connect("Tesmira", "C(2)"));
            ++linked;
        });
        QVERIFY(waitFor([&] { return linked == 2; }));
        f.server.removeTopic("c(1)");
        QVERIFY(!f.server.hasTopic("C(1)"));
        QCOMPARE(resultOf(watcher), QString("closed"));
        inThread([&] {
            QString v;
            QVERIFY(other.request("P(8)", &v));
            Client c;
            QVERIFY(!c.connect("Tesmira", "C(1)"));
            QCOMPARE(c.error(), ClientError::NoTopic);
        });
        QVERIFY(waitFor([&] { return f.server.conversationCount() == 1; }));
    }

    void staleSocketReclaimedLiveOneKept()
    {
        TestHome home;
        auto startChild = [](QProcess& p) {
            p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            p.start(QCoreApplication::applicationFilePath(), {"--serve", "Tesmira"});
            return p.waitForReadyRead(10000) && p.readLine().trimmed() == "READY";
        };
        {
            // A server that dies without cleaning up leaves its socket behind.
            QProcess child;
            QVERIFY(startChild(child));
            child.kill();
            QVERIFY(child.waitForFinished(5000));
            QVERIFY(QFileInfo::exists(ddeml::serviceDir() + "/Tesmira"));
            QVERIFY(ddeml::findServiceSocket("Tesmira").size() > 0);
            QString v;
            QVERIFY(!ddeml::Request("Tesmira", "Server", "Status", 1000, &v));
            ddeml::Server s;
            QString err;
            QVERIFY2(s.registerService("tesmira", &err), qPrintable(err));
        }
        QProcess child;
        QVERIFY(startChild(child));
        ddeml::Server s;
        QString err;
        QVERIFY(!s.registerService("TESMIRA", &err));
        QVERIFY(err.contains("in use"));
        // The running one still answers, as the single-instance check needs.
        QString v;
        QVERIFY(inThread([&] { return ddeml::Request("Tesmira", "Server", "Status", 2000, &v); }));
        QCOMPARE(v, QString("Idle"));
        child.terminate();
        QVERIFY(child.waitForFinished(5000));
    }

    void malformedInputGetsErrors()
    {
        Fixture f;
        RawPeer p(f.server.socketPath());
        inThread([&] {
            p.send("REQUEST P(8)\n");
            QVERIFY(p.readLine().startsWith("ERR NOT_CONNECTED "));
            p.send("CONNECT Tesmira C(1)\nFROB x\n\nREQUEST\nADVISE P(8) LUKEWARM\nCONNECT Tesmira C(1)\n");
            QCOMPARE(p.readLine(), QByteArray("OK"));
            for (const char* reply : {"ERR BAD_COMMAND unknown command FROB", "ERR BAD_COMMAND ",
                                      "ERR BAD_ARGUMENTS usage: REQUEST", "ERR BAD_ARGUMENTS ", "ERR ALREADY_CONNECTED "})
                QVERIFY2(p.readLine().startsWith(reply), reply);
            p.send("POKE P(9) 99999999\n");
            QVERIFY(p.readLine().startsWith("ERR VALUE_TOO_LARGE "));
            QVERIFY(p.waitClosed());

            RawPeer q(f.server.socketPath());
            q.send("CONNECT Tesmira C(1)\n" + QByteArray(5000, 'A'));
            QCOMPARE(q.readLine(), QByteArray("OK"));
            QVERIFY(q.readLine().startsWith("ERR LINE_TOO_LONG "));
            QVERIFY(q.waitClosed());

            QString v;
            QVERIFY(ddeml::Request("Tesmira", "C(1)", "P(8)", 2000, &v));
        });
    }

    void silentClientIsDroppedOthersServed()
    {
        Fixture f;
        f.limitBacklog();
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
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(2).toInt(), 11);
        QVERIFY(silent.waitClosed());
    }

    void floodingClientDoesNotDelayOthers()
    {
        Fixture f;
        f.limitBacklog();
        // One client floods requests and never reads a reply.
        std::atomic<bool> stop {false};
        std::atomic<qint64> flooded {0};
        auto flooder = background([&] {
            RawPeer p(f.server.socketPath());
            p.send("CONNECT Tesmira C(1)\n");
            const QByteArray burst = QByteArray("REQUEST P(8)\n").repeated(1000);
            while (!stop) {
                flooded += p.send(burst, 50);
                if (p.broken())
                    return true;
            }
            return false;
        });
        QVERIFY(waitFor([&] { return flooded > 100000; }));
        // Meanwhile other clients get their answers.
        inThread([&] {
            for (int i = 0; i < 200; ++i) {
                QString v;
                QVERIFY(ddeml::Request("Tesmira", "C(1)", "P(9)", 2000, &v));
                QCOMPARE(v, QString("Setpoint"));
            }
        });
        const bool dropped = finished(flooder, 20000);
        stop = true;
        QVERIFY2(dropped && flooder.get(), "the flooding client was not dropped");
    }

    void toolRequestAndPokeForms()
    {
        ToolWorld w;
        const QString port = QString::number(w.listenTcp());
        const QList<QPair<QStringList, QByteArray>> forms = {
            {{"request", "Tesmira", "C(1)", "P(8)"}, "5\\r\\nzwei\\\\drei µ\n"},
            {{"--raw", "request", "tesmira", "c(1)", "p(8)"}, "5\r\nzwei\\drei µ"},
            {{"link", "Tesmira|C(1)!P(9)"}, "Setpoint\n"},
            {{"--tcp", port, "link", "Tesmira|C(1)!P(9)"}, "Setpoint\n"}};
        for (const auto& [args, out] : forms) {
            const Run r = dde(args);
            QCOMPARE(r.code, 0);
            QCOMPARE(r.out, out);
        }
        const Run help = dde({"--help"});
        QVERIFY(help.code == 0 && help.out.contains("Exit codes"));
        // Pokes: plain, with escapes, and bytes from standard input.
        QCOMPARE(dde({"poke", "Tesmira", "C(1)", "P(9)", "12.5"}).code, 0);
        QCOMPARE(w.server.item("C(1)", "P(9)"), QString("12.5"));
        QCOMPARE(dde({"poke", "--escapes", "Tesmira", "C(1)", "P(9)", "5\\r\\n"}).code, 0);
        QCOMPARE(w.server.item("C(1)", "P(9)"), QString("5\r\n"));
        QCOMPARE(dde({"poke", "--stdin", "Tesmira", "C(1)", "P(9)"}, QByteArray("a\nb\0c", 5)).code, 0);
        QCOMPARE(w.server.itemBytes("C(1)", "P(9)"), QByteArray("a\nb\0c", 5));
        QCOMPARE(w.pokes.size(), 3);
        QCOMPARE(w.pokes.first(), QString("P(9)=12.5"));
    }

    void toolFailuresHaveDistinctExitCodes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no service") << QStringList {"request", "Nobody", "C(1)", "P(8)"} << 3 << QByteArray("No service Nobody");
        QTest::newRow("no topic") << QStringList {"link", "Tesmira|C(5)!P(8)"} << 4 << QByteArray("no topic C(5)");
        QTest::newRow("no item") << QStringList {"request", "Tesmira", "C(1)", "P(4)"} << 5 << QByteArray("no item P(4)");
        QTest::newRow("refused poke") << QStringList {"poke", "Tesmira", "C(1)", "P(9)", "refuse"} << 6 << QByteArray("refused by the test");
        QTest::newRow("execute") << QStringList {"execute", "Tesmira", "C(1)", "[x]"} << 6 << QByteArray("no execute");
        QTest::newRow("bad link text") << QStringList {"link", "Tesmira!P(8)"} << 2 << QByteArray("SERVICE|TOPIC!ITEM");
        QTest::newRow("missing arguments") << QStringList {"poke", "Tesmira", "C(1)"} << 2 << QByteArray("needs");
        QTest::newRow("unknown command") << QStringList {"frob"} << 2 << QByteArray("unknown command");
    }
    void toolFailuresHaveDistinctExitCodes()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, message);
        ToolWorld w;
        const Run r = dde(args);
        QTEST(r.code, "code");
        QVERIFY2(r.err.contains(message), r.err.constData());
        QVERIFY(r.out.isEmpty());
    }

    void toolAdvise()
    {
        ToolWorld w;
        // Advise until interrupted: current values, then every change.
        QProcess p;
        p.start(tool(), {"advise", "Tesmira", "C(1)", "P(9)", "p(8)"});
        QVERIFY(waitFor([&] { return w.server.adviseLinkCount("C(1)", "P(8)") == 1; }));
        w.server.setItem("C(1)", "P(9)", "1\n2");
        QByteArray out;
        auto lines = [&](QProcess& proc, int n) {
            return waitFor([&] {
                out += proc.readAllStandardOutput();
                return out.count('\n') >= n;
            });
        };
        QVERIFY(lines(p, 3));
        QCOMPARE(out, QByteArray("P(9)\tSetpoint\np(8)\t5\\r\\nzwei\\\\drei µ\nP(9)\t1\\n2\n"));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(waitFor([&] { return p.state() == QProcess::NotRunning; }));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);

        // A warm link shows the current value, then each new value after a notice.
        QProcess warm;
        warm.start(tool(), {"advise", "--warm", "Tesmira", "C(1)", "P(9)"});
        out.clear();
        QVERIFY(lines(warm, 1));
        w.server.setItem("C(1)", "P(9)", "3");
        QVERIFY(lines(warm, 2));
        QCOMPARE(out, QByteArray("1\\n2\n3\n"));
        warm.terminate();
        QVERIFY(waitFor([&] { return warm.state() == QProcess::NotRunning; }));
        QCOMPARE(warm.exitCode(), 0);

        // An advise ends with code 8 when its topic goes.
        QProcess link;
        link.start(tool(), {"link", "--advise", "Tesmira|C(1)!P(9)"});
        QVERIFY(waitFor([&] { return w.server.adviseLinkCount("C(1)", "P(9)") == 1; }));
        w.server.removeTopic("C(1)");
        QVERIFY(waitFor([&] { return link.state() == QProcess::NotRunning; }));
        QCOMPARE(link.exitCode(), 8);
        QVERIFY(link.readAllStandardError().contains("removed"));
    }

    // The example in the protocol document, run against a real server.
    void pythonExampleClient()
    {
        const QString python = QStandardPaths::findExecutable("python3");
        if (python.isEmpty())
            QSKIP("python3 is not installed");
        ToolWorld w;
        const QString script = qEnvironmentVariable("TESMIRA_SOURCE_DIR") + "/docs/examples/link_client.py";
        auto py = [&](const QStringList& args) { return run(python, QStringList {script} + args); };
        Run r = py({"request", "tesmira", "C(1)", "P(8)"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("'5\\r\\nzwei\\\\drei µ'\n"));
        QCOMPARE(py({"poke", "Tesmira", "C(1)", "P(9)", "42"}).code, 0);
        QCOMPARE(w.server.item("C(1)", "P(9)"), QString("42"));
        r = py({"request", "Tesmira", "C(1)", "P(4)"});
        QCOMPARE(r.code, 1);
        QVERIFY(r.out.contains("NO_ITEM") || r.err.contains("NO_ITEM"));
        r = py({"--tcp", QString::number(w.listenTcp()), "request", "Tesmira", "C(1)", "P(9)"});
        QCOMPARE(r.out, QByteArray("'42'\n"));
    }
};

// With --serve NAME the test program is a small server of its own: the tests
// of stale and live service names need one in another process.
static int serve(const QString& name)
{
    ddeml::Server s;
    QString err;
    if (!s.registerService(name, &err)) {
        fprintf(stderr, "%s\n", qPrintable(err));
        return 1;
    }
    s.addTopic("Server");
    s.createItem("Server", "Status", "Idle");
    printf("READY\n");
    fflush(stdout);
    return QCoreApplication::exec();
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--serve") {
        signal(SIGTERM, [](int) { _exit(0); });
        return serve(QString::fromLocal8Bit(argv[2]));
    }
    TestLink t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_link.moc"
