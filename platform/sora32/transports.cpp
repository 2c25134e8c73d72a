#include "transports.h"

#include "bus.h"
#include "link.h"
#include "telnet.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSet>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <algorithm>
#include <unistd.h>

namespace sora32 {

InterfaceTarget resolveInterface(const QString &raw)
{
    const QString name = raw.trimmed();
    InterfaceTarget t;
    if (name.compare(QStringLiteral("SIM"), Qt::CaseInsensitive) == 0) {
        t.kind = InterfaceTarget::Sim;
    } else if (name.startsWith(QStringLiteral("tcp:"), Qt::CaseInsensitive) ||
               name.startsWith(QStringLiteral("rfc2217:"), Qt::CaseInsensitive)) {
        const int start = int(name.indexOf(':')) + 1;
        const int colon = int(name.lastIndexOf(':'));
        bool ok = false;
        t.host = name.mid(start, colon - start);
        t.port = name.mid(colon + 1).toInt(&ok);
        if (ok && colon > start && t.port > 0 && t.port < 65536)
            t.kind = start == 4 ? InterfaceTarget::Tcp : InterfaceTarget::Rfc2217;
    } else if (name.startsWith(QStringLiteral("/dev/"))) {
        t.kind = InterfaceTarget::Serial;
        t.device = name;
    } else if (name.startsWith(QStringLiteral("COM"), Qt::CaseInsensitive)) {
        bool ok = false;
        const int n = name.mid(3).toInt(&ok);
        if (ok && n >= 1 && n <= 256) {
            const QByteArray env = qgetenv(QStringLiteral("TESMIRA_COM%1").arg(n).toLatin1());
            t.kind = InterfaceTarget::Serial;
            t.device = env.isEmpty() ? QStringLiteral("/dev/ttyS%1").arg(n - 1) : QString::fromLocal8Bit(env);
        }
    }
    return t;
}

namespace {

// The kernel's serial devices of one family that exist under devRoot, in
// number order (ttyUSB2 before ttyUSB10).
QStringList kernelDevices(const QString &devRoot, const QString &family)
{
    QStringList names = QDir(devRoot).entryList({family + QLatin1Char('*')}, QDir::System | QDir::Files);
    names.erase(std::remove_if(names.begin(), names.end(), [&](const QString &n) {
        bool ok = false;
        n.mid(family.size()).toInt(&ok);
        return !ok;
    }), names.end());
    std::sort(names.begin(), names.end(), [&](const QString &a, const QString &b) {
        return a.mid(family.size()).toInt() < b.mid(family.size()).toInt();
    });
    return names;
}

// A built-in port node exists for every possible UART; the kernel's type of
// the port says whether hardware stands behind it (0 = none).
bool realUart(const QString &sysRoot, const QString &name)
{
    QFile type(sysRoot + QLatin1Char('/') + name + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly)) return false;
    return type.readAll().trimmed().toInt() != 0;
}

} // namespace

