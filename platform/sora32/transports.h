// Byte transports of the library: a serial device, serial over TCP, and the
// in-process virtual bus. All live in the library's I/O thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

namespace sora32 {

class Transport {
public:
    virtual ~Transport() = default;
    virtual bool open(int baud, QString &error) = 0;
    virtual void close() = 0;
    virtual void send(const QByteArray &bytes) = 0;
    virtual void setBaud(int baud) = 0;
    virtual QString kind() const = 0;   // the interface type text
    // A network line that is still connected: closing the communication may
    // keep it for a moment, so that a re-opening (applying new port
    // settings, the temporary baud rate) reuses the connection instead of
    // making a new one that a device server serving one client refuses.
    virtual bool keepable() const { return false; }
    // Throws away what the line holds in either direction (a kept line
    // before it is used again).
    virtual void purge() {}
    std::function<void(const QByteArray &)> onData;
};

// What an interface name stands for: "SIM", a serial device (/dev/..., COMn),
// "tcp:host:port" (a device server passing bytes as they are) or
// "rfc2217:host:port" (a device server that takes its port settings by
// telnet COM-PORT-OPTION negotiation).
struct InterfaceTarget {
    enum Kind { Invalid, Serial, Tcp, Rfc2217, Sim } kind = Invalid;
    QString device;    // serial device path
    QString host;
    int port = 0;
};
InterfaceTarget resolveInterface(const QString &name);
std::unique_ptr<Transport> makeTransport(const InterfaceTarget &t);
// Pacing of the in-process virtual bus ($TESMIRA_SIM_PACING=0 switches it off).
bool simPacing();

} // namespace sora32
