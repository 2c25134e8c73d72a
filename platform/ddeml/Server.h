#pragma once
// Server side of the client link layer: a service name with topics and
// items that clients on the same PC reach through a Unix-domain socket (and
// optionally TCP on 127.0.0.1).
//
// Lives on the thread that created it (the server's main thread) and takes
// no locks. Names of services, topics and items compare without regard to
// case; the spelling given when a topic or item was created is kept.
//
// Clients can request an item's value, keep hot advise links (every new value
// is pushed) or warm ones (only a notice is sent; the client requests), poke
// a value into an item, and send execute transactions, which are always
// refused. Values are bytes on the wire; this interface takes and gives them
// as text, encoded as UTF-8.

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

namespace ddeml {

// Link error codes reported through Server::linkError.
enum LinkErrorCode : int {
    LinkErrorNonTextFormat = 1, // data asked for in a format other than text
    LinkErrorNoFreeLink = 7,    // more than maxLinksPerItem advise links on one item
    LinkErrorPokeFailed = 8,    // the poke handler refused a poke
    LinkErrorOutOfMemory = 11,  // a client's output backlog passed its bound; the client was dropped
};

struct ServerLimits {
    int maxLine = 1024;                 // longest header line a client may send
    int maxValue = 1 << 20;             // longest value a client may poke
    qint64 maxOutputBacklog = 4 << 20;  // bytes queued for a client before it is dropped
    int maxLinksPerItem = 128;          // advise links on one item, all clients together
    int frameTimeoutMs = 30000;         // a message left half-sent this long ends its conversation
    int maxClients = 256;               // conversations served at once (TCP ones once authenticated)
    int maxAwaitingAuth = 32;           // TCP connections that have not sent AUTH yet
    int authTimeoutMs = 5000;           // a TCP connection without AUTH this long is closed
};

class Conversation;
class Listener;
class SocketSet;

class Server : public QObject {
    Q_OBJECT
public:
    // Called for every accepted poke, after the item has taken the value.
    // Returns the empty text when the change was handled; otherwise the
    // reason, which makes the poke fail: the client gets "ERR POKE_FAILED"
    // with the reason, and link error 8 is reported. The handler may
    // run nested event loops: other conversations are served meanwhile, and
    // the poking conversation's further messages wait until it returns.
    using PokeHandler = std::function<QString(const QString& topic, const QString& item, const QString& value)>;

    explicit Server(QObject* parent = nullptr);
    ~Server() override;

    // Listens on the socket serviceDir()/name (folder 0700, socket 0600;
    // 0750 and 0660 in a runtime folder shared with the group, see Registry.h). A
    // socket left behind by a dead server is replaced; a name held by a live
    // server (in any letter case) is refused. Returns false with a message.
    bool registerService(const QString& name, QString* error);
    // Also accepts clients on 127.0.0.1:port (0 picks a free port; see
    // tcpPort). A random token is written to tcpTokenPath(port); a TCP
    // client must send "AUTH token" before anything else, so that only the
    // user running the server can use the port.
    bool listenTcp(quint16 port, QString* error);
    // Closes the listeners and every conversation; the socket file is removed.
    void unregisterService();

    QString serviceName() const { return m_serviceName; }
    QString socketPath() const { return m_socketPath; }
    quint16 tcpPort() const;

    void setLimits(const ServerLimits& limits) { m_limits = limits; }
    const ServerLimits& limits() const { return m_limits; }
    void setPokeHandler(PokeHandler handler) { m_pokeHandler = std::move(handler); }

    // Topics. Adding an existing topic does nothing. Removing one closes its
    // conversations; their clients are told before the link closes.
    void addTopic(const QString& topic);
    void removeTopic(const QString& topic);
    bool hasTopic(const QString& topic) const;
    QStringList topics() const;

