// The virtual bus behaviour the whole-program tests rely on without checking
// it themselves: fault injection, status codes, address changes, a measure
// following its setpoint, replies paced at the line rate, and the
// soranet-sim program over a pseudo-terminal. (Replies to what the server
// reads are exercised by every whole-program test.)
#include "SimClient.h"

#include <QJsonObject>
#include "link.h"
#include "paramdb.h"

#include <QJsonDocument>
#include <QProcess>
#include <QSerialPort>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace soranetsim;
using namespace soraproto;

namespace {

// Writes a small database with the server's schema.
QString makeDb(const QString &path)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "fixture");
        db.setDatabaseName(path);
        if (!db.open()) return "open";
        QSqlQuery q(db);
        const char *stmts[] = {
            "CREATE TABLE AllParameters (Parameter INTEGER, Name TEXT, LongName TEXT, description TEXT, "
            "Process INTEGER NULL, FBnr INTEGER, VarType TEXT, VarType2 TEXT, VarLength INTEGER, \"Default\", "
            "Min REAL, Max REAL, Read INTEGER, Write INTEGER, Poll INTEGER, Advanced INTEGER, Secured INTEGER, "
            "\"Highly secured\" INTEGER, Group0 INTEGER, Group1 INTEGER, Group2 INTEGER, Available INTEGER, Filter INTEGER)",
            "INSERT INTO AllParameters (Parameter, Name, Process, FBnr, VarType, VarLength, \"Default\", Min, Max, Read, Write) VALUES "
            "(1, 'IDENTSTRNG', 0, 12, 'c', 20, NULL, NULL, NULL, 1, 1),"
            "(8, 'measure   ', NULL, 0, 'i', 0, 0, -23593, 41942, 1, 0),"
            "(9, 'setpoint', NULL, 1, 'i', 0, 0, 0, 32000, 1, 1),"
            "(21, 'capacity', 33, 13, 'f', 0, 100, 0, 100000, 1, 1),"
            "(25, 'fluidname', 33, 17, 'c', 10, 'AIR', NULL, NULL, 1, 1),"
            "(40, 'secret', NULL, 9, 'l', 0, 0, 0, 10, 0, 1),"
            "(41, 'notype3', NULL, 8, 'c', 0, 0, 0, 255, 1, 1)",
            "CREATE TABLE FlowDevices (ID TEXT, DEV_TYPE TEXT, Dev_Name TEXT, Dev_Channels INTEGER, Dev_Functions INTEGER, "
            "IDENTSTRNG INTEGER, measure INTEGER, setpoint INTEGER, capacity INTEGER, fluidname INTEGER, secret INTEGER, notype3 INTEGER)",
            "INSERT INTO FlowDevices VALUES ('01','IF','Interface',1,0,1,0,0,0,0,0,0),"
            "('03','FC','Controller',1,0,1,1,1,1,1,1,0),('07','MC','Multi',2,0,1,1,1,1,0,0,1)",
        };
        for (const char *s : stmts)
            if (!q.exec(s)) return q.lastError().text();
        db.close();
    }
    QSqlDatabase::removeDatabase("fixture");
    return {};
}

const char *kScenario = R"({
  "timeConstantMs": 40, "changeDelayMs": 100,
  "modules": [
    {"node": 1, "type": 1, "number": "IF1", "channels": [1]},
    {"node": 3, "type": 3, "number": "FC3", "channels": [1], "values": {"1:1": 16000, "1:0": 16000}, "missing": ["33:17"]},
    {"node": 6, "type": 7, "number": "MC6", "channels": [1, 2]},
    {"install": true, "type": 3, "number": "NEW"}
  ]})";

} // namespace

