#pragma once
// Helpers shared by the link-layer tests: running blocking client code on a
// worker thread while the server's event loop turns, and a raw socket peer
// for sending malformed input.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QTest>

#include <chrono>
#include <future>

namespace linktest {

// Turns the event loop until cond() holds or the deadline passes.
template <typename C> bool waitFor(C cond, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1); // the condition is polled; the deadline bounds the wait
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

// A client that speaks the wire protocol by hand, with blocking calls. It
// reads at most 64 KiB ahead of what it is asked for, so that it can play a
// client that does not read.
class RawPeer {
public:
    explicit RawPeer(const QString& path)
    {
        m_s.setReadBufferSize(1 << 16);
        m_s.connectToServer(path);
        m_s.waitForConnected(2000);
    }
    // True once the link could not be made or the server dropped it.
    bool broken() const { return m_s.state() != QLocalSocket::ConnectedState; }
    // Sends, waiting at most timeoutMs for the bytes to leave; returns true
    // when they all left.
    bool send(const QByteArray& b, int timeoutMs = 2000)
    {
        m_s.write(b);
        QDeadlineTimer dl(timeoutMs);
        while (m_s.bytesToWrite() > 0 && m_s.waitForBytesWritten(int(dl.remainingTime()))) {
        }
        return m_s.bytesToWrite() == 0 && !broken();
    }
    // One line without its LF; empty when none came in time.
    QByteArray readLine(int timeoutMs = 5000)
    {
        QDeadlineTimer dl(timeoutMs);
        while (!m_s.canReadLine())
            if (!m_s.waitForReadyRead(int(dl.remainingTime())))
                return {};
        return m_s.readLine().chopped(1);
    }
    // What has come in so far, without waiting.
    QByteArray readAvailable()
    {
        m_s.waitForReadyRead(0);
        return m_s.readAll();
    }
    // True when the server closes the link within timeoutMs (data is skipped).
    bool waitClosed(int timeoutMs = 5000)
    {
        QDeadlineTimer dl(timeoutMs);
        while (!broken() && !dl.hasExpired()) {
            m_s.readAll();
            m_s.waitForReadyRead(int(dl.remainingTime()));
        }
        return broken();
    }

private:
    QLocalSocket m_s;
};

} // namespace linktest
