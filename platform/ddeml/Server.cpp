#include "Server.h"

#include "Protocol.h"
#include "Registry.h"
#include "SocketSet.h"
#include "SocketStream.h"

#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ddeml {

namespace {

// How much unparsed input a conversation holds at most, unless a value
// announced in a header needs more; beyond this the stream's own bounded
// buffer and then the kernel hold the client back.
constexpr qint64 kSocketReadBuffer = 64 * 1024;

QString fromUtf8(const QByteArray& b) { return QString::fromUtf8(b); }

// True when something accepts connections on the Unix socket at path.
bool socketIsLive(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    if (p.size() >= qsizetype(sizeof(addr.sun_path))) {
        ::close(fd);
        return false;
    }
    memcpy(addr.sun_path, p.constData(), p.size());
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    // EAGAIN: a listener whose backlog is full is still alive.
    const bool live = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return live;
}

// Sends a one-line refusal on a socket that is then closed, without waiting:
// the line fits in any socket buffer, and a peer that does not read it loses
// nothing it could use.
void refuseSocket(int fd, const QByteArray& line)
{
    (void)!::send(fd, line.constData(), size_t(line.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(fd);
}

// A listening socket of path (Unix) or of 127.0.0.1:port (TCP); -1 with the
// reason in error.
int listenUnix(const QString& path, QString* error)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    if (p.size() >= qsizetype(sizeof(addr.sun_path))) {
        *error = QStringLiteral("the path is too long for a socket");
        return -1;
    }
    memcpy(addr.sun_path, p.constData(), p.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 128) != 0) {
        *error = qt_error_string(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

int listenLocalTcp(quint16 port, quint16* bound, QString* error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0
        || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 128) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *error = qt_error_string(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *bound = ntohs(addr.sin_port);
    return fd;
}

} // namespace

// A listening socket that a failed accept never closes. When the process is
// out of file handles (EMFILE) the waiting connection cannot be taken, and
// the socket stays readable: rather than trying again at once, in a loop
// that takes the whole processor, the listener stops watching for a pause
// that doubles up to two seconds, says so once, and says so again when it
// takes connections again. Meanwhile the kernel queues new clients.
class Listener : public QObject {
public:
    Listener(int fd, QString name, std::function<void(int)> onAccept,
             std::function<void(const QString&)> onTrouble, QObject* parent)
        : QObject(parent), m_fd(fd), m_name(std::move(name)), m_onAccept(std::move(onAccept)),
          m_onTrouble(std::move(onTrouble)), m_notifier(fd, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &Listener::acceptSome);
        m_pause.setSingleShot(true);
        connect(&m_pause, &QTimer::timeout, this, [this] { m_notifier.setEnabled(true); });
    }
    ~Listener() override { ::close(m_fd); }

private:
    void acceptSome()
    {
        // A bounded batch per wake-up: the other event sources get their turn.
        for (int n = 0; n < 64; ++n) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                if (m_pauseMs) {
                    m_pauseMs = 0;
                    m_onTrouble(QStringLiteral("Link service on %1 takes new connections again").arg(m_name));
                }
                m_onAccept(fd);
                continue;
            }
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK)
                return;
            if (err == EINTR || err == ECONNABORTED || err == EPROTO)
                continue; // that connection is gone; the next one may be fine
            if (!m_pauseMs)
                m_onTrouble(QStringLiteral("Link service on %1 cannot take a new connection (%2); it tries again "
                                           "after a pause")
                                .arg(m_name, qt_error_string(err)));
            m_pauseMs = m_pauseMs ? qMin(m_pauseMs * 2, 2000) : 100;
            m_notifier.setEnabled(false);
            m_pause.start(m_pauseMs);
            return;
        }
    }

    int m_fd;
    QString m_name;
    std::function<void(int)> m_onAccept;
    std::function<void(const QString&)> m_onTrouble;
    QSocketNotifier m_notifier;
    QTimer m_pause;
    int m_pauseMs = 0; // non-zero while accepting fails
};

