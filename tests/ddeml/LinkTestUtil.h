#pragma once
// Helpers shared by the link-layer tests: running blocking client code on a
// worker thread while the server's event loop turns, and a raw socket peer
// for sending malformed input.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <chrono>
#include <future>
#include <utility>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace linktest {

// Turns the event loop until cond() holds or the deadline passes.
template <typename C> bool waitFor(C cond, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qWait(1);
    }
    return true;
}

// Client code on a worker thread while this thread (the server's) serves:
// background() starts it, resultOf() turns the event loop until it is done;
// the test program stops if it does not finish in time.
template <typename F> auto background(F f) { return std::async(std::launch::async, std::move(f)); }
template <typename T> T resultOf(std::future<T>& f, int timeoutMs = 20000)
{
    if (!waitFor([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, timeoutMs))
        qFatal("client code on the worker thread did not finish in time");
    return f.get();
}
template <typename F> auto inThread(F f, int timeoutMs = 20000) -> decltype(f())
{
    auto fut = background(std::move(f));
    return resultOf(fut, timeoutMs);
}

// A client that speaks the wire protocol by hand.
class RawPeer {
public:
    explicit RawPeer(const QString& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const QByteArray p = path.toLocal8Bit();
        memcpy(addr.sun_path, p.constData(), size_t(p.size()));
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            m_broken = true;
    }
    ~RawPeer() { ::close(m_fd); }
    // True once the link could not be made or a send failed because the
    // server dropped it.
    bool broken() const { return m_broken; }
    // Sends without blocking for longer than timeoutMs; returns bytes sent.
    qint64 send(const QByteArray& b, int timeoutMs = 2000)
    {
        qint64 done = 0;
        QDeadlineTimer dl(timeoutMs);
        while (done < b.size() && !dl.hasExpired()) {
            pollfd pfd {m_fd, POLLOUT, 0};
            if (::poll(&pfd, 1, int(qMax<qint64>(1, dl.remainingTime()))) <= 0)
                continue;
            const ssize_t n = ::send(m_fd, b.constData() + done, size_t(b.size() - done), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) {
                m_broken = true;
                break;
            }
            done += qMax<ssize_t>(n, 0);
        }
        return done;
    }
    // One line without its LF; empty when none came in time.
    QByteArray readLine(int timeoutMs = 5000)
    {
        QDeadlineTimer dl(timeoutMs);
        while (!m_buf.contains('\n'))
            if (!fill(dl))
                return {};
        const QByteArray line = m_buf.left(m_buf.indexOf('\n'));
        m_buf.remove(0, line.size() + 1);
        return line;
    }
    // What has come in so far, without waiting (for the server's own thread).
    QByteArray readAvailable()
    {
        fill(QDeadlineTimer(0));
        return std::exchange(m_buf, {});
    }
    // True when the server closes the link within timeoutMs (data is skipped).
    bool waitClosed(int timeoutMs = 5000)
    {
        QDeadlineTimer dl(timeoutMs);
        while (!m_closed && !dl.hasExpired())
            fill(dl);
        return m_closed;
    }

private:
    bool fill(const QDeadlineTimer& dl)
    {
        pollfd pfd {m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(qMax<qint64>(0, dl.remainingTime()))) <= 0)
            return false;
        char buf[65536];
        const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
        m_closed = n <= 0;
        if (n > 0)
            m_buf.append(buf, n);
        return n > 0;
    }
    int m_fd = -1;
    bool m_broken = false;
    bool m_closed = false;
    QByteArray m_buf;
};

} // namespace linktest
