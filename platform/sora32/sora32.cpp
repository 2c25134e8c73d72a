// The library's state, its I/O thread and the public calls.
//
// Requests are queued under one mutex and the I/O thread is woken (at most
// one wake-up event outstanding). The I/O thread turns queued requests into
// frames, merging reads for one node when chaining is on, keeps up to
// `window` frames in flight (sequence numbers tell their replies apart, in
// any order), retries on time-out or damage, and files every item's outcome
// as a reply in the queue of the application id that asked.
#include "sora32.h"

#include "soraproto.h"
#include "transports.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>

#include <atomic>
#include <bitset>
#include <deque>
#include <map>
#include <vector>

using namespace soraproto;

namespace sora32 {
namespace {

struct Request {
    int16_t app = 0;
    int16_t tag = 0;
    uint8_t node = 0, proc = 0, param = 0, type = 0, length = 0;
    bool write = false;
    Value value;
};

struct Reply {
    uint8_t node = 0, proc = 0, param = 0, kind = 0, type = 0, status = 0;
    int16_t tag = 0;
    Value value;
};

using Done = std::function<void(const Message *reply, int16_t error)>;

struct InFlight {
    Message msg;
    std::vector<Request> reqs;      // in item order (group by group)
    Done done;                      // internal messages: called instead of filing replies
    QByteArray frame;
    uint8_t check = 0;              // the frame's check byte, echoed by its reply
    qint64 deadline = 0;
    qint64 txEnd = 0;               // when its last character has left, by the line rate
    int tries = 0;
    int maxTries = 1;
    int replyChars = 0;
};

struct ModuleInfo {
    int node = 0;
    int type = -1;
    QString number;
    std::vector<int> procs;
};

int envInt(const char *name, int def)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : def;
}

int valueBytes(uint8_t type) { return type == TByte ? 1 : type == TInt ? 2 : type == TString ? 33 : 4; }

class Engine;

struct State {
    QMutex mtx;
    // guarded by mtx
    std::deque<Request> pending;
    std::map<int16_t, std::deque<Reply>> queues;
    int16_t nextApp = 1;
    int16_t asyncError = 0;
    bool open = false;
    QString lineLost;   // why the open line is gone for good; empty while it works
    bool chainProc = false, chainPar = false;
    QString interfaceName;
    QString interfaceType;
    QString openError; // why the last OpenCommunication failed
    int baud = 38400;
    uint8_t interfaceNode = 0, lna = 0, arbitration = 67;
    std::vector<ModuleInfo> modules;
    std::vector<std::pair<int, int>> channels;    // node, process
    QStringList ports;
    QStringList deviceServers;
    // not guarded
    std::atomic<bool> kickPosted{false};
    QThread thread;
    Engine *engine = nullptr;
};

State &S();

class Engine : public QObject {
public:
    Engine() : timer_(this), keepTimer_(this)
    {
        keepTimer_.setSingleShot(true);
        connect(&keepTimer_, &QTimer::timeout, this, [this] { dropKept(); });
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, [this] { checkTimeouts(); });
        clock_.start();
        window_ = std::max(1, envInt("TESMIRA_SORA32_WINDOW", 8));
        baseTimeoutMs_ = std::max(10, envInt("TESMIRA_SORA32_TIMEOUT_MS", 300));
        retries_ = std::max(0, envInt("TESMIRA_SORA32_RETRIES", 2));
    }

    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User) {
            S().kickPosted.store(false);
            pump();
            return true;
        }
        return QObject::event(e);
    }

    // --- run in the I/O thread ------------------------------------------
    int16_t openLine(const QString &name, int baud)
    {
        closeLine();
        if (kept_ && keptName_ == name && kept_->keepable()) {
            // The connection kept from the last closing: one connection
            // serves a whole opening, whatever the opening closes and
            // re-opens on the way (port settings, the temporary rate).
            transport_ = std::move(kept_);
            keepTimer_.stop();
            transport_->setBaud(baud);
            transport_->purge();
        } else {
            dropKept();
            const InterfaceTarget t = resolveInterface(name);
            transport_ = makeTransport(t);
            if (!transport_) return 20;
            QString err;
            if (!transport_->open(baud, err)) {
                { QMutexLocker l(&S().mtx); S().openError = err; }
                transport_.reset();
                return 22;
            }
        }
        lineName_ = name;
        baud_ = baud;
        transport_->onData = [this](const QByteArray &b) { onData(b); };
        transport_->onLost = [this](const QString &reason) { lineLost(reason); };
        parser_.reset();
        { QMutexLocker l(&S().mtx); S().lineLost.clear(); }
        return 0;
    }
    // The transport says the line is gone (device removed, hang-up, I/O
    // error, the peer closed): the first reason is kept until the line is
    // closed or opened again; requests then fail by their time-outs.
    void lineLost(const QString &reason)
    {
        {
            QMutexLocker l(&S().mtx);
            if (!S().lineLost.isEmpty()) return;
            S().lineLost = reason.isEmpty() ? QStringLiteral("the line is gone") : reason;
        }
        // Let go of the dead port at once (a device plugged back in gets its
        // old name only when nobody holds the old one); not from inside the
        // transport's own signal.
        QMetaObject::invokeMethod(this, [this] { closeLine(); }, Qt::QueuedConnection);
    }
    // Whether the interface can be opened now, tried with a transport of its
    // own while the current line stays as it is. A network line that opens
    // is kept for the next opening (a device server may take one
    // connection only).
    bool probe(const QString &name, int baud, QString &error)
    {
        auto t = makeTransport(resolveInterface(name));
        if (!t) { error = QStringLiteral("unusable interface name"); return false; }
        if (!t->open(baud, error)) return false;
        if (t->keepable()) {
            dropKept();
            kept_ = std::move(t);
            keptName_ = name;
            keepTimer_.start(KeepMs);
        } else {
            t->close();
        }
        return true;
    }
    void closeLine()
    {
        if (transport_) transport_->onLost = nullptr;
        // Requests on the line get no reply any more: each fails at once,
        // so nobody waits for it until the time-out.
        for (auto &[seq, f] : inflight_)
            finish(f, nullptr, 14);
        inflight_.clear();
        failInternal();
        if (transport_ && transport_->keepable()) {
            // A network line is kept for a moment before it is really
            // closed; bytes that still arrive on it are nobody's.
            dropKept();
            transport_->onData = nullptr;
            kept_ = std::move(transport_);
            keptName_ = lineName_;
            keepTimer_.start(KeepMs);
            return;
        }
        if (transport_) transport_->close();
        transport_.reset();
    }
    void dropKept()
    {
        keepTimer_.stop();
        if (kept_) kept_->close();
        kept_.reset();
    }
    QString kind() const { return transport_ ? transport_->kind() : QString(); }
    // Tries of one frame before its items fail (set once, at construction).
    int tries() const { return retries_ + 1; }
    void setBaud(int baud) { baud_ = baud; if (transport_) transport_->setBaud(baud); }

    // An internal message (session and configuration calls), sent before
    // queued requests.
    void submit(Message m, int maxTries, Done done)
    {
        InFlight f;
        f.msg = std::move(m);
        f.done = std::move(done);
        f.maxTries = maxTries;
        internal_.push_back(std::move(f));
        pump();
    }

    void pump()
    {
        if (!transport_) {
            // No line: internal messages fail at once rather than wait
            // for a line that is not coming (their callers wait for them).
            failInternal();
            QMutexLocker l(&S().mtx);
            S().pending.clear();
            return;
        }
        while (int(inflight_.size()) < window_) {
            InFlight f;
            if (!internal_.empty()) {
                f = std::move(internal_.front());
                internal_.pop_front();
            } else if (!takeNext(f)) {
                break;
            }
            send(std::move(f));
        }
    }

