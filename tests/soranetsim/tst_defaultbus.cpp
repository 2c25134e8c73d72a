// The virtual bus built from the default database (bin/Tesmira.mdb) and the
// default scenario, asked the way the server asks: every parameter a module's
// device type offers, at the bus address the server computes for each of its
// channels, with the database's value type. Everything must answer, with a
// value inside the database's range.
#include "SimClient.h"
#include "paramdb.h"

#include <QtTest>

using namespace soranetsim;
using namespace soraproto;

namespace {

struct Scenario {
    int node;
    int type;
    QVector<int> procs;
};

// The default scenario: interface at node 1, then the instruments.
const Scenario kModules[] = {
    {1, 1, {1}}, {3, 3, {1}}, {4, 4, {1}}, {6, 10, {1, 2, 3, 4}}, {8, 6, {1}},
};

bool isInterface(int type) { return type == 1 || type == 2; }

// Bus process of a parameter for a channel at process chanProc: an empty
// process is the channel's own, 33..112 are relative to it, the rest are
// literal; an interface without direct access answers 113 and 118 as 121
// and 122 and its real-time channels relative to the channel process.
int busProcess(const ParamRow &r, int type, int chanProc)
{
    if (r.process < 0) return chanProc;
    if (r.process >= 33 && r.process <= 112) return r.process + chanProc - 1;
    if (isInterface(type)) {
        if (r.process == 113) return 121;
        if (r.process == 118) return 122;
        if (r.process >= 123 && r.process <= 126) return r.process + chanProc - 1;
    }
    return r.process;
}

} // namespace

class TstDefaultBus : public QObject {
    Q_OBJECT
    ParamDb db_;
    Bus bus_;
    SimClient c{bus_};

    const ParamRow *row(const QString &name) const
    {
        for (const ParamRow &r : db_.params)
            if (r.name.compare(name, Qt::CaseInsensitive) == 0) return &r;
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        const QString path = qEnvironmentVariable("TESMIRA_BIN_DIR") + "/Tesmira.mdb";
        QCOMPARE(db_.load(path), QString());
        QCOMPARE(bus_.loadScenario(Bus::defaultScenario(), db_), QString());
        QCOMPARE(bus_.moduleCount(), int(std::size(kModules)));
        // The scenario's type IDs are the database's device types with the
        // same number of channels.
        for (const Scenario &s : kModules) {
            QVERIFY2(db_.types.contains(s.type), qPrintable(QString::number(s.type)));
            QCOMPARE(db_.types[s.type].channels, int(s.procs.size()));
            Value v;
            QCOMPARE(c.read(uint8_t(s.node), 0, 29, TString, &v), 0);
            QCOMPARE(v.s.size(), s.procs.size());
        }
    }

    // Process 0, parameter 0: the type ID as a number, the ident string as text.
    void identificationAtProcessZero()
    {
        for (const Scenario &s : kModules) {
            Value v;
            QCOMPARE(c.read(uint8_t(s.node), 0, 0, TByte, &v), 0);
            QCOMPARE(v.i, int64_t(s.type));
            QCOMPARE(c.read(uint8_t(s.node), 0, 0, TString, &v), 0);
            QCOMPARE(uint8_t(v.s.at(0)), uint8_t(s.type));
            QVERIFY(v.s.size() > 1);
            Value same;
            QCOMPARE(c.read(uint8_t(s.node), 0, 28, TString, &same), 0);
            QCOMPARE(same.s, v.s);
        }
        // The identification number: the device type ID, on an interface at
        // its alias process 121.
        const ParamRow *idnr = row("identnr");
        QVERIFY(idnr);
        Value v;
        QCOMPARE(c.read(4, uint8_t(idnr->process), uint8_t(idnr->fb), idnr->type, &v), 0);
        QCOMPARE(v.i, int64_t(4));
        QCOMPARE(c.read(1, 121, uint8_t(idnr->fb), idnr->type, &v), 0);
        QCOMPARE(v.i, int64_t(1));
        // The kind of node, one of the database's texts for parameter 6.
        const ParamRow *kind = row("nodetype");
        QVERIFY(kind && kind->process == 0);
        for (auto [node, expected] : {std::pair{1, 73}, {3, 64}, {4, 65}, {6, 64}}) {
            QCOMPARE(c.read(uint8_t(node), 0, uint8_t(kind->fb), kind->type, &v), 0);
            QCOMPARE(v.i, int64_t(expected));
        }
        // The default interface is not reached directly: it does not answer
        // the diagnostics word the server probes that with; instruments do.
        const ParamRow *diag = row("busdiag");
        QVERIFY(diag && diag->process == 0);
        QCOMPARE(c.read(1, 0, uint8_t(diag->fb), diag->type), 4);
        QCOMPARE(c.read(3, 0, uint8_t(diag->fb), diag->type), 0);
    }