QStringList portEntries(const QStringList &deviceServers, const QString &devRoot, const QString &sysRoot)
{
    QStringList entries;
    const auto serial = [&](const QString &name) { entries << QStringLiteral("RS232: ") + name; };
    const QDir byId(devRoot + QStringLiteral("/serial/by-id"));
    for (const QString &link : byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        serial(byId.filePath(link));
    for (const char *family : {"ttyUSB", "ttyACM"})
        for (const QString &n : kernelDevices(devRoot, QLatin1String(family)))
            serial(devRoot + QLatin1Char('/') + n);
    for (const QString &n : kernelDevices(devRoot, QStringLiteral("ttyS")))
        if (realUart(sysRoot, n)) serial(devRoot + QLatin1Char('/') + n);
    for (int n = 1; n <= 256; ++n)
        if (qEnvironmentVariableIsSet(qPrintable(QStringLiteral("TESMIRA_COM%1").arg(n))))
            serial(QStringLiteral("COM%1").arg(n));
    for (const QString &server : deviceServers)
        entries << QStringLiteral("Network: ") + server;
    entries << QStringLiteral("Virtual: SIM");
    return entries;
}

int portEntryValue(const QString &entry)
{
    if (entry.startsWith(QStringLiteral("RS232"))) return 1;
    return entry.startsWith(QStringLiteral("Network")) ? 3 : 2;
}

bool simPacing() { return qgetenv("TESMIRA_SIM_PACING") != "0"; }

namespace {

// Why a serial device cannot be opened, in the words an operator acts on.
QString serialOpenReason(const QString &dev, const QString &systemText)
{
    const QByteArray path = QFile::encodeName(dev);
    if (::access(path.constData(), F_OK) != 0)
        return QStringLiteral("no such device");
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return QStringLiteral("permission denied (join the group that owns the port, usually dialout: "
                              "sudo usermod -aG dialout $USER, then log in again)");
    return QStringLiteral("busy: another program has the port open (%1)").arg(systemText);
}

class SerialTransport : public Transport {
public:
    explicit SerialTransport(QString dev) : dev_(std::move(dev)) {}
    bool open(int baud, QString &error) override
    {
        port_ = std::make_unique<QSerialPort>();
        port_->setPortName(dev_);
        if (!port_->open(QIODevice::ReadWrite)) {
            error = serialOpenReason(dev_, port_->errorString());
            port_.reset();
            return false;
        }
        port_->setDataBits(QSerialPort::Data8);
        port_->setParity(QSerialPort::NoParity);
        port_->setStopBits(QSerialPort::OneStop);
        port_->setFlowControl(QSerialPort::NoFlowControl);
        port_->setBaudRate(baud);
        port_->clear();
        QObject::connect(port_.get(), &QSerialPort::readyRead, port_.get(), [this] {
            if (onData) onData(port_->readAll());
        });
        QObject::connect(port_.get(), &QSerialPort::errorOccurred, port_.get(), [this](QSerialPort::SerialPortError e) {
            // Errors after which the port cannot be used any more: an I/O
            // error or the device removed (resource errors), and a read that
            // fails because the line hung up (a closed pseudo-terminal reads
            // end-of-file for ever).
            if (!onLost) return;
            if (e == QSerialPort::ResourceError || e == QSerialPort::DeviceNotFoundError)
                onLost(port_->errorString());
            else if (e == QSerialPort::ReadError)
                onLost(QStringLiteral("the line hung up or the device is gone"));
        });
        return true;
    }
    void close() override { if (port_) port_->close(); port_.reset(); }
    void send(const QByteArray &b) override { if (port_) port_->write(b); }
    void setBaud(int baud) override { if (port_) port_->setBaudRate(baud); }
    QString kind() const override { return QStringLiteral("COM-RS232"); }
private:
    QString dev_;
    std::unique_ptr<QSerialPort> port_;
};

// A serial device server that passes the bytes as they are; the port
// settings are the device server's own.
class TcpTransport : public Transport {
public:
    TcpTransport(QString host, int port) : host_(std::move(host)), port_(port) {}
    bool open(int baud, QString &error) override
    {
        sock_ = std::make_unique<QTcpSocket>();
        sock_->connectToHost(host_, quint16(port_));
        if (!sock_->waitForConnected(3000)) {
            error = sock_->errorString();
            sock_.reset();
            return false;
        }
        connected_.start();
        recent_.clear();
        sock_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        keepAlive();
        if (!start(baud, error)) {
            sock_.reset();
            return false;
        }
        QObject::connect(sock_.get(), &QTcpSocket::readyRead, sock_.get(), [this] { received(sock_->readAll()); });
        // Closed while the negotiation was read: the opening fails with why.
        if (sock_->state() != QAbstractSocket::ConnectedState) {
            error = closedReason();
            sock_.reset();
            return false;
        }
        QObject::connect(sock_.get(), &QTcpSocket::disconnected, sock_.get(), [this] {
            if (onLost) onLost(closedReason());
        });
        return true;
    }
    void close() override { if (sock_) sock_->close(); sock_.reset(); }
    void send(const QByteArray &b) override { if (sock_) sock_->write(b); }
    void setBaud(int) override {}
    QString kind() const override { return QStringLiteral("COM-TCP"); }
    bool keepable() const override { return sock_ && sock_->state() == QAbstractSocket::ConnectedState; }
    void purge() override { if (sock_) sock_->readAll(); }

protected:
    // The last data bytes are kept for closedReason.
    void remember(const QByteArray &data) { recent_ = (recent_ + data).right(kRecent); }

    // Why the connection ended, in the words an operator acts on: a device
    // server that refuses a client usually says why in a line of text
    // before it hangs up (ser2net: "Port already in use"); one that hangs up
    // at once without a word most often serves one client and has one.
    QString closedReason() const
    {
        if (sock_->error() != QAbstractSocket::RemoteHostClosedError
            && sock_->error() != QAbstractSocket::UnknownSocketError)
            return sock_->errorString();
        const QString said = printableText(recent_);
        if (!said.isEmpty())
            return QStringLiteral("the device server closed the connection: \"%1\"").arg(said);
        if (connected_.isValid() && connected_.elapsed() < 2000)
            return QStringLiteral("the device server closed the connection right after accepting it "
                                  "(does it serve another client?)");
        return QStringLiteral("the device server closed the connection");
    }

    // The last line of bytes when it is plain text; empty otherwise.
    static QString printableText(const QByteArray &bytes)
    {
        const QList<QByteArray> lines = bytes.trimmed().split('\n');
        const QByteArray last = lines.isEmpty() ? QByteArray() : lines.last().trimmed();
        if (last.isEmpty()) return {};
        for (char c : last)
            if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7f) return {};
        return QString::fromLatin1(last);
    }

    static constexpr qsizetype kRecent = 120;
    QElapsedTimer connected_;
    QByteArray recent_;

    // What the kind of device server needs once connected; false with a reason.
    virtual bool start(int, QString &) { return true; }
    virtual void received(const QByteArray &bytes)
    {
        remember(bytes);
        if (onData) onData(bytes);
    }

    // A device server that is switched off or cut off says nothing: TCP
    // keep-alive probes after 2 s of silence, every second, and gives up
    // after 3 unanswered ones, so a dead line ends within about 5 s.
    void keepAlive()
    {
        sock_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        const qintptr fd = sock_->socketDescriptor();
        const int idle = 2, interval = 1, count = 3;
        ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    }

    QString host_;
    int port_;
    std::unique_ptr<QTcpSocket> sock_;
};

// A serial device server speaking telnet with the COM-PORT-OPTION: the data
// is escaped both ways, and the port's rate and framing are set by
// negotiation, so the rate the library is configured with reaches the
// serial side.
class Rfc2217Transport : public TcpTransport {
public:
    using TcpTransport::TcpTransport;
    void send(const QByteArray &b) override { if (sock_) sock_->write(telnet::escape(b)); }
    void setBaud(int baud) override
    {
        baud_ = baud;
        if (sock_ && baud > 0) sock_->write(telnet::comPort(telnet::SetBaudrate, telnet::baudValue(uint32_t(baud))));
    }
    void purge() override
    {
        TcpTransport::purge();
        if (sock_) sock_->write(telnet::comPort(telnet::PurgeData, QByteArray(1, char(3))));
    }
    QString kind() const override { return QStringLiteral("COM-RFC2217"); }

protected:
    bool start(int baud, QString &error) override
    {
        reader_.reset();
        sock_->write(telnet::negotiate(telnet::WILL, telnet::OptComPort));
        sentWill_.insert(telnet::OptComPort);
        // Wait for the device server's answer to the port option; data
        // before it is no reply of ours.
        QDeadlineTimer deadline(2000);
        while (comPort_ == Unknown && !deadline.hasExpired()) {
            if (!sock_->waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())))) break;
            QByteArray data;
            handle(sock_->readAll(), data);
            remember(data);
        }
        if (comPort_ != Accepted) {
            error = comPort_ == Refused ? QStringLiteral("the device server does not take port settings (RFC 2217)")
                  : sock_->state() != QAbstractSocket::ConnectedState ? closedReason()
                                        : QStringLiteral("no telnet answer from the device server");
            return false;
        }
        // 8 data bits, no parity, 1 stop bit, no flow control, the rate,
        // and nothing left over from an earlier user.
        sock_->write(telnet::comPort(telnet::SetDatasize, QByteArray(1, char(8))));
        sock_->write(telnet::comPort(telnet::SetParity, QByteArray(1, char(1))));
        sock_->write(telnet::comPort(telnet::SetStopsize, QByteArray(1, char(1))));
        sock_->write(telnet::comPort(telnet::SetControl, QByteArray(1, char(1))));
        setBaud(baud);
        sock_->write(telnet::comPort(telnet::PurgeData, QByteArray(1, char(3))));
        sock_->flush();
        return true;
    }
    void received(const QByteArray &bytes) override
    {
        QByteArray data;
        handle(bytes, data);
        remember(data);
        if (onData && !data.isEmpty()) onData(data);
    }