private:
    void failInternal()
    {
        std::deque<InFlight> waiting;
        waiting.swap(internal_);
        for (InFlight &f : waiting)
            finish(f, nullptr, 14);
    }

    double charMs() const { return baud_ > 0 ? 10000.0 / baud_ : 0.0; }

    // Builds the next frame from queued requests; merges reads for the same
    // node as far as the chaining switches allow, never across a write. A
    // frame asks for each parameter once: a repeated read (the next poll of
    // the same value) goes in a later frame, so it gets a later reading.
    bool takeNext(InFlight &f)
    {
        State &s = S();
        QMutexLocker l(&s.mtx);
        if (s.pending.empty()) return false;
        std::vector<Request> reqs;
        reqs.push_back(std::move(s.pending.front()));
        s.pending.pop_front();
        const Request first = reqs.front();    // a copy: reqs grows below
        const bool chain = !first.write && first.type != TString && (s.chainProc || s.chainPar);
        if (chain) {
            // Payload bytes of the request and of its reply (all items done).
            int reqBytes = 3 + 2 + 2, repValueBytes = valueBytes(first.type);
            std::vector<uint8_t> procs{first.proc};
            std::bitset<256 * 256> asked;
            asked.set(first.proc * 256u + first.param);
            for (auto it = s.pending.begin(); it != s.pending.end() && reqs.size() < 120;) {
                const Request &q = *it;
                if (q.node != first.node) { ++it; continue; }
                if (q.write) break;
                if (q.type == TString) { ++it; continue; }
                const bool known = std::find(procs.begin(), procs.end(), q.proc) != procs.end();
                if ((!s.chainProc && q.proc != first.proc) || (!s.chainPar && known) ||
                    asked.test(q.proc * 256u + q.param)) { ++it; continue; }
                const int addReq = 2 + (known ? 0 : 2);
                const int repBytes = ReplyHeadBytes + statusMapBytes(int(reqs.size()) + 1) + repValueBytes + valueBytes(q.type);
                if (reqBytes + addReq > MaxPayload || repBytes > MaxPayload) break;
                reqBytes += addReq; repValueBytes += valueBytes(q.type);
                if (!known) procs.push_back(q.proc);
                asked.set(q.proc * 256u + q.param);
                reqs.push_back(std::move(*it));
                it = s.pending.erase(it);
            }
        }
        l.unlock();
        // Group by process in order of first appearance.
        Message m;
        m.node = first.node;
        m.cmd = first.write ? CmdWrite : CmdRead;
        std::vector<std::vector<Request *>> byGroup;
        for (Request &r : reqs) {
            size_t g = 0;
            while (g < m.groups.size() && m.groups[g].process != r.proc) ++g;
            if (g == m.groups.size()) { m.groups.push_back(Group{r.proc, {}}); byGroup.emplace_back(); }
            Item it;
            it.param = r.param; it.type = r.type; it.length = r.length; it.value = r.value;
            m.groups[g].items.push_back(it);
            byGroup[g].push_back(&r);
        }
        std::vector<Request> ordered;
        for (auto &g : byGroup) for (Request *r : g) ordered.push_back(std::move(*r));
        f.msg = std::move(m);
        f.reqs = std::move(ordered);
        f.maxTries = retries_ + 1;
        return true;
    }

    int expectedReplyChars(const Message &m) const
    {
        // A reply has no per-item header: the failure map, then the values.
        int bytes = ReplyHeadBytes + statusMapBytes(m.itemCount());
        if (m.cmd == CmdRead)
            for (const Group &g : m.groups)
                for (const Item &it : g.items)
                    bytes += it.type == TString ? (it.length ? it.length + 1 : 33) : valueBytes(it.type);
        return frameChars(std::min(bytes, MaxPayload));
    }

    void send(InFlight f)
    {
        // A sequence number not in use by another frame in flight.
        do { seq_ = uint8_t(seq_ + 1); } while (inflight_.count(seq_));
        f.msg.seq = seq_;
        const QByteArray payload = encodePayload(f.msg);
        f.check = frameCheck(payload);
        f.frame = frame(payload);
        f.replyChars = expectedReplyChars(f.msg);
        ++f.tries;
        // The reply may queue behind the replies of the frames already in flight.
        int ahead = 0;
        for (auto &[k, o] : inflight_) ahead += o.replyChars;
        const double ms = baseTimeoutMs_ + charMs() * 1.5 * (f.frame.size() + f.replyChars + ahead);
        const qint64 now = clock_.elapsed();
        f.deadline = now + qint64(ms);
        txFree_ = std::max(txFree_, now) + qint64(charMs() * f.frame.size());
        f.txEnd = txFree_;
        transport_->send(f.frame);
        inflight_.emplace(seq_, std::move(f));
        armTimer();
    }

    // When a frame in flight counts as unanswered: at its deadline, or
    // earlier once the line has been quiet for the base time-out (plus the
    // wire time of the longest reply that may be on its way) since its
    // request left and since the last character came in. The deadline
    // allows for replies queued ahead of this one; when those have come
    // (or will never come) and the line stays silent, waiting on only
    // leaves the line idle, as for silent addresses during a configuration
    // read.
    qint64 expiry(const InFlight &f, int longestReply) const
    {
        const qint64 quiet = baseTimeoutMs_ + qint64(charMs() * 1.5 * longestReply);
        return std::min(f.deadline, std::max(f.txEnd, lastRx_) + quiet);
    }
    int longestReply() const
    {
        int chars = 0;
        for (auto &[k, f] : inflight_) chars = std::max(chars, f.replyChars);
        return chars;
    }

    void armTimer()
    {
        if (inflight_.empty()) { timer_.stop(); return; }
        qint64 next = INT64_MAX;
        const int longest = longestReply();
        for (auto &[k, f] : inflight_) next = std::min(next, expiry(f, longest));
        armedFor_ = std::max(next, clock_.elapsed() + 1);
        timer_.start(int(armedFor_ - clock_.elapsed()));
    }

    void retryOrFail(uint8_t seq, int16_t error)
    {
        auto it = inflight_.find(seq);
        if (it == inflight_.end()) return;
        InFlight f = std::move(it->second);
        inflight_.erase(it);
        if (f.tries < f.maxTries && transport_) {
            send(std::move(f));
            return;
        }
        finish(f, nullptr, error);
    }

    void checkTimeouts()
    {
        const qint64 now = clock_.elapsed();
        // This thread was held up past the time-out (a busy machine): what
        // came in on the line meanwhile is read before anything times out.
        if (now - armedFor_ > LateMs && !rechecked_) {
            rechecked_ = true;
            timer_.start(LateMs);
            return;
        }
        rechecked_ = false;
        std::vector<uint8_t> expired;
        const int longest = longestReply();
        for (auto &[k, f] : inflight_) if (expiry(f, longest) <= now) expired.push_back(k);
        for (uint8_t k : expired) retryOrFail(k, 25);
        armTimer();
        pump();
    }

    void setAsyncError(int16_t e)
    {
        QMutexLocker l(&S().mtx);
        S().asyncError = e;
    }

    void onData(const QByteArray &bytes)
    {
        lastRx_ = clock_.elapsed();
        parser_.feed(bytes);
        FrameParser::Event ev;
        while (parser_.next(ev)) {
            if (!ev.ok) { setAsyncError(ev.error); continue; }
            if (ev.payload.size() < ReplyHeadBytes) { setAsyncError(ErrData); continue; }
            const uint8_t seq = uint8_t(ev.payload[1]);
            auto it = inflight_.find(seq);
            // A late answer to a frame already retried; its sequence number
            // may have been given to a newer frame meanwhile, which the
            // echoed check byte tells apart.
            if (it == inflight_.end() || uint8_t(ev.payload[3]) != it->second.check) continue;
            auto rep = decodeReply(ev.payload, &it->second.msg);
            if (!rep) { setAsyncError(ErrData); retryOrFail(seq, ErrData); continue; }
            if (rep->cmd == CmdError) {
                if (rep->error == 28) setAsyncError(28);
                retryOrFail(seq, rep->error);
                continue;
            }
            InFlight f = std::move(it->second);
            inflight_.erase(it);
            finish(f, &*rep, 0);
        }
        armTimer();
        pump();
    }

    // Files the outcome of every item of a frame.
    void finish(InFlight &f, const Message *rep, int16_t error)
    {
        if (f.done) { f.done(rep, error); return; }
        const bool wrongNode = rep && f.msg.node != LocalNode && rep->node != f.msg.node;
        std::vector<Reply> out;
        out.reserve(f.reqs.size());
        size_t i = 0;
        for (size_t g = 0; g < f.msg.groups.size(); ++g) {
            for (size_t k = 0; k < f.msg.groups[g].items.size(); ++k, ++i) {
                const Request &q = f.reqs[i];
                Reply r;
                r.node = q.node; r.proc = q.proc; r.param = q.param; r.tag = q.tag;
                r.kind = q.write ? 0 : 1;
                r.type = q.type;
                if (!rep) r.status = uint8_t(error);
                else if (wrongNode) r.status = 11;
                else {
                    const Item &it = rep->groups[g].items[k];
                    r.status = it.status;
                    r.value = it.value;
                }
                out.push_back(std::move(r));
            }
        }
        State &s = S();
        QMutexLocker l(&s.mtx);
        for (size_t j = 0; j < out.size(); ++j) {
            auto q = s.queues.find(f.reqs[j].app);
            if (q != s.queues.end()) q->second.push_back(std::move(out[j]));
        }
    }

    std::unique_ptr<Transport> transport_;
    FrameParser parser_;
    std::map<uint8_t, InFlight> inflight_;
    std::deque<InFlight> internal_;
    QTimer timer_;
    // The network line kept after a closing, and for how long.
    static constexpr int KeepMs = 3000;
    QTimer keepTimer_;
    std::unique_ptr<Transport> kept_;
    QString keptName_, lineName_;
    QElapsedTimer clock_;
    qint64 lastRx_ = 0;     // when the last character came in
    qint64 armedFor_ = 0;   // when the time-out timer is due
    bool rechecked_ = false;
    static constexpr int LateMs = 20;
    qint64 txFree_ = 0;     // when the characters sent so far have all left
    uint8_t seq_ = 0;
    int window_ = 8;
    int baseTimeoutMs_ = 300;
    int retries_ = 2;
    int baud_ = 38400;
};