// One client connection: a conversation on one topic once CONNECT succeeded.
// Handles the client's messages in order, one per turn of the server; while a
// poke is with the server's handler, the following messages wait in the
// buffers.
class Conversation : public QObject {
public:
    Conversation(Server* server, SocketStream* stream, bool authenticated)
        : m_server(server), m_stream(stream), m_authenticated(authenticated),
          m_reader({"POKE", "EXECUTE"}, server->m_limits.maxLine, server->m_limits.maxValue)
    {
        stream->setParent(this);
        stream->onReadyRead = [this] { m_server->wake(this, false); };
        stream->onDisconnected = [this] {
            m_server->dropConversation(this);
            markDead();
        };
        m_frameTimer.setSingleShot(true);
        connect(&m_frameTimer, &QTimer::timeout, this, [this] {
            closeAfter(errorMessage("TIMEOUT", QStringLiteral("message not complete after %1 s")
                                                   .arg(m_server->m_limits.frameTimeoutMs / 1000.0)));
        });
        // A TCP connection that does not show the token soon is not a client
        // of ours: it would only hold a handle.
        if (!authenticated) {
            m_authTimer.setSingleShot(true);
            connect(&m_authTimer, &QTimer::timeout, this, [this] {
                closeAfter(errorMessage("AUTH_REQUIRED", QStringLiteral("no AUTH within %1 s")
                                                             .arg(m_server->m_limits.authTimeoutMs / 1000.0)));
            });
            m_authTimer.start(m_server->m_limits.authTimeoutMs);
        }
    }

    bool authenticated() const { return m_authenticated; }

    // The topic key this conversation is bound to; empty before CONNECT.
    QString topicKey;
    QSet<QString> advisedItems;

    void send(const QByteArray& bytes)
    {
        if (!m_closing)
            m_stream->write(bytes);
    }
    qint64 backlog() const { return m_stream->bytesToWrite(); }
    bool closing() const { return m_closing; }

    // Drops the link at once (slow client or server shutdown).
    void abortNow()
    {
        if (m_dead)
            return;
        m_closing = true;
        m_stream->abort();
        markDead();
    }

    // Sends what is queued (plus last) and then closes the link. The object
    // lives on until the socket has flushed and reports the disconnection, or
    // until a grace period ends for a peer that does not take the bytes.
    void closeAfter(const QByteArray& last)
    {
        if (m_closing)
            return;
        if (!last.isEmpty())
            m_stream->write(last);
        m_closing = true;
        QTimer::singleShot(5000, this, [this] { abortNow(); });
        m_stream->closeAfterOutput();
    }

    // The socket is finished; the object goes once no message is being
    // handled (a poke handler may close us from inside a nested event loop).
    void markDead()
    {
        m_closing = true;
        m_dead = true;
        if (!m_inPump)
            deleteLater();
    }

    // Handles at most one complete message. True when more input waits, so
    // that the conversation queues for the next turn. Does nothing while a
    // message of this conversation is being handled further up the stack.
    bool serveOne();

private:
    bool fill();
    void handle(const Message& msg);
    void handleConnect(const Message& msg);
    bool checkFormat(const Message& msg, int formatIndex, const QString& itemName);

    Server* m_server;
    SocketStream* m_stream;
    bool m_authenticated; // a TCP client has sent the token
    FrameReader m_reader;
    bool m_closing = false;
    bool m_dead = false;
    bool m_inPump = false;
    QTimer m_frameTimer; // runs while a message is half received
    QTimer m_authTimer;  // runs until a TCP client has sent the token
};

bool Conversation::fill()
{
    const qint64 room = qMax(kSocketReadBuffer - m_reader.buffered(), qint64(m_reader.needed()));
    if (room <= 0)
        return false;
    const qint64 avail = m_stream->bytesAvailable();
    if (avail <= 0)
        return false;
    const QByteArray chunk = m_stream->read(qMin(room, avail));
    if (chunk.isEmpty())
        return false;
    m_reader.append(chunk);
    return true;
}

