#include "transports.h"

#include "bus.h"
#include "link.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

namespace sora32 {

InterfaceTarget resolveInterface(const QString &raw)
{
    const QString name = raw.trimmed();
    InterfaceTarget t;
    if (name.compare(QStringLiteral("SIM"), Qt::CaseInsensitive) == 0) {
        t.kind = InterfaceTarget::Sim;
    } else if (name.startsWith(QStringLiteral("tcp:"), Qt::CaseInsensitive)) {
        const int colon = int(name.lastIndexOf(':'));
        bool ok = false;
        t.host = name.mid(4, colon - 4);
        t.port = name.mid(colon + 1).toInt(&ok);
        if (ok && colon > 4 && t.port > 0 && t.port < 65536) t.kind = InterfaceTarget::Tcp;
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

bool simPacing() { return qgetenv("TESMIRA_SIM_PACING") != "0"; }

namespace {

class SerialTransport : public Transport {
public:
    explicit SerialTransport(QString dev) : dev_(std::move(dev)) {}
    bool open(int baud, QString &error) override
    {
        port_ = std::make_unique<QSerialPort>();
        port_->setPortName(dev_);
        if (!port_->open(QIODevice::ReadWrite)) {
            error = port_->errorString();
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

class TcpTransport : public Transport {
public:
    TcpTransport(QString host, int port) : host_(std::move(host)), port_(port) {}
    bool open(int, QString &error) override
    {
        sock_ = std::make_unique<QTcpSocket>();
        sock_->connectToHost(host_, quint16(port_));
        if (!sock_->waitForConnected(3000)) {
            error = sock_->errorString();
            sock_.reset();
            return false;
        }
        sock_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(sock_.get(), &QTcpSocket::readyRead, sock_.get(), [this] {
            if (onData) onData(sock_->readAll());
        });
        return true;
    }
    void close() override { if (sock_) sock_->close(); sock_.reset(); }
    void send(const QByteArray &b) override { if (sock_) sock_->write(b); }
    void setBaud(int) override {}   // the device server's own setting
    QString kind() const override { return QStringLiteral("COM-TCP"); }
private:
    QString host_;
    int port_;
    std::unique_ptr<QTcpSocket> sock_;
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
    case InterfaceTarget::Sim: return std::make_unique<SimTransport>();
    default: return nullptr;
    }
}

} // namespace sora32