State &S()
{
    static State *s = [] {
        auto *st = new State;
        st->thread.setObjectName(QStringLiteral("sora32-io"));
        st->engine = new Engine;
        st->engine->moveToThread(&st->thread);
        st->thread.start();
        return st;
    }();
    return *s;
}

// Runs fn in the I/O thread and waits for it.
template <typename F>
void inEngine(F fn)
{
    State &s = S();
    if (QThread::currentThread() == &s.thread) { fn(); return; }
    QMetaObject::invokeMethod(s.engine, std::move(fn), Qt::BlockingQueuedConnection);
}

// Runs fn in the I/O thread and waits for it; a caller on the application's
// main thread serves its events meanwhile (every 2 ms), so that the link
// clients are answered while a line opens slowly (a device server that is
// slow to connect or to negotiate).
template <typename F>
void inEngineServing(F fn)
{
    State &s = S();
    const QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) { inEngine(std::move(fn)); return; }
    std::atomic<bool> done{false};
    QMetaObject::invokeMethod(s.engine, [&] { fn(); done.store(true); }, Qt::QueuedConnection);
    while (!done.load()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        if (!done.load()) QThread::msleep(2);
    }
}

// Sends internal messages and waits for all of them; results in order.
struct Outcome { bool ok = false; int16_t error = 0; Message reply; };
std::vector<Outcome> transact(std::vector<Message> msgs, int maxTries)
{
    State &s = S();
    std::vector<Outcome> results(msgs.size());
    QMutex m;
    QWaitCondition cv;
    size_t remaining = msgs.size();
    inEngine([&] {
        for (size_t i = 0; i < msgs.size(); ++i)
            s.engine->submit(msgs[i], maxTries, [&, i](const Message *rep, int16_t err) {
                QMutexLocker l(&m);
                results[i].ok = rep != nullptr;
                results[i].error = err;
                if (rep) results[i].reply = *rep;
                if (--remaining == 0) cv.wakeAll();
            });
    });
    QMutexLocker l(&m);
    while (remaining > 0) cv.wait(&m);
    return results;
}

