// The link layer through real Unix and TCP sockets: the server on this
// thread, blocking clients on worker threads, misbehaving peers by hand.
#include "Client.h"
#include "LinkTestUtil.h"
#include "Registry.h"
#include "Server.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
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

namespace {

struct Fixture {
    PrivateRuntime runtime;
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
};

} // namespace

class TestLink : public QObject {
    Q_OBJECT
private slots:
    void registryFolderAndModes();
    void connectNeedsServiceAndTopic();
    void requestAndMissingItem();
    void hotAdviseAndUnadvise();
    void warmAdvise();
    void pokeIsAcknowledgedAfterHandler();
    void pokesOfOneConversationAreSerialised();
    void pokeFailureAndExecuteAndFormat();
    void valuesRoundTripUnchanged();
    void advise129thLinkGivesCode7();
    void topicRemovalClosesConversations();
    void staleSocketReclaimedLiveOneKept();
    void malformedInputGetsErrors();
    void silentClientIsDroppedOthersServed();
    void floodingClientDoesNotDelayOthers();
    void tcpListener();
};

void TestLink::registryFolderAndModes()
{
    Fixture f;
    const QString dir = f.runtime.path() + "/dde";
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

void TestLink::connectNeedsServiceAndTopic()
{
    Fixture f;
    inThread([] {
        Client c;
        QVERIFY(!c.connect("Nobody", "C(1)", 1000));
        QCOMPARE(c.error(), ClientError::NoService);
        QVERIFY(!c.connect("Tesmira", "C(7)", 1000));
        QCOMPARE(c.error(), ClientError::NoTopic);
        QVERIFY(!c.isConnected());
        // Names compare without regard to case.
        QVERIFY2(c.connect("tesmira", "c(1)", 1000), qPrintable(c.errorString()));
        QString v;
        QVERIFY(ddeml::Request("TESMIRA", "C(1)", "p(8)", 1000, &v));
        QCOMPARE(v, QString("Measure"));
    });
    QVERIFY(waitFor([&] { return f.server.conversationCount() == 0; }));
}

void TestLink::requestAndMissingItem()
{
    Fixture f;
    inThread([] {
        Client c;
        QVERIFY(c.connect("Tesmira", "C(1)"));
        QString v;
        QVERIFY(c.request("P(9)", &v));
        QCOMPARE(v, QString("Setpoint"));
        QVERIFY(!c.request("P(77)", &v));
        QCOMPARE(c.error(), ClientError::NoItem);
        // A refusal does not end the conversation.
        QVERIFY(c.request("P(8)", &v));
        QCOMPARE(v, QString("Measure"));
    });
}

void TestLink::hotAdviseAndUnadvise()
{
    Fixture f;
    std::atomic<int> stage {0};
    auto done = std::async(std::launch::async, [&] {
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
        // Replies come in order after pushes, so a request round trip proves
        // that nothing more was pushed after the unadvise.
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
    QVERIFY(waitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    QCOMPARE(done.get(), QString("Measure,p(8)=12.5,p(8)=12.6;13"));
}

void TestLink::warmAdvise()
{
    Fixture f;
    std::atomic<bool> linked {false};
    auto done = std::async(std::launch::async, [&] {
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
    QVERIFY(waitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    QCOMPARE(done.get(), QString("P(9)=40.0"));
}

void TestLink::pokeIsAcknowledgedAfterHandler()
{
    Fixture f;
    std::atomic<bool> handlerDone {false};
    std::atomic<bool> pokeSeen {false};
    std::atomic<bool> otherServed {false};
    QString seenTopic, seenItem, seenValue, storedDuringHandler;
    f.server.setPokeHandler([&](const QString& t, const QString& i, const QString& v) {
        seenTopic = t;
        seenItem = i;
        seenValue = v;
        storedDuringHandler = f.server.item(t, i);
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
        return true;
    });
    auto other = std::async(std::launch::async, [&] {
        while (!pokeSeen)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        QString v;
        const bool ok = ddeml::Request("Tesmira", "C(1)", "P(8)", 2000, &v);
        otherServed = ok;
        return ok && !handlerDone;
    });
    const bool acked = inThread([&] {
        Client c;
        if (!c.connect("Tesmira", "C(1)"))
            return false;
        const bool ok = c.poke("p(9)", QStringLiteral("55.5"), 8000);
        return ok && handlerDone.load();
    });
    QVERIFY(acked);
    QVERIFY(other.get()); // answered while the handler was still waiting
    QCOMPARE(seenTopic, QString("C(1)"));
    QCOMPARE(seenItem, QString("P(9)")); // the server's own spelling
    QCOMPARE(seenValue, QString("55.5"));
    QCOMPARE(storedDuringHandler, QString("55.5"));
    QCOMPARE(f.server.item("C(1)", "P(9)"), QString("55.5"));
}

void TestLink::pokesOfOneConversationAreSerialised()
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
        return true;
    });
    // Three pokes sent back to back without waiting; each is handled only
    // after the previous one was acknowledged.
    RawPeer p(f.server.socketPath());
    QVERIFY(p.ok());
    p.send("CONNECT Tesmira C(1)\nPOKE P(9) 1\naPOKE P(9) 1\nbREQUEST P(9)\nPOKE P(9) 1\nc");
    QByteArray got;
    inThread([&] {
        for (int i = 0; i < 5; ++i) {
            const QByteArray line = p.readLine();
            got += line + ';';
            if (line.startsWith("VALUE"))
                got += p.readBytes(1) + ';';
        }
    });
    QCOMPARE(got, QByteArray("OK;OK;OK;VALUE 1;b;OK;"));
    QCOMPARE(order, QStringList({"a", "b", "c"}));
    QCOMPARE(maxDepth, 1);
}

void TestLink::pokeFailureAndExecuteAndFormat()
{
    Fixture f;
    QSignalSpy errors(&f.server, &ddeml::Server::linkError);
    f.server.setPokeHandler([](const QString&, const QString&, const QString& v) { return v != "bad"; });
    inThread([] {
        Client c;
        QVERIFY(c.connect("Tesmira", "C(1)"));
        QVERIFY(!c.poke("P(9)", QStringLiteral("bad")));
        QCOMPARE(c.error(), ClientError::PokeFailed);
        QVERIFY(!c.poke("P(99)", QStringLiteral("1")));
        QCOMPARE(c.error(), ClientError::NoItem);
        QVERIFY(!c.execute("[Open]"));
        QCOMPARE(c.error(), ClientError::ExecuteRefused);
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

void TestLink::valuesRoundTripUnchanged()
{
    Fixture f;
    const QString text = QString::fromUtf8("5\r\nZeile 2\r\n\tµ°C – Durchfluß\n");
    f.server.setItem("C(1)", "P(8)", text);
    QByteArray raw("a\r\n\0b\xff\xfe\x80 end \r", 14);
    inThread([&] {
        Client c;
        QVERIFY(c.connect("Tesmira", "C(1)"));
        QString v;
        QVERIFY(c.request("P(8)", &v));
        QCOMPARE(v, text);
        QVERIFY(c.advise("P(8)", AdviseMode::Hot));
        AdviseEvent ev;
        QVERIFY(c.nextAdvise(&ev, 2000));
        QCOMPARE(ev.value, text.toUtf8());
        // Bytes that are not UTF-8 and a NUL survive a poke and a request.
        QVERIFY(c.poke("P(9)", raw));
        QByteArray back;
        QVERIFY(c.request("P(9)", &back));
        QCOMPARE(back, raw);
    });
    QCOMPARE(f.server.itemBytes("C(1)", "P(9)"), raw);
}

void TestLink::advise129thLinkGivesCode7()
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

void TestLink::topicRemovalClosesConversations()
{
    Fixture f;
    f.server.addTopic("C(2)");
    f.server.createItem("C(2)", "P(8)", "x");
    std::atomic<int> linked {0};
    auto watcher = std::async(std::launch::async, [&] {
        Client c;
        if (!c.connect("Tesmira", "C(1)") || !c.advise("P(8)", AdviseMode::Hot))
            return QStringLiteral("no link");
        AdviseEvent ev;
        c.nextAdvise(&ev, 2000); // current value
        ++linked;
        if (!c.nextAdvise(&ev, 10000))
            return QStringLiteral("no event");
        if (ev.kind != AdviseEvent::Kind::Closed)
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
    QVERIFY(waitFor([&] { return watcher.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    QCOMPARE(watcher.get(), QString("closed"));
    inThread([&] {
        QString v;
        QVERIFY(other.request("P(8)", &v));
        Client c;
        QVERIFY(!c.connect("Tesmira", "C(1)"));
        QCOMPARE(c.error(), ClientError::NoTopic);
    });
    QVERIFY(waitFor([&] { return f.server.conversationCount() == 1; }));
}

void TestLink::staleSocketReclaimedLiveOneKept()
{
    PrivateRuntime runtime;
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
    {
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
}

void TestLink::malformedInputGetsErrors()
{
    Fixture f;
    RawPeer p(f.server.socketPath());
    inThread([&] {
        p.send("REQUEST P(8)\n");
        QVERIFY(p.readLine().startsWith("ERR NOT_CONNECTED "));
        p.send("CONNECT Tesmira C(1)\nFROB x\n\nREQUEST\nADVISE P(8) LUKEWARM\nCONNECT Tesmira C(1)\n");
        QCOMPARE(p.readLine(), QByteArray("OK"));
        QVERIFY(p.readLine().startsWith("ERR BAD_COMMAND unknown command FROB"));
        QVERIFY(p.readLine().startsWith("ERR BAD_COMMAND "));
        QVERIFY(p.readLine().startsWith("ERR BAD_ARGUMENTS usage: REQUEST"));
        QVERIFY(p.readLine().startsWith("ERR BAD_ARGUMENTS "));
        QVERIFY(p.readLine().startsWith("ERR ALREADY_CONNECTED "));
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

void TestLink::silentClientIsDroppedOthersServed()
{
    Fixture f;
    ddeml::ServerLimits lim;
    lim.maxOutputBacklog = 256 * 1024;
    f.server.setLimits(lim);
    QSignalSpy errors(&f.server, &ddeml::Server::linkError);
    RawPeer silent(f.server.socketPath());
    silent.send("CONNECT Tesmira C(1)\nADVISE P(8) HOT\n");
    QVERIFY(waitFor([&] { return f.server.adviseLinkCount("C(1)", "P(8)") == 1; }));

    constexpr int kValues = 3000;
    std::atomic<bool> linked {false};
    std::atomic<int> received {0};
    auto reader = std::async(std::launch::async, [&] {
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
    QVERIFY(waitFor([&] { return reader.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
    QCOMPARE(reader.get(), kValues);
    // Only the silent client was dropped (the reader got every value).
    QCOMPARE(errors.size(), 1);
    QCOMPARE(errors.at(0).at(2).toInt(), 11);
    QVERIFY(silent.waitClosed());
}

void TestLink::floodingClientDoesNotDelayOthers()
{
    Fixture f;
    ddeml::ServerLimits lim;
    lim.maxOutputBacklog = 256 * 1024;
    f.server.setLimits(lim);
    // One client floods requests and never reads a reply.
    std::atomic<bool> stop {false};
    std::atomic<qint64> flooded {0};
    auto flooder = std::async(std::launch::async, [&] {
        RawPeer p(f.server.socketPath());
        p.send("CONNECT Tesmira C(1)\n");
        QByteArray burst;
        for (int i = 0; i < 1000; ++i)
            burst += "REQUEST P(8)\n";
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
    QVERIFY(waitFor([&] { return flooder.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
    stop = true;
    QVERIFY2(flooder.get(), "the flooding client was not dropped");
}

void TestLink::tcpListener()
{
    Fixture f;
    QString err;
    QVERIFY2(f.server.listenTcp(0, &err), qPrintable(err));
    const quint16 port = f.server.tcpPort();
    QVERIFY(port != 0);
    inThread([&] {
        Client c;
        QVERIFY(!c.connectTcp(port, "Other", "C(1)"));
        QCOMPARE(c.error(), ClientError::NoService);
        QVERIFY2(c.connectTcp(port, "Tesmira", "C(1)"), qPrintable(c.errorString()));
        QVERIFY(c.poke("P(9)", QByteArray("7\r\n")));
        QByteArray v;
        QVERIFY(c.request("P(9)", &v));
        QCOMPARE(v, QByteArray("7\r\n"));
    });
}

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
