#include "MqttBridge.h"

#include "core/Server.h"
#include "dde/DdeServer.h"
#include "dde/ServerTopic.h"
#include "dde/SystemTopic.h"
#include "dde/frmTopic.h"
#include "log/LogCategory.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Server.h" // ddeml::Server (platform/ddeml)

#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <utility>

namespace tesmira {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr int kMaxRetrySeconds = 30;
constexpr int kConnectTimeoutSeconds = 10;
// Messages handed to the client and not yet acknowledged by the broker (QoS
// 1 and 2); the rest wait in the bridge's queue. Wide enough for a broker on
// the network to keep up with a busy bus, small enough that a value never
// waits long behind older ones. QoS 0 has no acknowledgement: there a batch
// waits until the previous one is written.
constexpr int kWindow = 1000;
// After another client with our id took the connection over: long enough
// that two servers sharing an id do not throw each other off every second.
constexpr int kTakeOverRetrySeconds = 60;
// The goodbye waits this long at most for the broker's acknowledgements.
constexpr int kGoodbyeMs = 3000;
// A connection the broker ends sooner than this after accepting it counts
// towards a take-over.
constexpr int kShortConnectionMs = 10000;
// How long the sweep of stale retained values waits for the broker.
constexpr int kSweepSeconds = 10;

// The server topic's screen counters: they change with every message on the
// bus and mean nothing outside the main window.
bool isCounter(const QString& item)
{
  return item.compare(QLatin1String("lblPendingMsg"), Qt::CaseInsensitive) == 0 ||
         item.compare(QLatin1String("lblAmount"), Qt::CaseInsensitive) == 0 ||
         item.compare(QLatin1String("lblError"), Qt::CaseInsensitive) == 0;
}

bool isDiscovery(const QString& topic, const QString& item)
{
  return SystemTopic::isDiscoveryItem(topic, item);
}

bool isServerTopic(const QString& topic)
{
  return topic.compare(ServerTopic::topicName(), Qt::CaseInsensitive) == 0;
}

// A value as MQTT carries it: valid UTF-8 without control characters. Tabs
// and line ends become blanks, other control characters go.
QByteArray cleanText(const QByteArray& raw)
{
  bool plain = true;
  for (char c : raw)
    if (uchar(c) < 0x20 || uchar(c) >= 0x7F) {
      plain = false;
      break;
    }
  if (plain)
    return raw;
  QString text = QString::fromUtf8(raw);
  QString out;
  out.reserve(text.size());
  for (QChar c : text) {
    if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
      out += QLatin1Char(' ');
    else if (c.unicode() >= 0x20 && c.unicode() != 0x7F && !(c.unicode() >= 0x80 && c.unicode() < 0xA0))
      out += c;
  }
  return out.toUtf8();
}

bool numericType(const ItemInfo& in)
{
  return in.datatype == QLatin1String("integer") || in.datatype == QLatin1String("float");
}

QString errorText(int rc)
{
  if (rc == MOSQ_ERR_ERRNO)
    return QString::fromLocal8Bit(strerror(errno));
  return QString::fromUtf8(mosquitto_strerror(rc));
}

}

std::unique_ptr<MqttBridge> MqttBridge::fromSettings(Server& s)
{
  if (!s.setting() || !s.dde)
    return nullptr;
  MqttConfig cfg;
  const QString error = MqttConfig::read(*s.setting(), cfg);
  if (!cfg.enabled)
    return nullptr;
  if (!error.isEmpty()) {
    s.LogMessage(Error, QStringLiteral("MQTT bridge not started: ") + error);
    return nullptr;
  }
  return std::make_unique<MqttBridge>(s, s.dde->link(), cfg);
}

