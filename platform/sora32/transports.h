// Byte transports of the library: a serial device, serial over TCP, and the
// in-process virtual bus. All live in the library's I/O thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
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
    // Called by the transport, in the I/O thread, when its line is gone for
    // good: the device was removed, the line hung up, an I/O error, the peer
    // closed. The reason is the system's text. The library then reports the
    // loss through GetLineState.
    std::function<void(const QString &reason)> onLost;
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

// The interface list that GetNrPorts counts and GetPort hands out, one entry
// text per interface, in this order:
//   "RS232: <name>"    the system's serial ports: the stable links under
//                      <devRoot>/serial/by-id first, then the kernel's own
//                      ttyUSB*, ttyACM* and ttyS* devices (a ttyS* only when
//                      <sysRoot>/<name>/type names a real UART), then the
//                      COMn names mapped by $TESMIRA_COMn;
//   "Network: <name>"  the configured serial device servers (tcp:host:port,
//                      rfc2217:host:port);
//   "Virtual: SIM"     the built-in virtual bus.
// The interface name starts at the 8th character of an "RS232" entry and at
// the 10th of the others; it is the name OpenCommunication takes, whole
// (device paths are not cut). A new kind of interface adds its entries here.
QStringList portEntries(const QStringList &deviceServers, const QString &devRoot = QStringLiteral("/dev"),
                        const QString &sysRoot = QStringLiteral("/sys/class/tty"));
// The picture value GetPort gives for an entry: 1 serial, 2 virtual, 3 network.
int portEntryValue(const QString &entry);

// Pacing of the in-process virtual bus ($TESMIRA_SIM_PACING=0 switches it off).
bool simPacing();

} // namespace sora32