bool Conversation::serveOne()
{
    if (m_inPump || m_closing)
        return false;
    m_inPump = true;
    bool handled = false;
    while (!m_closing && !handled) {
        Message msg;
        QByteArray token;
        QString text;
        const auto res = m_reader.next(&msg, &token, &text);
        if (res == FrameReader::Result::NeedMore) {
            if (!fill())
                break;
            continue;
        }
        if (res == FrameReader::Result::Error) {
            // The stream cannot be resynchronised: say why and hang up.
            closeAfter(errorMessage(token, text));
            break;
        }
        // The handler may run nested event loops for long (a scan): the
        // time-out is for half-sent messages only.
        m_frameTimer.stop();
        handled = true;
        handle(msg);
        // The reply leaves now, not after the other conversations' turns.
        if (!m_closing)
            m_stream->flush();
        if (!m_closing && backlog() > m_server->m_limits.maxOutputBacklog) {
            // The client sends but does not read its replies.
            m_server->dropConversation(this);
            abortNow();
        }
    }
    m_inPump = false;
    if (m_dead) {
        deleteLater();
        return false;
    }
    // A message that stays half received for too long ends the link: the
    // peer is gone or stuck, and its bytes would be held for good.
    if (m_closing || m_reader.buffered() == 0)
        m_frameTimer.stop();
    else if (handled || !m_frameTimer.isActive())
        m_frameTimer.start(m_server->m_limits.frameTimeoutMs);
    return handled && !m_closing && (m_reader.buffered() > 0 || m_stream->bytesAvailable() > 0);
}

bool Conversation::checkFormat(const Message& msg, int formatIndex, const QString& itemName)
{
    if (msg.args.size() <= formatIndex)
        return true;
    const QByteArray format = msg.args.at(formatIndex).toUpper();
    if (format == "TEXT")
        return true;
    if (m_server->hasItem(m_server->m_topics.value(topicKey).name, itemName))
        emit m_server->linkError(m_server->m_topics.value(topicKey).name,
                                 m_server->itemRec(m_server->m_topics.value(topicKey).name, itemName)->name,
                                 LinkErrorNonTextFormat);
    send(errorMessage("BAD_FORMAT", QStringLiteral("only the format TEXT is offered")));
    return false;
}

void Conversation::handleConnect(const Message& msg)
{
    if (msg.args.size() != 2) {
        send(errorMessage("BAD_ARGUMENTS", QStringLiteral("usage: CONNECT service topic")));
        return;
    }
    const QString service = fromUtf8(msg.args.at(0));
    const QString topic = fromUtf8(msg.args.at(1));
    if (!m_server->m_serviceName.isEmpty()
        && service.compare(m_server->m_serviceName, Qt::CaseInsensitive) != 0) {
        closeAfter(errorMessage("NO_SERVICE", QStringLiteral("no service %1 here").arg(service)));
        return;
    }
    Server::TopicRec* t = m_server->topicRec(topic);
    if (!t) {
        closeAfter(errorMessage("NO_TOPIC", QStringLiteral("no topic %1").arg(topic)));
        return;
    }
    topicKey = Server::key(topic);
    t->conversations.append(this);
    send("OK\n");
}