MqttBridge::MqttBridge(Server& s, ddeml::Server& link, const MqttConfig& config)
    : m_s(s), m_link(link), m_cfg(config)
{
  static const int initialised = mosquitto_lib_init();
  Q_UNUSED(initialised);
  m_mosq = mosquitto_new(m_cfg.clientId.toUtf8().constData(), true, this);
  if (!m_mosq) {
    log(QStringLiteral("MQTT bridge not started: no MQTT client (%1)").arg(QString::fromLocal8Bit(strerror(errno))));
    return;
  }
  mosquitto_connect_callback_set(m_mosq, &MqttBridge::onConnect);
  mosquitto_message_callback_set(m_mosq, &MqttBridge::onMessage);
  mosquitto_publish_callback_set(m_mosq, &MqttBridge::onPublish);
  // The bridge keeps its own window (kWindow); the client holds nothing back.
  mosquitto_max_inflight_messages_set(m_mosq, 0);
  // A publish only queues in the client; flush() writes what a turn of the
  // event loop published at once.
  mosquitto_threaded_set(m_mosq, true);
  // Batches are written whole; small segments held back until the broker
  // acknowledged the previous ones would only delay the next batch.
  mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
  const QByteArray state = m_cfg.stateTopic().toUtf8();
  mosquitto_will_set(m_mosq, state.constData(), 7, "offline", m_cfg.qos, true);
  if (!m_cfg.username.isEmpty())
    mosquitto_username_pw_set(m_mosq, m_cfg.username.toUtf8().constData(),
                              m_cfg.password.isEmpty() ? nullptr : m_cfg.password.toUtf8().constData());
  if (!m_cfg.caFile.isEmpty()) {
    const int rc = mosquitto_tls_set(m_mosq, m_cfg.caFile.toLocal8Bit().constData(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      log(QStringLiteral("MQTT bridge not started: CaFile %1: %2").arg(m_cfg.caFile, errorText(rc)));
      mosquitto_destroy(m_mosq);
      m_mosq = nullptr;
      return;
    }
  }

  m_misc = new QTimer(this);
  m_misc->setInterval(1000);
  connect(m_misc, &QTimer::timeout, this, [this] { pump(0); });
  m_retry = new QTimer(this);
  m_retry->setSingleShot(true);
  connect(m_retry, &QTimer::timeout, this, [this] { connectToBroker(false); });
  m_counterTimer = new QTimer(this);
  m_counterTimer->setInterval(1000);
  connect(m_counterTimer, &QTimer::timeout, this, &MqttBridge::publishCounters);

  connect(&m_link, &ddeml::Server::itemChanged, this, &MqttBridge::itemChanged);
  connect(&m_link, &ddeml::Server::itemRemoved, this, &MqttBridge::clearItem);
  connect(&m_link, &ddeml::Server::topicRemoved, this, [this](const QString& topic, const QStringList& items) {
    for (const QString& item : items)
      clearItem(topic, item);
  });
  if (m_s.dde) {
    connect(m_s.dde.get(), &DdeServer::pokeStarting, this, &MqttBridge::pokeStarting);
    connect(m_s.dde.get(), &DdeServer::pokeFinished, this,
            [this](const QString& topic, const QString& item) { pokeFinished(topic, item); });
  }
  // The items there already (the server topic).
  for (const QString& topic : m_link.topics())
    for (const QString& item : m_link.items(topic))
      itemChanged(topic, item, m_link.itemBytes(topic, item));
  connectToBroker(true);
}

MqttBridge::~MqttBridge()
{
  if (!m_mosq)
    return;
  if (m_connected)
    goodbye();
  dropSocket();
  mosquitto_destroy(m_mosq);
}

// Clears the channel values and their $meta, says "offline", sends all of it
// and waits until the broker has acknowledged it (QoS 1 and 2), then sends
// DISCONNECT: a broker that reads everything before the connection ends
// keeps nothing of a server that is gone. kGoodbyeMs bounds the whole.
void MqttBridge::goodbye()
{
  for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
    if (it->channel)
      publish(it.key(), {}, true, true);
  for (auto it = m_metas.cbegin(); it != m_metas.cend(); ++it)
    if (m_values.value(it.key()).channel || !m_values.contains(it.key()))
      publish(it.key() + "/$meta", {}, true, true);
  publish(m_cfg.stateTopic().toUtf8(), "offline", true);
  const QDeadlineTimer deadline(kGoodbyeMs);
  while (!deadline.hasExpired() && mosquitto_socket(m_mosq) >= 0) {
    flush(false);
    const bool writing = mosquitto_want_write(m_mosq);
    if (m_queue.empty() && m_unacked == 0 && !writing)
      break;
    pollfd p{mosquitto_socket(m_mosq), short(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, int(std::min<qint64>(deadline.remainingTime(), 100))) < 0 && errno != EINTR)
      break;
    if ((p.revents & POLLIN) && mosquitto_loop_read(m_mosq, 1) != MOSQ_ERR_SUCCESS)
      break;
    if ((p.revents & POLLOUT) && mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS)
      break;
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL))
      break;
  }
  if (mosquitto_socket(m_mosq) < 0)
    return;
  // The client closes the socket once DISCONNECT is written.
  mosquitto_disconnect(m_mosq);
  const QDeadlineTimer last(std::max<qint64>(deadline.remainingTime(), 200));
  while (mosquitto_socket(m_mosq) >= 0 && mosquitto_want_write(m_mosq) && !last.hasExpired()) {
    pollfd p{mosquitto_socket(m_mosq), POLLOUT, 0};
    ::poll(&p, 1, int(std::min<qint64>(last.remainingTime(), 100)));
    if (mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS)
      break;
  }
}

