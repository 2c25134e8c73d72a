#pragma once
// One connected, non-blocking stream socket of a link server (Unix or TCP),
// with its input and output buffers, driven by the server's SocketSet.
//
// Input is read up to a bound; beyond it the stream stops reading until the
// owner has taken some, and the kernel holds the peer back. Output is queued
// and leaves when the set flushes at the end of the turn, or at once on
// flush(); what the socket does not take waits for room.
//
// onReadyRead is called when new input was read, onDisconnected once when
// the socket is finished: the peer closed it or failed (seen on reading or
// writing, flush() included), abort() dropped it, or the output queued
// before closeAfterOutput() has left. read() and write() call neither.

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>

namespace ddeml {

class SocketSet;

class SocketStream : public QObject {
public:
    // Takes fd; readLimit bounds the input held.
    SocketStream(int fd, SocketSet* set, qint64 readLimit, QObject* parent = nullptr);
    ~SocketStream() override;

    std::function<void()> onReadyRead;
    std::function<void()> onDisconnected;

    int descriptor() const { return m_fd; }
    bool isOpen() const { return m_fd >= 0; }

    qint64 bytesAvailable() const { return m_in.size(); }
    QByteArray read(qint64 max);
    void write(const QByteArray& bytes);
    qint64 bytesToWrite() const { return m_out.size() - m_outPos; }

    // Sends what the socket takes now.
    void flush();
    // Closes at once; queued output is dropped.
    void abort();
    // Closes once the queued output has left.
    void closeAfterOutput();

    // Called by the set with the epoll events of the socket.
    void handleEvents(uint32_t events);

private:
    void readSome();
    void finish(); // closes and reports the disconnection
    void closeDescriptor();
    void updateWatch();

    int m_fd;
    QPointer<SocketSet> m_set;
    qint64 m_readLimit;
    QByteArray m_in;
    QByteArray m_out;
    qsizetype m_outPos = 0;
    bool m_reading = true;      // input is watched
    bool m_waitingRoom = false; // output is watched
    bool m_closeWhenFlushed = false;
};

} // namespace ddeml