void Conversation::handle(const Message& msg)
{
    const QByteArray verb = msg.verb.toUpper();
    if (verb.isEmpty()) {
        send(errorMessage("BAD_COMMAND", QStringLiteral("empty line")));
        return;
    }
    if (verb == "AUTH") {
        // On the Unix socket the folder's mode already admits only the user.
        if (m_authenticated)
            send("OK\n");
        else if (msg.args.size() == 1 && sameToken(msg.args.at(0), m_server->m_tcpToken)) {
            m_authTimer.stop();
            if (m_server->authenticatedCount() >= m_server->m_limits.maxClients) {
                closeAfter(errorMessage("TOO_MANY_CLIENTS", QStringLiteral("at most %1 clients are served at once")
                                                                .arg(m_server->m_limits.maxClients)));
                return;
            }
            m_authenticated = true;
            send("OK\n");
        } else {
            closeAfter(errorMessage("AUTH_FAILED", QStringLiteral("wrong token")));
        }
        return;
    }
    if (!m_authenticated) {
        closeAfter(errorMessage("AUTH_REQUIRED", QStringLiteral("send AUTH with the token from %1 first")
                                                     .arg(tcpTokenPath(m_server->tcpPort()))));
        return;
    }
    if (verb == "CONNECT") {
        if (!topicKey.isEmpty())
            send(errorMessage("ALREADY_CONNECTED", QStringLiteral("this link already has a topic")));
        else
            handleConnect(msg);
        return;
    }
    static const QList<QByteArray> known = {"REQUEST", "ADVISE", "UNADVISE", "POKE", "EXECUTE", "PING"};
    if (!known.contains(verb)) {
        send(errorMessage("BAD_COMMAND",
                          QStringLiteral("unknown command %1").arg(QString::fromUtf8(verb.left(64)))));
        return;
    }
    if (topicKey.isEmpty()) {
        send(errorMessage("NOT_CONNECTED", QStringLiteral("send CONNECT service topic first")));
        return;
    }
    if (verb == "PING") {
        send("OK\n");
        return;
    }
    if (verb == "EXECUTE") {
        send(errorMessage("EXECUTE_REFUSED", QStringLiteral("this server accepts no execute commands")));
        return;
    }

    const int maxArgs = verb == "ADVISE" ? 3 : verb == "UNADVISE" ? 1 : 2;
    const int minArgs = verb == "ADVISE" ? 2 : 1;
    if (msg.args.size() < minArgs || msg.args.size() > maxArgs) {
        static const QHash<QByteArray, QString> usage = {
            {"REQUEST", QStringLiteral("REQUEST item [format]")},
            {"ADVISE", QStringLiteral("ADVISE item HOT|WARM [format]")},
            {"UNADVISE", QStringLiteral("UNADVISE item")},
            {"POKE", QStringLiteral("POKE item [format] length")},
        };
        send(errorMessage("BAD_ARGUMENTS", QStringLiteral("usage: ") + usage.value(verb)));
        return;
    }
    const QByteArray itemField = msg.args.at(0);
    const QString itemName = fromUtf8(itemField);
    auto topicIt = m_server->m_topics.find(topicKey);
    if (topicIt == m_server->m_topics.end()) {
        // Cannot happen while the conversation is open: removing a topic
        // closes its conversations. Answer sensibly all the same.
        closeAfter("CLOSED NO_TOPIC the topic was removed\n");
        return;
    }
    Server::TopicRec& t = *topicIt;
    const QString itemKey = Server::key(itemName);

    if (verb == "REQUEST") {
        if (!checkFormat(msg, 1, itemName))
            return;
        auto it = t.items.constFind(itemKey);
        if (it == t.items.constEnd()) {
            send(errorMessage("NO_ITEM", QStringLiteral("no item %1 on topic %2").arg(itemName, t.name)));
            return;
        }
        send(payloadMessage("VALUE", {}, it->value));
        return;
    }
    if (verb == "ADVISE") {
        const QByteArray mode = msg.args.at(1).toUpper();
        if (mode != "HOT" && mode != "WARM") {
            send(errorMessage("BAD_ARGUMENTS", QStringLiteral("advise mode must be HOT or WARM")));
            return;
        }
        if (!checkFormat(msg, 2, itemName))
            return;
        auto it = t.items.find(itemKey);
        if (it == t.items.end()) {
            send(errorMessage("NO_ITEM", QStringLiteral("no item %1 on topic %2").arg(itemName, t.name)));
            return;
        }
        const bool hot = mode == "HOT";
        for (Server::Link& l : it->links) {
            if (l.conv == this) {
                // Advising again changes the kind of the existing link.
                l.hot = hot;
                l.itemName = itemField;
                send("OK\n");
                if (hot)
                    send(payloadMessage("DATA", {itemField}, it->value));
                return;
            }
        }
        if (it->links.size() >= m_server->m_limits.maxLinksPerItem) {
            const QString name = it->name;
            send(errorMessage("NO_FREE_LINK",
                              QStringLiteral("no free link: at most %1 advise links per item")
                                  .arg(m_server->m_limits.maxLinksPerItem)));
            emit m_server->linkError(t.name, name, LinkErrorNoFreeLink);
            return;
        }
        it->links.append({this, hot, itemField});
        advisedItems.insert(itemKey);
        send("OK\n");
        // A hot link starts with the current value, so the client need not
        // request it separately.
        if (hot)
            send(payloadMessage("DATA", {itemField}, it->value));
        return;
    }
    if (verb == "UNADVISE") {
        auto it = t.items.find(itemKey);
        const bool removed = it != t.items.end()
            && it->links.removeIf([this](const Server::Link& l) { return l.conv == this; }) > 0;
        advisedItems.remove(itemKey);
        if (removed)
            send("OK\n");
        else
            send(errorMessage("NOT_ADVISED", QStringLiteral("no advise link on item %1").arg(itemName)));
        return;
    }
    // POKE
    if (!checkFormat(msg, 1, itemName))
        return;
    auto it = t.items.find(itemKey);
    if (it == t.items.end()) {
        send(errorMessage("NO_ITEM", QStringLiteral("no item %1 on topic %2").arg(itemName, t.name)));
        return;
    }
    // The acknowledgement waits for the server's poke handler.
    const QString topicName = t.name;
    const QString storedName = it->name;
    QPointer<Server> server(m_server);
    const QString refusal = m_server->poke(topicName, storedName, msg.payload);
    if (!server || m_closing)
        return;
    if (refusal.isEmpty()) {
        send("OK\n");
    } else {
        send(errorMessage("POKE_FAILED", refusal));
        emit m_server->linkError(topicName, storedName, LinkErrorPokeFailed);
    }
}