void MqttBridge::log(const QString& text)
{
  // Init lines reach the console whatever the echo options.
  m_s.LogMessage(Init, text);
}

// Starts a connection without waiting for it: the socket is watched and the
// broker's answer arrives through onConnect.
void MqttBridge::connectToBroker(bool first)
{
  const int rc = first ? mosquitto_connect_async(m_mosq, m_cfg.host.toUtf8().constData(), m_cfg.port,
                                                 kKeepAliveSeconds)
                       : mosquitto_reconnect_async(m_mosq);
  if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m_mosq) >= 0) {
    watchSocket();
    return;
  }
  brokerLost(errorText(rc));
}

void MqttBridge::watchSocket()
{
  dropSocket();
  const int fd = mosquitto_socket(m_mosq);
  m_read = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
  connect(m_read, &QSocketNotifier::activated, this, [this] { pump(1); });
  m_write = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
  connect(m_write, &QSocketNotifier::activated, this, [this] { pump(2); });
  m_misc->start();
  m_connectDeadline.setRemainingTime(kConnectTimeoutSeconds * 1000);
  updateWriteWatch();
}

void MqttBridge::dropSocket()
{
  // Notifiers may be the sender of the call that drops them.
  for (QSocketNotifier* n : {m_read, m_write})
    if (n) {
      n->setEnabled(false);
      n->deleteLater();
    }
  m_read = m_write = nullptr;
  if (m_misc)
    m_misc->stop();
}

// what: 0 keep-alive and retries, 1 the socket is readable, 2 writable.
void MqttBridge::pump(int what)
{
  int rc = MOSQ_ERR_SUCCESS;
  if (what == 1)
    rc = mosquitto_loop_read(m_mosq, 1);
  else if (what == 2)
    rc = writeQueued();
  else
    rc = mosquitto_loop_misc(m_mosq);
  if (what == 0 && m_connected) {
    checkQuality();
    if (!m_sweepMarker.isEmpty() && m_sweepDeadline.hasExpired()) {
      if (m_s.debug())
        m_s.debug()->LogMsg(QStringLiteral("MQTT"),
                            QStringLiteral("retained values not swept: the broker did not answer within %1 s")
                              .arg(kSweepSeconds));
      m_sweepSeen.clear();
      endSweep();
    }
  }
  if (rc == MOSQ_ERR_SUCCESS && !m_connected && m_connectDeadline.hasExpired())
    return brokerLost(QStringLiteral("no answer within %1 s").arg(kConnectTimeoutSeconds));
  // Acknowledgements read may have opened the window for waiting messages.
  if (rc == MOSQ_ERR_SUCCESS && m_connected && !m_queue.empty())
    return flush();
  checkSocket(rc);
}

