#pragma once
// Client side of the client link layer. Synchronous calls on a plain socket:
// usable from a program with a Qt event loop (the calls block only for their
// time-out) and from one without (tesmira-dde). One Client object is one
// conversation with one (service, topic); it is not shared between threads.
//
// Every call returns false on failure and then error() / errorString() say
// why. Advise data that arrives while a call waits for its reply is kept in
// order and handed out by nextAdvise().

#include <QByteArray>
#include <QString>

#include <deque>
#include <memory>

namespace ddeml {

class FrameReader;

enum class ClientError {
    None,
    NoService,       // no server listens under that name (or port)
    NoTopic,         // the server has no such topic
    NoItem,          // the topic has no such item
    NotAdvised,      // unadvise of an item without a link
    BadFormat,       // a format other than text was asked for
    NoFreeLink,      // the item has no free advise link
    PokeFailed,      // the server did not accept the poked value
    ExecuteRefused,  // execute transactions are always refused
    Refused,         // any other refusal by the server (errorString has its text)
    TopicClosed,     // the server removed the topic; the conversation is over
    Timeout,         // no reply within the time-out
    ConnectionLost,  // the link broke
    Protocol,        // the peer sent something this side does not understand
    NotConnected,    // the call needs a conversation
};

enum class AdviseMode { Hot, Warm };

struct AdviseEvent {
    enum class Kind {
        Data,    // hot link: value holds the new value
        Changed, // warm link: the item changed; request it to read it
        Closed,  // the server ended the conversation (topic removed, link lost)
    };
    Kind kind = Kind::Data;
    QString item;
    QByteArray value;
};

class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Opens a conversation on (service, topic) through the service's Unix
    // socket, found without regard to case. Fails at once with NoService
    // when nothing listens under that name.
    bool connect(const QString& service, const QString& topic, int timeoutMs = 5000);
    // The same over TCP to 127.0.0.1:port, first showing the token the
    // server wrote for this user (tcpTokenPath); fails with NoService when
    // there is no token file for that port.
    bool connectTcp(quint16 port, const QString& service, const QString& topic, int timeoutMs = 5000);
    void disconnect();
    bool isConnected() const { return m_fd >= 0; }

    // Current value of an item. format other than "TEXT" is refused by the
    // server (BadFormat); it exists so that clients can be checked against that.
    bool request(const QString& item, QByteArray* value, int timeoutMs = 5000,
                 const QByteArray& format = "TEXT");
    bool request(const QString& item, QString* value, int timeoutMs = 5000);
    // Starts (or changes) an advise link. A hot link delivers the current
    // value at once and every new one after; a warm link delivers notices.
    bool advise(const QString& item, AdviseMode mode, int timeoutMs = 5000);
    bool unadvise(const QString& item, int timeoutMs = 5000);
    // Returns once the server has handled the poked value.
    bool poke(const QString& item, const QByteArray& value, int timeoutMs = 5000);
    bool poke(const QString& item, const QString& value, int timeoutMs = 5000);
    // Always refused by our server (ExecuteRefused); offered for completeness.
    bool execute(const QByteArray& command, int timeoutMs = 5000);

    // Next advise event; waits up to timeoutMs (-1: without limit). Returns
    // false on time-out or when interrupted by a signal (error() Timeout),
    // or when the conversation is over and every event has been handed out.
    bool nextAdvise(AdviseEvent* event, int timeoutMs);
    int pendingAdvise() const { return int(m_events.size()); }
    // The socket, for programs that want to wait on it themselves
    // (e.g. with QSocketNotifier); call nextAdvise(…, 0) when it is readable.
    int socketDescriptor() const { return m_fd; }

    ClientError error() const { return m_error; }
    QString errorString() const { return m_errorString; }

private:
    struct Reply {
        QByteArray verb;
        QByteArray token;
        QString text;
        QByteArray payload;
    };
    bool openUnix(const QString& path, int timeoutMs);
    bool openTcp(quint16 port, int timeoutMs);
    bool handshake(const QString& service, const QString& topic, int timeoutMs, const QByteArray& token = {});
    bool sendAll(const QByteArray& bytes, qint64 deadline);
    bool transact(const QByteArray& message, Reply* reply, int timeoutMs);
    // Reads until one message is whole; advise messages go to the queue and
    // reading continues when wantReply is true.
    bool readMessage(Reply* reply, qint64 deadline, bool wantReply);
    bool fillBuffer(qint64 deadline);
    void fail(ClientError e, const QString& text);
    void failFromReply(const Reply& r);

    int m_fd = -1;
    std::unique_ptr<FrameReader> m_reader;
    std::deque<AdviseEvent> m_events;
    bool m_closedSeen = false;
    ClientError m_error = ClientError::None;
    QString m_errorString;
};

// One request on a fresh conversation, as the server's single-instance
// check needs it. Returns false (value untouched) when there is no such
// service, topic or item, or on time-out; a missing service fails at once.
bool Request(const QString& service, const QString& topic, const QString& item, int timeoutMs,
             QString* value);

} // namespace ddeml