// ---------------------------------------------------------------- Server

Server::Server(QObject* parent) : QObject(parent), m_sockets(new SocketSet(this))
{
    // A timer, not a posted call: the event loop reads the sockets before it
    // runs timers, so input that came in during a turn is queued before the
    // next turn starts.
    m_turn.setSingleShot(true);
    m_turn.setInterval(0);
    connect(&m_turn, &QTimer::timeout, this, &Server::serveTurn);
}

Server::~Server()
{
    unregisterService();
}

bool Server::registerService(const QString& name, QString* error)
{
    QString dummy;
    QString* err = error ? error : &dummy;
    if (m_local) {
        *err = QStringLiteral("This server already serves %1").arg(m_serviceName);
        return false;
    }
    if (!isValidName(name.toUtf8()) || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.'))) {
        *err = QStringLiteral("\"%1\" cannot be used as a service name").arg(name);
        return false;
    }
    if (!ensureServiceDir(err))
        return false;
    const QString dir = serviceDir();

    // The lock file, named in folded case, is held for as long as we serve:
    // the kernel releases it when the process dies, so a leftover socket of a
    // dead server is told apart from a live one even while it starts.
    const QString lockPath = dir + QStringLiteral("/.") + key(name) + QStringLiteral(".lock");
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *err = QStringLiteral("Cannot open %1: %2").arg(lockPath, qt_error_string(errno));
        return false;
    }
    const QString inUse = QStringLiteral("The service name %1 is in use by another running server").arg(name);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        *err = inUse;
        return false;
    }
    // Remove sockets of dead servers under this name in any letter case.
    const QStringList entries = QDir(dir).entryList(QDir::System | QDir::Files);
    for (const QString& e : entries) {
        if (e.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        const QString path = dir + QLatin1Char('/') + e;
        if (socketIsLive(path)) {
            ::close(fd);
            *err = inUse;
            return false;
        }
        QFile::remove(path);
    }

    const QString path = dir + QLatin1Char('/') + name;
    QString why;
    const int listenFd = listenUnix(path, &why);
    if (listenFd < 0) {
        *err = QStringLiteral("Cannot listen on %1: %2").arg(path, why);
        ::close(fd);
        return false;
    }
    ::chmod(QFile::encodeName(path).constData(), serviceSocketMode());
    m_local = new Listener(
        listenFd, path, [this](int s) { acceptSocket(s, false); },
        [this](const QString& text) { emit listenerTrouble(text); }, this);
    m_lockFd = fd;
    m_serviceName = name;
    m_socketPath = path;
    return true;
}

