#include "SocketStream.h"

#include "SocketSet.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ddeml {

namespace {
// Read at most this much per call into the input buffer.
constexpr qint64 kChunk = 64 * 1024;
}

SocketStream::SocketStream(int fd, SocketSet* set, qint64 readLimit, QObject* parent)
    : QObject(parent), m_fd(fd), m_set(set), m_readLimit(readLimit)
{
    if (!m_set || !m_set->add(this))
        closeDescriptor();
}

SocketStream::~SocketStream()
{
    closeDescriptor();
}

QByteArray SocketStream::read(qint64 max)
{
    QByteArray out;
    if (max >= m_in.size()) {
        out.swap(m_in);
    } else {
        out = m_in.left(max);
        m_in.remove(0, max);
    }
    // Room again: the socket is watched for input once more.
    if (!m_reading && isOpen() && m_in.size() < m_readLimit) {
        m_reading = true;
        updateWatch();
    }
    return out;
}

void SocketStream::write(const QByteArray& bytes)
{
    if (!isOpen() || bytes.isEmpty())
        return;
    if (bytesToWrite() == 0 && m_set)
        m_set->flushLater(this);
    m_out.append(bytes);
}

void SocketStream::flush()
{
    while (isOpen() && bytesToWrite() > 0) {
        const ssize_t n = ::send(m_fd, m_out.constData() + m_outPos, size_t(bytesToWrite()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_outPos += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        finish(); // the peer is gone
        return;
    }
    if (!isOpen())
        return;
    if (bytesToWrite() == 0) {
        // Kept allocated: the next turn's output reuses the buffer.
        m_out.resize(0);
        m_outPos = 0;
        if (m_closeWhenFlushed) {
            finish();
            return;
        }
    } else if (m_outPos > m_out.size() / 2) {
        m_out.remove(0, m_outPos);
        m_outPos = 0;
    }
    const bool wantRoom = bytesToWrite() > 0;
    if (wantRoom != m_waitingRoom) {
        m_waitingRoom = wantRoom;
        updateWatch();
    }
}

void SocketStream::abort()
{
    if (!isOpen())
        return;
    m_out.clear();
    m_outPos = 0;
    finish();
}

void SocketStream::closeAfterOutput()
{
    if (!isOpen() || m_closeWhenFlushed)
        return;
    m_closeWhenFlushed = true;
    // Input is no longer wanted.
    m_reading = false;
    updateWatch();
    if (m_set)
        m_set->flushLater(this);
}

void SocketStream::handleEvents(uint32_t events)
{
    QPointer<SocketStream> self(this);
    if (events & EPOLLOUT)
        flush();
    if (!self || !isOpen())
        return;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        if (m_reading)
            readSome();
        else if (events & (EPOLLHUP | EPOLLERR))
            finish(); // not reading, and the peer is gone: nothing more will come
    }
}

void SocketStream::readSome()
{
    bool got = false, ended = false;
    while (m_in.size() < m_readLimit) {
        const qint64 want = qMin(kChunk, m_readLimit - m_in.size());
        const qsizetype at = m_in.size();
        m_in.resize(at + want);
        const ssize_t n = ::recv(m_fd, m_in.data() + at, size_t(want), MSG_DONTWAIT);
        m_in.resize(at + qMax<ssize_t>(n, 0));
        if (n > 0) {
            got = true;
            if (n < want)
                break; // drained
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        ended = true; // end of stream, or an error
        break;
    }
    if (!ended && m_in.size() >= m_readLimit && m_reading) {
        // Full: the kernel holds the rest until the owner reads.
        m_reading = false;
        updateWatch();
    }
    QPointer<SocketStream> self(this);
    if (got && onReadyRead)
        onReadyRead();
    if (ended && self)
        finish();
}

void SocketStream::finish()
{
    if (!isOpen())
        return;
    closeDescriptor();
    if (onDisconnected)
        onDisconnected();
}

void SocketStream::closeDescriptor()
{
    if (m_fd < 0)
        return;
    if (m_set)
        m_set->remove(this);
    ::close(m_fd);
    m_fd = -1;
}

void SocketStream::updateWatch()
{
    if (isOpen() && m_set)
        m_set->watch(this, m_reading, m_waitingRoom);
}

} // namespace ddeml