Message readMsg(uint8_t node, uint8_t proc, std::vector<std::pair<uint8_t, uint8_t>> params)
{
    Message m;
    m.node = node;
    m.cmd = CmdRead;
    Group g;
    g.process = proc;
    for (auto [p, t] : params) { Item it; it.param = p; it.type = t; g.items.push_back(it); }
    m.groups.push_back(g);
    return m;
}

void kick()
{
    State &s = S();
    if (!s.kickPosted.exchange(true))
        QCoreApplication::postEvent(s.engine, new QEvent(QEvent::User));
}

bool validApp(State &s, int16_t id) { return s.queues.count(id) != 0; }

int16_t queueRequest(Request r)
{
    State &s = S();
    {
        QMutexLocker l(&s.mtx);
        if (!validApp(s, r.app)) return 23;
        if (!s.open) return 14;
        if (s.pending.size() >= 8000) return 29;
        s.pending.push_back(std::move(r));
    }
    kick();
    return 0;
}

Request makeReq(int16_t app, uint8_t node, uint8_t proc, uint8_t param, uint8_t type, int16_t tag)
{
    Request r;
    r.app = app; r.node = node; r.proc = proc; r.param = param; r.type = type; r.tag = tag;
    return r;
}

// The held reply for (node, process, parameter): the one CheckReceivedMsg
// delivered sits at the front, so it is found first.
// Runs fn(queue, reply) on the held reply of node, process and parameter
// under the lock; 23 for an unknown id, 30 when no such reply is held. The
// reply delivered sits at the front, so it is found first.
template <typename Fn>
int16_t withReply(int16_t app, uint8_t node, uint8_t proc, uint8_t param, Fn fn)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    auto q = s.queues.find(app);
    if (q == s.queues.end()) return 23;
    auto &dq = q->second;
    for (auto it = dq.begin(); it != dq.end(); ++it)
        if (it->node == node && it->proc == proc && it->param == param) return fn(dq, it);
    return 30;
}