void MqttBridge::checkSocket(int rc)
{
  if (mosquitto_socket(m_mosq) < 0 || rc != MOSQ_ERR_SUCCESS) {
    // A broker ends a working connection of its own accord when another
    // client connects with the same id; a broker that goes down is not
    // there to take us back, so only closings right after a connection
    // that the broker accepted count, and two of them in a row say it.
    if (m_connected) {
      const bool closed = rc == MOSQ_ERR_CONN_LOST || (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m_mosq) < 0);
      m_shortDrops = closed && m_connectedAt.elapsed() < kShortConnectionMs ? m_shortDrops + 1 : 0;
      m_takenOver = m_shortDrops >= 2;
    }
    QString reason = rc == MOSQ_ERR_SUCCESS ? QStringLiteral("the connection closed") : errorText(rc);
    if (!m_refusal.isEmpty())
      reason = std::exchange(m_refusal, QString());
    brokerLost(reason);
    return;
  }
  updateWriteWatch();
}

void MqttBridge::updateWriteWatch()
{
  if (m_write)
    m_write->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttBridge::brokerLost(const QString& reason)
{
  const bool wasConnected = m_connected;
  const bool takenOver = std::exchange(m_takenOver, false);
  m_connected = false;
  m_sweepMarker.clear();
  m_sweepSeen.clear();
  dropSocket();
  const QString where = QStringLiteral("%1:%2").arg(m_cfg.host).arg(m_cfg.port);
  if (takenOver) {
    // Said at every take-over: with the long pause that is at most once a
    // minute, and it names the fault to fix.
    log(QStringLiteral("MQTT bridge lost the broker at %1: another client with the id %2 took over the "
                       "connection; retrying in %3 s")
          .arg(where, m_cfg.clientId)
          .arg(kTakeOverRetrySeconds));
    m_lostSaid = true;
  } else if (wasConnected || !m_lostSaid) {
    log(wasConnected || m_everConnected
          ? QStringLiteral("MQTT bridge lost the broker at %1 (%2); reconnecting").arg(where, reason)
          : QStringLiteral("MQTT bridge cannot reach the broker at %1 (%2); retrying").arg(where, reason));
    m_lostSaid = true;
  }
  if (wasConnected)
    emit connectedChanged(false);
  if (takenOver) {
    m_retryDelay = kTakeOverRetrySeconds;
    m_shortDrops = 0;
  }
  else if (wasConnected)
    m_retryDelay = 1;
  else
    m_retryDelay = std::min(m_retryDelay * 2, std::max(kMaxRetrySeconds, m_retryDelay));
  m_retry->start(m_retryDelay * 1000);
}

void MqttBridge::onConnect(mosquitto*, void* self, int rc)
{
  auto* b = static_cast<MqttBridge*>(self);
  // A refusal (bad credentials, client id in use) fails the read that
  // brought it; brokerLost then names it.
  if (rc != 0)
    b->m_refusal = QString::fromUtf8(mosquitto_connack_string(rc));
  else
    b->connected();
}

void MqttBridge::connected()
{
  m_connected = true;
  m_connectedAt.start();
  // What the client sends again of the last connection is not counted:
  // its acknowledgements only bring the count down to zero earlier.
  m_unacked = 0;
  m_retryDelay = 1;
  m_lostSaid = false;
  const QString where = QStringLiteral("%1:%2").arg(m_cfg.host).arg(m_cfg.port);
  log(m_everConnected ? QStringLiteral("MQTT bridge reconnected to %1").arg(where)
                      : QStringLiteral("MQTT bridge connected to %1, publishing under %2").arg(where, m_cfg.base()));
  m_everConnected = true;
  for (const QString& filter : m_cfg.setFilters())
    mosquitto_subscribe(m_mosq, nullptr, filter.toUtf8().constData(), m_cfg.qos);
  startSweep();
  publish(m_cfg.stateTopic().toUtf8(), "online", true);
  republishAll();
  emit connectedChanged(true);
}

// Everything the broker should hold of ours: a broker that restarted
// without its store, or values that changed while the broker was away, are
// brought up to date. $meta before its value.
void MqttBridge::republishAll()
{
  for (auto it = m_metas.cbegin(); it != m_metas.cend(); ++it)
    publish(it.key() + "/$meta", it.value(), true, true);
  for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
    publish(it.key(), it->payload, true, true);
}

// ---------------------------------------------------------------- sweep

// Subscribes to the retained values and $meta under our base and sends a
// marker through the broker: every retained message comes before the
// marker returns. endSweep then clears those the server does not have.
void MqttBridge::startSweep()
{
  m_sweepSeen.clear();
  m_sweepMarker = (m_cfg.base() + QStringLiteral("/$sweep/") + m_cfg.clientId).toUtf8();
  m_sweepDeadline.setRemainingTime(kSweepSeconds * 1000);
  // QoS 0 throughout: the broker's queue limits for acknowledged messages
  // do not cut the retained messages short, and they keep their order
  // before the marker, which the client sends right after the
  // subscriptions.
  const QByteArray base = m_cfg.base().toUtf8();
  mosquitto_subscribe(m_mosq, nullptr, base + "/+/+", 0);
  mosquitto_subscribe(m_mosq, nullptr, base + "/+/+/$meta", 0);
  mosquitto_publish(m_mosq, nullptr, m_sweepMarker.constData(), 5, "sweep", 0, false);
}

void MqttBridge::endSweep()
{
  const QByteArray base = m_cfg.base().toUtf8();
  mosquitto_unsubscribe(m_mosq, nullptr, base + "/+/+");
  mosquitto_unsubscribe(m_mosq, nullptr, base + "/+/+/$meta");
  m_sweepMarker.clear();
  int cleared = 0;
  for (const QByteArray& topic : std::as_const(m_sweepSeen)) {
    const bool meta = topic.endsWith("/$meta");
    const QByteArray valueTopic = meta ? topic.chopped(6) : topic;
    if (valueTopic.startsWith(base + "/$"))
      continue;
    if (meta ? m_metas.contains(valueTopic) : m_values.contains(valueTopic))
      continue;
    publish(topic, {}, true, true);
    ++cleared;
  }
  m_sweepSeen.clear();
  if (cleared > 0 && m_s.debug())
    m_s.debug()->LogMsg(QStringLiteral("MQTT"),
                        QStringLiteral("cleared %1 retained messages of items the server does not have").arg(cleared));
}

// ---------------------------------------------------------------- values

void MqttBridge::itemChanged(const QString& topic, const QString& item, const QByteArray& value)
{
  m_haveCandidate = false;
  if (frmTopic* t = m_s.dde ? m_s.dde->topicByName(topic) : nullptr) {
    // A poke: published once it is carried out (pokeFinished). A
    // stand-in name: not a value at all.
    const int16_t index = frmTopic::parseIndex(item);
    if (!t->changing || index < 0 || !t->valued(index))
      return;
    return publishValue(topic, item, t, index, value);
  }
  if (!isServerTopic(topic) || isDiscovery(topic, item))
    return;
  const QByteArray vt = m_cfg.valueTopic(topic, item).toUtf8();
  if (isCounter(item)) {
    // At most once a second; the newest value at the end of the second.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - m_counterSent.value(vt) < 1000) {
      m_counterPending.insert(vt, value);
      if (!m_counterTimer->isActive())
        m_counterTimer->start();
      return;
    }
    m_counterSent.insert(vt, now);
    m_counterPending.remove(vt);
  }
  const auto old = m_values.constFind(vt);
  m_candidate.topic = vt;
  m_candidate.had = old != m_values.constEnd();
  m_candidate.before = m_candidate.had ? *old : Value{};
  publishValue(topic, item, nullptr, -1, value);
  m_haveCandidate = true;
}

