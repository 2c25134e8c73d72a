#include "Client.h"

#include "Protocol.h"
#include "Registry.h"

#include <QFile>
#include <QHash>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ddeml {

namespace {

// Values from the server may be larger than what it accepts from clients.
constexpr int kClientMaxValue = 16 << 20;
constexpr int kClientMaxLine = 4096;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 deadlineFor(int timeoutMs)
{
    return timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
}

int remainingMs(qint64 deadline)
{
    if (deadline < 0)
        return -1;
    return int(qMax<qint64>(0, deadline - nowMs()));
}

} // namespace

Client::Client() = default;

Client::~Client()
{
    disconnect();
}

void Client::disconnect()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_reader.reset();
}

void Client::fail(ClientError e, const QString& text)
{
    m_error = e;
    m_errorString = text;
}

bool Client::connect(const QString& service, const QString& topic, int timeoutMs)
{
    disconnect();
    m_events.clear();
    m_closedSeen = false;
    const QString path = findServiceSocket(service);
    if (path.isEmpty()) {
        fail(ClientError::NoService, QStringLiteral("No service %1 is running").arg(service));
        return false;
    }
    if (!openUnix(path, timeoutMs))
        return false;
    return handshake(service, topic, timeoutMs);
}

bool Client::connectTcp(quint16 port, const QString& service, const QString& topic, int timeoutMs)
{
    disconnect();
    m_events.clear();
    m_closedSeen = false;
    // The server admits TCP clients that show the token it wrote for this
    // user only; without it there is no point in connecting.
    QFile tokenFile(tcpTokenPath(port));
    if (!tokenFile.open(QIODevice::ReadOnly)) {
        fail(ClientError::NoService, QStringLiteral("No server of this user listens on 127.0.0.1:%1 (%2: %3)")
                                         .arg(port)
                                         .arg(tokenFile.fileName(), tokenFile.errorString()));
        return false;
    }
    const QByteArray token = tokenFile.readLine(256).trimmed();
    if (!openTcp(port, timeoutMs))
        return false;
    return handshake(service, topic, timeoutMs, token);
}

bool Client::openUnix(const QString& path, int timeoutMs)
{
    const qint64 deadline = deadlineFor(timeoutMs);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    if (p.size() >= qsizetype(sizeof(addr.sun_path))) {
        fail(ClientError::NoService, QStringLiteral("Socket path too long: %1").arg(path));
        return false;
    }
    memcpy(addr.sun_path, p.constData(), p.size());
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fail(ClientError::ConnectionLost, qt_error_string(errno));
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
            m_fd = fd;
            return true;
        }
        const int err = errno;
        ::close(fd);
        if (err == EAGAIN && remainingMs(deadline) != 0) {
            // The server's backlog is full; it is alive, so try again shortly.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (err == EAGAIN)
            fail(ClientError::Timeout, QStringLiteral("The server did not accept the connection in time"));
        else
            fail(ClientError::NoService,
                 QStringLiteral("No server is listening on %1 (%2)").arg(path, qt_error_string(err)));
        return false;
    }
}

bool Client::openTcp(quint16 port, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(ClientError::ConnectionLost, qt_error_string(errno));
        return false;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS) {
            const int err = errno;
            ::close(fd);
            fail(ClientError::NoService,
                 QStringLiteral("No server is listening on 127.0.0.1:%1 (%2)").arg(port).arg(qt_error_string(err)));
            return false;
        }
        pollfd pfd {fd, POLLOUT, 0};
        const int rc = ::poll(&pfd, 1, timeoutMs);
        int soErr = 0;
        socklen_t len = sizeof(soErr);
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
        if (rc <= 0 || soErr != 0) {
            ::close(fd);
            if (rc <= 0)
                fail(ClientError::Timeout, QStringLiteral("Connecting to 127.0.0.1:%1 timed out").arg(port));
            else
                fail(ClientError::NoService, QStringLiteral("No server is listening on 127.0.0.1:%1 (%2)")
                                                 .arg(port)
                                                 .arg(qt_error_string(soErr)));
            return false;
        }
    }
    m_fd = fd;
    return true;
}

