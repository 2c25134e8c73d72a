#include "bus/ErrorMessages.h"
#include "core/Configuration.h"
#include "core/ProcessState.h"
#include "log/Logger.h"

#include <Debug.h>

#include <array>

namespace tesmira {
namespace {

struct ErrorEntry {
  const char* message;
  bool notAvailable; // returns "n/a" rather than "?"
};

// Messages of codes 1..44, index = code - 1. The texts are shown to operators
// and client programs, who may match them: keep them exactly as they are.
constexpr std::array<ErrorEntry, 44> kTable = {{
    {"This process is claimed by another application and cannot be operated by your PC-application", false},
    {"No such command possible for this module", false},
    {"No such process at this module", true},
    {"No such parameter at this process", true},
    {"Type of parameter sent differs from type on module", true},
    {"Wrong value for this parameter or not accepted", true},
    {"No communication activity on SORANET detected", false},
    {"Start character serial communication failed", false},
    {"Serial communication failed", false},
    {"Memory on SORANET module failed", false},
    {"Wrong SORANET node number", false},
    {"General communication error with SORANET (DLL retries expired)", false},
    {"This parameter value can only be read", true},
    {"There is no communication between PC and SORANET", false},
    {"No/bad communication between PC and RS232-interface module", false},
    {"Not enough memory in your PC for communication structure", false},
    {"This parameter value can only be send", true},
    {"SORANET system configuration is unknown", false},
    {"SORANET system reached maximum size", false},
    {"You need another type of interface for this option", false},
    {"Error building device control block for serial port", false},
    {"Open communication went wrong", false},
    {"Communication status error", false},
    {"Interface tries to start communication (alone in system)", false},
    {"Time out on receiving a message", false},
    {"No ':' on start of message", false},
    {"Error in first digit", false},
    {"Buffer overflow in interface module", false},
    {"Buffer overflow in SORANET.DLL", false},
    {"Requested answer not found", false},
    {"Closing communication error", false},
    {"Other application performs action", false},
    {"Requested message has not been send", false},
    {"Error in received data", false},
    {"No event present in real-time channel on interface module", false},
    {"Module not available on SORANET", true},
    {"Tesmira not ready to communicate with SORANET", false},
    {"Parameter not correctly in Tesmira database", false},
    {"Requested parameter value not received", false},
    {"There are too many messages to be handled in the DLL", false},
    {"There are some unhandled/unremoved messages in the DLL", false},
    {"Buffer overflow in SORANET module", false},
    {"Timeout on polling parameters", false},
    {"Parameter unavailable", false},
}};

constexpr long kCountShownUpTo = 9999999;

// Device types whose firmware answers some requests with garbled data; with
// compatibility errors suppressed their code 34 is not reported.
bool isOldDeviceType(int devId) { return devId == 5 || (devId >= 16 && devId <= 19); }

}

ErrorMessages::ErrorMessages(ProcessState& state, const Configuration& cfg, Logger& log, support::Debug* debug)
    : m_state(state), m_cfg(cfg), m_log(log), m_debug(debug)
{
}

QString ErrorMessages::ErrorText(int code)
{
  if (code >= 1 && code <= int(kTable.size()))
    return QString::fromLatin1(kTable[size_t(code - 1)].message);
  return QStringLiteral("Unknown error occured");
}

QString ErrorMessages::ErrorReturn(int code)
{
  if (code == 0)
    return {};
  if (code >= 1 && code <= int(kTable.size()) && kTable[size_t(code - 1)].notAvailable)
    return QStringLiteral("n/a");
  return QStringLiteral("?");
}

QString ErrorMessages::ErrorCountText(long count)
{
  return count > kCountShownUpTo ? QStringLiteral("maximum") : QString::number(count);
}

void ErrorMessages::ResetErrorCount()
{
  ErrorCount = 0;
  if (showErrorCount)
    showErrorCount(ErrorCountText(ErrorCount));
}

QString ErrorMessages::HandleErrorMessage(int16_t code, uint8_t channel, int16_t parameter, bool write,
                                          const QString& extra)
{
  support::Trace trace(m_debug, "ErrorMessages", "HandleErrorMessage");

  // Probe reads of the scan report nothing at all.
  if (m_state.SuppressErrors)
    return code == 0 ? QString() : QStringLiteral("?");

  // Known harmless cases: a process claimed while we ask for its claim
  // status, an open that fails on the first digit while the line settles, a
  // reply missing while an operator window holds the polling.
  if ((code == 1 && parameter == 189) || (code == 22 && parameter == 27) || (code == 39 && m_state.bExtendPolling > 0))
    return QStringLiteral("?");

  const bool compat = m_cfg.SuppressCompatibilityErrors;
  const bool notReadyQuiet = m_state.NotReady && !m_state.RawTestActive;
  bool quiet = false;
  switch (code) {
  case 0: quiet = true; break;
  case 3: quiet = (compat && !write) || m_state.NotReady; break;
  case 4: quiet = notReadyQuiet || (compat && !write); break;
  case 5:
  case 6:
  case 17: quiet = notReadyQuiet; break;
  case 34: quiet = compat && channelDevId && isOldDeviceType(channelDevId(channel)); break;
  case 44: quiet = compat && !write; break;
  default: break;
  }

  QString message = ErrorText(code);
  if (!quiet) {
    if (channel != 0 && parameter != 0) {
      const QString name = parameterName ? parameterName(parameter) : QString();
      m_log.LogParameter(Error, channel, parameter, name, QString(), message);
    } else {
      m_log.LogMessage(Error, QStringLiteral("In message to node-process\t") + message);
    }
    ++ErrorCount;
    ++ErrorsByCode[code];
    if (showErrorCount)
      showErrorCount(ErrorCountText(ErrorCount));
    if (m_debug)
      m_debug->LogMsg(QStringLiteral("Error"), ' ' + message + ' ' + extra);
  } else {
    message = QStringLiteral("0");
  }

  if (!m_state.NotReady && m_state.TopicsCreated && publishError)
    publishError(write ? 2 : 1, message);

  return ErrorReturn(code);
}

}
