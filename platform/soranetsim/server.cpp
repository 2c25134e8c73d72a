#include "server.h"
#include "link.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace soranetsim {

static int rateOf(speed_t s)
{
    switch (s) {
    case B300: return 300; case B600: return 600; case B1200: return 1200; case B2400: return 2400;
    case B4800: return 4800; case B9600: return 9600; case B19200: return 19200; case B38400: return 38400;
    case B57600: return 57600; case B115200: return 115200; case B230400: return 230400;
    case B460800: return 460800; case B921600: return 921600;
    default: return -1;
    }
}

Server::Server(std::shared_ptr<Bus> bus) : bus_(std::move(bus))
{
    context_ = new QObject;
    context_->moveToThread(&thread_);
    thread_.start();
}

Server::~Server() { stop(); }

void Server::stop()
{
    if (!context_) return;
    QMetaObject::invokeMethod(context_, [this] {
        for (auto &c : cleanups_) c();
        cleanups_.clear();
        delete context_;
    }, Qt::BlockingQueuedConnection);
    context_ = nullptr;
    thread_.quit();
    thread_.wait();
    if (!symlink_.isEmpty()) QFile::remove(symlink_);
}

QString Server::startPty(const QString &symlink, QString *error)
{
    QString path;
    QMetaObject::invokeMethod(context_, [&] {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            if (error) *error = QString::fromLocal8Bit(std::strerror(errno));
            if (master >= 0) ::close(master);
            return;
        }
        path = QString::fromLocal8Bit(ptsname(master));
        // Keep one slave descriptor open so that the line survives the master
        // side closing and reopening it, and make it raw before anyone uses it.
        int slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        termios t{};
        if (slave >= 0 && tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B38400);
            tcsetattr(slave, TCSANOW, &t);
        }
        auto *link = new Link(bus_.get(), [master](const QByteArray &b) {
            qsizetype off = 0;
            while (off < b.size()) {
                ssize_t n = ::write(master, b.constData() + off, size_t(b.size() - off));
                if (n > 0) { off += n; continue; }
                if (n < 0 && errno == EAGAIN) { usleep(200); continue; }
                break;
            }
        }, context_);
        const bool pacing = pacing_;
        link->baudProbe = [master, pacing]() {
            if (!pacing) return 0;
            termios tt{};
            if (tcgetattr(master, &tt) != 0) return -1;   // the slave's settings, seen from here
            return rateOf(cfgetospeed(&tt));
        };
        auto *notifier = new QSocketNotifier(master, QSocketNotifier::Read, context_);
        QObject::connect(notifier, &QSocketNotifier::activated, link, [master, link] {
            char buf[4096];
            for (;;) {
                ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0) { link->receive(QByteArray(buf, int(n))); continue; }
                break;
            }
        });
        cleanups_.push_back([master, slave, notifier, link] {
            delete notifier;
            delete link;
            ::close(master);
            if (slave >= 0) ::close(slave);
        });
    }, Qt::BlockingQueuedConnection);
    if (!path.isEmpty() && !symlink.isEmpty()) {
        QFile::remove(symlink);
        if (QFile::link(path, symlink)) symlink_ = symlink;
        else if (error) *error = QStringLiteral("Cannot create link %1").arg(symlink);
    }
    return path;
}

int Server::startTcp(int port, QString *error)
{
    int result = 0;
    QMetaObject::invokeMethod(context_, [&] {
        auto *server = new QTcpServer(context_);
        if (!server->listen(QHostAddress::LocalHost, quint16(port))) {
            if (error) *error = server->errorString();
            delete server;
            return;
        }
        result = server->serverPort();
        auto bus = bus_;
        const bool pacing = pacing_;
        QObject::connect(server, &QTcpServer::newConnection, server, [server, bus, pacing] {
            while (QTcpSocket *sock = server->nextPendingConnection()) {
                auto *link = new Link(bus.get(), [sock](const QByteArray &b) { sock->write(b); }, sock);
                link->baudProbe = [bus, pacing]() {
                    if (!pacing) return 0;
                    const int r = bus->requestedBaud();
                    return r > 0 ? r : bus->defaultBaud();
                };
                QObject::connect(sock, &QTcpSocket::readyRead, link, [sock, link] { link->receive(sock->readAll()); });
                QObject::connect(sock, &QTcpSocket::disconnected, sock, &QObject::deleteLater);
            }
        });
    }, Qt::BlockingQueuedConnection);
    return result;
}

} // namespace soranetsim
