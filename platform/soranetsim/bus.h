// The virtual Soranet bus: modules on node addresses with processes and
// parameters, instrument behaviour, node links, change and install mode,
// the interface module's acquisition and real-time channels, and fault
// injection. Bus::handle() answers one request frame like real modules do.
#pragma once

#include "paramdb.h"
#include "soraproto.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QRandomGenerator>
#include <QSet>
#include <QString>
#include <QVector>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace soranetsim {

struct Faults {
    double drop = 0.0;               // share of replies never sent
    double corrupt = 0.0;            // share of replies damaged on the wire
    int delayMs = 0;                 // extra delay before every reply
    QSet<int> silent;                // nodes that never answer
    QMap<int, int> nodeDelayMs;      // extra delay per node
    QMap<int, int> missed;           // node -> number of its first requests left unanswered
    // (node << 16 | process << 8 | parameter) -> status forced on that item
    QMap<int, int> forcedStatus;
    // (node << 16 | process << 8 | parameter): a request frame that asks for
    // one of these gets no reply at all (a module that cannot answer one kind
    // of request, such as the configuration read's module number)
    QSet<int> unanswered;
    static int key(int node, int proc, int param) { return (node << 16) | (proc << 8) | param; }
};

struct Param {
    QString name;
    int proc = 0, fb = 0;
    uint8_t type = 0;
    int length = 0;
    bool read = true, write = false;
    bool hasRange = false;
    double min = 0, max = 0;
    soraproto::Value value;
    enum Role { Plain, Ident, IdentNr, Measure, Setpoint, Valve, Counter, FMeasure } role = Plain;
    qint64 countedAtMs = -1;          // counter: time of the last update
    bool wobbled = false;             // load-test aid: the last read was moved off the value
};

struct Module {
    int node = 0;
    int typeId = 0;
    QString number;
    QVector<int> channels;             // process number per channel
    QMap<int, Param> params;           // key proc << 8 | fb
    QSet<int> missing;                 // proc << 8 | fb the module lacks
    // process-0 system values
    int secondAddress = 0, nextNode = 0, knownLna = 0, ifiId = 0;
    bool hasIfiId = false, hasDirectAccess = false;
    int mode = 82;                     // 73 during a change
    int pendingNode = -1;
    bool winking = false;              // process 0, parameter 0 written "9" (until "0")
    qint64 silentUntilMs = 0;          // resetting after an address change
    int modified = 0;                  // module indication, process-0 parameter 19
    QMap<int, int> procModified;       // process -> last modified parameter
    // measure dynamics per process
    struct Loop { double from = 0, target = 0; qint64 t0 = 0; };
    QMap<int, Loop> loops;
    // interface module
    struct Acq { int node = 0, proc = 0, flags = 0; };
    QMap<int, Acq> acq;                // process 1..120
    struct Rt { int node = 255, proc = 0, param = 0, extra = 0; };
    Rt rt[4];
    qint64 baud = 0;                   // process 124 parameter 31
    QString hostText = QStringLiteral("RS232IF ");
    bool isInterfaceType() const { return typeId == 1 || typeId == 2; }
    QString ident() const { return QString(QChar(typeId)) + number; }
};

class Bus {
public:
    Bus();
    // Builds the modules of a scenario; returns an error text, empty on success.
    QString loadScenario(const QJsonObject &scenario, const ParamDb &db);
    QString loadScenarioFile(const QString &path, const ParamDb &db);
    static QJsonObject defaultScenario();

    struct Reply {
        QByteArray frame;
        int delayMs = 0;
    };
    // Answers one request payload (a complete, check-verified frame).
    std::vector<Reply> handle(const QByteArray &payload);

    // Fault control; safe from any thread.
    Faults faults();
    void setFaults(const Faults &f);
    // Restarts the random generator of the drop/corrupt faults (the
    // scenario's "seed" otherwise), so a noisy run can be repeated.
    void setSeed(quint32 seed);

    // Line rate the interface module asks for (process 124, parameter 31);
    // 0 = the scenario's default.
    int requestedBaud();
    // The node each acquisition process of the interface module reads from
    // (process -> node; 0 once the acquisition was ended), for tests.
    QMap<int, int> acquisitions();
    int defaultBaud() const { return defaultBaud_; }
    int interfaceNode();
    int moduleCount();
    // Request frames answered or ignored so far (for tests of chaining).
    int requestFrames();
    // Characters of every request frame received and reply frame sent.
    qint64 wireChars();
    // Reads a value directly, for tests; false when there is no such parameter.
    bool peek(int node, int proc, int fb, soraproto::Value &out);

