#pragma once
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace support {
class Setting;
}

namespace tesmira {

// The MQTT bridge's settings (program.ini, section [MQTT]) and its topic
// layout. No I/O besides reading the password file.
//
//   <prefix>/<service>/<topic>/<item>          an item's value, retained
//   <prefix>/<service>/<topic>/<item>/$meta    what the item is (JSON), retained
//   <prefix>/<service>/<topic>/<item>/set      a write into the item
//   <prefix>/<service>/<topic>/<item>/result   "OK" or why the write was refused
//   <prefix>/<service>/$state                  "online" / "offline"
struct MqttConfig {
  bool enabled = false;
  QString host = QStringLiteral("localhost");
  int port = 1883;
  QString clientId;           // default "tesmira-" + service
  QString prefix = QStringLiteral("tesmira");
  QString service;            // default: the host name
  int qos = 1;
  QString username;
  QString password;           // read from PasswordFile
  QString caFile;             // TLS when set
  bool json = false;          // Payload=json: values as {"value", "ts", "quality"}
  // Writable: the topic/item patterns ("C(*)/*", "server/OpenCom") a /set
  // may write; a pattern starting with "!" excludes. * and ? as in file
  // names, any letter case.
  QStringList writable;

  MqttConfig() { setWritable(defaultWritable()); }
  void setWritable(const QStringList& patterns);

  // Reads [MQTT]: Enabled, Host, Port, ClientId, TopicPrefix, Service, Qos,
  // Username, PasswordFile, CaFile, Payload, Writable. Returns the empty text, or what is wrong
  // with the settings (the bridge then stays off).
  static QString read(const support::Setting& setting, MqttConfig& out);

  // "<prefix>/<service>"
  QString base() const { return prefix + QLatin1Char('/') + service; }
  QString valueTopic(const QString& topic, const QString& item) const;
  QString stateTopic() const { return base() + QStringLiteral("/$state"); }
  QString metaTopic(const QString& topic, const QString& item) const
  {
    return valueTopic(topic, item) + QStringLiteral("/$meta");
  }
  // The subscriptions that take writes: "<base>/+/+/set", the one that
  // counts, and those of the other depths (1 to 4 levels), whose messages
  // are ignored and counted.
  QStringList setFilters() const;
  // Splits "<base>/<topic>/<item>/set" into topic and item; false for any
  // other MQTT topic (another depth, another base, no "/set").
  bool parseSetTopic(const QString& mqttTopic, QString& topic, QString& item) const;
  // Whether Writable lets a /set reach topic/item.
  bool mayWrite(const QString& topic, const QString& item) const;
  // The result topic belonging to a set topic.
  static QString resultTopic(const QString& topic) { return topic + QStringLiteral("/result"); }
  static QStringList defaultWritable()
  {
    return {QStringLiteral("C(*)/*"), QStringLiteral("!C(0)/*"), QStringLiteral("server/OpenCom"),
            QStringLiteral("server/PollTime")};
  }

private:
  QList<QRegularExpression> m_allow;
  QList<QRegularExpression> m_deny;
};

}
