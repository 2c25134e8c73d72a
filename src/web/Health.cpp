#include "Health.h"

#include "bus/ErrorMessages.h"
#include "core/Server.h"
#include "core/StatusFields.h"
#include "dde/DdeServer.h"
#include "engine/frmPollTime.h"
#include "mqtt/MqttBridge.h"

#include "Server.h" // ddeml::Server (platform/ddeml)

#include <algorithm>
#include <tuple>

namespace tesmira {

namespace {

// A label value with backslash, double quote and line feed escaped.
QByteArray label(const QString& text)
{
  QByteArray out;
  for (const char c : text.toUtf8()) {
    if (c == '\\' || c == '"')
      out += '\\';
    if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

struct Writer {
  QByteArray out;
  void head(const char* name, const char* type, const char* help)
  {
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
  }
  void sample(const char* name, double value, const QByteArray& labels = {})
  {
    out += name;
    if (!labels.isEmpty())
      out += '{' + labels + '}';
    out += ' ' + QByteArray::number(value, 'g', 15) + '\n';
  }
  void metric(const char* name, const char* type, const char* help, double value)
  {
    head(name, type, help);
    sample(name, value);
  }
};

double field(const Server& s, const char* name)
{
  return s.fields.value(QString::fromLatin1(name)).trimmed().toDouble();
}

}

QStringList inReadingOrder(QStringList names)
{
  // Digits count as one number: the names differ in their numbers.
  auto parts = [](const QString& name) {
    const qsizetype open = name.indexOf(QLatin1Char('('));
    bool ok = false;
    const int n = open < 0 ? 0 : name.mid(open + 1).chopped(1).toInt(&ok);
    return std::make_tuple(open < 0 ? name.toCaseFolded() : name.left(open).toCaseFolded(), ok ? n : -1,
                           name.toCaseFolded());
  };
  std::sort(names.begin(), names.end(), [&](const QString& a, const QString& b) { return parts(a) < parts(b); });
  return names;
}

QString whyNotPolling(const Server& s)
{
  const ProcessState& st = s.state;
  if (!(st.CommOpen || st.SimulationOn))
    return QStringLiteral("the communication is closed");
  if (st.NotReady)
    return QStringLiteral("the server is not ready (the bus is being scanned)");
  if (!st.BusLost.isEmpty())
    return "the communication to SORANET is lost (" + st.BusLost + ")";
  return {};
}

QByteArray metricsText(const Server& s, const ddeml::Server& link, quint64 values, double valuesPerSecond,
                       int liveClients)
{
  Writer w;
  w.metric("tesmira_replies_total", "counter", "Replies taken from the bus since start.",
           double(s.state.RepliesTotal));
  w.metric("tesmira_replies_per_second", "gauge", "Replies received from the bus per second (last second).",
           field(s, "lblAmount"));
  w.head("tesmira_errors_total", "counter", "Communication errors reported since start, by error code.");
  if (s.errors)
    for (auto it = s.errors->ErrorsByCode.cbegin(); it != s.errors->ErrorsByCode.cend(); ++it)
      w.sample("tesmira_errors_total", double(it.value()), "code=\"" + QByteArray::number(it.key()) + '"');
  w.metric("tesmira_pending_messages", "gauge", "Requests sent to the bus and not yet answered.",
           field(s, "lblPendingMsg"));
  w.metric("tesmira_poll_time_seconds", "gauge", "Configured time between two polling ticks.",
           double(s.cfg.Polltime) / 1000.0);
  w.metric("tesmira_poll_cycle_seconds", "gauge", "Measured time of the last full polling cycle over all channels.",
           s.poll ? s.poll->lastCycleSeconds() : 0.0);
  w.metric("tesmira_values_total", "counter", "Item values published to clients since start.", double(values));
  w.metric("tesmira_values_per_second", "gauge", "Item values published per second (last second).", valuesPerSecond);
  w.metric("tesmira_channels", "gauge", "Channels on the bus.", double(s.channels.ChannelCount));
  w.metric("tesmira_polling", "gauge", "1 while the server polls the bus (or simulates it), else 0.",
           whyNotPolling(s).isEmpty() ? 1.0 : 0.0);
  w.head("tesmira_bus_state", "gauge", "The communication state: 1 for the current one, 0 for the others.");
  const QString current = s.fields.value(QStringLiteral("ComStatus"));
  for (const QString& state : StatusFields::ComStates())
    w.sample("tesmira_bus_state", state == current ? 1.0 : 0.0, "state=\"" + label(state) + '"');
  w.metric("tesmira_link_clients", "gauge", "Conversations of link clients.", double(link.conversationCount()));
  w.metric("tesmira_mqtt_connected", "gauge", "1 while the MQTT bridge is connected to its broker, else 0.",
           s.mqtt && s.mqtt->isConnected() ? 1.0 : 0.0);
  w.metric("tesmira_live_clients", "gauge", "WebSocket clients of the live values.", double(liveClients));
  w.head("tesmira_item_value", "gauge", "Numeric values of the channels' items.");
  if (s.dde) {
    for (const auto& t : s.dde->TopicTable) {
      if (!t || t->channel == 0)
        continue;
      for (const QString& item : inReadingOrder(link.items(t->topicName))) {
        bool ok = false;
        const double v = link.item(t->topicName, item).trimmed().toDouble(&ok);
        if (!ok)
          continue;
        const int16_t index = frmTopic::parseIndex(item);
        w.sample("tesmira_item_value", v,
                 "topic=\"" + label(t->topicName) + "\",item=\"" + label(item) + "\",name=\"" +
                   label(index >= 0 ? t->nameTag(index) : QString()) + '"');
      }
    }
  }
  return w.out;
}

}
