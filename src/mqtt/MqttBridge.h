#pragma once
#include "MqttConfig.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QHash>
#include <QString>
#include <deque>
#include <memory>

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;

// Puts every item value of the link service on an MQTT broker and takes
// writes from it (layout in MqttConfig and docs/mqtt.md).
//
// Values come from the link server's itemChanged / itemRemoved /
// topicRemoved signals, so every value that reaches an item is published
// once, retained; removed items and topics have their retained messages
// cleared. A message on ".../<topic>/<item>/set" is poked into the item
// along the link clients' poke path (DdeServer::PokeOverMqtt) and its
// outcome published on ".../result". "$state" says "online", and the broker
// says "offline" for us (last will) when the server dies.
//
// The client runs on the main thread inside the Qt event loop: its socket
// is watched by QSocketNotifiers and a timer does the keep-alive; there is
// no thread of its own. When the broker goes away the bridge reconnects with
// a growing pause (1 s doubling to 30 s) and, once back, publishes every
// item's current value again.
//
// Messages wait in the bridge's own queue and go out together once per
// event-loop turn, at most kWindow of them unacknowledged by the broker at
// a time. While a value waits, a newer value of the same item takes its
// place: a broker that falls behind gets each item's latest value instead
// of a backlog that grows without end.
class MqttBridge : public QObject {
  Q_OBJECT
public:
  // Reads [MQTT] from program.ini. Null when Enabled is off or the settings
  // are wrong (the reason is a console line); otherwise a bridge that is
  // connecting.
  static std::unique_ptr<MqttBridge> fromSettings(Server& s);

  MqttBridge(Server& s, ddeml::Server& link, const MqttConfig& config);
  // Says "offline" on $state, sends what is queued and disconnects.
  ~MqttBridge() override;

  const MqttConfig& config() const { return m_cfg; }
  bool isConnected() const { return m_connected; }

signals:
  void connectedChanged(bool connected);

private:
  static void onConnect(mosquitto*, void* self, int rc);
  static void onMessage(mosquitto*, void* self, const mosquitto_message* msg);
  static void onPublish(mosquitto*, void* self, int mid);

  void connectToBroker(bool first);
  void watchSocket();
  void dropSocket();
  void brokerLost(const QString& reason);
  void pump(int what);
  void checkSocket(int rc);
  void updateWriteWatch();
  void connected();
  // Queues a message; value (an item's retained value) may be replaced by a
  // newer one of the same topic while it waits.
  void publish(const QString& topic, const QByteArray& payload, bool retain, bool value = false);
  void flush(bool all = false);
  void republishAll();
  void runWrites();
  void log(const QString& text);

  struct Write {
    QString mqttTopic;
    QString topic;
    QString item;
    QByteArray value;
    bool retained;
  };

  Server& m_s;
  ddeml::Server& m_link;
  MqttConfig m_cfg;
  mosquitto* m_mosq = nullptr;
  QSocketNotifier* m_read = nullptr;
  QSocketNotifier* m_write = nullptr;
  QTimer* m_misc = nullptr;
  QTimer* m_retry = nullptr;
  int m_retryDelay = 1; // seconds
  bool m_connected = false;
  bool m_everConnected = false;
  bool m_lostSaid = false;
  QString m_refusal; // the broker's reason for refusing the connection
  QDeadlineTimer m_connectDeadline;
  QList<Write> m_writes;
  bool m_writing = false;

  struct Message {
    QByteArray topic;
    QByteArray payload;
    bool retain = false;
    bool value = false;
  };
  std::deque<Message> m_queue;
  qint64 m_queueHead = 0;               // sequence number of m_queue.front()
  QHash<QByteArray, qint64> m_queuedValue; // value topic -> its sequence number
  int m_unacked = 0;                    // handed to the client, not yet acknowledged
  bool m_flushPosted = false;
};

}