template <typename T, typename Conv>
int16_t getValue(int16_t app, uint8_t node, uint8_t proc, uint8_t param, T &value, int16_t &tag, Conv conv)
{
    return withReply(app, node, proc, param, [&](auto &, auto it) -> int16_t {
        tag = it->tag;
        if (it->value.type == TString) return 5;
        value = conv(it->value);
        return 0;
    });
}

template <typename T, typename Conv>
int16_t getRealTime(int16_t app, uint8_t node, uint8_t proc, uint8_t param, T &value, int32_t &stamp, Conv conv)
{
    return withReply(app, node, proc, param, [&](auto &, auto it) -> int16_t {
        if (it->status) return it->status;
        const QByteArray text = it->value.s;
        const int semi = int(text.indexOf(';'));
        if (it->value.type != TString || text.isEmpty() || semi < 0) return 35;
        bool ok1 = false, ok2 = false;
        const double v = text.left(semi).toDouble(&ok1);
        const qint64 st = text.mid(semi + 1).toLongLong(&ok2);
        if (!ok1 || !ok2) return 34;
        value = conv(v);
        stamp = int32_t(st);
        return 0;
    });
}

int rateOfCode(int16_t code)
{
    switch (code) {
    case 300: case 600: case 1200: case 2400: case 4800: case 9600: case 19200: return code;
    case -27136: return 38400;
    case -7936: return 57600;
    case 1: return 115200; case 2: return 128000; case 3: return 153600;
    case 4: return 230400; case 5: return 256000; case 6: return 460800;
    }
    return 0;
}

} // namespace

// --- Session -----------------------------------------------------------------

int16_t OpenDLL(int16_t)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    const int16_t id = s.nextApp;
    s.nextApp = int16_t(s.nextApp + 2);
    s.queues[id];
    s.queues[int16_t(id + 1)];
    return id;
}

int16_t CloseDLL(int16_t id)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    if (!validApp(s, id) || (id % 2) == 0) return 23;
    s.queues.erase(id);
    s.queues.erase(int16_t(id + 1));
    return 0;
}

int16_t OpenCommunication(const std::string &name)
{
    State &s = S();
    const QString qname = QString::fromStdString(name).trimmed();
    auto fail = [&s](int16_t rc, const QString &reason) {
        if (!reason.isEmpty()) { QMutexLocker l(&s.mtx); s.openError = reason; }
        return rc;
    };
    { QMutexLocker l(&s.mtx); s.openError.clear(); }
    if (resolveInterface(qname).kind == InterfaceTarget::Invalid)
        return fail(20, QStringLiteral("not a port name (a device such as /dev/ttyUSB0, COMn, tcp:host:port or SIM)"));
    CloseCommunication();
    int baud;
    { QMutexLocker l(&s.mtx); baud = s.baud; }
    int16_t rc = 0;
    inEngineServing([&] { rc = s.engine->openLine(qname, baud); });
    if (rc) return rc;
    // Ask the interface module (whatever its node) for its node, next node
    // and highest known node.
    auto res = transact({readMsg(LocalNode, 0, {{1, TByte}, {3, TByte}, {4, TByte}})}, 3);
    if (!res[0].ok || res[0].reply.groups.empty() || res[0].reply.groups[0].items.size() != 3 ||
        res[0].reply.groups[0].items[0].status) {
        QString lost;
        { QMutexLocker l(&s.mtx); lost = s.lineLost; }
        inEngine([&] { s.engine->closeLine(); });
        // A line that ended meanwhile (a device server that hung up) says why.
        return fail(15, !lost.isEmpty() ? lost
                        : QStringLiteral("no answer from the bus (is an interface or instrument connected and powered?)"));
    }
    const auto &items = res[0].reply.groups[0].items;
    QString kind;
    inEngine([&] { kind = s.engine->kind(); });
    QMutexLocker l(&s.mtx);
    s.open = true;
    s.interfaceName = qname;
    s.interfaceType = kind;
    s.interfaceNode = uint8_t(items[0].value.i);
    const int next = int(items[1].value.i), known = int(items[2].value.i);
    // Alone on the bus: the interface knows no other module.
    return (next == 0 && known <= s.interfaceNode) ? 24 : 0;
}

