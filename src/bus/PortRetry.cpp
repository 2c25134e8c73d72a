#include "PortRetry.h"

#include "Communication.h"
#include "core/Server.h"
#include "log/LogCategory.h"

#include "sora32.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <algorithm>

namespace tesmira {
namespace {

const char* const kObjectName = "PortRetry";

}

PortRetry::PortRetry(Server& s) : QObject(&s), m_s(s)
{
  setObjectName(QLatin1String(kObjectName));
  m_next.setSingleShot(true);
  m_settle.setSingleShot(true);
  m_settle.setInterval(kSettleMs);
  connect(&m_next, &QTimer::timeout, this, [this] { tryPort(true); });
  connect(&m_settle, &QTimer::timeout, this, [this] { tryPort(false); });
}

PortRetry& PortRetry::of(Server& s)
{
  if (PortRetry* r = find(s))
    return *r;
  return *new PortRetry(s);
}

PortRetry* PortRetry::find(const Server& s)
{
  return s.findChild<PortRetry*>(QLatin1String(kObjectName), Qt::FindDirectChildrenOnly);
}

QString PortRetry::interfaceName() const { return InterfaceLabel(m_s); }

void PortRetry::start(const QString& reason)
{
  m_active = true;
  m_reason = reason;
  m_pauseMs = kFirstPauseMs;
  m_s.LogMessage(Init, QStringLiteral("%1 is tried again in %2 s, then with pauses doubling up to %3 s, "
                                      "until it can be opened")
                           .arg(interfaceName())
                           .arg(m_pauseMs / 1000)
                           .arg(kLongestPauseMs / 1000));
  waitAgain(reason);
}

void PortRetry::stop()
{
  if (!m_active)
    return;
  // The waiting shown as the status is over: the communication is closed.
  const bool shown = !m_s.state.CommOpen && m_s.fields.value(QStringLiteral("Status")) == describe();
  m_active = false;
  m_next.stop();
  m_settle.stop();
  delete m_watcher;
  m_watcher = nullptr;
  if (shown)
    m_s.SetComStatus(QStringLiteral("Idle"));
  emit changed();
}

QString PortRetry::describe() const
{
  if (!m_active)
    return {};
  const QString next = QStringLiteral("; next try in %1 s").arg((m_pauseMs + 999) / 1000);
  if (m_s.state.CommOpen)
    return QStringLiteral("Polling failure on %1: %2").arg(interfaceName(), m_reason) + next;
  return QStringLiteral("Waiting for %1: %2").arg(interfaceName(), m_reason) + next;
}

// Schedules the next try after the current pause and says where the bus
// stands. A lost bus keeps its status "Polling failure" (its topics are still
// there, pokes refused with the loss's reason); a port that never opened shows
// what is awaited.
void PortRetry::waitAgain(const QString& reason)
{
  if (reason != m_reason) {
    m_reason = reason;
    m_s.LogMessage(Error, "Cannot open " + interfaceName() + ": " + reason);
  }
  m_next.start(m_pauseMs);
  watch();
  if (!m_s.state.CommOpen) {
    // The menu's Close communication (like OpenCom 0) ends the waiting; the
    // raw protocol test would contend with the tries for the port.
    m_s.enableMenu("mnuClose", true);
    m_s.enableMenu("mnuTestLumbra", false);
    m_s.SetComStatus(describe());
  }
  emit changed();
}

// A device path is watched in its folder (it appears, disappears, a link to
// it is made) and itself (its permissions change); any change is followed by
// a try soon after. Names that are no device (a device server, the virtual
// bus) are only tried on time.
void PortRetry::watch()
{
  const QString device = InterfaceDevice(m_s.cfg.InterfaceName.trimmed());
  if (device.isEmpty())
    return;
  if (!m_watcher) {
    m_watcher = new QFileSystemWatcher(this);
    const auto changedPath = [this] {
      if (m_active && !m_trying && !m_settle.isActive())
        m_settle.start();
    };
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, changedPath);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, changedPath);
  }
  const QStringList paths = {QFileInfo(device).absolutePath(), device};
  for (const QString& p : paths)
    if (!m_watcher->files().contains(p) && !m_watcher->directories().contains(p) && QFileInfo::exists(p))
      m_watcher->addPath(p);
}

// scheduled: the try of the back-off (the pause grows after a failure); else
// a try after a watched path changed, which leaves the schedule as it is.
void PortRetry::tryPort(bool scheduled)
{
  if (!m_active || m_trying)
    return;
  if (m_s.state.StopRequested || m_s.state.SimulationOn || !m_s.cfg.ReopenAfterLoss ||
      (m_s.state.CommOpen && m_s.state.BusLost.isEmpty())) {
    stop();
    return;
  }
  std::string probeReason;
  const QString name = m_s.cfg.InterfaceName.trimmed();
  if (sora32::ProbeInterface(name.toStdString(), probeReason) != 0) {
    if (scheduled)
      m_pauseMs = std::min(m_pauseMs * 2, kLongestPauseMs);
    else if (m_next.isActive() && QString::fromStdString(probeReason) == m_reason)
      return; // nothing new: the schedule stands
    waitAgain(QString::fromStdString(probeReason));
    return;
  }
  // The port opens: the communication is opened in full. That takes a while
  // (the scan) and processes events meanwhile; the tries rest until it ends.
  m_trying = true;
  m_next.stop();
  m_settle.stop();
  const QString failure = ReopenCommunication(m_s);
  m_trying = false;
  if (!m_active)
    return; // closed or stopped meanwhile
  if (failure.isEmpty() || m_s.state.Cancelled() || !m_s.cfg.ReopenAfterLoss) {
    stop();
    return;
  }
  if (scheduled)
    m_pauseMs = std::min(m_pauseMs * 2, kLongestPauseMs);
  waitAgain(failure);
}

}
