#pragma once
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class QWebSocket;

namespace ddeml {
class Server;
}

namespace tesmira {

// Live values over WebSockets (/api/live): a client subscribes to topics or
// single items and from then on gets every value they take, like an advise
// link.
//
// The client sends JSON texts:
//   {"subscribe": ["C(3)", "C(4)/P(8)"]}    a whole topic, or topic/item
//   {"unsubscribe": ["C(3)"]}
// and receives arrays of values, first the current value of everything it
// subscribed to, then each change:
//   [{"topic": "C(3)", "item": "P(8)", "value": "41.2"}, ...]
// ("value": null for an item that was removed), or {"error": "reason"} for
// a message it cannot take (nothing of that message is applied).
//
// Values come from the link server's itemChanged signal at the one place
// every value is published. Each client's values wait in a table by item
// and go out together once per event-loop turn; while the client has more
// than kMaxBacklog bytes not yet taken by the network, they keep waiting and
// a newer value of an item replaces the older one. A slow client thus loses
// intermediate values, never the newest, and costs a bounded amount of
// memory; polling never waits for it.
class LiveFeed : public QObject {
  Q_OBJECT
public:
  explicit LiveFeed(ddeml::Server& link, QObject* parent = nullptr);
  ~LiveFeed() override;

  // Takes a client whose handshake was accepted.
  void add(std::unique_ptr<QWebSocket> socket);
  int clientCount() const { return int(m_clients.size()); }

  static constexpr int kMaxSubscriptions = 1000;
  static constexpr qint64 kMaxBacklog = 256 * 1024;
  static constexpr qsizetype kMaxMessage = 64 * 1024;

private:
  struct Client {
    std::unique_ptr<QWebSocket> socket;
    QSet<QString> topics; // case-folded topic names
    QSet<QString> items;  // case-folded "topic/item"
    struct Value {
      QString topic;
      QString item;
      QByteArray value;
      bool removed = false;
    };
    QStringList order;             // keys of pending in arrival order
    QHash<QString, Value> pending; // case-folded "topic/item" -> its newest value
  };

  void received(Client* c, const QString& text);
  void queue(const QString& topic, const QString& item, const QByteArray& value, bool removed);
  // key: the case-folded "topic/item".
  void queueFor(Client& c, const QString& key, const QString& topic, const QString& item, const QByteArray& value,
                bool removed);
  void scheduleFlush();
  void flush();
  void drop(QWebSocket* socket);
  Client* find(QWebSocket* socket);

  ddeml::Server& m_link;
  std::vector<std::unique_ptr<Client>> m_clients;
  bool m_flushPosted = false;
};

}
