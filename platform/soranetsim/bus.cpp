#include "bus.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <algorithm>
#include <cmath>

using namespace soraproto;

namespace soranetsim {

static int key(int proc, int fb) { return (proc << 8) | fb; }

// The channel process a process in one of the blocks 33.., 65.., 97.. beside
// it belongs to (databases put relative parameters there).
static int ownProcess(int proc) { return proc >= 33 && proc <= 112 ? ((proc - 1) % 32) + 1 : proc; }

bool convertValue(const Value &in, uint8_t type, Value &out)
{
    out = Value();
    out.type = type;
    if (type == TString) {
        if (in.type != TString) return false;
        out.s = in.s;
        return true;
    }
    if (in.type == TString) return false;
    const double v = in.number();
    switch (type) {
    case TByte: out.i = int64_t(std::llround(v)) & 0xFF; break;
    case TInt: out.i = int16_t(uint16_t(int64_t(std::llround(v)) & 0xFFFF)); break;
    case TLong: out.i = int32_t(uint32_t(int64_t(std::llround(v)) & 0xFFFFFFFF)); break;
    case TFloat: out.f = float(v); break;
    default: return false;
    }
    return true;
}

static Value valueFromJson(const QJsonValue &j, uint8_t type)
{
    Value v;
    v.type = type;
    if (type == TString) v.s = j.toVariant().toString().toLatin1();
    else if (type == TFloat) v.f = float(j.toDouble());
    else v.i = int64_t(j.toDouble());
    return v;
}

static Value valueFromVariant(const QVariant &q, uint8_t type)
{
    Value v;
    v.type = type;
    if (type == TString) v.s = q.toString().toLatin1();
    else if (type == TFloat) v.f = q.toFloat();
    else v.i = q.toLongLong();
    return v;
}

static uint8_t typeFromName(const QString &s)
{
    const QString t = s.toLower();
    if (t == "int" || t == "i") return TInt;
    if (t == "float" || t == "f") return TFloat;
    if (t == "long" || t == "l") return TLong;
    if (t == "string" || t == "s") return TString;
    return TByte;
}

Bus::Bus() : rng_(1)
{
    clock_.start();
}

QJsonObject Bus::defaultScenario()
{
    QFile f(QStringLiteral(":/soranetsim/scenarios/default.json"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

QString Bus::loadScenarioFile(const QString &path, const ParamDb &db)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QStringLiteral("Cannot read scenario %1").arg(path);
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &pe);
    if (!doc.isObject())
        return QStringLiteral("Scenario %1 is not valid JSON: %2").arg(path, pe.errorString());
    return loadScenario(doc.object(), db);
}

void Bus::buildParams(Module &m, const ParamDb &db)
{
    auto ti = db.types.constFind(m.typeId);
    if (ti == db.types.constEnd()) return;
    const DeviceType *t = &ti.value();
    for (const ParamRow &r : db.params) {
        if (!t->params.contains(r.name.toLower())) continue;
        QVector<int> procs;
        if (r.process < 0 || r.process >= 128) procs = m.channels;
        else if (r.process >= 33 && r.process <= 112)
            for (int p : m.channels) procs.push_back(r.process + p - 1);
        else procs.push_back(r.process);
        for (int proc : procs) {
            if (proc < 0 || proc > 255) continue;
            Param p;
            p.name = r.name; p.proc = proc; p.fb = r.fb; p.type = r.type; p.length = r.length;
            p.read = r.read; p.write = r.write; p.hasRange = r.hasRange; p.min = r.min; p.max = r.max;
            const QString n = r.name.toLower();
            if (n == "identstrng") p.role = Param::Ident;
            else if (n == "identnr") p.role = Param::IdentNr;
            else if (n == "cntrvalue") p.role = Param::Counter;
            else if (n == "fmeasure") p.role = Param::FMeasure;
            else if (n == "measure") p.role = Param::Measure;
            else if (n == "setpoint") p.role = Param::Setpoint;
            else if (n.startsWith("valve")) p.role = Param::Valve;
            p.value = valueFromVariant(r.deflt, r.type);
            if (p.type == TString && r.deflt.isNull()) p.value.s.clear();
            m.params.insert(key(proc, r.fb), p);
        }
    }
}

QString Bus::loadScenario(const QJsonObject &s, const ParamDb &db)
{
    QMutexLocker lock(&mutex_);
    modules_.clear();
    db_ = db;
    winkLog_.clear();
    defaultBaud_ = s.value("baud").toInt(38400);
    changeDelayMs_ = s.value("changeDelayMs").toInt(300);
    tauMs_ = s.value("timeConstantMs").toDouble(800);
    wobble_ = s.value("wobble").toBool(false);
    rng_.seed(quint32(s.value("seed").toInt(1)));
    const QJsonArray mods = s.value("modules").toArray();
    if (mods.isEmpty()) return QStringLiteral("The scenario lists no modules");
    QSet<int> used;
    for (const QJsonValue &mv : mods) {
        const QJsonObject o = mv.toObject();
        auto m = std::make_unique<Module>();
        m->node = o.value("install").toBool() ? 0 : o.value("node").toInt(-1);
        if (m->node < 0 || m->node > 125)
            return QStringLiteral("Module with a node address outside 0..125");
        if (used.contains(m->node))
            return QStringLiteral("Two modules at node %1").arg(m->node);
        used.insert(m->node);
        m->typeId = o.value("type").toInt(0);
        if (m->typeId <= 0 || m->typeId > 255)
            return QStringLiteral("Module at node %1 has no valid type").arg(m->node);
        m->number = o.value("number").toString(QStringLiteral("M%1").arg(m->node, 6, 10, QChar('0')));
        for (const QJsonValue &c : o.value("channels").toArray({1}))
            m->channels.push_back(c.toInt());
        if (m->channels.isEmpty()) m->channels.push_back(1);
        m->hasIfiId = o.contains("ifiId");
        m->ifiId = o.value("ifiId").toInt(0);
        m->hasDirectAccess = o.value("directAccess").toBool(m->typeId != 1);
        m->hostText = o.value("hostText").toString(m->hostText);
        m->secondAddress = m->node;
        buildParams(*m, db);
        for (const QJsonValue &pv : o.value("params").toArray()) {
            const QJsonObject po = pv.toObject();
            Param p;
            p.name = po.value("name").toString();
            p.proc = po.value("process").toInt();
            p.fb = po.value("fb").toInt();
            p.type = typeFromName(po.value("type").toString("byte"));
            p.length = po.value("length").toInt(0);
            const QString acc = po.value("access").toString("rw");
            p.read = acc.contains('r');
            p.write = acc.contains('w');
            p.hasRange = po.contains("min") && po.contains("max");
            p.min = po.value("min").toDouble();
            p.max = po.value("max").toDouble();
            p.value = valueFromJson(po.value("value"), p.type);
            m->params.insert(key(p.proc, p.fb), p);
        }
        const QJsonObject vals = o.value("values").toObject();
        for (auto it = vals.begin(); it != vals.end(); ++it) {
            const QStringList pf = it.key().split(':');
            if (pf.size() != 2) return QStringLiteral("Bad value address %1").arg(it.key());
            const int k = key(pf[0].toInt(), pf[1].toInt());
            if (!m->params.contains(k))
                return QStringLiteral("Node %1 has no parameter %2").arg(m->node).arg(it.key());
            Param &p = m->params[k];
            p.value = valueFromJson(it.value(), p.type);
        }
        for (const QJsonValue &mv2 : o.value("missing").toArray()) {
            const QStringList pf = mv2.toString().split(':');
            if (pf.size() == 2) m->missing.insert(key(pf[0].toInt(), pf[1].toInt()));
        }
        // Measure starts where the setpoint is, unless the scenario says otherwise.
        for (int proc : m->channels) {
            for (const Param &p : m->params) {
                if (p.proc == proc && p.role == Param::Setpoint) {
                    Module::Loop l;
                    l.target = p.value.number();
                    l.from = l.target;
                    for (const Param &q : m->params)
                        if (q.proc == proc && q.role == Param::Measure && vals.contains(QStringLiteral("%1:%2").arg(proc).arg(q.fb)))
                            l.from = q.value.number();
                    m->loops.insert(proc, l);
                }
            }
        }
        modules_.push_back(std::move(m));
    }
    // Node links: each module points to the next occupied node (0 after the
    // last) and knows the highest one; a module in install mode has next = 1.
    std::vector<Module *> chain;
    for (auto &m : modules_) if (m->node > 0) chain.push_back(m.get());
    std::sort(chain.begin(), chain.end(), [](Module *a, Module *b) { return a->node < b->node; });
    const int lna = chain.empty() ? 0 : chain.back()->node;
    for (size_t i = 0; i < chain.size(); ++i) {
        chain[i]->nextNode = i + 1 < chain.size() ? chain[i + 1]->node : 0;
        chain[i]->knownLna = lna;
    }
    for (const QJsonValue &mv : mods) {
        const QJsonObject o = mv.toObject();
        Module *m = nullptr;
        const int node = o.value("install").toBool() ? 0 : o.value("node").toInt();
        for (auto &x : modules_) if (x->node == node) m = x.get();
        if (!m) continue;
        if (node == 0) { m->nextNode = 1; m->knownLna = 126; }
        const QJsonObject links = o.value("links").toObject();
        if (links.contains("next")) m->nextNode = links.value("next").toInt();
        if (links.contains("lna")) m->knownLna = links.value("lna").toInt();
    }
    interfaceNode_ = s.value("interfaceNode").toInt(-1);
    if (interfaceNode_ < 0) {
        interfaceNode_ = chain.empty() ? 0 : chain.front()->node;
        for (Module *m : chain) if (m->isInterfaceType()) { interfaceNode_ = m->node; break; }
    }
    const QJsonObject f = s.value("faults").toObject();
    Faults fl;
    fl.drop = f.value("drop").toDouble();
    fl.corrupt = f.value("corrupt").toDouble();
    fl.delayMs = f.value("delayMs").toInt();
    for (const QJsonValue &n : f.value("silent").toArray()) fl.silent.insert(n.toInt());
    const QJsonObject nd = f.value("nodeDelayMs").toObject();
    for (auto it = nd.begin(); it != nd.end(); ++it) fl.nodeDelayMs.insert(it.key().toInt(), it.value().toInt());
    const QJsonObject ms = f.value("missed").toObject();
    for (auto it = ms.begin(); it != ms.end(); ++it) fl.missed.insert(it.key().toInt(), it.value().toInt());
    for (const QJsonValue &st : f.value("status").toArray()) {
        const QJsonObject so = st.toObject();
        fl.forcedStatus.insert(Faults::key(so.value("node").toInt(), so.value("process").toInt(),
                                           so.value("parameter").toInt()), so.value("status").toInt());
    }
    faults_ = fl;
    return {};
}

Faults Bus::faults() { QMutexLocker l(&mutex_); return faults_; }
void Bus::setFaults(const Faults &f) { QMutexLocker l(&mutex_); faults_ = f; }
void Bus::setSeed(quint32 seed) { QMutexLocker l(&mutex_); rng_.seed(seed); }

QMap<int, int> Bus::acquisitions()
{
    QMutexLocker l(&mutex_);
    QMap<int, int> out;
    if (Module *m = interfaceModule())
        for (auto a = m->acq.begin(); a != m->acq.end(); ++a)
            out.insert(a.key(), a->node);
    return out;
}

int Bus::requestedBaud()
{
    QMutexLocker l(&mutex_);
    Module *m = interfaceModule();
    return m && m->baud > 0 ? int(m->baud) : 0;
}

int Bus::interfaceNode() { QMutexLocker l(&mutex_); return interfaceNode_; }
int Bus::moduleCount() { QMutexLocker l(&mutex_); return int(modules_.size()); }
int Bus::requestFrames() { QMutexLocker l(&mutex_); return requestFrames_; }
qint64 Bus::wireChars() { QMutexLocker l(&mutex_); return wireChars_; }

Module *Bus::moduleAt(int node)
{
    for (auto &m : modules_) if (m->node == node) return m.get();
    return nullptr;
}

Module *Bus::interfaceModule() { return moduleAt(interfaceNode_); }

bool Bus::processExists(const Module &m, int proc) const
{
    if (proc == 0 || m.channels.contains(proc)) return true;
    if (m.isInterfaceType() && ((proc >= 1 && proc <= 120) || (proc >= 123 && proc <= 126))) return true;
    for (auto it = m.params.begin(); it != m.params.end(); ++it)
        if (it.value().proc == proc) return true;
    return false;
}

// An interface reached without direct access answers its own processes 113
// and 118 as 121 and 122: 113..120 are its acquisition channels there.
int Bus::aliasProcess(const Module &m, int proc)
{
    if (!m.isInterfaceType()) return proc;
    if (proc == 121) return 113;
    if (proc == 122) return 118;
    return proc;
}

// True when the database gives this module a parameter at that address with
// that value type. The interface's acquisition channels 1..120 share their
// addresses with database parameters of processes 113..120 (user tag,
// calibration date, event log, ...); the value type tells them apart.
bool Bus::definedAs(const Module &m, int proc, int fb, uint8_t type) const
{
    auto p = m.params.constFind(key(proc, fb));
    return p != m.params.constEnd() && p->type == type;
}

double Bus::measureOf(Module &m, int proc)
{
    auto it = m.loops.find(proc);
    if (it == m.loops.end()) {
        for (const Param &p : m.params)
            if (p.proc == proc && p.role == Param::Measure) return p.value.number();
        return 0;
    }
    const double dt = double(nowMs() - it->t0);
    return it->target + (it->from - it->target) * std::exp(-dt / std::max(1.0, tauMs_));
}

// Capacity (100 % flow in its unit) of the channel at process chanProc.
double Bus::capacityOf(const Module &m, int chanProc) const
{
    for (const Param &p : m.params)
        if (p.proc == chanProc && p.name.compare(QLatin1String("capacity"), Qt::CaseInsensitive) == 0)
            return p.value.number();
    return 100;
}

// A counter totals its channel's flow: measure (32000 = 100 %) times the
// channel's capacity per minute. It counts while its mode (parameter 3 of the
// counter's process) is not 0; in mode 2 it stops at its limit (parameter 2)
// when one is set.
void Bus::advanceCounter(Module &m, Param &c)
{
    const qint64 now = nowMs();
    const qint64 since = c.countedAtMs < 0 ? now : c.countedAtMs;
    c.countedAtMs = now;
    const int chanProc = ownProcess(c.proc);
    auto mode = m.params.constFind(key(c.proc, 3));
    const int modeValue = mode != m.params.constEnd() ? int(mode->value.number()) : 1;
    if (modeValue == 0) return;
    double total = c.value.number()
                   + measureOf(m, chanProc) / 32000.0 * capacityOf(m, chanProc) * double(now - since) / 60000.0;
    auto limit = m.params.constFind(key(c.proc, 2));
    if (modeValue == 2 && limit != m.params.constEnd() && limit->value.number() > 0)
        total = std::min(total, limit->value.number());
    convertValue(Value::ofFloat(float(std::max(0.0, total))), c.type, c.value);
}

void Bus::noteModified(Module &m, int proc, int fb)
{
    m.modified = (m.modified == 0 || m.modified == proc) ? proc : 255;
    const int prev = m.procModified.value(proc, 0);
    m.procModified[proc] = (prev == 0 || prev == fb) ? fb : 255;
}

// Numeric answer in whatever numeric type was asked for.
static uint8_t numeric(soraproto::Item &it, double v)
{
    Value in; in.type = TFloat; in.f = float(v);
    Value in2; in2.type = TLong; in2.i = int64_t(std::llround(v));
    return convertValue(it.type == TFloat ? in : in2, it.type, it.value) ? 0 : 5;
}

static bool numericIn(const soraproto::Item &it, double &v)
{
    if (it.value.type == TString) return false;
    v = it.value.number();
    return true;
}

bool Bus::systemRead(Module &m, int fb, Item &it, uint8_t &st)
{
    switch (fb) {
    case 0:
        // Asked as a number: the device type ID; asked as text: the ident
        // string, whose first character is that ID.
        if (it.type == TString) {
            it.value = Value::ofString(m.ident().toLatin1());
            st = 0;
        } else {
            st = numeric(it, m.typeId);
        }
        return true;
    case 1: case 2: case 3: case 4: return linkRead(m, fb, it, st);
    case 5: {
        // The scenario's identification number, else the kind of node the
        // database has texts for: 73 interface, 65 controller, 64 meter.
        int kind = m.isInterfaceType() ? 73 : 64;
        for (const Param &p : m.params)
            if (!m.isInterfaceType() && p.role == Param::Setpoint) kind = 65;
        st = numeric(it, m.hasIfiId ? m.ifiId : kind);
        return true;
    }
    case 6:
        // Only a module reached directly answers; the database's definition
        // of this parameter must not make an interface look direct.
        st = m.hasDirectAccess ? numeric(it, 1) : 4;
        return true;
    case 10: st = numeric(it, m.mode); return true;
    case 19: st = numeric(it, m.modified); return true;
    case 28:
        if (it.type != TString) { st = 5; return true; }
        it.value = Value::ofString(m.ident().toLatin1());
        st = 0;
        return true;
    case 29: {
        if (it.type != TString) { st = 5; return true; }
        QByteArray map;
        for (int p : m.channels) map.append(char(p));
        it.value = Value::ofString(map);
        st = 0;
        return true;
    }
    }
    return false;
}

bool Bus::systemWrite(Module &m, int fb, const Item &it, uint8_t &st)
{
    double v = 0;
    switch (fb) {
    case 0: case 1: case 2: case 3: case 4: case 5: return linkWrite(m, fb, it, st);
    case 28: st = 0; return true;                    // writing the ident also winks
    case 6: case 29: st = 13; return true;
    case 10:
        if (!numericIn(it, v)) { st = 5; return true; }
        if (int(v) == 73) { m.mode = 73; st = 0; return true; }
        if (int(v) == 82) { leaveChangeMode(m); st = 0; return true; }
        st = 6;
        return true;
    case 19:
        if (!numericIn(it, v)) { st = 5; return true; }
        if (v != 0) { st = 6; return true; }
        m.modified = 0;                  // the processes keep their own numbers
        st = 0;
        return true;
    }
    return false;
}

bool Bus::interfaceRead(Module &m, int proc, Item &it, uint8_t &st)
{
    if (proc == 0 && it.param == 19) {
        int changed = 0;
        for (auto a = m.acq.begin(); a != m.acq.end() && !changed; ++a) {
            Module *t = a->node > 0 ? moduleAt(a->node) : nullptr;
            if (t && t != &m && t->modified) changed = a.key();
        }
        st = numeric(it, changed);
        return true;
    }
    if (proc >= 1 && proc <= 120) {
        Module::Acq &a = m.acq[proc];
        if (it.param == 0) { st = numeric(it, a.node); return true; }
        if (it.param == 1) { st = numeric(it, a.proc); return true; }
        if (it.param == 4) { st = numeric(it, a.flags); return true; }
        Module *t = a.node > 0 ? moduleAt(a.node) : nullptr;
        if (!t || t == &m) return false;
        if (it.param == 2) { st = numeric(it, measureOf(*t, a.proc)); return true; }
        if (it.param == 3) { st = numeric(it, 0); return true; }
        if (it.param == 19) { st = numeric(it, t->modified); return true; }
        st = readItem(*t, a.proc, it);     // any other parameter is fetched from the instrument
        return true;
    }
    if (proc >= 123 && proc <= 126) {
        Module::Rt &r = m.rt[proc - 123];
        switch (it.param) {
        case 1: st = numeric(it, r.node); return true;
        case 2: st = numeric(it, r.proc); return true;
        case 3: st = numeric(it, r.param); return true;
        case 4: st = numeric(it, r.extra); return true;
        case 10: case 11: {
            if (it.type != TString) { st = 5; return true; }
            QByteArray text;
            Module *t = r.node >= 1 && r.node <= 120 ? moduleAt(r.node) : nullptr;
            if (t) {
                Item probe;
                probe.param = uint8_t(r.param & 31);
                auto pp = t->params.find(key(r.proc, probe.param));
                probe.type = pp != t->params.end() ? pp->type : uint8_t((r.param & 32) ? TInt : TByte);
                if (readItem(*t, r.proc, probe) == 0)
                    text = QByteArray::number(probe.value.number(), 'g', 9) + ';' + QByteArray::number(nowMs());
            }
            it.value = Value::ofString(text);
            st = 0;
            return true;
        }
        }
        if (proc == 124 && it.param == 31) { st = numeric(it, double(m.baud)); return true; }
        if (proc == 125 && it.param == 21) {
            if (it.type != TString) { st = 5; return true; }
            it.value = Value::ofString(m.hostText.leftJustified(8, ' ', true).toLatin1());
            st = 0;
            return true;
        }
    }
    return false;
}

bool Bus::interfaceWrite(Module &m, int proc, const Item &it, uint8_t &st)
{
    double v = 0;
    const bool num = numericIn(it, v);
    if (proc >= 1 && proc <= 120 && (it.param == 0 || it.param == 1 || it.param == 4)) {
        if (!num) { st = 5; return true; }
        Module::Acq &a = m.acq[proc];
        (it.param == 0 ? a.node : it.param == 1 ? a.proc : a.flags) = int(v);
        st = 0;
        return true;
    }
    if (proc >= 123 && proc <= 126 && it.param >= 1 && it.param <= 4) {
        if (!num) { st = 5; return true; }
        Module::Rt &r = m.rt[proc - 123];
        (it.param == 1 ? r.node : it.param == 2 ? r.proc : it.param == 3 ? r.param : r.extra) = int(v);
        st = 0;
        return true;
    }
    if (proc == 124 && it.param == 31) {
        if (!num) { st = 5; return true; }
        m.baud = qint64(v);
        st = 0;
        return true;
    }
    return false;
}

uint8_t Bus::readItem(Module &m, int proc, Item &it)
{
    uint8_t st = 0;
    proc = aliasProcess(m, proc);
    const bool ownParam = proc >= 1 && proc <= 120 && definedAs(m, proc, it.param, it.type);
    if (m.isInterfaceType() && !ownParam && interfaceRead(m, proc, it, st)) return st;
    if (proc == 0 && systemRead(m, it.param, it, st)) return st;
    const int k = key(proc, it.param);
    if (proc != 0 && it.param == 19 && processExists(m, proc))
        return numeric(it, m.procModified.value(proc, 0));
    if (m.missing.contains(k)) return 4;
    auto p = m.params.find(k);
    if (p == m.params.end()) return processExists(m, proc) ? 4 : 3;
    if (!p->read) return 17;
    if (p->type != it.type) return 5;
    if (p->role == Param::Counter) advanceCounter(m, *p);
    Value v = p->value;
    switch (p->role) {
    case Param::Measure: convertValue(Value::ofFloat(float(measureOf(m, proc))), p->type, v); break;
    case Param::Ident: v = Value::ofString(m.ident().toLatin1()); break;
    case Param::IdentNr: convertValue(Value::ofFloat(float(m.typeId)), p->type, v); break;
    case Param::FMeasure: {     // measure in the capacity's unit
        const int chanProc = ownProcess(proc);
        convertValue(Value::ofFloat(float(measureOf(m, chanProc) / 32000.0 * capacityOf(m, chanProc))), p->type, v);
        break;
    }
    case Param::Valve: {
        auto l = m.loops.value(proc);
        const double meas = measureOf(m, proc);
        const double share = std::clamp(0.5 * l.target / 32000.0 + 2.0 * std::abs(l.target - meas) / 32000.0, 0.0, 1.0);
        convertValue(Value::ofFloat(float(share * (p->hasRange ? p->max : 16777215.0))), p->type, v);
        break;
    }
    default: break;
    }
    if (wobble_ && v.type != TString) wobble(*p, v);
    if (it.type == TString && it.length > 0)
        v.s = v.s.leftJustified(it.length, ' ', true);
    it.value = v;
    return 0;
}

// Every other read moves a number by one step (one unit, or a part in 10^5 of
// a float) inside the parameter's range, so that each poll of a scenario
// with "wobble" brings a new value: polling throughput can then be measured
// at the client, which is only told of changes.
void Bus::wobble(Param &p, Value &v)
{
    p.wobbled = !p.wobbled;
    if (!p.wobbled) return;
    const double x = v.number();
    const double step = v.type == TFloat ? std::max(std::abs(x) * 1e-5, 1e-6) : 1.0;
    const double lo = p.hasRange ? p.min : (v.type == TByte ? 0.0 : -2147483648.0);
    const double hi = p.hasRange ? p.max : (v.type == TByte ? 255.0 : v.type == TInt ? 32767.0 : 2147483647.0);
    const double y = x + step <= hi ? x + step : x - step >= lo ? x - step : x;
    if (v.type == TFloat) v.f = float(y);
    else v.i = int64_t(y);
}

uint8_t Bus::writeItem(Module &m, int proc, const Item &it)
{
    uint8_t st = 0;
    proc = aliasProcess(m, proc);
    const bool ownParam = proc >= 1 && proc <= 120 && definedAs(m, proc, it.param, it.value.type);
    if (m.isInterfaceType() && !ownParam && interfaceWrite(m, proc, it, st)) return st;
    if (proc == 0 && systemWrite(m, it.param, it, st)) return st;
    const int k = key(proc, it.param);
    if (proc != 0 && it.param == 19 && processExists(m, proc)) {
        double v = 0;
        if (!numericIn(it, v)) return 5;
        if (v != 0) return 6;
        m.procModified.remove(proc);
        return 0;
    }
    if (m.missing.contains(k)) return 4;
    auto p = m.params.find(k);
    if (p == m.params.end()) return processExists(m, proc) ? 4 : 3;
    if (p->role == Param::Ident) return 0;       // writing the ident makes the module wink
    if (!p->write) return 13;
    if (p->type != it.value.type) return 5;
    if (p->type != TString && p->hasRange) {
        const double v = it.value.number();
        if (v < p->min || v > p->max) return 6;
    }
    if (p->role == Param::Setpoint) {
        Module::Loop &l = m.loops[proc];
        l.from = measureOf(m, proc);
        l.target = it.value.number();
        l.t0 = nowMs();
    }
    p->value = it.value;
    if (p->role == Param::Counter) p->countedAtMs = nowMs();     // counts on from the written value
    if (p->type == TString && p->length > 0) p->value.s = p->value.s.left(p->length);
    noteModified(m, proc, it.param);
    return 0;
}

QByteArray Bus::corruptFrame(QByteArray f)
{
    switch (corruptKind_++ % 3) {
    case 0: f[0] = '#'; break;                              // lost start character
    case 1: f[1] = 'G'; break;                              // damaged length digit
    default: {                                              // one flipped payload digit
        const int pos = 3 + int(rng_.bounded(quint32(std::max<qsizetype>(1, f.size() - 7))));
        f[pos] = f[pos] == '0' ? '1' : '0';
    }
    }
    return f;
}

std::vector<Bus::Reply> Bus::handle(const QByteArray &payload)
{
    QMutexLocker lock(&mutex_);
    std::vector<Reply> out;
    ++requestFrames_;
    wireChars_ += frameChars(int(payload.size()));
    auto req = decodeRequest(payload);
    if (!req) {
        if (payload.size() >= 3) {
            Message e;
            e.node = uint8_t(payload[0]); e.seq = uint8_t(payload[1]);
            e.cmd = CmdError; e.check = frameCheck(payload); e.error = 34;
            out.push_back({encode(e), faults_.delayMs});
        }
        return out;
    }
    ++framesTo_[req->node];
    Module *m = req->node == LocalNode ? interfaceModule() : moduleAt(req->node);
    if (!m || faults_.silent.contains(m->node) || m->silentUntilMs > nowMs())
        return out;
    if (faults_.missed.value(m->node) > 0) {  // still starting up
        --faults_.missed[m->node];
        return out;
    }
    const int answeringNode = m->node;
    for (const Group &g : req->groups)
        for (const Item &it : g.items)
            if (faults_.unanswered.contains(Faults::key(answeringNode, g.process, it.param)))
                return out;
    Message rep;
    rep.node = uint8_t(answeringNode);
    rep.seq = req->seq;
    rep.cmd = req->cmd == CmdRead ? CmdReadReply : CmdWriteAck;
    rep.check = frameCheck(payload);
    for (Group &g : req->groups) {
        Group rg;
        rg.process = g.process;
        for (Item &it : g.items) {
            Item r;
            r.param = it.param;
            r.type = req->cmd == CmdRead ? it.type : it.value.type;
            if (req->cmd == CmdRead) {
                Item work = it;
                r.status = readItem(*m, g.process, work);
                r.value = work.value;
            } else {
                r.status = writeItem(*m, g.process, it);
            }
            const int forced = faults_.forcedStatus.value(Faults::key(answeringNode, g.process, it.param), 0);
            if (forced) r.status = uint8_t(forced);
            rg.items.push_back(r);
        }
        rep.groups.push_back(std::move(rg));
    }
    if (faults_.drop > 0 && rng_.generateDouble() < faults_.drop) return out;
    QByteArray repPayload = encodePayload(rep);
    if (repPayload.size() > MaxPayload) {
        // Too many long values asked at once for one reply frame.
        Message e;
        e.node = rep.node; e.seq = rep.seq; e.cmd = CmdError; e.check = rep.check; e.error = 34;
        repPayload = encodePayload(e);
    }
    QByteArray f = frame(repPayload);
    if (faults_.corrupt > 0 && rng_.generateDouble() < faults_.corrupt) f = corruptFrame(f);
    wireChars_ += f.size();
    out.push_back({f, faults_.delayMs + faults_.nodeDelayMs.value(answeringNode, 0)});
    return out;
}

bool Bus::peek(int node, int proc, int fb, Value &out)
{
    QMutexLocker lock(&mutex_);
    Module *m = moduleAt(node);
    if (!m) return false;
    auto p = m->params.find(key(proc, fb));
    if (p == m->params.end()) return false;
    Item it; it.param = uint8_t(fb); it.type = p->type;
    if (readItem(*m, proc, it) != 0) return false;
    out = it.value;
    return true;
}

QString Bus::setByKeyboard(int node, int proc, int fb, const QString &value)
{
    QMutexLocker lock(&mutex_);
    Module *m = moduleAt(node);
    if (!m) return QStringLiteral("No module at node %1").arg(node);
    auto p = m->params.find(key(proc, fb));
    if (p == m->params.end())
        return QStringLiteral("Node %1 has no parameter %2:%3").arg(node).arg(proc).arg(fb);
    Value v;
    v.type = p->type;
    if (p->type == TString) {
        v.s = value.toLatin1();
        if (p->length > 0) v.s = v.s.left(p->length);
    } else {
        bool ok = false;
        const double d = value.toDouble(&ok);
        if (!ok) return QStringLiteral("%1 is no number").arg(value);
        Value in;
        in.type = p->type == TFloat ? TFloat : TLong;
        in.f = float(d);
        in.i = int64_t(std::llround(d));
        convertValue(in, p->type, v);
    }
    if (p->role == Param::Setpoint) {
        Module::Loop &l = m->loops[proc];
        l.from = measureOf(*m, proc);
        l.target = v.number();
        l.t0 = nowMs();
    }
    p->value = v;
    noteModified(*m, proc, fb);
    return {};
}

QString Bus::reidentify(int node, int typeId, const QString &number)
{
    QMutexLocker lock(&mutex_);
    Module *m = moduleAt(node);
    if (!m) return QStringLiteral("No module at node %1").arg(node);
    if (typeId <= 0 || typeId > 255) return QStringLiteral("%1 is no device type").arg(typeId);
    m->typeId = typeId;
    if (!number.isEmpty()) m->number = number;
    m->params.clear();
    m->loops.clear();
    m->procModified.clear();
    m->modified = 0;
    buildParams(*m, db_);
    for (int proc : m->channels)
        for (const Param &p : m->params)
            if (p.proc == proc && p.role == Param::Setpoint) {
                Module::Loop l;
                l.from = l.target = p.value.number();
                m->loops.insert(proc, l);
            }
    return {};
}

QString Bus::command(const QString &line)
{
    const QStringList w = line.simplified().split(' ', Qt::SkipEmptyParts);
    QString error;
    if (w.size() >= 5 && w[0] == QLatin1String("set"))
        error = setByKeyboard(w[1].toInt(), w[2].toInt(), w[3].toInt(), w.mid(4).join(' '));
    else if ((w.size() == 3 || w.size() == 4) && w[0] == QLatin1String("identify"))
        error = reidentify(w[1].toInt(), w[2].toInt(), w.value(3));
    else if (w.size() == 3 && w[0] == QLatin1String("install"))
        error = injectInstall(w[1].toInt(), w[2]);
    else if (w.size() == 1 && w[0] == QLatin1String("status")) {
        QStringList out;
        for (const Links &l : links())
            out << QStringLiteral("node %1: next %2, last %3, second %4, mode %5%6")
                       .arg(l.node).arg(l.next).arg(l.lna).arg(l.second).arg(l.mode)
                       .arg(l.winking ? QStringLiteral(", winking") : QString());
        return out.join('\n');
    } else
        error = QStringLiteral("Unknown command: %1").arg(line.trimmed());
    return error.isEmpty() ? QStringLiteral("ok") : error;
}

// ---- node links, install mode and wink ------------------------------------
//
// Every module keeps two link addresses: process 0, parameter 3, the next
// occupied node it hands the bus on to (0 after the last), and parameter 4,
// the highest address up to which it looks for that next node (its "last
// node address"). The bus forms its ring the way the modules do themselves:
// each module's next node is the lowest occupied address above it and not
// above its last node address. A module whose last node address stops short
// of the next module loses it, so a master moving a module must raise the
// last node address of the module below the new place.
//
// In change mode (parameter 10 = 73) the master may write the node address
// (taken over when 82 ends the change, after changeDelayMs of silence), the
// second address, both links, and parameter 5 with its own value (the copy
// an installer writes back). Reading parameter 1 in change mode gives the
// address written. A module in install mode sits at node 0 and answers only
// there until it is given an address.

bool Bus::linkRead(Module &m, int fb, Item &it, uint8_t &st)
{
    switch (fb) {
    case 1: st = numeric(it, m.mode == 73 && m.pendingNode >= 0 ? m.pendingNode : m.node); return true;
    case 2: st = numeric(it, m.secondAddress); return true;
    case 3: st = numeric(it, m.nextNode); return true;
    case 4: st = numeric(it, m.knownLna); return true;
    }
    return false;
}

bool Bus::linkWrite(Module &m, int fb, const Item &it, uint8_t &st)
{
    double v = 0;
    if (fb == 0) {
        // Wink: "9" (or 9) starts it, "0" stops it; the module only shows it.
        const QByteArray text = it.value.type == TString ? it.value.s.trimmed()
                                                        : QByteArray::number(qint64(it.value.number()));
        const bool on = text == "9";
        if (on || text == "0") {
            m.winking = on;
            winkLog_ << QStringLiteral("%1:%2").arg(m.node).arg(on ? "on" : "off");
            note(QStringLiteral("node %1 %2").arg(m.node).arg(on ? "winks" : "stops winking"));
        }
        st = 0;
        return true;
    }
    if (!numericIn(it, v)) { st = 5; return true; }
    if (m.mode != 73) { st = fb == 5 ? 13 : 6; return true; }
    if (fb == 5) {
        Item own; own.param = 5; own.type = TByte;
        uint8_t s2 = 0;
        systemRead(m, 5, own, s2);
        st = s2 == 0 && int(own.value.number()) == int(v) ? 0 : 13;
        return true;
    }
    if (v < 0 || v > 127) { st = 6; return true; }
    if (fb == 1) m.pendingNode = int(v);
    else if (fb == 2) m.secondAddress = int(v);
    else if (fb == 3) m.nextNode = int(v);
    else m.knownLna = int(v);
    st = 0;
    return true;
}

void Bus::leaveChangeMode(Module &m)
{
    m.mode = 82;
    if (m.pendingNode >= 0 && m.pendingNode != m.node && !moduleAt(m.pendingNode)) {
        if (m.secondAddress == m.node) m.secondAddress = m.pendingNode;
        if (m.node == interfaceNode_) interfaceNode_ = m.pendingNode;
        note(QStringLiteral("node %1 moves to node %2").arg(m.node).arg(m.pendingNode));
        m.node = m.pendingNode;
        m.silentUntilMs = nowMs() + changeDelayMs_;
    }
    m.pendingNode = -1;
    formRing();
}

void Bus::formRing()
{
    std::vector<Module *> chain;
    for (auto &x : modules_) if (x->node > 0) chain.push_back(x.get());
    std::sort(chain.begin(), chain.end(), [](Module *a, Module *b) { return a->node < b->node; });
    for (size_t i = 0; i < chain.size(); ++i) {
        Module *m = chain[i];
        m->nextNode = i + 1 < chain.size() && chain[i + 1]->node <= m->knownLna ? chain[i + 1]->node : 0;
    }
}

void Bus::note(const QString &line)
{
    if (onEvent) onEvent(line);
}

QVector<Bus::Links> Bus::links()
{
    QMutexLocker lock(&mutex_);
    QVector<Links> out;
    for (auto &m : modules_)
        out.push_back({m->node, m->nextNode, m->knownLna, m->secondAddress, m->mode, m->winking});
    std::sort(out.begin(), out.end(), [](const Links &a, const Links &b) { return a.node < b.node; });
    return out;
}

bool Bus::ringComplete()
{
    const QVector<Links> all = links();
    QVector<Links> ring;
    for (const Links &l : all) if (l.node > 0) ring.push_back(l);
    for (int i = 0; i < ring.size(); ++i)
        if (ring[i].next != (i + 1 < ring.size() ? ring[i + 1].node : 0)) return false;
    return true;
}

QString Bus::injectInstall(int typeId, const QString &number)
{
    QMutexLocker lock(&mutex_);
    if (moduleAt(0)) return QStringLiteral("A module is in install mode already");
    if (!db_.types.contains(typeId)) return QStringLiteral("No device type %1").arg(typeId);
    auto m = std::make_unique<Module>();
    m->typeId = typeId;
    m->number = number;
    for (int c = 1; c <= std::max(1, db_.types.value(typeId).channels); ++c) m->channels.push_back(c);
    m->hasDirectAccess = typeId != 1;
    m->nextNode = 1;
    m->knownLna = 126;
    buildParams(*m, db_);
    note(QStringLiteral("type %1 %2 in install mode at node 0").arg(typeId).arg(number));
    modules_.push_back(std::move(m));
    return {};
}

QStringList Bus::winkLog() { QMutexLocker l(&mutex_); return winkLog_; }
int Bus::requestFramesTo(int node) { QMutexLocker l(&mutex_); return framesTo_.value(node); }

} // namespace soranetsim