std::string LastOpenError()
{
    QMutexLocker l(&S().mtx);
    return S().openError.toStdString();
}

int16_t CloseCommunication()
{
    State &s = S();
    inEngine([&] { s.engine->closeLine(); });
    QMutexLocker l(&s.mtx);
    s.open = false;
    s.lineLost.clear();
    s.pending.clear();
    s.interfaceType.clear();
    return 0;
}

int16_t GetCommunication()
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    return s.open ? 1 : 0;
}

int16_t GetLineState(std::string &reason)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    if (!s.open || s.lineLost.isEmpty()) { reason.clear(); return 0; }
    reason = s.lineLost.toStdString();
    return 15;
}

int16_t ProbeInterface(const std::string &interfaceName, std::string &reason)
{
    State &s = S();
    const QString qname = QString::fromStdString(interfaceName).trimmed();
    if (resolveInterface(qname).kind == InterfaceTarget::Invalid) { reason = "unusable interface name"; return 20; }
    int baud;
    { QMutexLocker l(&s.mtx); baud = s.baud; }
    bool ok = false;
    QString error;
    inEngineServing([&] { ok = s.engine->probe(qname, baud, error); });
    reason = ok ? std::string() : error.toStdString();
    return ok ? 0 : 22;
}

int16_t ConfigureChaining(bool processChaining, bool parameterChaining)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    s.chainProc = processChaining;
    s.chainPar = parameterChaining;
    return 0;
}

int16_t GetTNetConfig(uint8_t &b1, uint8_t &b2, uint8_t &b3, uint8_t &b4, uint8_t &b5,
                      uint8_t &b6, uint8_t &b7, std::string &interfaceName)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    b1 = s.open ? s.interfaceNode : 0;
    b2 = 0; b3 = 0; b4 = s.lna; b5 = s.arbitration; b6 = 0; b7 = 0;
    interfaceName = s.interfaceName.toStdString();
    return 0;
}

int16_t ConfigureTNet(uint8_t, uint8_t, uint8_t, uint8_t b4, uint8_t b5, uint8_t, uint8_t,
                      const std::string &interfaceName)
{
    const QString name = QString::fromStdString(interfaceName).trimmed();
    if (resolveInterface(name).kind == InterfaceTarget::Invalid) return 20;
    State &s = S();
    QMutexLocker l(&s.mtx);
    if (b4) s.lna = b4;
    if (b5) s.arbitration = b5;
    if (!s.open) s.interfaceName = name;
    return 0;
}

int16_t ConfigureRS232(const std::string &interfaceName, int16_t baudCode)
{
    const QString name = QString::fromStdString(interfaceName).trimmed();
    if (resolveInterface(name).kind == InterfaceTarget::Invalid) return 20;
    const int rate = rateOfCode(baudCode);
    if (!rate) return 21;
    State &s = S();
    bool apply;
    {
        QMutexLocker l(&s.mtx);
        s.baud = rate;
        apply = s.open && s.interfaceName == name;
    }
    if (apply) inEngine([&] { s.engine->setBaud(rate); });
    return 0;
}

int16_t GetDLLVersion(std::string &version)
{
    version = "1.0.0";
    return 0;
}

int16_t SetDeviceServers(const std::vector<std::string> &names, std::vector<std::string> &refused)
{
    QStringList usable;
    refused.clear();
    for (const std::string &raw : names) {
        const QString name = QString::fromStdString(raw).trimmed();
        if (name.isEmpty()) continue;
        const InterfaceTarget t = resolveInterface(name);
        if (t.kind == InterfaceTarget::Tcp || t.kind == InterfaceTarget::Rfc2217) usable << name;
        else refused.push_back(raw);
    }
    State &s = S();
    QMutexLocker l(&s.mtx);
    s.deviceServers = usable;
    return refused.empty() ? 0 : 20;
}

int16_t GetNrPorts()
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    s.ports = portEntries(s.deviceServers);
    return int16_t(s.ports.size());
}

int16_t GetPort(int16_t index, int32_t &value, std::string &name)
{
    State &s = S();
    {
        QMutexLocker l(&s.mtx);
        if (s.ports.isEmpty()) { l.unlock(); GetNrPorts(); }
    }
    QMutexLocker l(&s.mtx);
    if (index < 0 || index >= s.ports.size()) { name.clear(); value = 0; return 1; }
    name = s.ports[index].toStdString();
    value = portEntryValue(s.ports[index]);
    return 0;
}

int16_t GetInterfaceType(std::string &type)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    type = s.open ? s.interfaceType.toStdString() : std::string();
    return 0;
}

// --- System configuration ------------------------------------------------