bool Server::listenTcp(quint16 port, QString* error)
{
    if (m_tcp) {
        if (error)
            *error = QStringLiteral("Already listening on TCP port %1").arg(m_tcpPort);
        return false;
    }
    QString why;
    quint16 bound = 0;
    const int listenFd = listenLocalTcp(port, &bound, &why);
    if (listenFd < 0) {
        if (error)
            *error = QStringLiteral("Cannot listen on 127.0.0.1:%1: %2").arg(port).arg(why);
        return false;
    }
    // The token goes to a file only this user can read, written before the
    // first client can be accepted.
    QString err;
    const QByteArray token = randomToken();
    const QString path = tcpTokenPath(bound);
    if (!ensureServiceDir(&err) || !writePrivateFile(path, token + '\n', &err)) {
        if (error)
            *error = QStringLiteral("Cannot write the TCP token file: %1").arg(err);
        ::close(listenFd);
        return false;
    }
    m_tcp = new Listener(
        listenFd, QStringLiteral("127.0.0.1:%1").arg(bound), [this](int s) { acceptSocket(s, true); },
        [this](const QString& text) { emit listenerTrouble(text); }, this);
    m_tcpPort = bound;
    m_tcpToken = token;
    return true;
}

quint16 Server::tcpPort() const
{
    return m_tcp ? m_tcpPort : 0;
}

void Server::unregisterService()
{
    const QList<Conversation*> all = m_conversations;
    for (Conversation* c : all)
        c->abortNow();
    if (m_local) {
        delete m_local;
        m_local = nullptr;
        QFile::remove(m_socketPath);
    }
    if (m_tcp) {
        QFile::remove(tcpTokenPath(m_tcpPort));
        delete m_tcp;
        m_tcp = nullptr;
        m_tcpPort = 0;
        m_tcpToken.clear();
    }
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
    m_socketPath.clear();
}

int Server::authenticatedCount() const
{
    int n = 0;
    for (const Conversation* c : m_conversations)
        n += c->authenticated() && !c->closing();
    return n;
}

void Server::acceptSocket(int fd, bool tcp)
{
    // Refused before a conversation exists: a flood of connections costs a
    // handle for a moment each, never one for good.
    if (!tcp && authenticatedCount() >= m_limits.maxClients)
        return refuseSocket(fd, errorMessage("TOO_MANY_CLIENTS", QStringLiteral("at most %1 clients are served at once")
                                                                     .arg(m_limits.maxClients)));
    if (tcp) {
        int waiting = 0;
        for (const Conversation* c : std::as_const(m_conversations))
            waiting += !c->authenticated() && !c->closing();
        if (waiting >= m_limits.maxAwaitingAuth)
            return refuseSocket(fd, errorMessage("BUSY", QStringLiteral("%1 connections are waiting to send AUTH; "
                                                                        "try again later")
                                                             .arg(waiting)));
    }
    auto* stream = new SocketStream(fd, m_sockets, kSocketReadBuffer);
    if (!stream->isOpen()) {
        delete stream;
        return;
    }
    auto* conv = new Conversation(this, stream, !tcp);
    conv->setParent(this);
    m_conversations.append(conv);
    emit conversationCountChanged(conversationCount());
    // Bytes may have arrived before the socket was watched.
    wake(conv, false);
}

void Server::wake(Conversation* conv, bool servedLastTurn)
{
    if (m_fresh.contains(conv) || m_again.contains(conv))
        return;
    (servedLastTurn ? m_again : m_fresh).append(conv);
    if (!m_turn.isActive())
        m_turn.start();
}