private:
    // Takes what arrived: the data goes to data; options are answered (the
    // port option, binary transmission and suppressed go-ahead are taken,
    // every other one refused, each answered once so no loop starts).
    void handle(const QByteArray &in, QByteArray &data)
    {
        std::vector<telnet::Event> events;
        reader_.feed(in, data, events);
        for (const telnet::Event &e : events) {
            const bool wanted = e.option == telnet::OptComPort || e.option == telnet::OptBinary ||
                                e.option == telnet::OptSuppressGoAhead;
            switch (e.kind) {
            case telnet::Event::Do:
                if (e.option == telnet::OptComPort) comPort_ = Accepted;
                if (!sentWill_.contains(e.option) || !wanted) {
                    sock_->write(telnet::negotiate(wanted ? telnet::WILL : telnet::WONT, e.option));
                    sentWill_.insert(e.option);
                }
                break;
            case telnet::Event::Dont:
                if (e.option == telnet::OptComPort) comPort_ = Refused;
                break;
            case telnet::Event::Will:
                if (!sentDo_.contains(e.option)) {
                    sock_->write(telnet::negotiate(wanted ? telnet::DO : telnet::DONT, e.option));
                    sentDo_.insert(e.option);
                }
                break;
            case telnet::Event::Wont:
            case telnet::Event::Sub:
                break;   // the server's confirmations of the settings need no answer
            }
        }
    }

    enum { Unknown, Accepted, Refused } comPort_ = Unknown;
    telnet::Reader reader_;
    QSet<uint8_t> sentWill_, sentDo_;
    int baud_ = 0;
};