    // Items. createItem returns false when the topic does not exist; for an
    // existing item it acts as setItem. removeItem drops the item's advise
    // links. setItem stores the value and, when it differs from the held one, pushes it
    // on hot links and sends a notice on warm links; false when there is no
    // such item.
    bool createItem(const QString& topic, const QString& item, const QString& value);
    void removeItem(const QString& topic, const QString& item);
    bool setItem(const QString& topic, const QString& item, const QString& value);
    bool hasItem(const QString& topic, const QString& item) const;
    QString item(const QString& topic, const QString& item) const; // empty when missing
    QByteArray itemBytes(const QString& topic, const QString& item) const;
    QStringList items(const QString& topic) const;

    // Pokes value into an item as a client does: the item takes the value
    // (links and listeners hear of it), then the poke handler runs. Returns
    // the empty text when the poke was taken, otherwise why not (no such
    // topic or item, or the handler's refusal). Every poke goes this way,
    // those of the link clients included. The handler may run nested event
    // loops; the server may be gone when this returns.
    QString poke(const QString& topic, const QString& item, const QByteArray& value);

    int adviseLinkCount(const QString& topic, const QString& item) const;
    int conversationCount() const { return int(m_conversations.size()); }

signals:
    void linkError(const QString& topic, const QString& item, int code);
    // Every value an item takes, in the server's spelling of topic and item:
    // a new item's first value, a changed value set by the server, a poked
    // value. A value equal to the held one is not repeated. Listeners beside
    // the link clients (the MQTT bridge, the trend window) take values here.
    void itemChanged(const QString& topic, const QString& item, const QByteArray& value);
    // A new item, before its first value is told through itemChanged.
    void itemCreated(const QString& topic, const QString& item);
    void itemRemoved(const QString& topic, const QString& item);
    // A removed topic, with the items it held.
    void topicRemoved(const QString& topic, const QStringList& items);
    void conversationCountChanged(int count);
    // A listener could not take a connection (the process is out of file
    // handles, for one): said once when it starts, and once more when
    // connections are taken again. The listeners stay open meanwhile and
    // try again after a pause.
    void listenerTrouble(const QString& text);

private:
    friend class Conversation;
    struct Link {
        Conversation* conv;
        bool hot;
        QByteArray itemName; // as the client spelled it
    };
    struct ItemRec {
        QString name;
        QByteArray value;
        QList<Link> links;
    };
    struct TopicRec {
        QString name;
        QHash<QString, ItemRec> items;
        QList<Conversation*> conversations;
    };

    // The case-folded name that indexes topics and items. A name already in
    // folded form (plain ASCII without capitals) is shared, not copied: the
    // server's own topics pass their items that way at every value.
    static QString key(const QString& name);
    // A socket the listeners accepted: refused at once with a reason when
    // the conversation caps are reached, otherwise a new conversation.
    void acceptSocket(int fd, bool tcp);
    int authenticatedCount() const;
    // Queues a conversation with input for the next turn.
    void wake(Conversation* conv, bool servedLastTurn);
    void serveTurn();
    void pushValue(const QString& topicKey, ItemRec& item);
    void dropConversation(Conversation* conv);
    void dropLinks(Conversation* conv);
    TopicRec* topicRec(const QString& topic);
    ItemRec* itemRec(const QString& topic, const QString& item);

    ServerLimits m_limits;
    PokeHandler m_pokeHandler;
    QString m_serviceName;
    QString m_socketPath;
    int m_lockFd = -1;
    Listener* m_local = nullptr;
    Listener* m_tcp = nullptr;
    quint16 m_tcpPort = 0;
    QByteArray m_tcpToken;
    QHash<QString, TopicRec> m_topics;
    QList<Conversation*> m_conversations;
    // Conversations with input waiting for a turn: those that have just
    // woken, then those served in the previous turn.
    QList<QPointer<Conversation>> m_fresh;
    QList<QPointer<Conversation>> m_again;
    QTimer m_turn;
    SocketSet* m_sockets; // the conversations' sockets
};

} // namespace ddeml
