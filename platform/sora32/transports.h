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
    std::function<void(const QByteArray &)> onData;
};

// What an interface name stands for.
struct InterfaceTarget {
    enum Kind { Invalid, Serial, Tcp, Sim } kind = Invalid;
    QString device;    // serial device path
    QString host;
    int port = 0;
};
InterfaceTarget resolveInterface(const QString &name);
std::unique_ptr<Transport> makeTransport(const InterfaceTarget &t);
// Pacing of the in-process virtual bus ($TESMIRA_SIM_PACING=0 switches it off).
bool simPacing();

} // namespace sora32
