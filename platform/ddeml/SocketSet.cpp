#include "SocketSet.h"

#include "SocketStream.h"

#include <QSocketNotifier>

#include <sys/epoll.h>
#include <unistd.h>

namespace ddeml {

namespace {
// Ready sockets handled per wake-up; with level-triggered events the rest
// are reported again on the next turn.
constexpr int kBatch = 64;
}

SocketSet::SocketSet(QObject* parent) : QObject(parent)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll >= 0) {
        m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &SocketSet::dispatch);
    }
    m_flush.setSingleShot(true);
    m_flush.setInterval(0);
    connect(&m_flush, &QTimer::timeout, this, &SocketSet::flushAll);
}

SocketSet::~SocketSet()
{
    delete m_notifier;
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool SocketSet::add(SocketStream* stream)
{
    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = stream->descriptor();
    if (m_epoll < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, ev.data.fd, &ev) != 0)
        return false;
    m_streams.insert(ev.data.fd, stream);
    return true;
}

void SocketSet::remove(SocketStream* stream)
{
    const int fd = stream->descriptor();
    const auto it = m_streams.find(fd);
    if (it == m_streams.end() || *it != stream)
        return;
    m_streams.erase(it);
    m_toFlush.removeAll(fd);
    if (m_epoll >= 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

void SocketSet::watch(SocketStream* stream, bool input, bool output)
{
    epoll_event ev {};
    ev.events = (input ? uint32_t(EPOLLIN) : 0u) | (output ? uint32_t(EPOLLOUT) : 0u);
    ev.data.fd = stream->descriptor();
    if (m_epoll >= 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, ev.data.fd, &ev);
}

void SocketSet::flushLater(SocketStream* stream)
{
    const int fd = stream->descriptor();
    if (!m_toFlush.contains(fd))
        m_toFlush.append(fd);
    if (!m_flush.isActive())
        m_flush.start();
}

void SocketSet::dispatch()
{
    epoll_event events[kBatch];
    const int n = ::epoll_wait(m_epoll, events, kBatch, 0);
    for (int i = 0; i < n; ++i) {
        // A stream handled earlier in this batch may have ended another.
        SocketStream* stream = m_streams.value(events[i].data.fd);
        if (stream)
            stream->handleEvents(events[i].events);
    }
}

void SocketSet::flushAll()
{
    const QList<int> fds = std::exchange(m_toFlush, {});
    for (int fd : fds)
        if (SocketStream* stream = m_streams.value(fd))
            stream->flush();
}

} // namespace ddeml
