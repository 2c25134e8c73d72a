#include "MqttConfig.h"

#include "Setting.h"

#include <QFile>
#include <QSysInfo>

#include <algorithm>

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
  const QString payload = get("Payload", QStringLiteral("text"));
  if (payload.compare(QLatin1String("text"), Qt::CaseInsensitive) != 0 &&
      payload.compare(QLatin1String("json"), Qt::CaseInsensitive) != 0)
    return QStringLiteral("Payload '%1' is not text or json").arg(payload);
  out.json = payload.compare(QLatin1String("json"), Qt::CaseInsensitive) == 0;
  const QString writable = get("Writable", defaultWritable().join(QStringLiteral(", ")));
  QStringList patterns;
  for (const QString& p : writable.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString pattern = p.trimmed();
    const QString body = pattern.startsWith(QLatin1Char('!')) ? pattern.mid(1) : pattern;
    if (body.count(QLatin1Char('/')) != 1 || body.startsWith(QLatin1Char('/')) || body.endsWith(QLatin1Char('/')))
      return QStringLiteral("Writable pattern '%1' is not TOPIC/ITEM").arg(pattern);
    patterns << pattern;
  }
  out.setWritable(patterns);
  return {};
}

void MqttConfig::setWritable(const QStringList& patterns)
{
  writable = patterns;
  m_allow.clear();
  m_deny.clear();
  for (const QString& pattern : writable) {
    const bool deny = pattern.startsWith(QLatin1Char('!'));
    // A pattern has one "/", between topic and item; * and ? stay within
    // their side of it.
    QRegularExpression re(QRegularExpression::wildcardToRegularExpression(deny ? pattern.mid(1) : pattern),
                          QRegularExpression::CaseInsensitiveOption);
    (deny ? m_deny : m_allow).append(re);
  }
}

bool MqttConfig::mayWrite(const QString& topic, const QString& item) const
{
  const QString path = topic + QLatin1Char('/') + item;
  auto any = [&](const QList<QRegularExpression>& list) {
    return std::any_of(list.begin(), list.end(), [&](const QRegularExpression& re) { return re.match(path).hasMatch(); });
  };
  return any(m_allow) && !any(m_deny);
}

QStringList MqttConfig::setFilters() const
{
  QStringList out{base() + QStringLiteral("/+/+/set")};
  for (const char* levels : {"/+", "/+/+/+", "/+/+/+/+"})
    out << base() + QLatin1String(levels) + QStringLiteral("/set");
  return out;
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