void MqttBridge::publishCounters()
{
  const QHash<QByteArray, QByteArray> pending = std::exchange(m_counterPending, {});
  if (pending.isEmpty())
    m_counterTimer->stop();
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  const QString head = m_cfg.base() + QLatin1Char('/');
  for (auto it = pending.cbegin(); it != pending.cend(); ++it) {
    m_counterSent.insert(it.key(), now);
    const QString path = QString::fromUtf8(it.key()).mid(head.size());
    publishValue(path.section(QLatin1Char('/'), 0, 0), path.section(QLatin1Char('/'), 1), nullptr, -1, it.value());
  }
}

// topic/item's value, with its $meta first when the item has none yet.
void MqttBridge::publishValue(const QString& topic, const QString& item, frmTopic* t, int16_t index,
                              const QByteArray& value)
{
  const QByteArray vt = valueTopicOf(topic, item);
  // The identification string's first byte is the device type: metadata.
  QByteArray text = cleanText(t && t->channel > 0 && index == 1 ? value.mid(1) : value);
  const auto old = m_values.find(vt);
  if (old != m_values.end() && old->text == text && (t == nullptr || index != 1))
    return;
  if (old == m_values.end() || (t && (index == 1 || t->infoSource(index))))
    publishMeta(topic, item, t, index);
  if (t && t->infoSource(index))
    // A unit: other items' $meta show it.
    for (const QString& other : m_link.items(topic))
      if (other != item && m_metas.contains(m_cfg.valueTopic(topic, other).toUtf8()))
        publishMeta(topic, other, t, frmTopic::parseIndex(other));
  Value& v = m_values[vt];
  v.text = text;
  v.channel = t != nullptr;
  v.ts = m_cfg.json ? QDateTime::currentMSecsSinceEpoch() : 0;
  v.payload = m_cfg.json ? payloadOf(text, v.ts, v.numeric, v.polled || !v.channel) : text;
  publish(vt, v.payload, true, true);
}

