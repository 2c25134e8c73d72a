// The library against the virtual bus over a real pseudo-terminal pair,
// over TCP, and in-process.
#include "sora32.h"

#include "bus.h"
#include "server.h"
#include "soraproto.h"
#include "../common/TerminalSpeed.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace sora32;

namespace {

// Four modules, seven channels: an interface, a multi-channel module and
// explicit parameters of every value type on node 3.
QJsonObject scenario()
{
    const char *json = R"({
      "baud": 460800, "timeConstantMs": 50,
      "modules": [
        {"node": 1, "type": 1, "number": "IF0000001", "channels": [1]},
        {"node": 3, "type": 3, "number": "FM0000003", "channels": [1], "params": [
          {"name": "measure", "process": 1, "fb": 0, "type": "int", "access": "r", "value": 1000},
          {"name": "byte", "process": 1, "fb": 20, "type": "byte", "access": "rw", "min": 0, "max": 200, "value": 7},
          {"name": "int", "process": 1, "fb": 21, "type": "int", "access": "rw", "value": -5},
          {"name": "float", "process": 1, "fb": 22, "type": "float", "access": "rw", "value": 1.5},
          {"name": "long", "process": 1, "fb": 23, "type": "long", "access": "rw", "value": 100000},
          {"name": "text", "process": 1, "fb": 24, "type": "string", "length": 10, "access": "rw", "value": "AIR"}
        ]},
        {"node": 4, "type": 4, "number": "FC0000004", "channels": [1], "params": [
          {"name": "measure", "process": 1, "fb": 0, "type": "int", "access": "r", "value": 4000}]},
        {"node": 6, "type": 7, "number": "MC0000006", "channels": [1, 2, 3, 4], "params": [
          {"name": "a", "process": 1, "fb": 0, "type": "int", "access": "r", "value": 11},
          {"name": "b", "process": 2, "fb": 0, "type": "int", "access": "r", "value": 12},
          {"name": "c", "process": 3, "fb": 0, "type": "int", "access": "r", "value": 13},
          {"name": "d", "process": 4, "fb": 0, "type": "int", "access": "r", "value": 14}]}
      ]})";
    return QJsonDocument::fromJson(json).object();
}

struct Taken {
    uint8_t node = 0, proc = 0, param = 0, kind = 0, type = 0, status = 0;
    int16_t tag = 0;
};

} // namespace

class TstSora32 : public QObject {
    Q_OBJECT
    std::shared_ptr<soranetsim::Bus> bus_;
    std::unique_ptr<soranetsim::Server> server_;
    QTemporaryDir dir_;
    QString pty_;
    int tcpPort_ = 0;
    int16_t app_ = 0;

    // Waits (with a deadline) for a reply with this tag and takes its address
    // and status; the reply stays held until drop().
    bool take(int16_t tag, Taken &t, int16_t app = 0, int ms = 3000)
    {
        if (!app) app = app_;
        const bool got = QTest::qWaitFor([&] {
            int16_t tg = tag;
            return CheckReceivedMsg(app, t.node, t.proc, t.param, t.kind, t.type, tg) == 0 && tg == tag;
        }, ms);
        int16_t st = 0;
        if (got) GetStatus(app, t.node, t.proc, t.param, t.status, st);
        t.tag = tag;
        return got;
    }
    int16_t check(Taken &t, int16_t &tag) { return CheckReceivedMsg(app_, t.node, t.proc, t.param, t.kind, t.type, tag); }
    void drop(const Taken &t, int16_t app = 0) { RemoveMsg(app ? app : app_, t.node, t.proc, t.param); }
    // Takes and removes the reply with this tag; status 255 when none arrives.
    Taken next(int16_t tag, int16_t app = 0, int ms = 3000)
    {
        Taken t;
        if (!take(tag, t, app, ms)) t.status = 255;
        else drop(t, app);
        return t;
    }

