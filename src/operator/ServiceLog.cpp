#include "ServiceLog.h"

#include "core/Server.h"
#include "core/clsGeneral.h"
#include "config/DeviceTable.h"
#include "db/Database.h"
#include "engine/BulkRead.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Paths.h"
#include "Prompt.h"
#include "sora32.h"

#include <QFileInfo>
#include <QLocale>
#include <QScopeGuard>
#include <QSet>

namespace tesmira {
namespace {

const char* kModule = "modServiceLog";
const QString kReading = QStringLiteral("Reading all parameters from all channels");

QString field(int value, int width) { return QStringLiteral("%1").arg(value, width, 10, QLatin1Char('0')); }

// One overview row: chan node proc id, then type and serial number, then the
// description, in the columns of the header.
QString overviewRow(const QString& chan, int node, const QString& proc, int id, const QString& typeCode,
                    const QString& serial, const QString& description)
{
  const QString module = (typeCode.trimmed().leftJustified(7) + QStringLiteral(" SN ") + serial.trimmed()).leftJustified(31);
  return chan + "  " + field(node, 3) + "  " + proc + "  " + field(qMax(id, 0), 2) + " " + module + " " +
         description + "\r\n";
}

QString typeDescription(const Server& s, int id)
{
  if (!s.devices || id <= 0 || id >= int(s.devices->DeviceTypeTable.size()))
    return {};
  return s.devices->DeviceTypeTable[size_t(id)].Dev_Name.trimmed();
}

}

QString ResourceString(int id)
{
  switch (id) {
  case 101: return QStringLiteral("Tesmira");
  case 102:
    return QStringLiteral("the Tesmira project: attach this file to a new issue in the project's issue tracker,\r\n"
                          "as the section \"Getting help\" of the README that comes with Tesmira describes.");
  default: return {};
  }
}

QString SystemOverviewText(const Server& s, const QDateTime& now)
{
  const QLocale locale = QLocale::system();
  std::string library;
  sora32::GetDLLVersion(library);
  QStringList lines;
  lines << ResourceString(101) + QStringLiteral(" SORANET DDE-server")
        << "Date: " + locale.toString(now.date(), QLocale::ShortFormat) + " Time: " +
             locale.toString(now.time(), locale.timeFormat(QLocale::LongFormat).remove(QLatin1Char('t')).trimmed())
        << QString() << "Tesmira " + (s.general ? s.general->sVersion().trimmed() : QString())
        << "SORANET.DLL " + QString::fromStdString(library).left(9)
        << "Database " + (s.db ? s.db->DBVersion : QString()) << QString()
        << QStringLiteral("System configuration overview:")
        << QStringLiteral("chan node proc id module number                   description");
  QString text = lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");

  // The channels, then the modules on the bus that have none (an operator
  // module, a module whose type the database does not know).
  const ChannelModel& m = s.channels;
  QSet<int> nodes;
  for (int c = 1; c < int(m.ChannelTable.size()); ++c) {
    const ChannelRec& r = m.ChannelTable[size_t(c)];
    nodes.insert(r.Dev_Nodenr);
    QString description = typeDescription(s, r.Dev_ID);
    if (!r.Dev_Memo.trimmed().isEmpty())
      description += QStringLiteral(" - ") + r.Dev_Memo.trimmed();
    text += overviewRow(field(c, 3), r.Dev_Nodenr, field(r.Dev_Proc, 3), r.Dev_ID, r.Dev_Name, r.Dev_Ver,
                        description);
  }
  if (s.state.CommOpen && !s.state.SimulationOn) {
    for (int node = 1; node <= sora32::GetMaxNode(); ++node) {
      const int id = sora32::GetModuleType(uint8_t(node));
      if (id < 0 || nodes.contains(node))
        continue;
      std::string number;
      sora32::GetModuleNumber(uint8_t(node), number);
      const QString type = s.devices ? s.devices->DevTypeOf(id) : QString();
      text += overviewRow(QStringLiteral("---"), node, QStringLiteral("---"), id, type,
                          QString::fromStdString(number), typeDescription(s, id) + QStringLiteral(" (no channel)"));
    }
  }
  return text;
}

QString DefaultServiceLogPath(const QDateTime& now)
{
  return support::Paths::commonDataDir() + QStringLiteral("/Tesmira32/ServiceLog-") +
         now.toString(QStringLiteral("yyyyMMdd-HHmmss")) + QStringLiteral(".log");
}

void Servicelog(Server& s)
{
  support::Trace trace(s.debug(), kModule, "Servicelog");
  Logger* log = s.log.get();
  if (!log)
    return;
  // The reads let client pokes in: a second request meanwhile would take
  // the log file from under the first.
  static bool running = false;
  if (running) {
    log->LogMessage(Warn, QStringLiteral("A service log is being written already; the new request is ignored"));
    return;
  }
  running = true;
  const auto done = qScopeGuard([] { running = false; });
  const QDateTime now = QDateTime::currentDateTime();
  const QString headlessPath = DefaultServiceLogPath(now);
  support::Paths::ensureDir(QFileInfo(headlessPath).absolutePath());
  if (log->OpenLogFile(true, headlessPath) == 0) {
    const bool logErrorsOnly = log->LogErrorsOnly, echoLinkPokes = log->EchoLinkPokes, echoAll = log->EchoAll;
    log->LogErrorsOnly = false;
    log->EchoAll = true;
    log->syncMenus();
    log->LogMessage(Init, SystemOverviewText(s, now) + QStringLiteral("\r\nParameter values:"), false);
    for (int16_t c = 1; c <= s.channels.MaxChannel; ++c) {
      s.ShowBusy(kReading, 5);
      Poll_All_Available_Params(s, c, 0);
    }
    s.ShowBusy(kReading, 100);
    const QString path = log->logFileName();
    log->CloseLogFile();
    log->EchoAll = echoAll;
    log->syncMenus();
    support::prompt().MsgBox(
      QStringLiteral("Tesmira is ready logging data from all parameters on all SORANET channels.\r\n"
                     "If you need support for your system, please send this log-file to:\r\n\r\n") +
        ResourceString(101) + QStringLiteral("\r\n") + ResourceString(102),
      support::Prompt::Ok, support::Prompt::Information, QStringLiteral("Service data logging"));
    log->LogErrorsOnly = logErrorsOnly;
    log->EchoLinkPokes = echoLinkPokes;
    log->syncMenus();
    log->LogMessage(Init, QStringLiteral("Service log written to ") + path);
  }
  s.HideBusy();
}

void mnuServiceLog_Click(Server& s)
{
  if (s.engine)
    s.engine->HandleOutstandingMsg();
  s.SetComStatus(QStringLiteral("Service log"));
  s.enableMenu("mnuServiceLog", false);
  Servicelog(s);
  s.enableMenu("mnuServiceLog", true);
  if (s.poll)
    s.poll->StartPolling();
}

}