// The virtual bus inside this process: the same wire bytes, the same pacing,
// without a device in between.
class SimTransport : public Transport {
public:
    bool open(int baud, QString &error) override
    {
        soranetsim::ParamDb db;
        const QString dbPath = soranetsim::ParamDb::defaultPath();
        if (!dbPath.isEmpty()) {
            error = db.load(dbPath);
            if (!error.isEmpty()) return false;
        } else {
            db = soranetsim::ParamDb::builtin();
        }
        bus_ = std::make_unique<soranetsim::Bus>();
        const QByteArray scen = qgetenv("TESMIRA_SIM_SCENARIO");
        error = scen.isEmpty() ? bus_->loadScenario(soranetsim::Bus::defaultScenario(), db)
                               : bus_->loadScenarioFile(QString::fromLocal8Bit(scen), db);
        if (!error.isEmpty()) { bus_.reset(); return false; }
        baud_ = simPacing() ? baud : 0;
        link_ = std::make_unique<soranetsim::Link>(bus_.get(), [this](const QByteArray &b) {
            // Deliver on the next turn of the event loop, as a device would.
            inbox_.append(b);
            if (!deliverPosted_) {
                deliverPosted_ = true;
                QTimer::singleShot(0, link_.get(), [this] {
                    deliverPosted_ = false;
                    QByteArray d;
                    d.swap(inbox_);
                    if (onData && !d.isEmpty()) onData(d);
                });
            }
        });
        link_->baudProbe = [this] { return baud_; };
        return true;
    }
    void close() override { link_.reset(); bus_.reset(); inbox_.clear(); }
    void send(const QByteArray &b) override { if (link_) link_->receive(b); }
    void setBaud(int baud) override { baud_ = simPacing() ? baud : 0; }
    QString kind() const override { return QStringLiteral("COM-SIM"); }
private:
    std::unique_ptr<soranetsim::Bus> bus_;
    std::unique_ptr<soranetsim::Link> link_;
    QByteArray inbox_;
    bool deliverPosted_ = false;
    int baud_ = 0;
};

} // namespace

std::unique_ptr<Transport> makeTransport(const InterfaceTarget &t)
{
    switch (t.kind) {
    case InterfaceTarget::Serial: return std::make_unique<SerialTransport>(t.device);
    case InterfaceTarget::Tcp: return std::make_unique<TcpTransport>(t.host, t.port);
    case InterfaceTarget::Rfc2217: return std::make_unique<Rfc2217Transport>(t.host, t.port);
    case InterfaceTarget::Sim: return std::make_unique<SimTransport>();
    default: return nullptr;
    }
}

} // namespace sora32