void MqttBridge::publishMeta(const QString& topic, const QString& item, frmTopic* t, int16_t index)
{
  if (t && index < 0)
    return;
  const QByteArray vt = m_cfg.valueTopic(topic, item).toUtf8();
  const ItemInfo in = t ? t->info(index, true) : ItemInfo::plainText(item);
  QJsonObject o = in.toJson();
  o.insert("settable", refusal(topic, item).isEmpty() && (in.writable || !t));
  const QByteArray json = QJsonDocument(o).toJson(QJsonDocument::Compact);
  Value& v = m_values[vt]; // the value follows at once
  v.numeric = numericType(in);
  v.polled = in.polled;
  auto old = m_metas.find(vt);
  if (old != m_metas.end() && *old == json)
    return;
  m_metas.insert(vt, json);
  publish(vt + "/$meta", json, true, true);
}

void MqttBridge::clearItem(const QString& topic, const QString& item)
{
  const QByteArray vt = m_cfg.valueTopic(topic, item).toUtf8();
  if (m_values.remove(vt))
    publish(vt, {}, true, true);
  if (m_metas.remove(vt))
    publish(vt + "/$meta", {}, true, true);
  m_counterPending.remove(vt);
}

// The poked text has just reached the item and passed itemChanged: until
// the poke is carried out, the broker keeps the value it had.
void MqttBridge::pokeStarting(const QString& topic, const QString& item)
{
  if (!m_haveCandidate)
    return;
  m_haveCandidate = false;
  const QByteArray vt = m_cfg.valueTopic(topic, item).toUtf8();
  if (m_candidate.topic != vt)
    return;
  const QByteArray before = m_candidate.had ? m_candidate.before.payload : QByteArray();
  if (m_candidate.had)
    m_values.insert(vt, m_candidate.before);
  else
    m_values.remove(vt);
  publish(vt, before, true, true);
}

