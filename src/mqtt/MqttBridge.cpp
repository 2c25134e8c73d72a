#include "MqttBridge.h"

#include "core/Server.h"
#include "dde/DdeServer.h"
#include "log/LogCategory.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Server.h" // ddeml::Server (platform/ddeml)

#include <QDeadlineTimer>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

  connect(&m_link, &ddeml::Server::itemChanged, this,
          [this](const QString& topic, const QString& item, const QByteArray& value) {
            publish(m_cfg.valueTopic(topic, item), value, true, true);
          });
  connect(&m_link, &ddeml::Server::itemRemoved, this, [this](const QString& topic, const QString& item) {
    publish(m_cfg.valueTopic(topic, item), {}, true, true);
  });
  connect(&m_link, &ddeml::Server::topicRemoved, this, [this](const QString& topic, const QStringList& items) {
    for (const QString& item : items)
      publish(m_cfg.valueTopic(topic, item), {}, true, true);
  });
  connectToBroker(true);
}

MqttBridge::~MqttBridge()
{
  if (!m_mosq)
    return;
  if (m_connected) {
    publish(m_cfg.stateTopic(), "offline", true);
    flush(true);
    mosquitto_disconnect(m_mosq);
    // What is still queued goes out before the socket closes; a broker that
    // does not take it within a second is not waited for.
    QDeadlineTimer deadline(1000);
    while (mosquitto_socket(m_mosq) >= 0 && mosquitto_want_write(m_mosq) && !deadline.hasExpired())
      if (mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS)
        break;
  }
  dropSocket();
  mosquitto_destroy(m_mosq);
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
    rc = mosquitto_loop_write(m_mosq, 1);
  else
    rc = mosquitto_loop_misc(m_mosq);
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
  m_connected = false;
  dropSocket();
  if (wasConnected || !m_lostSaid) {
    const QString where = QStringLiteral("%1:%2").arg(m_cfg.host).arg(m_cfg.port);
    log(wasConnected || m_everConnected
          ? QStringLiteral("MQTT bridge lost the broker at %1 (%2); reconnecting").arg(where, reason)
          : QStringLiteral("MQTT bridge cannot reach the broker at %1 (%2); retrying").arg(where, reason));
    m_lostSaid = true;
  }
  if (wasConnected) {
    m_retryDelay = 1;
    emit connectedChanged(false);
  } else {
    m_retryDelay = std::min(m_retryDelay * 2, kMaxRetrySeconds);
  }
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
  // What the client sends again of the last connection is not counted:
  // its acknowledgements only bring the count down to zero earlier.
  m_unacked = 0;
  m_retryDelay = 1;
  m_lostSaid = false;
  const QString where = QStringLiteral("%1:%2").arg(m_cfg.host).arg(m_cfg.port);
  log(m_everConnected ? QStringLiteral("MQTT bridge reconnected to %1").arg(where)
                      : QStringLiteral("MQTT bridge connected to %1, publishing under %2").arg(where, m_cfg.base()));
  m_everConnected = true;
  mosquitto_subscribe(m_mosq, nullptr, m_cfg.setFilter().toUtf8().constData(), m_cfg.qos);
  publish(m_cfg.stateTopic(), "online", true);
  republishAll();
  emit connectedChanged(true);
}

// Every item's current value: a broker that restarted without its store, or
// values that changed while the broker was away, are brought up to date.
void MqttBridge::republishAll()
{
  for (const QString& topic : m_link.topics())
    for (const QString& item : m_link.items(topic))
      publish(m_cfg.valueTopic(topic, item), m_link.itemBytes(topic, item), true, true);
}

void MqttBridge::publish(const QString& topic, const QByteArray& payload, bool retain, bool value)
{
  QByteArray t = topic.toUtf8();
  if (value) {
    const auto waiting = m_queuedValue.constFind(t);
    if (waiting != m_queuedValue.constEnd()) {
      m_queue[size_t(*waiting - m_queueHead)].payload = payload;
      return;
    }
    m_queuedValue.insert(t, m_queueHead + qint64(m_queue.size()));
  }
  m_queue.push_back({std::move(t), payload, retain, value});
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

// Hands the waiting messages to the client while the window has room and
// writes them; all: every message, without writing (the caller drains).
void MqttBridge::flush(bool all)
{
  if (!m_connected)
    return;
  const bool acknowledged = m_cfg.qos > 0;
  if (!all && !acknowledged && mosquitto_want_write(m_mosq))
    return updateWriteWatch();
  while (!m_queue.empty() && (all || !acknowledged || m_unacked < kWindow)) {
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
  if (!all)
    checkSocket(mosquitto_loop_write(m_mosq, 1));
}

void MqttBridge::onPublish(mosquitto*, void* self, int)
{
  auto* b = static_cast<MqttBridge*>(self);
  b->m_unacked = std::max(0, b->m_unacked - 1);
}

void MqttBridge::onMessage(mosquitto*, void* self, const mosquitto_message* msg)
{
  auto* b = static_cast<MqttBridge*>(self);
  Write w;
  w.mqttTopic = QString::fromUtf8(msg->topic);
  if (!b->m_cfg.parseSetTopic(w.mqttTopic, w.topic, w.item))
    return;
  w.value = QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen);
  w.retained = msg->retain;
  b->m_writes.append(w);
  // Carried out outside the client library's callback: a poke may wait for
  // the instrument in a nested event loop, during which the socket is read
  // again.
  if (b->m_writes.size() == 1)
    QMetaObject::invokeMethod(b, &MqttBridge::runWrites, Qt::QueuedConnection);
}

// Writes are carried out one after the other, in the order they came; one
// that waits for the instrument holds the following ones.
void MqttBridge::runWrites()
{
  if (m_writing)
    return;
  m_writing = true;
  QPointer<MqttBridge> self(this);
  while (!m_writes.isEmpty()) {
    const Write w = m_writes.takeFirst();
    QString result;
    // A retained write would be carried out again at every reconnection.
    if (w.retained)
      result = QStringLiteral("refused: a retained write is not carried out (publish without retain)");
    else if (!m_s.dde)
      result = QStringLiteral("refused: the server is shutting down");
    else
      result = m_s.dde->PokeOverMqtt(w.topic, w.item, w.value);
    if (!self)
      return;
    publish(MqttConfig::resultTopic(w.mqttTopic.chopped(4)), result.isEmpty() ? QByteArray("OK") : result.toUtf8(),
            false);
  }
  m_writing = false;
}

}
