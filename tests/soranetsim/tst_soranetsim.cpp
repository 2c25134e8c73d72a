// The virtual bus: parameters from a real SQLite file, module behaviour
// through wire frames, and the soranet-sim program over a pseudo-terminal.
#include "SimClient.h"
#include "paramdb.h"

#include <QCryptographicHash>
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
        QFile f(dbPath_);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray before = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
        f.close();
        QCOMPARE(db_.load(dbPath_), QString());
        QCOMPARE(bus_.loadScenario(QJsonDocument::fromJson(kScenario).object(), db_), QString());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256), before);   // read-only
        QVERIFY(db_.load(dir_.filePath("missing.mdb")).contains("not found"));
    }

    void parametersComeFromTheDatabase()
    {
        Value v;
        // Empty process: the channel's own processes; 33..: relative to them.
        QCOMPARE(c.read(6, 1, 0, TInt), 0);
        QCOMPARE(c.read(6, 2, 0, TInt), 0);
        QCOMPARE(c.read(6, 33, 13, TFloat, &v), 0);
        QCOMPARE(v.f, 100.0f);
        QCOMPARE(c.read(6, 34, 13, TFloat), 0);
        QCOMPARE(c.read(3, 33, 17, TString), 4);           // the scenario removed it
        QCOMPARE(c.read(6, 33, 17, TString), 4);           // type 7 does not offer it
        QCOMPARE(c.read(3, 0, 12, TString, &v), 0);        // ident at the database's address
        QCOMPARE(v.s, QByteArray("\x03" "FC3"));
    }

    void statusCodes()
    {
        QCOMPARE(c.read(3, 9, 0, TInt), 3);                // no such process
        QCOMPARE(c.read(3, 1, 77, TInt), 4);               // no such parameter
        QCOMPARE(c.read(3, 1, 1, TByte), 5);               // wrong type
        QCOMPARE(c.write(3, 1, 1, Value::ofInt(32001)), 6);   // outside Min..Max
        QCOMPARE(c.write(3, 1, 0, Value::ofInt(5)), 13);   // read-only
        QCOMPARE(c.read(3, 1, 9, TLong), 17);              // write-only
        QCOMPARE(c.read(9, 0, 0, TByte), -1);              // no module: silence
        Faults f; f.forcedStatus.insert(Faults::key(3, 1, 1), 4);
        bus_.setFaults(f);
        QCOMPARE(c.read(3, 1, 1, TInt), 4);
        bus_.setFaults({});
    }

    // One chained request: every item answered in request order, failures
    // marked in the map, the request's check byte echoed.
    void chainedReplyFollowsTheRequestOrder()
    {
        Message m;
        m.node = 3; m.seq = 77; m.cmd = CmdRead;
        Item meas; meas.param = 0; meas.type = TInt;
        Item wrong; wrong.param = 1; wrong.type = TByte;        // status 5
        Item none; none.param = 77; none.type = TInt;           // status 4
        Item cap; cap.param = 13; cap.type = TFloat;
        m.groups = {Group{1, {meas, wrong, none}}, Group{33, {cap}}};
        const QByteArray request = encodePayload(m);
        auto out = bus_.handle(request);
        QCOMPARE(out.size(), size_t(1));
        FrameParser p;
        p.feed(out[0].frame);
        FrameParser::Event e;
        QVERIFY(p.next(e) && e.ok);
        QCOMPARE(uint8_t(e.payload[3]), frameCheck(request));
        QCOMPARE(uint8_t(e.payload[4]), uint8_t(0x06));          // items 1 and 2 failed
        QCOMPARE(e.payload.size(), qsizetype(ReplyHeadBytes + 1 + 2 + 1 + 1 + 4));
        auto rep = decodeReply(e.payload, &m);
        QVERIFY(rep);
        QCOMPARE(rep->groups[0].items[0].status, uint8_t(0));
        QCOMPARE(rep->groups[0].items[1].status, uint8_t(5));
        QCOMPARE(rep->groups[0].items[2].status, uint8_t(4));
        QCOMPARE(rep->groups[1].items[0].status, uint8_t(0));
        QCOMPARE(rep->groups[1].items[0].value.f, 100.0f);
    }

    // A request the module cannot answer in one frame, or cannot decode, is
    // answered with an error that still names the request by its check byte.
    void unanswerableRequestsGetAnErrorReply()
    {
        Message m;
        m.node = 3; m.seq = 78; m.cmd = CmdRead;
        Group g{33, {}};
        for (int k = 0; k < 70; ++k) { Item it; it.param = 13; it.type = TFloat; g.items.push_back(it); }
        m.groups = {g};
        const QByteArray big = encodePayload(m);
        QVERIFY(big.size() <= MaxPayload);
        const QByteArray bad = QByteArray::fromHex("034E0101010009");   // unknown type 9
        for (const QByteArray &request : {big, bad}) {
            auto out = bus_.handle(request);
            QCOMPARE(out.size(), size_t(1));
            FrameParser p;
            p.feed(out[0].frame);
            FrameParser::Event e;
            QVERIFY(p.next(e) && e.ok);
            auto rep = decodeReply(e.payload, nullptr);
            QVERIFY(rep);
            QCOMPARE(rep->cmd, uint8_t(CmdError));
            QCOMPARE(rep->error, uint8_t(34));
            QCOMPARE(rep->check, frameCheck(request));
            QCOMPARE(rep->seq, uint8_t(request[1]));
        }
    }

    void systemParametersAndLinks()
    {
        Value v;
        QCOMPARE(c.read(3, 0, 0, TByte, &v), 0); QCOMPARE(v.i, int64_t(3));
        QCOMPARE(c.read(1, 0, 3, TByte, &v), 0); QCOMPARE(v.i, int64_t(3));   // next node
        QCOMPARE(c.read(3, 0, 3, TByte, &v), 0); QCOMPARE(v.i, int64_t(6));
        QCOMPARE(c.read(6, 0, 3, TByte, &v), 0); QCOMPARE(v.i, int64_t(0));   // last
        QCOMPARE(c.read(3, 0, 4, TByte, &v), 0); QCOMPARE(v.i, int64_t(6));   // highest known
        QCOMPARE(c.read(0, 0, 3, TByte, &v), 0); QCOMPARE(v.i, int64_t(1));   // install mode
        QCOMPARE(c.read(LocalNode, 0, 1, TByte, &v), 0); QCOMPARE(v.i, int64_t(1));
        QCOMPARE(c.read(6, 0, 29, TString, &v), 0); QCOMPARE(v.s, QByteArray("\x01\x02", 2));
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
        // The module in install mode takes an address the same way.
        QCOMPARE(c.write(0, 0, 10, Value::ofInt(73)), 0);
        QCOMPARE(c.write(0, 0, 1, Value::ofByte(7)), 0);
        QCOMPARE(c.write(0, 0, 3, Value::ofByte(8)), 0);
        QCOMPARE(c.write(0, 0, 10, Value::ofInt(82)), 0);
        dl.setRemainingTime(3000);
        while (c.read(7, 0, 3, TByte, &v) != 0 && !dl.hasExpired()) QThread::msleep(10);
        QCOMPARE(v.i, int64_t(8));
    }

    void interfaceAcquisitionAndRealTime()
    {
        Value v;
        QCOMPARE(c.write(1, 2, 0, Value::ofByte(3)), 0);
        QCOMPARE(c.write(1, 2, 1, Value::ofByte(1)), 0);
        QCOMPARE(c.write(1, 2, 4, Value::ofInt(0)), 0);
        QCOMPARE(c.read(1, 2, 2, TInt, &v), 0);                  // measure of the acquired channel
        QVERIFY(v.i > 30000);
        QCOMPARE(c.write(3, 1, 1, Value::ofInt(100)), 0);
        QCOMPARE(c.read(1, 0, 19, TByte, &v), 0); QCOMPARE(v.i, int64_t(2));   // that channel changed
        QCOMPARE(c.write(1, 124, 31, Value::ofLong(115200)), 0);
        QCOMPARE(bus_.requestedBaud(), 115200);
        QCOMPARE(c.read(1, 125, 21, TString, &v), 0); QCOMPARE(v.s.size(), 8);
        QCOMPARE(c.read(1, 126, 10, TString, &v), 0); QVERIFY(v.s.isEmpty());  // no event
        QCOMPARE(c.write(1, 126, 1, Value::ofByte(3)), 0);
        QCOMPARE(c.write(1, 126, 2, Value::ofByte(1)), 0);
        QCOMPARE(c.write(1, 126, 3, Value::ofByte(1 | 32)), 0);
        QCOMPARE(c.read(1, 126, 11, TString, &v), 0);
        QVERIFY2(v.s.contains(';'), v.s.constData());
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
        port.close();
        sim.terminate();
        QVERIFY(sim.waitForFinished(3000));
        QVERIFY(!QFileInfo::exists(dir_.filePath("bus")));
    }
};

QTEST_GUILESS_MAIN(TstSoranetSim)
#include "tst_soranetsim.moc"
