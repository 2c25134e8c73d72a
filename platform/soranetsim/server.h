// Endpoints of the virtual bus for another process: a pseudo-terminal (the
// master speaks to its slave device as to a serial port) and a TCP port
// (as a serial device server offers). The server runs its own thread.
#pragma once

#include "bus.h"

#include <QString>
#include <QThread>
#include <memory>

namespace soranetsim {

class Server {
public:
    explicit Server(std::shared_ptr<Bus> bus);
    ~Server();
    // Opens a pseudo-terminal; returns the slave device path, empty on
    // failure (error in *error). With a symlink path, that name points to it.
    QString startPty(const QString &symlink = {}, QString *error = nullptr);
    // Listens on 127.0.0.1; port 0 picks a free one. Returns the port, 0 on failure.
    int startTcp(int port = 0, QString *error = nullptr);
    // Pacing: follow the rate the master set (pty) or the bus asks for
    // (TCP); off sends everything at once.
    void setPacing(bool on) { pacing_ = on; }
    Bus &bus() { return *bus_; }
    void stop();

private:
    struct Impl;
    std::shared_ptr<Bus> bus_;
    QThread thread_;
    QObject *context_ = nullptr;
    std::vector<std::function<void()>> cleanups_;
    bool pacing_ = true;
    QString symlink_;
};

} // namespace soranetsim
