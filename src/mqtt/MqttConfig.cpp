#include "MqttConfig.h"

#include "Setting.h"

#include <QFile>
#include <QSysInfo>

namespace tesmira {

namespace {

// A topic level that MQTT would read as a separator or a wildcard.
bool badLevel(const QString& level)
{
  return level.isEmpty() || level.contains(QLatin1Char('/')) || level.contains(QLatin1Char('+')) ||
         level.contains(QLatin1Char('#'));
}

}

QString MqttConfig::read(const support::Setting& setting, MqttConfig& out)
{
  auto get = [&](const char* key, const QString& def) {
    return setting.GetProgramSetting(QStringLiteral("MQTT"), QString::fromLatin1(key), def).trimmed();
  };
  bool ok = false;
  out.enabled = support::Setting::toBool(get("Enabled", QStringLiteral("False")), &ok) && ok;
  if (!out.enabled)
    return {};
  out.host = get("Host", out.host);
  const QString port = get("Port", QString::number(out.port));
  out.port = port.toInt(&ok);
  if (!ok || out.port < 1 || out.port > 65535)
    return QStringLiteral("Port '%1' is not a port number (1 to 65535)").arg(port);
  out.service = get("Service", QSysInfo::machineHostName());
  out.prefix = get("TopicPrefix", out.prefix);
  if (badLevel(out.service))
    return QStringLiteral("Service '%1' cannot be a topic level (empty, or holds / + #)").arg(out.service);
  if (out.prefix.isEmpty() || out.prefix.contains(QLatin1Char('+')) || out.prefix.contains(QLatin1Char('#')))
    return QStringLiteral("TopicPrefix '%1' cannot start a topic (empty, or holds + #)").arg(out.prefix);
  out.clientId = get("ClientId", QStringLiteral("tesmira-") + out.service);
  const QString qos = get("Qos", QString::number(out.qos));
  out.qos = qos.toInt(&ok);
  if (!ok || out.qos < 0 || out.qos > 2)
    return QStringLiteral("Qos '%1' is not 0, 1 or 2").arg(qos);
  out.username = get("Username", {});
  // The password never stands in the INI file: only a file holding it is
  // named, whose first line is the password.
  const QString passwordFile = get("PasswordFile", {});
  out.password.clear();
  if (!passwordFile.isEmpty()) {
    QFile f(passwordFile);
    if (!f.open(QIODevice::ReadOnly))
      return QStringLiteral("PasswordFile %1 cannot be read: %2").arg(passwordFile, f.errorString());
    out.password = QString::fromUtf8(f.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
  }
  out.caFile = get("CaFile", {});
  if (!out.caFile.isEmpty() && !QFile::exists(out.caFile))
    return QStringLiteral("CaFile %1 does not exist").arg(out.caFile);
  return {};
}

QString MqttConfig::valueTopic(const QString& topic, const QString& item) const
{
  return base() + QLatin1Char('/') + topic + QLatin1Char('/') + item;
}

bool MqttConfig::parseSetTopic(const QString& mqttTopic, QString& topic, QString& item) const
{
  const QString head = base() + QLatin1Char('/');
  if (!mqttTopic.startsWith(head) || !mqttTopic.endsWith(QLatin1String("/set")))
    return false;
  const QStringList levels = mqttTopic.mid(head.size()).split(QLatin1Char('/'));
  if (levels.size() != 3 || levels[0].isEmpty() || levels[1].isEmpty())
    return false;
  topic = levels[0];
  item = levels[1];
  return true;
}

}