bool Client::handshake(const QString& service, const QString& topic, int timeoutMs, const QByteArray& token)
{
    m_reader = std::make_unique<FrameReader>(QList<QByteArray> {"VALUE", "DATA"}, kClientMaxLine,
                                             kClientMaxValue);
    const QByteArray s = service.toUtf8();
    const QByteArray t = topic.toUtf8();
    if (!isValidName(s) || !isValidName(t)) {
        disconnect();
        fail(!isValidName(s) ? ClientError::NoService : ClientError::NoTopic,
             QStringLiteral("Names must be 1 to 255 bytes without blanks or control characters"));
        return false;
    }
    Reply r;
    if (!token.isEmpty() && !transact(headerLine("AUTH", {token}), &r, timeoutMs)) {
        disconnect();
        return false;
    }
    if (!transact(headerLine("CONNECT", {s, t}), &r, timeoutMs)) {
        disconnect();
        return false;
    }
    return true;
}

bool Client::sendAll(const QByteArray& bytes, qint64 deadline)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd {m_fd, POLLOUT, 0};
            const int rc = ::poll(&pfd, 1, remainingMs(deadline));
            if (rc == 0) {
                fail(ClientError::Timeout, QStringLiteral("The server does not take our data"));
                return false;
            }
            continue;
        }
        fail(ClientError::ConnectionLost, QStringLiteral("The link to the server broke: %1").arg(qt_error_string(errno)));
        disconnect();
        return false;
    }
    return true;
}

bool Client::fillBuffer(qint64 deadline)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
        if (n > 0) {
            m_reader->append(buf, n);
            return true;
        }
        if (n == 0) {
            fail(ClientError::ConnectionLost, QStringLiteral("The server closed the link"));
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            fail(ClientError::ConnectionLost, QStringLiteral("The link to the server broke: %1").arg(qt_error_string(errno)));
            return false;
        }
        pollfd pfd {m_fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, remainingMs(deadline));
        if (rc == 0) {
            fail(ClientError::Timeout, QStringLiteral("No answer from the server in time"));
            return false;
        }
        if (rc < 0 && errno == EINTR) {
            fail(ClientError::Timeout, QStringLiteral("Interrupted"));
            return false;
        }
    }
}

bool Client::readMessage(Reply* reply, qint64 deadline, bool wantReply)
{
    for (;;) {
        Message msg;
        QByteArray token;
        QString text;
        const auto res = m_reader->next(&msg, &token, &text);
        if (res == FrameReader::Result::Error) {
            fail(ClientError::Protocol, QStringLiteral("Bad message from the server: %1").arg(text));
            disconnect();
            return false;
        }
        if (res == FrameReader::Result::NeedMore) {
            if (!fillBuffer(deadline)) {
                if (m_error == ClientError::ConnectionLost || m_error == ClientError::Protocol) {
                    disconnect();
                    if (!m_closedSeen) {
                        m_closedSeen = true;
                        m_events.push_back({AdviseEvent::Kind::Closed, {}, {}});
                    }
                }
                return false;
            }
            continue;
        }
        if (msg.verb == "DATA" && msg.args.size() == 1) {
            m_events.push_back({AdviseEvent::Kind::Data, QString::fromUtf8(msg.args.at(0)), msg.payload});
            if (wantReply)
                continue;
            return true;
        }
        if (msg.verb == "CHANGED" && msg.args.size() == 1) {
            m_events.push_back({AdviseEvent::Kind::Changed, QString::fromUtf8(msg.args.at(0)), {}});
            if (wantReply)
                continue;
            return true;
        }
        if (msg.verb == "CLOSED") {
            const QByteArray tok = msg.args.value(0);
            m_closedSeen = true;
            m_events.push_back({AdviseEvent::Kind::Closed, {}, {}});
            fail(ClientError::TopicClosed,
                 QStringLiteral("The server closed the conversation: %1")
                     .arg(QString::fromUtf8(msg.rest.mid(tok.size()).trimmed())));
            disconnect();
            return false;
        }
        if (msg.verb == "OK" || msg.verb == "VALUE" || msg.verb == "ERR") {
            if (!wantReply) {
                fail(ClientError::Protocol, QStringLiteral("Unexpected reply from the server"));
                disconnect();
                return false;
            }
            reply->verb = msg.verb;
            reply->payload = msg.payload;
            if (msg.verb == "ERR") {
                reply->token = msg.args.value(0);
                reply->text = QString::fromUtf8(msg.rest.mid(reply->token.size()).trimmed());
            }
            return true;
        }
        fail(ClientError::Protocol,
             QStringLiteral("Unknown message from the server: %1").arg(QString::fromUtf8(msg.verb.left(40))));
        disconnect();
        return false;
    }
}

