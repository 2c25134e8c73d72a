#pragma once
#include "MqttConfig.h"
#include "dde/WriteQueue.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
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
class frmTopic;

// Puts the item values of the link service on an MQTT broker and takes
// writes from it (layout in MqttConfig and docs/mqtt.md).
//
// Values come from the link server's itemChanged / itemRemoved /
// topicRemoved signals, filtered so that a value topic only ever carries
// values: a channel item is published once it holds a value the server set
// (never the name it shows before), a poke only once it was carried out
// (DdeServer::pokeStarting / pokeFinished), payloads without control
// characters (the identification string without its device-type byte,
// which goes into the item's $meta). Before an item's first value its
// retained "$meta" (what the item is) is published; removed items and
// topics have both cleared. The server topic's screen counters go out at
// most once a second; the discovery items are not published.
//
// A message on ".../<topic>/<item>/set" is checked (size, retain flag,
// Writable, discovery items) and poked into the item along the link
// clients' poke path (DdeServer::PokeOverMqtt); its outcome goes to
// ".../result". "$state" says "online"; on shut-down the bridge clears its
// channel values, says "offline" and disconnects once the broker has
// acknowledged everything (at most 3 s). The broker says "offline" for us
// (last will) when the server dies.
//
// The client runs on the main thread inside the Qt event loop: its socket
// is watched by QSocketNotifiers and a timer does the keep-alive; there is
// no thread of its own. When the broker goes away the bridge reconnects
// with a growing pause (1 s doubling to 30 s; 60 s once another client with
// the same id keeps taking the connection over) and, once back, publishes
// every value again and clears retained values of items the server no
// longer has.
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
  // The goodbye: clears the channel values, says "offline" on $state, waits
  // for the broker's acknowledgements and disconnects (3 s at most).
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
  void goodbye();
  // Queues a message; value (an item's retained value or $meta) may be
  // replaced by a newer one of the same topic while it waits.
  void publish(const QByteArray& topic, const QByteArray& payload, bool retain, bool value = false);
  // Hands waiting messages to the client while the window has room; write:
  // and writes them.
  void flush(bool write = true);
  // mosquitto_loop_write with the socket corked while it writes.
  int writeQueued();
  // The MQTT topic of a link item, made once per item.
  const QByteArray& valueTopicOf(const QString& topic, const QString& item);
  void republishAll();
  QString refusal(const QString& topic, const QString& item) const;
  void log(const QString& text);

  // Values.
  void itemChanged(const QString& topic, const QString& item, const QByteArray& value);
  void publishValue(const QString& topic, const QString& item, frmTopic* t, int16_t index, const QByteArray& value);
  void clearItem(const QString& topic, const QString& item);
  void publishMeta(const QString& topic, const QString& item, frmTopic* t, int16_t index);
  void pokeStarting(const QString& topic, const QString& item);
  void pokeFinished(const QString& topic, const QString& item);
  void publishCounters();
  QByteArray payloadOf(const QByteArray& text, qint64 ts, bool numeric, bool polled) const;
  bool busGood() const;
  void checkQuality();

  // Retained values of items the server no longer has.
  void startSweep();
  void endSweep();

  struct Write {
    QString mqttTopic;
    QString topic;
    QString item;
    QByteArray value;
    qint64 size = 0;
    bool retained = false;
  };

  Server& m_s;
  ddeml::Server& m_link;
  MqttConfig m_cfg;
  mosquitto* m_mosq = nullptr;
  QSocketNotifier* m_read = nullptr;
  QSocketNotifier* m_write = nullptr;
  QTimer* m_misc = nullptr;
  QTimer* m_retry = nullptr;
  QTimer* m_counterTimer = nullptr;
  int m_retryDelay = 1; // seconds
  bool m_connected = false;
  bool m_everConnected = false;
  bool m_lostSaid = false;
  bool m_takenOver = false; // another client with our id took the connection
  int m_shortDrops = 0;     // connections in a row the broker ended right away
  QElapsedTimer m_connectedAt;
  QString m_refusal; // the broker's reason for refusing the connection
  QDeadlineTimer m_connectDeadline;
  void carryOut(const Write& w);
  WriteQueue<Write> m_writes{this, [this](const Write& w) { carryOut(w); }};
  qint64 m_ignoredSets = 0; // /set messages of the wrong depth

  // What the broker holds of ours (retained), per value topic.
  struct Value {
    QByteArray text;    // the value as published in plain text
    QByteArray payload; // what went out (text, or JSON)
    qint64 ts = 0;      // ms since the epoch, when the value came
    bool channel = false;
    bool numeric = false;
    bool polled = false;
  };
  QHash<QByteArray, Value> m_values;
  QHash<QString, QHash<QString, QByteArray>> m_valueTopics; // link topic -> item -> MQTT topic
  QHash<QByteArray, QByteArray> m_metas; // value topic -> its $meta JSON
  // The last value published from a server-topic change: a poke's text is
  // taken back when pokeStarting follows.
  struct Candidate {
    QByteArray topic;
    bool had = false;
    Value before;
  } m_candidate;
  bool m_haveCandidate = false;
  QHash<QByteArray, QByteArray> m_counterPending; // throttled items: value waiting
  QHash<QByteArray, qint64> m_counterSent;        // throttled items: when last sent
  int m_busGood = -1;                              // quality last published (json)

  QByteArray m_sweepMarker; // non-empty while the sweep runs
  QSet<QByteArray> m_sweepSeen;
  QDeadlineTimer m_sweepDeadline;

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
