#include "link.h"

#include <algorithm>

namespace soranetsim {

Link::Link(Bus *bus, Sink sink, QObject *parent)
    : QObject(parent), bus_(bus), sink_(std::move(sink))
{
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Link::pump);
}

void Link::reset()
{
    parser_.reset();
    pending_.clear();
    tx_.clear();
    inBuffer_ = 0;
    timer_.stop();
}

void Link::receive(const QByteArray &bytes)
{
    if (baudProbe) {
        const int b = baudProbe();
        if (b >= 0) baud_ = b;
    }
    const qint64 now = clock_.nsecsElapsed();
    // The bytes took their wire time to arrive; a burst written at once by
    // the master is spread over the time the line would have needed, and each
    // frame in it is complete when its own last character has arrived.
    const qint64 lineStart = std::max(rxFree_, now);
    rxFree_ = lineStart + qint64(charNs() * double(bytes.size()));
    qsizetype from = 0;
    while (from < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', from);
        end = end < 0 ? bytes.size() : end + 1;
        parser_.feed(bytes.constData() + from, int(end - from));
        from = end;
        const qint64 arrived = lineStart + qint64(charNs() * double(end));
        soraproto::FrameParser::Event ev;
        while (parser_.next(ev)) {
            if (!ev.ok) continue;            // a damaged request is not answered; the master retries
            if (inBuffer_ >= BufferFrames) {
                soraproto::Message e;
                e.node = ev.payload.size() > 0 ? uint8_t(ev.payload[0]) : 0;
                e.seq = ev.payload.size() > 1 ? uint8_t(ev.payload[1]) : 0;
                e.cmd = soraproto::CmdError;
                e.check = soraproto::frameCheck(ev.payload);
                e.error = 28;
                queue({arrived, soraproto::encode(e), false});
                continue;
            }
            for (Bus::Reply &r : bus_->handle(ev.payload)) {
                queue({arrived + qint64(r.delayMs) * 1000000, std::move(r.frame), true});
                ++inBuffer_;
            }
        }
    }
    pump();
}

void Link::queue(Pending p)
{
    auto pos = std::upper_bound(pending_.begin(), pending_.end(), p.due,
                                [](qint64 d, const Pending &x) { return d < x.due; });
    pending_.insert(pos, std::move(p));
}

void Link::pump()
{
    const qint64 now = clock_.nsecsElapsed();
    const double cn = charNs();
    // Replies whose time has come join the transmit line in due order.
    while (!pending_.empty() && (cn == 0 || pending_.front().due <= now)) {
        Pending p = std::move(pending_.front());
        pending_.pop_front();
        if (p.counts) --inBuffer_;
        const qint64 start = std::max(txFree_, cn == 0 ? now : p.due);
        txFree_ = start + qint64(cn * double(p.frame.size()));
        tx_.push_back({start, std::move(p.frame), 0});
    }
    // Write every character whose slot on the line has passed.
    QByteArray out;
    while (!tx_.empty()) {
        Tx &t = tx_.front();
        int allowed = int(t.frame.size());
        if (cn > 0)
            allowed = int(std::min<qint64>(t.frame.size(), std::max<qint64>(0, (now - t.start) / qint64(cn))));
        if (allowed > t.sent) {
            out.append(t.frame.constData() + t.sent, allowed - t.sent);
            t.sent = allowed;
        }
        if (t.sent < t.frame.size()) break;
        tx_.pop_front();
    }
    if (!out.isEmpty()) sink_(out);
    schedule();
}

void Link::schedule()
{
    const qint64 now = clock_.nsecsElapsed();
    qint64 next = -1;
    const double cn = charNs();
    if (!tx_.empty()) {
        const Tx &t = tx_.front();
        next = t.start + qint64(cn * double(t.sent + 1));
    }
    if (!pending_.empty() && (next < 0 || pending_.front().due < next)) next = pending_.front().due;
    if (next < 0) return;
    const qint64 waitNs = std::max<qint64>(0, next - now);
    // Whole milliseconds, at least one: bytes that fall due meanwhile go out
    // together, their wire time already accounted for.
    const int ms = int(std::max<qint64>(1, (waitNs + 999999) / 1000000));
    if (!timer_.isActive() || timer_.remainingTime() > ms) timer_.start(ms);
}

} // namespace soranetsim