// The item's value after a poke: the poked text when it was carried out,
// the server's own when it was refused.
void MqttBridge::pokeFinished(const QString& topic, const QString& item)
{
  if (!m_link.hasItem(topic, item))
    return;
  const QByteArray value = m_link.itemBytes(topic, item);
  if (frmTopic* t = m_s.dde ? m_s.dde->topicByName(topic) : nullptr) {
    const int16_t index = frmTopic::parseIndex(item);
    if (index >= 0 && t->valued(index))
      publishValue(topic, item, t, index, value);
    return;
  }
  if (isServerTopic(topic) && !isDiscovery(topic, item))
    publishValue(topic, item, nullptr, -1, value);
}

QByteArray MqttBridge::payloadOf(const QByteArray& text, qint64 ts, bool numeric, bool polled) const
{
  QJsonObject o;
  bool ok = false;
  const double d = numeric ? text.trimmed().toDouble(&ok) : 0;
  if (ok && std::isfinite(d))
    o.insert("value", d);
  else
    o.insert("value", QString::fromUtf8(text));
  o.insert("ts", QDateTime::fromMSecsSinceEpoch(ts, Qt::UTC).toString(Qt::ISODateWithMs));
  o.insert("quality", m_busGood == 0 ? QStringLiteral("bad") : polled ? QStringLiteral("good") : QStringLiteral("stale"));
  return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool MqttBridge::busGood() const
{
  const ProcessState& st = m_s.state;
  return (st.CommOpen || st.SimulationOn) && st.BusLost.isEmpty();
}

// JSON payloads: at a change of the bus's state every channel value goes
// out once more with its new quality.
void MqttBridge::checkQuality()
{
  if (!m_cfg.json)
    return;
  const int good = busGood() ? 1 : 0;
  if (good == m_busGood)
    return;
  m_busGood = good;
  for (auto it = m_values.begin(); it != m_values.end(); ++it)
    if (it->channel) {
      it->payload = payloadOf(it->text, it->ts, it->numeric, it->polled);
      publish(it.key(), it->payload, true, true);
    }
}

// ---------------------------------------------------------------- queue

void MqttBridge::publish(const QByteArray& topic, const QByteArray& payload, bool retain, bool value)
{
  if (value) {
    const auto waiting = m_queuedValue.constFind(topic);
    if (waiting != m_queuedValue.constEnd()) {
      m_queue[size_t(*waiting - m_queueHead)].payload = payload;
      return;
    }
    m_queuedValue.insert(topic, m_queueHead + qint64(m_queue.size()));
  }
  m_queue.push_back({topic, payload, retain, value});
  // Once the events at hand are handled. Not a zero timer: that waits for
  // an idle event loop, which a busy bus does not leave.
  if (!m_flushPosted) {
    m_flushPosted = true;
    QMetaObject::invokeMethod(this, [this] {
      m_flushPosted = false;
      flush();
    }, Qt::QueuedConnection);
  }
}

// Hands the waiting messages to the client while the window has room (at
// QoS 0: when the previous batch is written) and, write, writes them.
void MqttBridge::flush(bool write)
{
  if (!m_connected)
    return;
  const bool acknowledged = m_cfg.qos > 0;
  if (!acknowledged && mosquitto_want_write(m_mosq))
    return write ? updateWriteWatch() : void();
  while (!m_queue.empty() && (!acknowledged || m_unacked < kWindow)) {
    Message msg = std::move(m_queue.front());
    m_queue.pop_front();
    ++m_queueHead;
    if (msg.value)
      m_queuedValue.remove(msg.topic);
    const int rc = mosquitto_publish(m_mosq, nullptr, msg.topic.constData(), int(msg.payload.size()),
                                     msg.payload.constData(), m_cfg.qos, msg.retain);
    if (rc == MOSQ_ERR_SUCCESS) {
      if (acknowledged)
        ++m_unacked;
    } else if (m_s.debug())
      m_s.debug()->LogMsg(QStringLiteral("Error"),
                          QStringLiteral("MQTT publish %1: %2").arg(QString::fromUtf8(msg.topic), errorText(rc)));
  }
  if (write)
    checkSocket(writeQueued());
}

// The client writes every queued message with a call of its own; corked,
// the kernel sends a turn's messages in full segments once the last is
// written, instead of one segment (and one transmit) per message.
int MqttBridge::writeQueued()
{
  const int fd = mosquitto_socket(m_mosq);
  const int on = 1, off = 0;
  if (fd >= 0)
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  const int rc = mosquitto_loop_write(m_mosq, 1);
  if (fd >= 0 && mosquitto_socket(m_mosq) == fd)
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  return rc;
}

const QByteArray& MqttBridge::valueTopicOf(const QString& topic, const QString& item)
{
  QHash<QString, QByteArray>& items = m_valueTopics[topic];
  auto it = items.find(item);
  if (it == items.end())
    it = items.insert(item, m_cfg.valueTopic(topic, item).toUtf8());
  return *it;
}

void MqttBridge::onPublish(mosquitto*, void* self, int)
{
  auto* b = static_cast<MqttBridge*>(self);
  b->m_unacked = std::max(0, b->m_unacked - 1);
}

// ---------------------------------------------------------------- writes

void MqttBridge::onMessage(mosquitto*, void* self, const mosquitto_message* msg)
{
  auto* b = static_cast<MqttBridge*>(self);
  const QByteArray topic(msg->topic);
  if (!b->m_sweepMarker.isEmpty() && !topic.endsWith("/set")) {
    if (topic == b->m_sweepMarker)
      b->endSweep();
    else if (msg->retain && msg->payloadlen > 0)
      b->m_sweepSeen.insert(topic);
    return;
  }
  Write w;
  w.mqttTopic = QString::fromUtf8(topic);
  if (!b->m_cfg.parseSetTopic(w.mqttTopic, w.topic, w.item)) {
    // Another depth: not a write of ours, whatever it looks like.
    if (topic.endsWith("/set") && b->m_s.debug())
      b->m_s.debug()->LogMsg(QStringLiteral("MQTT"), QStringLiteral("ignored %1 (not <topic>/<item>/set; %2 so far)")
                                                        .arg(w.mqttTopic.left(200))
                                                        .arg(++b->m_ignoredSets));
    return;
  }
  // An empty message is how a retained write is removed from the broker
  // (and reaches us as such): no write, nothing to answer.
  if (msg->payloadlen == 0)
    return;
  w.size = msg->payloadlen;
  // A value the link would not take is not even copied.
  if (w.size <= b->m_link.limits().maxValue)
    w.value = QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen);
  w.retained = msg->retain;
  // Carried out outside the client library's callback: a poke may wait for
  // the instrument in a nested event loop, during which the socket is read
  // again.
  b->m_writes.add(w);
}