class TstSoranetSim : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QString dbPath_;
    ParamDb db_;
    Bus bus_;
    SimClient c{bus_};

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        dbPath_ = dir_.filePath("Tesmira.mdb");
        QCOMPARE(makeDb(dbPath_), QString());
        QCOMPARE(db_.load(dbPath_), QString());
        QCOMPARE(bus_.loadScenario(QJsonDocument::fromJson(kScenario).object(), db_), QString());
        QVERIFY(db_.load(dir_.filePath("missing.mdb")).contains("not found"));
    }

    void statusCodesAndFaults()
    {
        QCOMPARE(c.read(3, 33, 17, TString), 4);           // the scenario removed it
        QCOMPARE(c.read(6, 33, 17, TString), 4);           // type 7 does not offer it
        QCOMPARE(c.read(3, 9, 0, TInt), 3);                // no such process
        QCOMPARE(c.read(3, 1, 77, TInt), 4);               // no such parameter
        QCOMPARE(c.read(3, 1, 1, TByte), 5);               // wrong type
        QCOMPARE(c.write(3, 1, 1, Value::ofInt(32001)), 6);   // outside Min..Max
        QCOMPARE(c.write(3, 1, 0, Value::ofInt(5)), 13);   // read-only
        QCOMPARE(c.read(3, 1, 9, TLong), 17);              // write-only
        QCOMPARE(c.read(9, 0, 0, TByte), -1);              // no module: silence
        QCOMPARE(c.read(3, 1, 1, TInt), 0);
        // Each injected fault alone: forced status, silent node, dropped and
        // (three ways) damaged replies; node 6 is untouched throughout.
        Faults status; status.forcedStatus.insert(Faults::key(3, 1, 1), 4);
        Faults silent; silent.silent.insert(3);
        Faults drop; drop.drop = 1.0;
        Faults corrupt; corrupt.corrupt = 1.0;
        for (const auto &[faults, expected, others] : {std::tuple{status, 4, 0}, {silent, -1, 0}, {drop, -1, -1},
                                                       {corrupt, -1, -1}}) {
            bus_.setFaults(faults);
            for (int k = 0; k < 3; ++k)
                QCOMPARE(c.read(3, 1, 1, TInt), expected);
            QCOMPARE(c.read(6, 1, 0, TInt), others);
        }
        bus_.setFaults({});
        QCOMPARE(c.read(3, 1, 1, TInt), 0);
    }

    void measureFollowsSetpointAndModifiedFlags()
    {
        Value v;
        QCOMPARE(c.read(3, 1, 0, TInt, &v), 0);
        QCOMPARE(v.i, int64_t(16000));
        QCOMPARE(c.write(3, 1, 1, Value::ofInt(32000)), 0);
        QCOMPARE(c.read(3, 0, 19, TByte, &v), 0); QCOMPARE(v.i, int64_t(1));     // process 1 changed
        QCOMPARE(c.read(3, 1, 19, TByte, &v), 0); QCOMPARE(v.i, int64_t(1));     // its parameter 1
        QDeadlineTimer dl(3000);
        int64_t last = 16000;
        bool rising = true;
        while (!dl.hasExpired()) {
            c.read(3, 1, 0, TInt, &v);
            rising = rising && v.i >= last;
            last = v.i;
            if (v.i >= 31900) break;
            QThread::msleep(5);
        }
        QVERIFY(rising);
        QVERIFY(last >= 31900);
        QCOMPARE(c.write(3, 0, 19, Value::ofByte(0)), 0);
        QCOMPARE(c.read(3, 0, 19, TByte, &v), 0); QCOMPARE(v.i, int64_t(0));
        QCOMPARE(c.write(3, 0, 19, Value::ofByte(4)), 6);
    }

    void addressChangeNeedsChangeMode()
    {
        QCOMPARE(c.write(6, 0, 1, Value::ofByte(20)), 6);       // not in change mode
        QCOMPARE(c.write(6, 0, 10, Value::ofInt(73)), 0);
        QCOMPARE(c.write(6, 0, 1, Value::ofByte(20)), 0);
        QCOMPARE(c.write(6, 0, 10, Value::ofInt(82)), 0);
        QCOMPARE(c.read(20, 0, 1, TByte), -1);                  // resetting
        QDeadlineTimer dl(3000);
        Value v;
        while (c.read(20, 0, 1, TByte, &v) != 0 && !dl.hasExpired()) QThread::msleep(10);
        QCOMPARE(v.i, int64_t(20));
        QCOMPARE(c.read(6, 0, 1, TByte), -1);
        // The module in install mode takes an address the same way; the
        // ring then re-forms: its next node is the module above it (20),
        // whatever was written.
        QCOMPARE(c.write(0, 0, 10, Value::ofInt(73)), 0);
        QCOMPARE(c.write(0, 0, 1, Value::ofByte(7)), 0);
        QCOMPARE(c.write(0, 0, 3, Value::ofByte(8)), 0);
        QCOMPARE(c.write(0, 0, 10, Value::ofInt(82)), 0);
        dl.setRemainingTime(3000);
        while (c.read(7, 0, 3, TByte, &v) != 0 && !dl.hasExpired()) QThread::msleep(10);
        QCOMPARE(v.i, int64_t(20));
    }

    // Request and reply each take their wire time at the line rate: a reply
    // never completes sooner than both frames' characters at 10 bits each.
    void repliesArePacedAtTheLineRate()
    {
        Message m;
        m.node = 3; m.seq = 5; m.cmd = CmdRead;
        Item cap; cap.param = 13; cap.type = TFloat;
        m.groups = {Group{33, {cap, cap, cap, cap, cap, cap, cap, cap}}};
        const QByteArray request = encode(m);
        QByteArray got;
        FrameParser p;
        FrameParser::Event e;
        Link link(&bus_, [&](const QByteArray &b) { got += b; p.feed(b); });
        link.setBaud(9600);
        QElapsedTimer t;
        t.start();
        link.receive(request);
        QVERIFY(QTest::qWaitFor([&] { return p.next(e); }, 3000));
        const qint64 elapsedNs = t.nsecsElapsed();
        QVERIFY(e.ok);
        const qint64 wireNs = qint64(request.size() + got.size()) * 10 * 1000000000LL / 9600;
        QVERIFY2(elapsedNs >= wireNs * 9 / 10, qPrintable(QString("%1 < %2 ns").arg(elapsedNs).arg(wireNs)));
    }

    // The default scenario on the default database, asked the way the server
    // asks: every readable parameter each module's device type offers, at the
    // bus address the server computes for each channel, with the database's
    // value type, answers with a value inside the database's range. With
    // "wobble" (the load tests' setting) a second read of a channel's own
    // number brings another value, still inside the range.
    void defaultBusAnswersEveryOfferedParameter()
    {
        ParamDb db;
        Bus bus;
        SimClient dc{bus};
        QCOMPARE(db.load(qEnvironmentVariable("TESMIRA_BIN_DIR") + "/Tesmira.mdb"), QString());
        QJsonObject scenario = Bus::defaultScenario();
        scenario["wobble"] = true;
        QCOMPARE(bus.loadScenario(scenario, db), QString());
        struct Module { int node, type, channels; };
        const Module modules[] = {{1, 1, 1}, {3, 3, 1}, {4, 4, 1}, {6, 10, 4}, {8, 6, 1}};
        QCOMPARE(bus.moduleCount(), int(std::size(modules)));
        QStringList faults;
        int asked = 0;
        for (const Module &s : modules) {
            QVERIFY(db.types.contains(s.type));
            QCOMPARE(db.types[s.type].channels, s.channels);
            const bool interface = s.type == 1 || s.type == 2;
            for (int chanProc = 1; chanProc <= s.channels; ++chanProc) {
                for (const ParamRow &r : db.params) {
                    if (!db.types[s.type].params.contains(r.name.toLower()) || !r.read) continue;
                    // Parameters 238 and above and the diagnostics word need
                    // direct access to an interface; the library fetches the real-time value.
                    if (interface && (r.number >= 238 || r.name == "rtvalue" || r.name == "busdiag")) continue;
                    // An empty process is the channel's own, 33..112 are relative
                    // to it; an interface without direct access answers 113 and
                    // 118 as 121 and 122 and its real-time processes relative.
                    int proc = r.process;
                    if (r.process < 0) proc = chanProc;
                    else if (r.process >= 33 && r.process <= 112) proc = r.process + chanProc - 1;
                    else if (interface && (r.process == 113 || r.process == 118)) proc = r.process == 113 ? 121 : 122;
                    else if (interface && r.process >= 123 && r.process <= 126) proc = r.process + chanProc - 1;
                    Item it; it.param = uint8_t(r.fb); it.type = r.type;
                    it.length = uint8_t(r.length > 0 ? r.length : 0);
                    Value v, again;
                    const int st = dc.read(uint8_t(s.node), uint8_t(proc), it, &v);
                    ++asked;
                    const QString what = QStringLiteral("node %1 proc %2 P%3 %4").arg(s.node).arg(proc)
                                             .arg(r.number).arg(r.name);
                    if (st != 0) {
                        faults << what + QStringLiteral(": status %1").arg(st);
                        continue;
                    }
                    if (r.type == TString) continue;
                    dc.read(uint8_t(s.node), uint8_t(proc), it, &again);
                    for (const Value &x : {v, again})
                        if (r.hasRange && (x.number() < r.min || x.number() > r.max))
                            faults << what + QStringLiteral(": %1 outside %2..%3").arg(x.number()).arg(r.min).arg(r.max);
                    // System and interface values (the node walk's among them)
                    // and the modified-parameter numbers stay put.
                    if (r.process < 0 && r.name != "modparnr" && again.number() == v.number() && (!r.hasRange || r.max > r.min))
                        faults << what + QStringLiteral(": read %1 twice").arg(v.number());
                }
            }
        }
        QVERIFY(asked > 300);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
    }

    // Injection while the bus runs: a value changed on the instrument marks
    // it modified; an instrument that changes identity answers as its new
    // type; bad commands are refused with their reason and change nothing.
    void injectionCommands()
    {
        struct Row { const char *command, *answer; int proc, fb; uint8_t type; int status; double value; };
        const Row rows[] = {
            {"set 3 1 1 20000", "ok", 0, 19, TByte, 0, 1},        // module indication: process 1
            {"set 3 1 1 20000", "ok", 1, 19, TByte, 0, 1},        // per process: its parameter 1
            {"set 3 1 1 20000", "ok", 1, 1, TInt, 0, 20000},
            {"set 9 1 1 5", "No module at node 9", 1, 1, TInt, 0, 20000},
            {"set 3 1 77 5", "Node 3 has no parameter 1:77", 1, 1, TInt, 0, 20000},
            {"set 3 1 1 many", "many is no number", 1, 1, TInt, 0, 20000},
            {"identify 3 300", "300 is no device type", 0, 0, TByte, 0, 3},
            {"frob 3", "Unknown command: frob 3", 0, 0, TByte, 0, 3},
            {"identify 3 7 MC9", "ok", 0, 0, TByte, 0, 7},
            {"identify 3 7 MC9", "ok", 1, 8, TByte, 0, 0},        // the new type's parameter
            {"identify 3 7 MC9", "ok", 1, 9, TLong, 4, 0},        // the old type's is gone
        };
        for (const Row &r : rows) {
            QCOMPARE(bus_.command(QString::fromLatin1(r.command)), QString::fromLatin1(r.answer));
            Value v;
            QCOMPARE(c.read(3, uint8_t(r.proc), uint8_t(r.fb), r.type, &v), r.status);
            if (r.type != TString && r.status == 0) QCOMPARE(v.number(), r.value);
        }
        Value ident;
        QCOMPARE(c.read(3, 0, 0, TString, &ident), 0);
        QCOMPARE(ident.s, QByteArray("\x07MC9"));
    }

    void programServesAPseudoTerminal()
    {
        const QString scen = dir_.filePath("s.json");
        QFile f(scen);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(kScenario);
        f.close();
        QProcess sim;
        sim.start(qEnvironmentVariable("TESMIRA_BIN_DIR") + "/soranet-sim",
                  {scen, "--db", dbPath_, "--link", dir_.filePath("bus"), "--silent", "6"});
        QVERIFY(sim.waitForStarted());
        QString dev;
        QDeadlineTimer dl(5000);
        while (dev.isEmpty() && !dl.hasExpired()) {
            sim.waitForReadyRead(100);
            while (sim.canReadLine()) {
                const QString line = QString::fromLocal8Bit(sim.readLine()).trimmed();
                if (line.startsWith("pty: ")) dev = line.mid(5);
            }
        }
        QVERIFY(!dev.isEmpty());
        QVERIFY(QFileInfo(dir_.filePath("bus")).isSymLink());
        QSerialPort port(dir_.filePath("bus"));
        QVERIFY(port.open(QIODevice::ReadWrite));
        port.setBaudRate(460800);
        Message m;
        m.node = 3; m.seq = 9; m.cmd = CmdRead;
        Item it; it.param = 0; it.type = TByte;
        m.groups.push_back(Group{0, {it}});
        port.write(QByteArray("noise") + encode(m));
        FrameParser p;
        FrameParser::Event e;
        dl.setRemainingTime(3000);
        bool got = false;
        while (!got && !dl.hasExpired()) {
            if (port.waitForReadyRead(50)) p.feed(port.readAll());
            got = p.next(e);
        }
        QVERIFY(got && e.ok);
        auto rep = decodeReply(e.payload, &m);
        QVERIFY(rep);
        QCOMPARE(rep->seq, uint8_t(9));
        QCOMPARE(rep->groups[0].items[0].value.i, int64_t(3));
        // Injection commands arrive on standard input, one per line.
        sim.write("set 3 1 1 100\nfrob\n");
        QStringList answers;
        dl.setRemainingTime(3000);
        while (answers.size() < 2 && !dl.hasExpired()) {
            sim.waitForReadyRead(50);
            while (sim.canReadLine()) answers << QString::fromLocal8Bit(sim.readLine()).trimmed();
        }
        QCOMPARE(answers, QStringList({"ok", "Unknown command: frob"}));
        port.close();
        sim.terminate();
        QVERIFY(sim.waitForFinished(3000));
        QVERIFY(!QFileInfo::exists(dir_.filePath("bus")));
    }
};

QTEST_GUILESS_MAIN(TstSoranetSim)
#include "tst_soranetsim.moc"
