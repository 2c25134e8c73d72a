#include "Communication.h"

#include "ErrorMessages.h"
#include "PortRetry.h"
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

namespace {

int16_t closeCommunication(Server& s, bool quiet);

// The opening. A try of PortRetry (retry) says nothing about a failure: the
// reason is said by PortRetry when it changes, not at every try. why
// receives the reason of a failure.
QString openCommunication(Server& s, bool retry, QString* why)
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
  if (!retry)
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
  QString reason;
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
    reason = QString::fromStdString(sora32::LastOpenError());
    if (!retry) {
      s.LogMessage(Error, "Connection to SORANET interface FAILED");
      if (!reason.isEmpty())
        s.LogMessage(Error, "Cannot open " + InterfaceLabel(s) + ": " + reason);
      if (s.errors)
        s.errors->HandleErrorMessage(14, 0, 0, false, "");
      s.view().Beep();
    }
    s.HideBusy();
  }
  if (r == 0 && s.engine)
    s.engine->HandlePendingMsg();

  QString result;
  if (r != 0) {
    closeCommunication(s, retry);
    result = "Communication could not be opened.";
  } else if (rate != 0) {
    result = ChangeBaudrate(s, rate, true);
    if (!result.isEmpty()) {
      reason = result;
      closeCommunication(s, retry);
    }
  }
  if (s.errors)
    s.errors->ResetErrorCount(); // the status field follows
  s.HideBusy();
  if (why)
    *why = !result.isEmpty() && reason.isEmpty() ? QStringLiteral("the interface module does not answer") : reason;
  return result;
}

} // namespace

QString StartCommunication(Server& s) { return openCommunication(s, false, nullptr); }

QString InterfaceDevice(const QString& interfaceName)
{
  if (interfaceName.startsWith(QLatin1String("/dev/")))
    return interfaceName;
  if (interfaceName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
    bool ok = false;
    const int port = interfaceName.mid(3).toInt(&ok);
    if (ok && port >= 1 && port <= 256)
      return comDevice(port);
  }
  return {};
}

QString InterfaceLabel(const Server& s)
{
  const QString name = s.cfg.InterfaceName.trimmed();
  const QString device = InterfaceDevice(name);
  return device.isEmpty() || device == name ? name : name + " (" + device + ')';
}

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
    PortRetry::of(s).start(reason);
}

QString ReopenCommunication(Server& s)
{
  if (s.state.CommOpen) {
    s.LogMessage(Init, "The port " + InterfaceLabel(s) + " can be opened again: the communication is opened anew");
    closeCommunication(s, false); // also ends the loss
  }
  QString why;
  if (!openCommunication(s, true, &why).isEmpty())
    return why;
  CheckConfigAndStartPolling(s);
  return {};
}

int16_t StopCommunication(Server& s)
{
  // Closing ends the tries to open the port.
  if (PortRetry* retry = PortRetry::find(s))
    retry->stop();
  return closeCommunication(s, false);
}

namespace {

// quiet: a try of PortRetry that failed closes without a line of its own.
int16_t closeCommunication(Server& s, bool quiet)
{
  support::Trace trace(s.debug(), "modCommunication", "StopCommunication");
  // Closing ends a loss of the bus.
  s.state.BusLost.clear();
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
  if (!quiet)
    s.LogMessage(Init, "Communication to SORANET forced to stop");
  s.HideBusy();
  return r;
}

} // namespace

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
  QString why;
  if (openCommunication(s, false, &why).isEmpty())
    CheckConfigAndStartPolling(s);
  else if (s.cfg.ReopenAfterLoss && !s.state.Cancelled())
    PortRetry::of(s).start(why);
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