// Why a /set of topic/item is refused before it reaches the item; empty
// when it may go on.
QString MqttBridge::refusal(const QString& topic, const QString& item) const
{
  if (isDiscovery(topic, item))
    return QStringLiteral("refused: %1/%2 is read-only (the server keeps it itself)").arg(topic, item);
  if (!m_cfg.mayWrite(topic, item))
    return QStringLiteral("refused: %1/%2 is not writable over MQTT (see [MQTT] Writable)").arg(topic, item);
  return {};
}

// One write; its result goes to the write's topic with /result for /set.
void MqttBridge::carryOut(const Write& w)
{
  const QPointer<MqttBridge> self(this);
  QString result;
  if (w.size > m_link.limits().maxValue)
    result = QStringLiteral("refused: the value has %1 bytes, more than the %2 an item takes")
               .arg(w.size)
               .arg(m_link.limits().maxValue);
  // A retained write would be carried out again at every reconnection.
  else if (w.retained)
    result = QStringLiteral("refused: a retained write is not carried out (publish without retain)");
  else if (!m_s.dde)
    result = QStringLiteral("refused: the server is shutting down");
  else if (result = refusal(w.topic, w.item); result.isEmpty())
    result = m_s.dde->PokeOverMqtt(w.topic, w.item, w.value);
  if (self)
    publish(MqttConfig::resultTopic(w.mqttTopic.chopped(4)).toUtf8(),
            result.isEmpty() ? QByteArray("OK") : result.toUtf8(), false);
}

}