void Client::failFromReply(const Reply& r)
{
    static const QHash<QByteArray, ClientError> map = {
        {"NO_SERVICE", ClientError::NoService},       {"NO_TOPIC", ClientError::NoTopic},
        {"NO_ITEM", ClientError::NoItem},             {"NOT_ADVISED", ClientError::NotAdvised},
        {"BAD_FORMAT", ClientError::BadFormat},       {"NO_FREE_LINK", ClientError::NoFreeLink},
        {"POKE_FAILED", ClientError::PokeFailed},     {"EXECUTE_REFUSED", ClientError::ExecuteRefused},
        {"NOT_CONNECTED", ClientError::NotConnected},
    };
    fail(map.value(r.token, ClientError::Refused), r.text.isEmpty() ? QString::fromUtf8(r.token) : r.text);
}

bool Client::transact(const QByteArray& message, Reply* reply, int timeoutMs)
{
    if (m_fd < 0) {
        fail(m_closedSeen ? ClientError::TopicClosed : ClientError::NotConnected,
             QStringLiteral("Not connected to a server"));
        return false;
    }
    const qint64 deadline = deadlineFor(timeoutMs);
    if (!sendAll(message, deadline))
        return false;
    if (!readMessage(reply, deadline, true)) {
        // A time-out leaves the reply in flight; it could not be matched to
        // a later call, so the conversation is ended.
        if (m_error == ClientError::Timeout)
            disconnect();
        return false;
    }
    if (reply->verb == "ERR") {
        failFromReply(*reply);
        return false;
    }
    m_error = ClientError::None;
    m_errorString.clear();
    return true;
}

bool Client::request(const QString& item, QByteArray* value, int timeoutMs, const QByteArray& format)
{
    Reply r;
    QList<QByteArray> args {item.toUtf8()};
    if (format != "TEXT")
        args << format;
    if (!transact(headerLine("REQUEST", args), &r, timeoutMs))
        return false;
    if (r.verb != "VALUE") {
        fail(ClientError::Protocol, QStringLiteral("The server answered a request without a value"));
        return false;
    }
    *value = r.payload;
    return true;
}

bool Client::request(const QString& item, QString* value, int timeoutMs)
{
    QByteArray bytes;
    if (!request(item, &bytes, timeoutMs))
        return false;
    *value = QString::fromUtf8(bytes);
    return true;
}

bool Client::advise(const QString& item, AdviseMode mode, int timeoutMs)
{
    Reply r;
    return transact(headerLine("ADVISE", {item.toUtf8(), mode == AdviseMode::Hot ? "HOT" : "WARM"}), &r,
                    timeoutMs);
}

bool Client::unadvise(const QString& item, int timeoutMs)
{
    Reply r;
    return transact(headerLine("UNADVISE", {item.toUtf8()}), &r, timeoutMs);
}

bool Client::poke(const QString& item, const QByteArray& value, int timeoutMs)
{
    Reply r;
    return transact(payloadMessage("POKE", {item.toUtf8()}, value), &r, timeoutMs);
}

bool Client::poke(const QString& item, const QString& value, int timeoutMs)
{
    return poke(item, value.toUtf8(), timeoutMs);
}

bool Client::execute(const QByteArray& command, int timeoutMs)
{
    Reply r;
    return transact(payloadMessage("EXECUTE", {}, command), &r, timeoutMs);
}

bool Client::nextAdvise(AdviseEvent* event, int timeoutMs)
{
    const qint64 deadline = deadlineFor(timeoutMs);
    while (m_events.empty()) {
        if (m_fd < 0) {
            fail(m_closedSeen ? ClientError::TopicClosed : ClientError::NotConnected,
                 QStringLiteral("The conversation is over"));
            return false;
        }
        Reply unused;
        if (!readMessage(&unused, deadline, false) && m_events.empty())
            return false;
    }
    *event = std::move(m_events.front());
    m_events.pop_front();
    return true;
}

bool Request(const QString& service, const QString& topic, const QString& item, int timeoutMs, QString* value)
{
    const qint64 deadline = deadlineFor(timeoutMs);
    Client c;
    if (!c.connect(service, topic, timeoutMs))
        return false;
    QString v;
    if (!c.request(item, &v, remainingMs(deadline)))
        return false;
    *value = v;
    return true;
}

} // namespace ddeml