    // The interface's acquisition channels share addresses with database
    // parameters at processes 113..120; the value type tells them apart.
    void interfaceAcquisitionAndOwnParameters()
    {
        const ParamRow *tag = row("usertag");
        QVERIFY(tag && tag->process == 115 && tag->type == TString);
        QCOMPARE(c.write(1, 115, uint8_t(tag->fb), Value::ofString("line A")), 0);
        Value v;
        QCOMPARE(c.read(1, 115, uint8_t(tag->fb), TString, &v), 0);
        QVERIFY(v.s.startsWith("line A"));
        // The same address as a byte: the acquisition set-up of channel 115.
        Value node = Value::ofByte(6);
        QCOMPARE(c.write(1, 115, 0, node), 0);
        Value proc = Value::ofByte(3);
        QCOMPARE(c.write(1, 115, 1, proc), 0);
        QCOMPARE(c.read(1, 115, 1, TByte, &v), 0);
        QCOMPARE(v.i, int64_t(3));
        QCOMPARE(c.read(1, 115, uint8_t(tag->fb), TString, &v), 0);
        QVERIFY(v.s.startsWith("line A"));
        // The acquired channel's measure is the four-channel module's process 3.
        QCOMPARE(c.read(1, 115, 2, TInt), 0);
        node.i = 0;
        QCOMPARE(c.write(1, 115, 0, node), 0);
    }

    // Every channel of the four-channel module has its own measure. (A
    // measure following its setpoint is checked in tst_soranetsim.)
    void processDataPerChannel()
    {
        const ParamRow *meas = row("measure");
        const ParamRow *setp = row("setpoint");
        QVERIFY(meas && setp);
        QCOMPARE(meas->process, -1);
        QCOMPARE(setp->process, -1);
        Value v;
        QSet<int64_t> measures;
        for (int p = 1; p <= 4; ++p) {
            QCOMPARE(c.read(6, uint8_t(p), uint8_t(meas->fb), TInt, &v), 0);
            QVERIFY(v.i > 0 && v.i <= 32000);
            measures.insert(v.i);
        }
        QCOMPARE(measures.size(), 4);                          // one flow per channel
        // The measure in real units follows: 24000 of 32000 at capacity 100.
        const ParamRow *fmeas = row("fmeasure");
        QVERIFY(fmeas && fmeas->process == 33);
        QCOMPARE(c.read(6, 33 + 3 - 1, uint8_t(fmeas->fb), TFloat, &v), 0);
        QCOMPARE(v.f, 75.0f);
        QCOMPARE(c.read(6, 5, uint8_t(meas->fb), TInt), 3);    // no fifth channel
    }

    // A counter totals its channel's flow while counting is on; written 0 it
    // starts again from 0, and with counting off it stands still.
    void countersCount()
    {
        const ParamRow *cnt = row("cntrvalue");
        const ParamRow *mode = row("cntrmode");
        QVERIFY(cnt && mode && cnt->type == TFloat);
        const uint8_t proc = uint8_t(cnt->process + 2 - 1);     // channel at process 2 of node 6
        QCOMPARE(c.write(6, proc, uint8_t(cnt->fb), Value::ofFloat(0)), 0);
        Value v;
        QVERIFY(QTest::qWaitFor([&] {
            return c.read(6, proc, uint8_t(cnt->fb), TFloat, &v) == 0 && v.f > 0;
        }, 2000));
        const float first = v.f;
        QVERIFY(QTest::qWaitFor([&] {
            return c.read(6, proc, uint8_t(cnt->fb), TFloat, &v) == 0 && v.f > first;
        }, 2000));
        QCOMPARE(c.write(6, proc, uint8_t(mode->fb), Value::ofByte(0)), 0);
        QCOMPARE(c.read(6, proc, uint8_t(cnt->fb), TFloat, &v), 0);
        const float stopped = v.f;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 30) {          // time passes, nothing is added
            QCOMPARE(c.read(6, proc, uint8_t(cnt->fb), TFloat, &v), 0);
            QCOMPARE(v.f, stopped);
        }
        QCOMPARE(c.write(6, proc, uint8_t(mode->fb), Value::ofByte(1)), 0);
    }

    // Each offered, readable parameter of each channel answers with the
    // database's type and a value inside the database's range.
    void everyOfferedParameterAnswers()
    {
        QStringList faults;
        int asked = 0;
        for (const Scenario &s : kModules) {
            const DeviceType &t = db_.types[s.type];
            for (int chanProc : s.procs) {
                for (const ParamRow &r : db_.params) {
                    if (!t.params.contains(r.name.toLower()) || !r.read) continue;
                    // Parameters 238 and above and the diagnostics word need
                    // direct access to an interface; the real-time value is
                    // fetched by the library.
                    if (isInterface(s.type) && (r.number >= 238 || r.name == "rtvalue" || r.name == "busdiag"))
                        continue;
                    const int proc = busProcess(r, s.type, chanProc);
                    Item it; it.param = uint8_t(r.fb); it.type = r.type;
                    it.length = uint8_t(r.length > 0 ? r.length : 0);
                    Value v;
                    const int st = c.read(uint8_t(s.node), uint8_t(proc), it, &v);
                    ++asked;
                    const QString what = QStringLiteral("node %1 proc %2 P%3 %4").arg(s.node).arg(proc)
                                             .arg(r.number).arg(r.name);
                    if (st != 0) {
                        faults << what + QStringLiteral(": status %1").arg(st);
                    } else if (r.type != TString && r.hasRange && (v.number() < r.min || v.number() > r.max)) {
                        faults << what + QStringLiteral(": %1 outside %2..%3").arg(v.number()).arg(r.min).arg(r.max);
                    }
                }
            }
        }
        QVERIFY(asked > 300);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TstDefaultBus)
#include "tst_defaultbus.moc"
