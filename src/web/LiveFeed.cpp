#include "LiveFeed.h"

#include "Server.h" // ddeml::Server (platform/ddeml)

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

namespace tesmira {

namespace {

QString keyOf(const QString& topic, const QString& item) { return (topic + '/' + item).toCaseFolded(); }

}

LiveFeed::LiveFeed(ddeml::Server& link, QObject* parent) : QObject(parent), m_link(link)
{
  connect(&m_link, &ddeml::Server::itemChanged, this,
          [this](const QString& topic, const QString& item, const QByteArray& value) {
            queue(topic, item, value, false);
          });
  connect(&m_link, &ddeml::Server::itemRemoved, this,
          [this](const QString& topic, const QString& item) { queue(topic, item, {}, true); });
  connect(&m_link, &ddeml::Server::topicRemoved, this, [this](const QString& topic, const QStringList& items) {
    for (const QString& item : items)
      queue(topic, item, {}, true);
  });
}

LiveFeed::~LiveFeed()
{
  for (auto& c : m_clients) {
    c->socket->disconnect(this);
    c->socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("the server stops"));
  }
}

void LiveFeed::add(std::unique_ptr<QWebSocket> socket)
{
  auto c = std::make_unique<Client>();
  c->socket = std::move(socket);
  QWebSocket* ws = c->socket.get();
  ws->setParent(nullptr);
  // A message is taken whole before it can be judged: a longer one than a
  // refused one can be (kMaxMessage characters, 3 bytes each) closes the
  // connection (1009) instead of filling the memory.
  ws->setMaxAllowedIncomingMessageSize(quint64(kMaxMessage) * 3 + 1024);
  ws->setMaxAllowedIncomingFrameSize(quint64(kMaxMessage) * 3 + 1024);
  Client* raw = c.get();
  m_clients.push_back(std::move(c));
  connect(ws, &QWebSocket::textMessageReceived, this, [this, raw](const QString& text) { received(raw, text); });
  connect(ws, &QWebSocket::binaryMessageReceived, this, [this, ws] {
    ws->sendTextMessage(QStringLiteral("{\"error\":\"send JSON text messages\"}"));
  });
  // Values held back for a slow client go out once it has taken the rest.
  connect(ws, &QWebSocket::bytesWritten, this, [this, raw] {
    if (!raw->pending.isEmpty())
      scheduleFlush();
  });
  connect(ws, &QWebSocket::disconnected, this, [this, ws] { drop(ws); });
}

LiveFeed::Client* LiveFeed::find(QWebSocket* socket)
{
  for (auto& c : m_clients)
    if (c->socket.get() == socket)
      return c.get();
  return nullptr;
}

void LiveFeed::drop(QWebSocket* socket)
{
  for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
    if ((*it)->socket.get() != socket)
      continue;
    // The socket may be the sender of the signal that drops it.
    QWebSocket* ws = (*it)->socket.release();
    ws->disconnect(this);
    ws->deleteLater();
    m_clients.erase(it);
    return;
  }
}

void LiveFeed::received(Client* c, const QString& text)
{
  auto refuse = [&](const QString& reason) {
    c->socket->sendTextMessage(
      QString::fromUtf8(QJsonDocument(QJsonObject{{"error", reason}}).toJson(QJsonDocument::Compact)));
  };
  if (text.size() > kMaxMessage)
    return refuse(QStringLiteral("the message is longer than %1 characters").arg(kMaxMessage));
  QJsonParseError pe;
  const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &pe);
  if (pe.error != QJsonParseError::NoError || !doc.isObject())
    return refuse(QStringLiteral("the message is not a JSON object"));
  const QJsonObject o = doc.object();
  const bool subscribe = o.contains(QLatin1String("subscribe"));
  const QJsonValue list = o.value(subscribe ? QLatin1String("subscribe") : QLatin1String("unsubscribe"));
  if (!list.isArray() || (subscribe && o.contains(QLatin1String("unsubscribe"))))
    return refuse(QStringLiteral("the message holds neither \"subscribe\" nor \"unsubscribe\" with a list of names"));
  QStringList names;
  for (const QJsonValue& v : list.toArray()) {
    if (!v.isString() || v.toString().isEmpty() || v.toString().count(QLatin1Char('/')) > 1)
      return refuse(QStringLiteral("a name is neither \"topic\" nor \"topic/item\""));
    names << v.toString();
  }
  if (!subscribe) {
    for (const QString& n : names) {
      c->topics.remove(n.toCaseFolded());
      c->items.remove(n.toCaseFolded());
    }
    return;
  }
  if (c->topics.size() + c->items.size() + names.size() > kMaxSubscriptions)
    return refuse(QStringLiteral("too many subscriptions (at most %1)").arg(kMaxSubscriptions));
  for (const QString& n : names) {
    const qsizetype slash = n.indexOf(QLatin1Char('/'));
    const QString topic = slash < 0 ? n : n.left(slash);
    if (slash < 0)
      c->topics.insert(n.toCaseFolded());
    else
      c->items.insert(n.toCaseFolded());
    // The current values first, in the server's spelling. A topic that does
    // not exist yet (the communication is closed) is followed once it does.
    QString spelled = topic;
    for (const QString& t : m_link.topics())
      if (t.compare(topic, Qt::CaseInsensitive) == 0)
        spelled = t;
    for (const QString& item : m_link.items(spelled))
      if (slash < 0 || item.compare(n.mid(slash + 1), Qt::CaseInsensitive) == 0)
        queueFor(*c, keyOf(spelled, item), spelled, item, m_link.itemBytes(spelled, item), false);
  }
}

void LiveFeed::queue(const QString& topic, const QString& item, const QByteArray& value, bool removed)
{
  // Names are folded once for all the clients.
  const QString t = topic.toCaseFolded();
  const QString key = keyOf(topic, item);
  for (auto& c : m_clients)
    if (c->topics.contains(t) || c->items.contains(key))
      queueFor(*c, key, topic, item, value, removed);
}

void LiveFeed::queueFor(Client& c, const QString& key, const QString& topic, const QString& item,
                        const QByteArray& value, bool removed)
{
  auto it = c.pending.find(key);
  if (it != c.pending.end()) {
    it->value = value;
    it->removed = removed;
  } else {
    c.pending.insert(key, {topic, item, value, removed});
    c.order.append(key);
  }
  scheduleFlush();
}

void LiveFeed::scheduleFlush()
{
  // Once the events at hand are handled. Not a zero timer: that waits for
  // an idle event loop, which a busy bus does not leave.
  if (m_flushPosted)
    return;
  m_flushPosted = true;
  QMetaObject::invokeMethod(this, [this] {
    m_flushPosted = false;
    flush();
  }, Qt::QueuedConnection);
}

void LiveFeed::flush()
{
  for (auto& c : m_clients) {
    if (c->pending.isEmpty() || c->socket->bytesToWrite() > kMaxBacklog)
      continue;
    QJsonArray values;
    for (const QString& key : std::as_const(c->order)) {
      const Client::Value& v = c->pending[key];
      values.append(QJsonObject{{"topic", v.topic},
                                {"item", v.item},
                                {"value", v.removed ? QJsonValue() : QJsonValue(QString::fromUtf8(v.value))}});
    }
    c->pending.clear();
    c->order.clear();
    c->socket->sendTextMessage(QString::fromUtf8(QJsonDocument(values).toJson(QJsonDocument::Compact)));
  }
}

}