// One message of every conversation with input, those that were not served
// in the previous turn first: a client that pipelines many messages delays
// another client's request by the handling of at most one message.
void Server::serveTurn()
{
    const QList<QPointer<Conversation>> batch = m_fresh + m_again;
    m_fresh.clear();
    m_again.clear();
    for (const QPointer<Conversation>& conv : batch) {
        // A handler may run nested event loops, and so nested turns; a
        // conversation busy further up the stack queues itself when done.
        if (conv && conv->serveOne() && conv)
            wake(conv, true);
    }
}

QString Server::key(const QString& name)
{
    for (const QChar c : name)
        if (c.unicode() >= 0x80 || (c.unicode() >= 'A' && c.unicode() <= 'Z'))
            return name.toCaseFolded();
    return name;
}

void Server::dropLinks(Conversation* conv)
{
    auto tit = m_topics.find(conv->topicKey);
    if (tit == m_topics.end())
        return;
    for (const QString& itemKey : std::as_const(conv->advisedItems)) {
        auto iit = tit->items.find(itemKey);
        if (iit != tit->items.end())
            iit->links.removeIf([conv](const Link& l) { return l.conv == conv; });
    }
    conv->advisedItems.clear();
    tit->conversations.removeAll(conv);
}

void Server::dropConversation(Conversation* conv)
{
    if (!m_conversations.contains(conv))
        return;
    dropLinks(conv);
    m_conversations.removeAll(conv);
    emit conversationCountChanged(conversationCount());
}

Server::TopicRec* Server::topicRec(const QString& topic)
{
    auto it = m_topics.find(key(topic));
    return it == m_topics.end() ? nullptr : &*it;
}

Server::ItemRec* Server::itemRec(const QString& topic, const QString& item)
{
    TopicRec* t = topicRec(topic);
    if (!t)
        return nullptr;
    auto it = t->items.find(key(item));
    return it == t->items.end() ? nullptr : &*it;
}

void Server::addTopic(const QString& topic)
{
    const QString k = key(topic);
    if (m_topics.contains(k))
        return;
    TopicRec t;
    t.name = topic;
    m_topics.insert(k, t);
}

void Server::removeTopic(const QString& topic)
{
    auto it = m_topics.find(key(topic));
    if (it == m_topics.end())
        return;
    const QList<Conversation*> convs = it->conversations;
    const QString name = it->name;
    QStringList itemNames;
    for (const ItemRec& rec : std::as_const(it->items))
        itemNames << rec.name;
    m_topics.erase(it);
    emit topicRemoved(name, itemNames);
    for (Conversation* c : convs) {
        c->advisedItems.clear();
        m_conversations.removeAll(c);
        c->closeAfter("CLOSED NO_TOPIC topic " + name.toUtf8() + " was removed\n");
    }
    if (!convs.isEmpty())
        emit conversationCountChanged(conversationCount());
}

bool Server::hasTopic(const QString& topic) const
{
    return m_topics.contains(key(topic));
}

QStringList Server::topics() const
{
    QStringList out;
    for (const TopicRec& t : m_topics)
        out << t.name;
    return out;
}

bool Server::createItem(const QString& topic, const QString& item, const QString& value)
{
    TopicRec* t = topicRec(topic);
    if (!t)
        return false;
    const QString k = key(item);
    auto it = t->items.find(k);
    if (it == t->items.end()) {
        ItemRec rec;
        rec.name = item;
        rec.value = value.toUtf8();
        t->items.insert(k, rec);
        emit itemCreated(t->name, rec.name);
        emit itemChanged(t->name, rec.name, rec.value);
        return true;
    }
    it->value = value.toUtf8();
    pushValue(key(topic), *it);
    return true;
}

void Server::removeItem(const QString& topic, const QString& item)
{
    TopicRec* t = topicRec(topic);
    if (!t)
        return;
    const QString k = key(item);
    auto it = t->items.find(k);
    if (it == t->items.end())
        return;
    for (const Link& l : std::as_const(it->links))
        l.conv->advisedItems.remove(k);
    const QString name = it->name;
    t->items.erase(it);
    emit itemRemoved(t->name, name);
}

