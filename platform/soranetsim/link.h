// One serial line between the master and the virtual bus, seen from the bus
// side: takes the master's bytes, answers complete frames through the Bus,
// and sends the replies paced at the line rate (10 bit times per character),
// with each request also counted as taking its wire time to arrive. Lives in
// the thread whose event loop drives it.
#pragma once

#include "bus.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>

namespace soranetsim {

class Link : public QObject {
    Q_OBJECT
public:
    using Sink = std::function<void(const QByteArray &)>;
    Link(Bus *bus, Sink sink, QObject *parent = nullptr);

    // Bytes from the master.
    void receive(const QByteArray &bytes);
    // Line rate used for pacing; 0 switches pacing off (everything at once).
    void setBaud(int baud) { baud_ = baud; }
    int baud() const { return baud_; }
    // Called before each frame to learn the current rate (e.g. from the
    // terminal settings the master chose); 0 = no pacing, negative = keep.
    std::function<int()> baudProbe;
    // Requests received but not yet answered; more than this is an overflow.
    static constexpr int BufferFrames = 16;
    void reset();

private:
    void pump();
    void schedule();
    struct Pending;
    void queue(Pending p);    // in due order
    double charNs() const { return baud_ > 0 ? 1e10 / baud_ : 0; }

    struct Pending { qint64 due; QByteArray frame; bool counts; };
    struct Tx { qint64 start; QByteArray frame; int sent = 0; };
    Bus *bus_;
    Sink sink_;
    soraproto::FrameParser parser_;
    QElapsedTimer clock_;
    QTimer timer_;
    int baud_ = 38400;
    qint64 rxFree_ = 0;       // ns: when the request direction is free again
    qint64 txFree_ = 0;       // ns: when the reply direction is free again
    int inBuffer_ = 0;
    std::deque<Pending> pending_;   // sorted by due
    std::deque<Tx> tx_;
};

} // namespace soranetsim
