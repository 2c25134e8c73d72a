#include "ServiceNotifier.h"

#include "Server.h"
#include "bus/Communication.h"
#include "bus/PortRetry.h"
#include "core/StatusFields.h"

#ifdef TESMIRA_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace tesmira {

ServiceNotifier::ServiceNotifier(Server& s, QObject* parent)
    : QObject(parent), m_s(s), m_enabled(!qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
{
  if (!m_enabled)
    return;
  connect(&m_s.fields, &StatusFields::changed, this, [this](const QString& name) {
    if (name.compare(QLatin1String("Status"), Qt::CaseInsensitive) == 0 ||
        name.compare(QLatin1String("ComStatus"), Qt::CaseInsensitive) == 0 ||
        name.compare(QLatin1String("MaxChan"), Qt::CaseInsensitive) == 0)
      update();
  });
  connect(&PortRetry::of(m_s), &PortRetry::changed, this, &ServiceNotifier::update);
#ifdef TESMIRA_HAVE_SYSTEMD
  // The watchdog is fed by a timer, so only a server whose event loop runs
  // (nested waits included) keeps it quiet.
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    m_watchdog.setInterval(std::chrono::milliseconds(qMax<uint64_t>(1, usec / 2000)));
    connect(&m_watchdog, &QTimer::timeout, this, [this] { send(QStringLiteral("WATCHDOG=1")); });
    m_watchdog.start();
  }
#endif
}

void ServiceNotifier::ready()
{
  if (!m_enabled)
    return;
  m_sent = statusText(m_s);
  send("READY=1\nSTATUS=" + m_sent);
}

void ServiceNotifier::stopping()
{
  if (!m_enabled)
    return;
  m_sent = QStringLiteral("Stopping");
  send("STOPPING=1\nSTATUS=" + m_sent);
}

void ServiceNotifier::update()
{
  const QString text = statusText(m_s);
  if (text == m_sent)
    return;
  m_sent = text;
  send("STATUS=" + text);
}

void ServiceNotifier::send(const QString& message)
{
#ifdef TESMIRA_HAVE_SYSTEMD
  sd_notify(0, message.toUtf8().constData());
#else
  (void)message;
#endif
}

QString ServiceNotifier::statusText(const Server& s)
{
  if (const PortRetry* retry = PortRetry::find(s); retry && retry->active())
    return retry->describe();
  const QString status = s.fields.value(QStringLiteral("Status"));
  const QString where = InterfaceLabel(s);
  if (status == QLatin1String("Normal polling")) {
    const int n = s.channels.MaxChannel;
    return QStringLiteral("Normal polling on %1, %2 channel%3").arg(where).arg(n).arg(n == 1 ? "" : "s");
  }
  if (status == QLatin1String("Polling failure"))
    return "Polling failure on " + where + (s.state.BusLost.isEmpty() ? QString() : ": " + s.state.BusLost);
  if (status == QLatin1String("Idle") || status.isEmpty())
    return QStringLiteral("Idle: the communication is closed");
  if (status == QLatin1String("Simulation"))
    return QStringLiteral("Simulation: clients are served without a bus");
  return status + " on " + where;
}

}