bool Server::setItem(const QString& topic, const QString& item, const QString& value)
{
    const QString tk = key(topic);
    auto tit = m_topics.find(tk);
    if (tit == m_topics.end())
        return false;
    auto it = tit->items.find(key(item));
    if (it == tit->items.end())
        return false;
    // Links hear of changes only: a poll that reads the same value again
    // costs the clients nothing.
    const QByteArray bytes = value.toUtf8();
    if (bytes == it->value)
        return true;
    it->value = bytes;
    pushValue(tk, *it);
    return true;
}

QString Server::poke(const QString& topic, const QString& item, const QByteArray& value)
{
    const QString tk = key(topic);
    auto tit = m_topics.find(tk);
    if (tit == m_topics.end())
        return QStringLiteral("no topic %1").arg(topic);
    auto it = tit->items.find(key(item));
    if (it == tit->items.end())
        return QStringLiteral("no item %1 on topic %2").arg(item, tit->name);
    // The item takes the text first; the handler then sees it.
    it->value = value;
    const QString topicName = tit->name;
    const QString itemName = it->name;
    pushValue(tk, *it);
    if (!m_pokeHandler)
        return {};
    // Copied: the handler may replace itself or end this server.
    const PokeHandler handler = m_pokeHandler;
    return handler(topicName, itemName, fromUtf8(value));
}

void Server::pushValue(const QString& topicKey, ItemRec& item)
{
    if (isSignalConnected(QMetaMethod::fromSignal(&Server::itemChanged))) {
        const auto t = m_topics.constFind(topicKey);
        emit itemChanged(t != m_topics.constEnd() ? t->name : topicKey, item.name, item.value);
    }
    if (item.links.isEmpty())
        return;
    QList<Conversation*> overflowing;
    for (const Link& l : std::as_const(item.links)) {
        if (l.hot)
            l.conv->send(payloadMessage("DATA", {l.itemName}, item.value));
        else
            l.conv->send(headerLine("CHANGED", {l.itemName}));
        if (l.conv->backlog() > m_limits.maxOutputBacklog)
            overflowing.append(l.conv);
    }
    if (overflowing.isEmpty())
        return;
    // A client that does not read its link is dropped so that it cannot hold
    // the server's memory or slow the others.
    const QString topicName = m_topics.value(topicKey).name;
    const QString itemName = item.name;
    for (Conversation* c : overflowing) {
        dropLinks(c);
        m_conversations.removeAll(c);
        c->abortNow();
    }
    emit conversationCountChanged(conversationCount());
    for (int i = 0; i < overflowing.size(); ++i)
        emit linkError(topicName, itemName, LinkErrorOutOfMemory);
}

bool Server::hasItem(const QString& topic, const QString& item) const
{
    auto tit = m_topics.constFind(key(topic));
    return tit != m_topics.constEnd() && tit->items.contains(key(item));
}

QByteArray Server::itemBytes(const QString& topic, const QString& item) const
{
    auto tit = m_topics.constFind(key(topic));
    if (tit == m_topics.constEnd())
        return {};
    return tit->items.value(key(item)).value;
}

QString Server::item(const QString& topic, const QString& item) const
{
    return QString::fromUtf8(itemBytes(topic, item));
}

QStringList Server::items(const QString& topic) const
{
    QStringList out;
    auto tit = m_topics.constFind(key(topic));
    if (tit != m_topics.constEnd())
        for (const ItemRec& i : tit->items)
            out << i.name;
    return out;
}

int Server::adviseLinkCount(const QString& topic, const QString& item) const
{
    auto tit = m_topics.constFind(key(topic));
    if (tit == m_topics.constEnd())
        return 0;
    auto iit = tit->items.constFind(key(item));
    return iit == tit->items.constEnd() ? 0 : int(iit->links.size());
}

} // namespace ddeml
