#pragma once
// The connected sockets of a link server, watched through one epoll set.
//
// The event loop polls every descriptor it watches on every turn; with a
// hundred conversations that poll costs more than the work of the turn.
// The set puts all conversation sockets behind a single descriptor: the
// event loop watches only the epoll descriptor, and the set hands the
// ready sockets to their streams. Output written during a turn leaves in
// one write per socket when the turn's flush runs.
//
// Lives on the thread that created it, like the server.

#include <QHash>
#include <QObject>
#include <QTimer>

#include <cstdint>

class QSocketNotifier;

namespace ddeml {

class SocketStream;

class SocketSet : public QObject {
public:
    explicit SocketSet(QObject* parent = nullptr);
    ~SocketSet() override;

    // Watches the stream's socket for input (and for room to write while
    // the stream asks for it). False when the kernel refuses.
    bool add(SocketStream* stream);
    void remove(SocketStream* stream);
    void watch(SocketStream* stream, bool input, bool output);
    // The stream's output leaves at the end of this turn of the event loop.
    void flushLater(SocketStream* stream);

private:
    void dispatch();
    void flushAll();

    int m_epoll = -1;
    QSocketNotifier* m_notifier = nullptr;
    QHash<int, SocketStream*> m_streams; // by descriptor
    QList<int> m_toFlush;                // descriptors with output queued this turn
    QTimer m_flush;
};

} // namespace ddeml