int16_t ReadSystemConfig(uint8_t highestNode)
{
    State &s = S();
    { QMutexLocker l(&s.mtx); if (!s.open) return 14; }
    const int last = std::min<int>(highestNode, 125);
    std::vector<Message> msgs;
    for (int n = 1; n <= last; ++n) {
        Message m = readMsg(uint8_t(n), 0, {{0, TByte}, {28, TString}, {29, TString}});
        msgs.push_back(m);
    }
    // A reply lost or damaged on the line is asked for again like any other
    // frame's; an address that stays silent to every try is free. With one
    // try, noise would take a module out of the configuration, and every
    // channel above it would move down one number.
    auto res = transact(msgs, s.engine->tries());
    std::vector<ModuleInfo> mods;
    for (size_t i = 0; i < res.size(); ++i) {
        if (!res[i].ok || res[i].reply.groups.empty()) continue;
        const auto &items = res[i].reply.groups[0].items;
        if (items.size() != 3) continue;
        ModuleInfo mi;
        mi.node = int(i) + 1;
        mi.type = items[0].status ? -1 : int(items[0].value.i);
        if (!items[1].status) mi.number = QString::fromLatin1(items[1].value.s.mid(1)).section(QChar(0), 0, 0).trimmed();
        if (!items[2].status) for (char c : items[2].value.s) mi.procs.push_back(uint8_t(c));
        else mi.procs.push_back(1);
        mods.push_back(mi);
    }
    QMutexLocker l(&s.mtx);
    if (mods.empty()) return 18;
    s.modules = mods;
    s.channels.clear();
    for (const ModuleInfo &m : mods)
        for (int p : m.procs) s.channels.emplace_back(m.node, p);
    return 0;
}

int16_t SetSystemLNA(uint8_t node)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    s.lna = node;
    return 0;
}

int16_t GetMaxChannel()
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    return int16_t(s.channels.size());
}

int16_t GetMaxNode()
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    return s.modules.empty() ? 0 : int16_t(s.modules.back().node);
}

int16_t GetChannel(uint8_t node, int16_t n)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    int seen = 0;
    for (size_t c = 0; c < s.channels.size(); ++c)
        if (s.channels[c].first == node && ++seen == n) return int16_t(c + 1);
    return 0;
}

int16_t GetNodeProc(int16_t channel, uint8_t &node, uint8_t &process)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    node = 0; process = 0;
    if (channel < 1 || size_t(channel) > s.channels.size()) return 18;
    node = uint8_t(s.channels[channel - 1].first);
    process = uint8_t(s.channels[channel - 1].second);
    return 0;
}

int16_t GetModuleType(uint8_t node)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    for (const ModuleInfo &m : s.modules) if (m.node == node) return int16_t(m.type);
    return -1;
}

int16_t GetModuleNumber(uint8_t node, std::string &number)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    for (const ModuleInfo &m : s.modules)
        if (m.node == node) { number = m.number.toStdString(); return 0; }
    number.clear();
    return 18;
}

int16_t FindFirstFreeNode(uint8_t start)
{
    State &s = S();
    { QMutexLocker l(&s.mtx); if (!s.open) return 0; }
    // Asks the bus itself, eight addresses at a time: a module may have been
    // added or moved since the configuration was read.
    for (int first = std::max<int>(1, start); first <= 125; first += 8) {
        std::vector<Message> msgs;
        for (int n = first; n <= std::min(125, first + 7); ++n)
            msgs.push_back(readMsg(uint8_t(n), 0, {{1, TByte}}));
        // Retried as the configuration read is: a lost reply must not make
        // an occupied address look free.
        const auto res = transact(msgs, s.engine->tries());
        for (size_t i = 0; i < res.size(); ++i)
            if (!res[i].ok) return int16_t(first + int(i));
    }
    return 0;
}

// --- Messages ----------------------------------------------------------------

int16_t ReadChar(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, int16_t tag)
{ return queueRequest(makeReq(id, node, proc, param, TByte, tag)); }
int16_t ReadInt(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, int16_t tag)
{ return queueRequest(makeReq(id, node, proc, param, TInt, tag)); }
int16_t ReadFloat(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, int16_t tag)
{ return queueRequest(makeReq(id, node, proc, param, TFloat, tag)); }
int16_t ReadLong(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, int16_t tag)
{ return queueRequest(makeReq(id, node, proc, param, TLong, tag)); }
int16_t ReadString(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, uint8_t length, int16_t tag)
{
    Request r = makeReq(id, node, proc, param, TString, tag);
    r.length = length;
    return queueRequest(std::move(r));
}

static int16_t queueWrite(int16_t id, uint8_t node, uint8_t proc, uint8_t param, Value v, int16_t tag)
{
    Request r = makeReq(id, node, proc, param, v.type, tag);
    r.write = true;
    r.value = std::move(v);
    return queueRequest(std::move(r));
}

int16_t WriteChar(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, uint8_t value, int16_t tag)
{ return queueWrite(id, node, proc, param, Value::ofByte(value), tag); }
int16_t WriteInt(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, int16_t value, int16_t tag)
{ return queueWrite(id, node, proc, param, Value::ofInt(value), tag); }
int16_t WriteFloat(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, float value, int16_t tag)
{ return queueWrite(id, node, proc, param, Value::ofFloat(value), tag); }
int16_t WriteLong(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, int32_t value, int16_t tag)
{ return queueWrite(id, node, proc, param, Value::ofLong(value), tag); }
int16_t WriteString(int16_t id, int16_t, uint8_t node, uint8_t proc, uint8_t param, uint8_t length,
                    const std::string &text, int16_t tag)
{
    // The text goes whole (the caller has padded it to the parameter's
    // length) or not at all: one write frame carries at most 247 characters
    // (255 payload bytes less node, sequence, command, process, count,
    // parameter, type and length).
    Q_UNUSED(length);
    const std::string t = text.substr(0, text.find('\0'));
    if (t.size() > size_t(MaxPayload - 8)) return 6;
    return queueWrite(id, node, proc, param, Value::ofString(QByteArray::fromStdString(t)), tag);
}

