#pragma once
#include <QString>

namespace support {
class Setting;
}

namespace tesmira {

// The MQTT bridge's settings (program.ini, section [MQTT]) and its topic
// layout. No I/O besides reading the password file.
//
//   <prefix>/<service>/<topic>/<item>          an item's value, retained
//   <prefix>/<service>/<topic>/<item>/set      a write into the item
//   <prefix>/<service>/<topic>/<item>/result   "OK" or why the write was refused
//   <prefix>/<service>/$state                  "online" / "offline" (last will)
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

  // Reads [MQTT]: Enabled, Host, Port, ClientId, TopicPrefix, Service, Qos,
  // Username, PasswordFile, CaFile. Returns the empty text, or what is wrong
  // with the settings (the bridge then stays off).
  static QString read(const support::Setting& setting, MqttConfig& out);

  // "<prefix>/<service>"
  QString base() const { return prefix + QLatin1Char('/') + service; }
  QString valueTopic(const QString& topic, const QString& item) const;
  QString stateTopic() const { return base() + QStringLiteral("/$state"); }
  // The subscription that takes every write.
  QString setFilter() const { return base() + QStringLiteral("/+/+/set"); }
  // Splits "<base>/<topic>/<item>/set" into topic and item; false for any
  // other MQTT topic.
  bool parseSetTopic(const QString& mqttTopic, QString& topic, QString& item) const;
  // The result topic belonging to a set topic.
  static QString resultTopic(const QString& topic) { return topic + QStringLiteral("/result"); }
};

}
