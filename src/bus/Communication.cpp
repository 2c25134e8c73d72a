#include "Communication.h"

#include "ErrorMessages.h"
#include "clsComSoraDLL.h"
#include "config/InterfaceTracking.h"
#include "config/SystemScan.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/ServerTopic.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Prompt.h"
#include "sora32.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>

namespace tesmira {
namespace {

void menus(Server& s, std::initializer_list<const char*> names, bool on)
{
  for (const char* n : names)
    s.enableMenu(n, on);
}

QString portLabel(const Server& s, const QString& rate)
{
  return s.cfg.InterfaceName.trimmed() + "  " + rate + ",n,8,1,-";
}

// The device behind COM<port>: $TESMIRA_COM<port>, else /dev/ttyS<port-1>,
// the same mapping the library uses.
QString comDevice(int port)
{
  const QByteArray env = qgetenv(QStringLiteral("TESMIRA_COM%1").arg(port).toLatin1());
  if (!env.isEmpty())
    return QString::fromLocal8Bit(env);
  return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

// Reads the instrument's line rate (process 124, parameter 31, long) at the
// interface node; 0 when it cannot be read.
bool readInstrumentRate(Server& s, int32_t& rate)
{
  if (!s.engine)
    return false;
  QVariant v;
  if (s.engine->read_direct(v, uint8_t(s.state.InterfaceNode), 124, 31, 3, 0) != 0)
    return false;
  rate = v.toInt();
  return true;
}

bool configureAndStart(Server& s, int32_t rate)
{
  QString error;
  const int16_t r = s.session->ConfigureCommunication(s.cfg.InterfaceName.trimmed(), rate, s.cfg.ChainProcess,
                                                      s.cfg.ChainParameter, error);
  if (r != 0 || !error.isEmpty())
    return false;
  const int16_t start = s.session->StartCommunication();
  return start == 0 || start == 24;
}
}

QString StartCommunication(Server& s)
{
  support::Trace trace(s.debug(), "modCommunication", "StartCommunication");
  s.ShowBusy("Opening communication to SORANET ", 10);
  s.SetComStatus("Init SORANET");
  s.state.EscPressed = false;
  s.state.NotReady = true;
  menus(s, {"mnuOpenCom", "mnuTestLumbra", "mnuSimulate", "mnuComSettings"}, false);
  s.channels.InterfaceIsBusmaster = false;
  ChangeOpenCom(s, "1");
  if (s.engine)
    s.engine->ResetForOpen();
  s.LogMessage(Init, "Trying to make connection to SORANET interface");

  // The interface chosen since the settings were applied (server item
  // Interface or Baudrate) is configured before opening.
  if (s.session->interfaceName() != s.cfg.InterfaceName.trimmed())
    ApplyPortSettings(s);

  int32_t rate = 0;
  const QString name = s.cfg.InterfaceName.trimmed();
  if (name.startsWith("COM") && s.cfg.AutoIncreaseBaudrate) {
    bool ok = false;
    const int port = name.mid(3).toInt(&ok);
    rate = 460800;
    if (!ok || !TestBaudrate(s, port, rate))
      rate = 115200;
    if (!ok || !TestBaudrate(s, port, rate))
      rate = 0;
  } else if (name.startsWith("rfc2217:", Qt::CaseInsensitive) && s.cfg.AutoIncreaseBaudrate) {
    // A device server that takes its port settings over the network has no
    // local port to try the rate on; it is told the rate like a local port.
    rate = 460800;
  }

  int16_t r = s.session->StartCommunication();
  if (r != 0 && r != 24 && !s.state.EscPressed && s.cfg.RetryNetworkAccess >= 1) {
    s.session->StopCommunication();
    s.ShowBusy("Opening communication to SORANET (retry)", 10);
    r = s.session->StartCommunication();
  }
  if (r == 0 || r == 24) {
    s.state.CommOpen = true;
    ShowInterfaceSettings(s);
    if (r == 24) {
      s.LogMessage(Init, "Connection to SORANET interface OK; interface is busmaster");
      s.channels.InterfaceIsBusmaster = true;
      r = 0;
    } else {
      s.LogMessage(Init, "Connection to SORANET interface OK");
    }
  } else {
    s.LogMessage(Error, "Connection to SORANET interface FAILED");
    const QString reason = QString::fromStdString(sora32::LastOpenError());
    if (!reason.isEmpty())
      s.LogMessage(Error, "Cannot open " + name + ": " + reason);
    if (s.errors)
      s.errors->HandleErrorMessage(14, 0, 0, false, "");
    s.HideBusy();
    s.view().Beep();
  }
  if (r == 0 && s.engine)
    s.engine->HandlePendingMsg();

  QString result;
  if (r != 0) {
    StopCommunication(s);
    result = "Communication could not be opened.";
  } else if (rate != 0) {
    result = ChangeBaudrate(s, rate, true);
    if (!result.isEmpty())
      StopCommunication(s);
  }
  if (s.errors)
    s.errors->ResetErrorCount();
  s.fields.set("lblError", "0");
  s.HideBusy();
  return result;
}

namespace {

const char* const kReopenTimer = "ReopenAfterLoss";
constexpr int kReopenIntervalMs = 5000;

QTimer* reopenTimer(Server& s)
{
  auto* t = s.findChild<QTimer*>(QLatin1String(kReopenTimer));
  if (!t) {
    t = new QTimer(&s);
    t->setObjectName(QLatin1String(kReopenTimer));
    t->setInterval(kReopenIntervalMs);
    QObject::connect(t, &QTimer::timeout, &s, [&s, t] {
      if (s.state.BusLost.isEmpty() || s.state.StopRequested || !s.cfg.ReopenAfterLoss) {
        t->stop();
        return;
      }
      std::string why;
      const QString name = s.cfg.InterfaceName.trimmed();
      if (sora32::ProbeInterface(name.toStdString(), why) != 0)
        return;
      t->stop();
      const QString reason = s.state.BusLost;
      s.LogMessage(Init, "The port " + name + " can be opened again: the communication is opened anew");
      if (s.state.CommOpen)
        StopCommunication(s); // also ends the loss
      s.state.BusLost.clear();
      if (StartCommunication(s).isEmpty())
        CheckConfigAndStartPolling(s);
      if (!s.state.CommOpen && !s.state.StopRequested) {
        s.state.BusLost = reason;
        s.SetComStatus(QStringLiteral("Polling failure"));
        t->start();
      }
    });
  }
  return t;
}

} // namespace

bool CheckBusLoss(Server& s, qint64 silenceLimitMs)
{
  if (!s.state.BusLost.isEmpty())
    return true;
  if (!s.state.CommOpen || s.state.NotReady || s.state.SimulationOn)
    return false;
  std::string reason;
  QString why;
  if (sora32::GetLineState(reason) != 0)
    why = QString::fromStdString(reason);
  else if (s.engine && s.channels.MaxChannel > 0 && s.engine->TimeoutsSinceAnswer > 0 &&
           s.engine->LastAnswer.isValid() && s.engine->LastAnswer.elapsed() > silenceLimitMs)
    why = QStringLiteral("no instrument has answered for %1 s").arg(s.engine->LastAnswer.elapsed() / 1000);
  if (why.isEmpty())
    return false;
  BusLost(s, why);
  return true;
}

void BusLost(Server& s, const QString& reason)
{
  s.state.BusLost = reason;
  s.SetComStatus(QStringLiteral("Polling failure"));
  s.LogMessage(Error, "Communication to SORANET lost on " + s.cfg.InterfaceName.trimmed() + ": " + reason);
  if (s.cfg.ReopenAfterLoss)
    reopenTimer(s)->start();
}

int16_t StopCommunication(Server& s)
{
  support::Trace trace(s.debug(), "modCommunication", "StopCommunication");
  // Closing ends a loss of the bus (and the tries to re-open it).
  s.state.BusLost.clear();
  if (auto* t = s.findChild<QTimer*>(QLatin1String(kReopenTimer)))
    t->stop();
  s.ShowBusy("Stopping polling process", 15);
  if (s.poll)
    s.poll->StopPolling();
  if (s.engine)
    s.engine->HandleOutstandingMsg();
  s.state.NotReady = true;
  s.ShowBusy("Stopping communication", 25);
  StopInterfaceAcquisition(s);
  ShowInterfaceSettings(s);
  s.state.CommOpen = false;
  ChangeOpenCom(s, "0");
  if (s.cfg.AutoIncreaseBaudrate)
    ChangeBaudrate(s, 0, false);
  s.state.RaisedBaudrate = 0;
  s.ShowBusy("Closing communication to SORANET", 49);
  const int16_t r = s.session->StopCommunication();
  if (s.dde)
    s.dde->DeleteTopicScr();
  s.channels.clear();
  for (const char* f : {"MaxChan", "MaxNode", "InterfaceChan"})
    s.fields.set(QString::fromLatin1(f), "0");
  menus(s, {"mnuShowDevice", "mnuTest", "mnuClose", "mnuReadAllParameters", "mnuComSpeedTest", "mnuCheckConfig",
            "mnuServiceLog", "mnuClipboard"},
        false);
  menus(s, {"mnuOpenCom", "mnuTestLumbra", "mnuComSettings", "mnuSimulate"}, true);
  if (s.db && s.db->ParValueSet)
    s.db->CloseParValueSet();
  s.channels.ManualLNA = 0;
  s.SetComStatus("Idle");
  s.LogMessage(Init, "Communication to SORANET forced to stop");
  s.HideBusy();
  return r;
}

QString RestartCommunication(Server& s)
{
  // Closing forgets a highest node address the operator set by hand; the
  // scan of this restart is the one meant to use it.
  const uint8_t manualLNA = s.channels.ManualLNA;
  StopCommunication(s);
  s.channels.ManualLNA = manualLNA;
  if (StartCommunication(s).isEmpty())
    CheckConfigAndStartPolling(s);
  return {};
}

bool TestBaudrate(Server&, int port, int32_t rate)
{
  QSerialPort serial(comDevice(port));
  serial.setBaudRate(rate);
  serial.setDataBits(QSerialPort::Data8);
  serial.setParity(QSerialPort::NoParity);
  serial.setStopBits(QSerialPort::OneStop);
  if (!serial.open(QIODevice::ReadWrite))
    return false;
  serial.close();
  return true;
}

QString ChangeBaudrate(Server& s, int32_t rate, bool allowRetry)
{
  if (rate != 0 && rate <= s.cfg.Baudrate)
    return {};
  int32_t instrument = 0;
  if (!readInstrumentRate(s, instrument))
    return {};
  if ((rate != 0 && instrument >= rate) || (rate == 0 && instrument == 0))
    return {};
  s.ShowBusy(rate == 0 ? QStringLiteral("Restoring baudrate to instrument default")
                    : "Changing baudrate to " + QString::number(rate),
       10);
  int16_t code = s.session->SendMessageWriteRequest(uint8_t(s.state.InterfaceNode), 124, 31, 3, 0, rate, 0);
  uint8_t kind = 0, status = 0, node = 0, process = 0, parameter = 0, type = 0, length = 0;
  QVariant value;
  int16_t tag = 0;
  if (code == 0) {
    for (int i = 0; i < 100; ++i) {
      code = s.session->CheckMessageReceived(kind, status, node, process, parameter, type, length, value, tag);
      if (code != 30)
        break;
      WaitWithMessages(50);
    }
  }
  if (code == 0 && status == 0)
    s.LogMessage(Init, "Temporary instrument baudrate " +
                       (rate == 0 ? QStringLiteral("restored") : "changed to " + QString::number(rate)));
  else if (code == 0)
    rate = s.cfg.Baudrate;

  s.session->StopCommunication();
  WaitWithMessages(50);
  const int32_t configured = rate == 0 ? s.cfg.Baudrate : rate;
  s.state.RaisedBaudrate = rate; // settings applied meanwhile keep it
  if (!allowRetry) {
    QString error;
    s.session->ConfigureCommunication(s.cfg.InterfaceName.trimmed(), configured, s.cfg.ChainProcess,
                                      s.cfg.ChainParameter, error);
    s.fields.set("lblCommPort", portLabel(s, QString::number(s.cfg.Baudrate)));
    return {};
  }
  const auto reportChanged = [&](int32_t shown) {
    s.LogMessage(Init, "Communication baudrate changed to " + QString::number(shown));
    s.fields.set("lblCommPort", portLabel(s, "[" + QString::number(configured) + "]"));
  };
  if (configureAndStart(s, configured)) {
    // The first opening reports the rate the instrument now answers with.
    int32_t now = 0;
    if (readInstrumentRate(s, now) && now != 0)
      reportChanged(now);
    return {};
  }
  s.ShowBusy("Changing baudrate to " + QString::number(configured) + " (retry)", 10);
  WaitWithMessages(500);
  if (configureAndStart(s, configured)) {
    // After the retry the instrument is read once more, but the log and the
    // label name the configured rate, whatever the read gave.
    int32_t now = 0;
    readInstrumentRate(s, now);
    reportChanged(configured);
    return {};
  }
  const QString failed = "Failed to open communication at " + QString::number(configured) + " baud";
  s.LogMessage(Init, failed);
  return failed;
}

void ApplyPortSettings(Server& s)
{
  if (!s.session)
    return;
  const bool open = sora32::GetCommunication() != 0;
  if (open)
    s.session->StopCommunication();
  s.session->setBytArbiterMode(s.cfg.Arbitration);
  // While the instrument runs at a temporary rate, the library keeps it too.
  const int32_t rate = s.state.RaisedBaudrate != 0 ? s.state.RaisedBaudrate : s.cfg.Baudrate;
  QString error;
  int16_t r = s.session->ConfigureCommunication(s.cfg.InterfaceName.trimmed(), rate, s.cfg.ChainProcess,
                                                s.cfg.ChainParameter, error);
  if (!error.isEmpty() || r > 0)
    support::prompt().MsgBox("An error occured while configuring the SORANET communication: " +
                               (r != 0 ? QString::number(r) : QString()) + "\r\n" + error,
                             support::Prompt::Ok, support::Prompt::Critical);
  if (open) {
    r = s.session->StartCommunication();
    if (r != 0 && s.debug())
      s.debug()->LogMsg("Error", "StartCommunication returned error " + QString::number(r) + ".");
    if (r == 15)
      s.session->StartCommunication();
  }
}

void OpenCommunication_Click(Server& s)
{
  s.view().BeginBusyCursor();
  if (StartCommunication(s).isEmpty())
    CheckConfigAndStartPolling(s);
  if (s.log)
    s.log->syncMenus();
  s.view().EndBusyCursor();
}

void CloseCommunication_Click(Server& s)
{
  s.view().BeginBusyCursor();
  const int16_t r = StopCommunication(s);
  if (r != 0 && s.errors)
    s.errors->HandleErrorMessage(r, 0, 0, false, "");
  ShowInterfaceSettings(s);
  s.fields.set("lblAmount", "0");
  s.fields.set("lblPendingMsg", "0");
  s.view().EndBusyCursor();
}

void CheckConfig_Click(Server& s) { RestartCommunication(s); }

}