// --- Replies ---------------------------------------------------------------

int16_t GetError()
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    const int16_t e = s.asyncError;
    s.asyncError = 0;
    return e;
}

int16_t CheckReceivedMsg(int16_t id, uint8_t &node, uint8_t &process, uint8_t &param,
                         uint8_t &kind, uint8_t &type, int16_t &tag)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    auto q = s.queues.find(id);
    if (q == s.queues.end()) return 23;
    auto &dq = q->second;
    if (dq.empty()) return 30;
    if (tag != 0) {
        // A reply with the asked tag goes first: move it to the front.
        for (auto it = dq.begin() + 1; it != dq.end(); ++it) {
            if (it->tag == tag) {
                Reply r = std::move(*it);
                dq.erase(it);
                dq.push_front(std::move(r));
                break;
            }
        }
    }
    const Reply &r = dq.front();
    node = r.node; process = r.proc; param = r.param; kind = r.kind; type = r.type; tag = r.tag;
    return 0;
}

int16_t GetStatus(int16_t id, uint8_t node, uint8_t process, uint8_t param, uint8_t &status, int16_t &tag)
{
    return withReply(id, node, process, param, [&](auto &, auto it) -> int16_t {
        status = it->status;
        tag = it->tag;
        return 0;
    });
}

int16_t GetChar(int16_t id, uint8_t node, uint8_t proc, uint8_t param, uint8_t &value, int16_t &tag)
{ return getValue(id, node, proc, param, value, tag, [](const Value &v) { return uint8_t(int64_t(v.number())); }); }
int16_t GetInt(int16_t id, uint8_t node, uint8_t proc, uint8_t param, int16_t &value, int16_t &tag)
{ return getValue(id, node, proc, param, value, tag, [](const Value &v) { return int16_t(int64_t(v.number())); }); }
int16_t GetFloat(int16_t id, uint8_t node, uint8_t proc, uint8_t param, float &value, int16_t &tag)
{ return getValue(id, node, proc, param, value, tag, [](const Value &v) { return float(v.number()); }); }
int16_t GetLong(int16_t id, uint8_t node, uint8_t proc, uint8_t param, int32_t &value, int16_t &tag)
{ return getValue(id, node, proc, param, value, tag, [](const Value &v) { return int32_t(int64_t(v.number())); }); }

int16_t GetString(int16_t id, uint8_t node, uint8_t proc, uint8_t param, int16_t &tag, std::string &text, int16_t &length)
{
    return withReply(id, node, proc, param, [&](auto &, auto it) -> int16_t {
        tag = it->tag;
        if (it->value.type != TString) return 5;
        const QByteArray b = it->value.s;
        const int nul = int(b.indexOf('\0'));
        text = (nul < 0 ? b : b.left(nul)).toStdString();
        length = int16_t(text.size());
        return 0;
    });
}

int16_t RemoveMsg(int16_t id, uint8_t node, uint8_t proc, uint8_t param)
{
    return withReply(id, node, proc, param, [](auto &dq, auto it) -> int16_t {
        dq.erase(it);
        return 0;
    });
}

int16_t GetNrPendingMessages(int16_t id)
{
    State &s = S();
    QMutexLocker l(&s.mtx);
    auto q = s.queues.find(id);
    if (q == s.queues.end()) return 0;
    // Requests waiting for the line count too: their replies are certain to
    // come later. Those already on the line do not, so that a caller may
    // queue the next requests while the line is still busy with the last.
    const auto waiting = std::count_if(s.pending.begin(), s.pending.end(), [id](const Request &r) { return r.app == id; });
    return int16_t(std::min<size_t>(q->second.size() + size_t(waiting), 32767));
}

int16_t GetRealTimeChar(int16_t id, uint8_t node, uint8_t proc, uint8_t param, uint8_t &value, int32_t &stamp, int16_t)
{ return getRealTime(id, node, proc, param, value, stamp, [](double v) { return uint8_t(int64_t(v)); }); }
int16_t GetRealTimeInt(int16_t id, uint8_t node, uint8_t proc, uint8_t param, int16_t &value, int32_t &stamp, int16_t)
{ return getRealTime(id, node, proc, param, value, stamp, [](double v) { return int16_t(int64_t(v)); }); }
int16_t GetRealTimeFloat(int16_t id, uint8_t node, uint8_t proc, uint8_t param, float &value, int32_t &stamp, int16_t)
{ return getRealTime(id, node, proc, param, value, stamp, [](double v) { return float(v); }); }
int16_t GetRealTimeLong(int16_t id, uint8_t node, uint8_t proc, uint8_t param, int32_t &value, int32_t &stamp, int16_t)
{ return getRealTime(id, node, proc, param, value, stamp, [](double v) { return int32_t(int64_t(v)); }); }

} // namespace sora32