    // Injection while the bus runs (soranet-sim reads these as lines on its
    // standard input). Each returns an error text, empty on success.
    // A value changed on the instrument itself, as its keyboard would: the
    // module then reports the parameter as modified.
    QString setByKeyboard(int node, int proc, int fb, const QString &value);
    // The instrument at node now identifies as another device type (an
    // instrument swapped behind an interface channel): its parameters become
    // those of the new type, its ident string starts with the new ID.
    QString reidentify(int node, int typeId, const QString &number = {});
    // One command line: "set NODE PROC PARAM VALUE" or "identify NODE TYPE
    // [NUMBER]". Returns "ok" or the error text.
    QString command(const QString &line);

    // ---- node links, install mode, wink (what network management sees) ----
    struct Links { int node = 0, next = 0, lna = 0, second = 0, mode = 82; bool winking = false; };
    // Every module, ordered by node address (a module in install mode first, at 0).
    QVector<Links> links();
    // True when every module's next-node address is the next occupied node
    // above it (0 for the last): the ring reaches every module.
    bool ringComplete();
    // Places a module of the type in install mode at node 0; an error text
    // when node 0 is taken or the type is unknown.
    QString injectInstall(int typeId, const QString &number);
    // Request frames addressed to a node so far.
    int requestFramesTo(int node);
    // Wink writes in the order they came, as "node:on" / "node:off".
    QStringList winkLog();
    // Told of every wink change and address change, as a line of text (the
    // program prints them). Called on the bus's thread.
    std::function<void(const QString &)> onEvent;

private:
    Module *moduleAt(int node);
    Module *interfaceModule();
    qint64 nowMs() const { return clock_.elapsed(); }
    void buildParams(Module &m, const ParamDb &db);
    uint8_t readItem(Module &m, int proc, soraproto::Item &it);
    void wobble(Param &p, soraproto::Value &v);
    uint8_t writeItem(Module &m, int proc, const soraproto::Item &it);
    bool systemRead(Module &m, int fb, soraproto::Item &it, uint8_t &status);
    bool systemWrite(Module &m, int fb, const soraproto::Item &it, uint8_t &status);
    bool interfaceRead(Module &m, int proc, soraproto::Item &it, uint8_t &status);
    bool interfaceWrite(Module &m, int proc, const soraproto::Item &it, uint8_t &status);
    double measureOf(Module &m, int proc);
    void advanceCounter(Module &m, Param &counter);
    double capacityOf(const Module &m, int chanProc) const;
    bool processExists(const Module &m, int proc) const;
    bool definedAs(const Module &m, int proc, int fb, uint8_t type) const;
    static int aliasProcess(const Module &m, int proc);
    void noteModified(Module &m, int proc, int fb);
    QByteArray corruptFrame(QByteArray frame);
    bool linkRead(Module &m, int fb, soraproto::Item &it, uint8_t &status);
    bool linkWrite(Module &m, int fb, const soraproto::Item &it, uint8_t &status);
    void leaveChangeMode(Module &m);
    void formRing();
    void note(const QString &line);

    QMutex mutex_;
    ParamDb db_;                      // kept for modules changed or added later
    std::vector<std::unique_ptr<Module>> modules_;
    Faults faults_;
    QElapsedTimer clock_;
    QRandomGenerator rng_;
    int interfaceNode_ = 1;
    int defaultBaud_ = 38400;
    int changeDelayMs_ = 300;
    double tauMs_ = 800;
    bool wobble_ = false;             // "wobble": every read of a number differs from the last
    int corruptKind_ = 0;
    int requestFrames_ = 0;
    qint64 wireChars_ = 0;
    QStringList winkLog_;
    QMap<int, int> framesTo_;         // node -> request frames addressed to it
};

// Converts a value to the wanted wire type; false when that cannot be done
// (a number asked as text or the reverse).
bool convertValue(const soraproto::Value &in, uint8_t type, soraproto::Value &out);

} // namespace soranetsim
