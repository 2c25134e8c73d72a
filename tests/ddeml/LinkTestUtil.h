#pragma once
// Helpers shared by the link-layer tests: a private runtime folder per test,
// running blocking client code on a worker thread while the server's event
// loop turns, and a raw socket peer for sending malformed input.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <future>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace linktest {

// Runs f on another thread and keeps this thread's event loop going until it
// is done (the server lives on this thread). Fails the test after timeoutMs.
template <typename F>
auto inThread(F f, int timeoutMs = 20000) -> decltype(f())
{
    auto fut = std::async(std::launch::async, std::move(f));
    QDeadlineTimer deadline(timeoutMs);
    while (fut.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (deadline.hasExpired()) {
            qFatal("client code on the worker thread did not finish in time");
        }
    }
    return fut.get();
}

// Turns the event loop until cond() holds or the deadline passes.
template <typename C>
bool waitFor(C cond, int timeoutMs = 10000)
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

// A client that speaks the wire protocol by hand.
class RawPeer {
public:
    explicit RawPeer(const QString& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        const QByteArray p = path.toLocal8Bit();
        memcpy(addr.sun_path, p.constData(), size_t(p.size()));
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RawPeer() { close(); }
    bool ok() const { return m_fd >= 0; }
    // True once a send failed because the server dropped the link.
    bool broken() const { return m_broken; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    // Sends without blocking for longer than timeoutMs; returns bytes sent.
    qint64 send(const QByteArray& b, int timeoutMs = 2000)
    {
        qint64 done = 0;
        QDeadlineTimer dl(timeoutMs);
        while (done < b.size() && !dl.hasExpired()) {
            pollfd pfd {m_fd, POLLOUT, 0};
            if (::poll(&pfd, 1, int(qMax<qint64>(1, dl.remainingTime()))) <= 0)
                continue;
            const ssize_t n = ::send(m_fd, b.constData() + done, size_t(b.size() - done),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) {
                m_broken = true;
                break;
            }
            if (n > 0)
                done += n;
        }
        return done;
    }
    // Reads one line (without LF); empty with *closed set when the peer hung up.
    QByteArray readLine(int timeoutMs = 5000, bool* closed = nullptr)
    {
        QDeadlineTimer dl(timeoutMs);
        for (;;) {
            const qsizetype lf = m_buf.indexOf('\n');
            if (lf >= 0) {
                const QByteArray line = m_buf.left(lf);
                m_buf.remove(0, lf + 1);
                return line;
            }
            if (!fill(dl, closed))
                return {};
        }
    }
    QByteArray readBytes(qsizetype n, int timeoutMs = 5000)
    {
        QDeadlineTimer dl(timeoutMs);
        while (m_buf.size() < n)
            if (!fill(dl, nullptr))
                return {};
        const QByteArray out = m_buf.left(n);
        m_buf.remove(0, n);
        return out;
    }
    // True when the server closes the link within timeoutMs (data is skipped).
    bool waitClosed(int timeoutMs = 5000)
    {
        QDeadlineTimer dl(timeoutMs);
        bool closed = false;
        while (!closed && !dl.hasExpired()) {
            m_buf.clear();
            fill(dl, &closed);
        }
        return closed;
    }

private:
    bool fill(QDeadlineTimer& dl, bool* closed)
    {
        pollfd pfd {m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(qMax<qint64>(0, dl.remainingTime()))) <= 0)
            return false;
        char buf[65536];
        const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            return false;
        }
        m_buf.append(buf, n);
        return true;
    }
    int m_fd = -1;
    bool m_broken = false;
    QByteArray m_buf;
};

// A fresh XDG_RUNTIME_DIR for one test.
class PrivateRuntime {
public:
    PrivateRuntime() { qputenv("XDG_RUNTIME_DIR", m_dir.path().toLocal8Bit()); }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

} // namespace linktest