    void open(const QString &how)
    {
        CloseCommunication();
        bus_->setFaults({});
        std::string name = how == "pty" ? pty_.toStdString()
                         : how == "tcp" ? QStringLiteral("tcp:127.0.0.1:%1").arg(tcpPort_).toStdString()
                         : std::string("sim");
        QCOMPARE(ConfigureRS232(name, 6), int16_t(0));
        QCOMPARE(OpenCommunication(name), int16_t(0));
        while (GetNrPendingMessages(app_)) {
            Taken t;
            int16_t tg = 0;
            check(t, tg);
            drop(t);
        }
        GetError();
    }

private slots:
    void initTestCase()
    {
        qputenv("TESMIRA_SORA32_TIMEOUT_MS", "120");
        qputenv("TESMIRA_SORA32_RETRIES", "1");
        QVERIFY(dir_.isValid());
        const QString scen = dir_.filePath("scenario.json");
        QFile f(scen);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(scenario()).toJson()) > 0);
        f.close();
        qputenv("TESMIRA_SIM_SCENARIO", scen.toLocal8Bit());
        bus_ = std::make_shared<soranetsim::Bus>();
        QCOMPARE(bus_->loadScenario(scenario(), soranetsim::ParamDb()), QString());
        server_ = std::make_unique<soranetsim::Server>(bus_);
        QString err;
        pty_ = server_->startPty(dir_.filePath("bus"), &err);
        QVERIFY2(!pty_.isEmpty(), qPrintable(err));
        tcpPort_ = server_->startTcp(0, &err);
        QVERIFY2(tcpPort_ > 0, qPrintable(err));
        app_ = OpenDLL(0);
        QVERIFY(app_ > 0);
    }
    void cleanupTestCase()
    {
        CloseCommunication();
        CloseDLL(app_);
        server_.reset();
    }

    void refusesBadNamesAndCodes()
    {
        QCOMPARE(OpenCommunication("LPT1"), int16_t(20));
        QCOMPARE(OpenCommunication("/dev/does-not-exist"), int16_t(22));
        QCOMPARE(GetCommunication(), int16_t(0));
        QCOMPARE(ConfigureRS232("COM1", 76), int16_t(21));
        // Every baud code sets the open line to its rate (but the three no
        // terminal speed stands for); others are refused and leave the rate
        // as it was.
        open("pty");
        const std::pair<int16_t, speed_t> codes[] = {
            {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
            {-27136, B38400}, {-7936, B57600}, {1, B115200}, {4, B230400}, {6, B460800}, {0, B460800},
            {-1, B460800}, {7, B460800}, {19201, B460800}};
        for (const auto &[code, speed] : codes) {
            const int16_t r = ConfigureRS232(pty_.toStdString(), code);
            QCOMPARE(std::tuple(code, r, terminalSpeed(pty_)), std::tuple(code, int16_t(speed == B460800 && code != 6 ? 21 : 0), speed));
        }
        CloseCommunication();
        QCOMPARE(ReadInt(app_, 0, 3, 1, 0, 1), int16_t(14));
        QCOMPARE(ReadInt(999, 0, 3, 1, 0, 1), int16_t(23));
        // A text longer than one write frame carries is refused, not cut.
        QCOMPARE(WriteString(app_, 0, 3, 1, 24, 0, std::string(248, 'x'), 1), int16_t(6));
        int32_t v = 0; std::string name;
        const int16_t n = GetNrPorts();
        QVERIFY(n >= 1);
        QCOMPARE((std::pair{GetPort(int16_t(n - 1), v, name), name}), std::pair(int16_t(0), std::string("Virtual: SIM")));
        QCOMPARE(GetPort(n, v, name), int16_t(1));
    }

    void everyTypeBothWays_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("pty") << "pty";
        QTest::newRow("tcp") << "tcp";
        QTest::newRow("in-process") << "sim";
    }
    void everyTypeBothWays()
    {
        QFETCH(QString, how);
        open(how);
        for (int16_t rc : {WriteChar(app_, 0, 3, 1, 20, 199, 101), WriteInt(app_, 0, 3, 1, 21, -25536, 102),
                           WriteFloat(app_, 0, 3, 1, 22, 0.25f, 103), WriteLong(app_, 0, 3, 1, 23, -2000000000, 104),
                           WriteString(app_, 0, 3, 1, 24, 10, std::string("N2        \0junk", 15), 105)})
            QCOMPARE(rc, int16_t(0));
        for (int16_t tag = 101; tag <= 105; ++tag) {
            const Taken t = next(tag);
            QCOMPARE(std::pair(t.kind, t.status), std::pair(uint8_t(0), uint8_t(0)));
        }
        ReadChar(app_, 0, 3, 1, 20, 1); ReadInt(app_, 0, 3, 1, 21, 2); ReadFloat(app_, 0, 3, 1, 22, 3);
        ReadLong(app_, 0, 3, 1, 23, 4); ReadString(app_, 0, 3, 1, 24, 0, 5);
        Taken t; int16_t tg = 0;
        QVERIFY(take(1, t)); uint8_t c = 0; QCOMPARE(GetChar(app_, 3, 1, 20, c, tg), int16_t(0)); QCOMPARE(c, uint8_t(199)); drop(t);
        QVERIFY(take(2, t)); int16_t i = 0; GetInt(app_, 3, 1, 21, i, tg); QCOMPARE(i, int16_t(-25536)); drop(t);
        QVERIFY(take(3, t)); float f = 0; GetFloat(app_, 3, 1, 22, f, tg); QCOMPARE(f, 0.25f); drop(t);
        QVERIFY(take(4, t)); int32_t l = 0; GetLong(app_, 3, 1, 23, l, tg); QCOMPARE(l, -2000000000); drop(t);
        QVERIFY(take(5, t)); std::string s; int16_t len = 0;
        QCOMPARE(GetString(app_, 3, 1, 24, tg, s, len), int16_t(0));
        QCOMPARE(s, std::string("N2        ")); QCOMPARE(len, int16_t(10)); QCOMPARE(tg, int16_t(5));
        QCOMPARE(t.kind, uint8_t(1)); QCOMPARE(t.type, uint8_t(4));
        drop(t);
        QCOMPARE(GetNrPendingMessages(app_), int16_t(0));
    }

    // Chaining off, by parameter, by process, both: a frame asks for each
    // parameter once, so the repeat of process 1 parameter 0 always travels
    // in a frame of its own.
    void chainingMergesReadsOfOneNode()
    {
        for (const auto &[procChain, parChain, frames] :
             {std::tuple(false, false, 4), {false, true, 4}, {true, false, 2}, {true, true, 2}}) {
            open("pty");
            ConfigureChaining(procChain, parChain);
            // Eight slow writes fill the window, so the reads below are all
            // queued before the first of them can be sent.
            soranetsim::Faults slow; slow.nodeDelayMs.insert(4, 60);
            bus_->setFaults(slow);
            const int start = bus_->requestFrames();
            for (int k = 0; k < 8; ++k) WriteInt(app_, 0, 4, 1, 0, 1, 99);
            ReadInt(app_, 0, 6, 1, 0, 1); ReadInt(app_, 0, 6, 2, 0, 2);
            ReadInt(app_, 0, 6, 1, 0, 3); ReadInt(app_, 0, 6, 3, 0, 4);
            QList<int> values; // status, then the value
            for (int16_t tag = 1; tag <= 4; ++tag) {
                Taken t;
                int16_t v = -1, tg = 0;
                if (take(tag, t) && GetInt(app_, t.node, t.proc, t.param, v, tg) == 0) drop(t);
                values << t.status << v;
            }
            QCOMPARE(values, QList<int>({0, 11, 0, 12, 0, 11, 0, 13}));
            for (int k = 0; k < 8; ++k) QCOMPARE(next(99).status, uint8_t(13));
            QCOMPARE(bus_->requestFrames() - start - 8, frames);
        }
        ConfigureChaining(false, false);
    }

    // Replies are delivered as they arrive: node 3, asked first, answers
    // last. A tag that is not held gives the oldest reply; none left gives 30.
    void repliesInArrivalOrder()
    {
        open("pty");
        soranetsim::Faults f; f.nodeDelayMs.insert(3, 60);
        bus_->setFaults(f);
        ReadInt(app_, 0, 3, 1, 0, 10);
        ReadInt(app_, 0, 4, 1, 0, 11);
        Taken t; int16_t tag = 0;
        QVERIFY(QTest::qWaitFor([&] { return check(t, tag = 77) == 0; }, 3000));
        QCOMPARE(tag, int16_t(11));
        QCOMPARE((std::tuple{next(11).status, next(10).status, check(t, tag)}),
                 std::tuple(uint8_t(0), uint8_t(0), int16_t(30)));
    }

    void realTimeQueue()
    {
        open("sim");
        const int16_t rt = int16_t(app_ + 1);
        WriteChar(app_, 0, 1, 123, 1, 3, 1);
        WriteChar(app_, 0, 1, 123, 2, 1, 2);
        WriteChar(app_, 0, 1, 123, 3, 0 | 32, 3);
        for (int16_t tag = 1; tag <= 3; ++tag) QCOMPARE(next(tag).status, uint8_t(0));
        Taken t;
        QCOMPARE(ReadString(rt, 0, 1, 123, 10, 0, 50), int16_t(0));
        QCOMPARE(ReadString(rt, 0, 1, 124, 10, 0, 51), int16_t(0));
        QVERIFY(take(50, t, rt));
        QCOMPARE(GetNrPendingMessages(app_), int16_t(0));    // never in the normal queue
        int16_t v = 0; int32_t stamp = -1;
        QCOMPARE(GetRealTimeInt(rt, 1, 123, 10, v, stamp, 50), int16_t(0));
        QCOMPARE(std::pair(v, stamp >= 0), std::pair(int16_t(1000), true));
        drop(t, rt);
        QVERIFY(take(51, t, rt));
        QCOMPARE(GetRealTimeInt(rt, 1, 124, 10, v, stamp, 51), int16_t(35));
        drop(t, rt);
        QCOMPARE(GetRealTimeInt(rt, 1, 124, 10, v, stamp, 51), int16_t(30));
    }

    void silentNodeTimesOut()
    {
        open("tcp");
        soranetsim::Faults f; f.silent.insert(4);
        bus_->setFaults(f);
        ReadInt(app_, 0, 4, 1, 0, 20);
        ReadInt(app_, 0, 3, 1, 0, 21);
        QCOMPARE(next(21).status, uint8_t(0));
        QCOMPARE(next(20).status, uint8_t(25));
        // Closing the line fails a request still on it at once, long before
        // its time-out.
        ReadInt(app_, 0, 4, 1, 0, 22);
        QThread::msleep(20);
        CloseCommunication();
        QCOMPARE(next(22, 0, 60).status, uint8_t(14));
    }

    void corruptedFramesLoseNothing()
    {
        open("pty");
        // A reply held before the trouble must survive it.
        ReadInt(app_, 0, 3, 1, 21, 40);
        Taken kept;
        QVERIFY(take(40, kept));
        soranetsim::Faults f; f.corrupt = 1.0;
        bus_->setFaults(f);
        QSet<int> seen;
        for (int16_t tag = 41; tag < 47; ++tag) {
            ReadInt(app_, 0, 3, 1, 21, tag);
            const uint8_t status = next(tag).status;
            QVERIFY(status == 25 || status == 34);
            for (int e = GetError(); e; e = GetError()) seen.insert(e);
        }
        QVERIFY2(seen.contains(26) && seen.contains(27) && seen.contains(34), qPrintable(QString::number(seen.size())));
        bus_->setFaults({});
        ReadInt(app_, 0, 3, 1, 21, 60);
        QCOMPARE(std::pair(next(60).status, next(40).status), std::pair(uint8_t(0), uint8_t(0)));
        CloseCommunication();
    }

    // A module of our own on a pseudo-terminal pair sends, before the true
    // answer to a read, a late reply to an earlier frame of the same number
    // (another check byte, a wrong value): it is neither taken, nor an error,
    // nor a reason to repeat the request.
    void replyForAnotherFrameUnderTheSameNumberIsIgnored()
    {
        using namespace soraproto;
        CloseCommunication();
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const std::string dev = ptsname(master);
        QCOMPARE(ConfigureRS232(dev, 6), int16_t(0));
        std::atomic<bool> stop{false};
        std::atomic<int> reads{0};
        std::thread module([&] {
            FrameParser parser;
            while (!stop) {
                pollfd pfd{master, POLLIN, 0};
                char buf[512];
                const ssize_t n = ::poll(&pfd, 1, 20) > 0 ? ::read(master, buf, sizeof buf) : 0;
                if (n <= 0) continue;
                parser.feed(buf, int(n));
                FrameParser::Event e;
                while (parser.next(e)) {
                    auto rq = e.ok ? decodeRequest(e.payload) : std::nullopt;
                    if (!rq) continue;
                    Message rep = *rq;
                    rep.cmd = CmdReadReply;
                    rep.check = frameCheck(e.payload);
                    QByteArray out;
                    if (rq->node == LocalNode) {      // opening: node 1, next 3, highest 5
                        rep.node = 1;
                        for (int k = 0; k < 3; ++k) rep.groups[0].items[k].value = Value::ofByte(uint8_t(2 * k + 1));
                    } else {
                        ++reads;
                        Message stray = rep;
                        stray.check = uint8_t(rep.check ^ 0x5A);
                        stray.groups[0].items[0].value = Value::ofInt(666);
                        out += encode(stray);
                        rep.groups[0].items[0].value = Value::ofInt(42);
                    }
                    out += encode(rep);
                    if (::write(master, out.constData(), size_t(out.size())) != ssize_t(out.size())) return;
                }
            }
        });
        Taken t;
        int16_t v = 0, tg = 0;
        const int16_t rc = OpenCommunication(dev);
        GetError();
        const bool got = rc == 0 && ReadInt(app_, 0, 9, 2, 7, 70) == 0 && take(70, t)
                         && GetInt(app_, t.node, t.proc, t.param, v, tg) == 0;
        drop(t);
        CloseCommunication();
        stop = true;
        module.join();
        ::close(master);
        QCOMPARE(std::tuple(rc, got, t.status, v, GetError(), reads.load()),
                 std::tuple(int16_t(0), true, uint8_t(0), int16_t(42), int16_t(0), 1));
    }
};

QTEST_GUILESS_MAIN(TstSora32)
#include "tst_sora32.moc"
