#pragma once
#include <QMap>
#include <QString>
#include <cstdint>
#include <functional>

namespace support {
class Debug;
}

namespace tesmira {

struct Configuration;
struct ProcessState;
class Logger;

// The single reporting point for fieldbus result codes. HandleErrorMessage
// turns a code into its message, decides whether this occurrence is worth
// reporting in the present state, logs and counts it, publishes it on the
// server's error items, and returns the short text a caller shows in place of
// a value: "" for success, "n/a" for "this parameter or module does not
// exist / take that", "?" for everything else.
class ErrorMessages {
public:
  ErrorMessages(ProcessState& state, const Configuration& cfg, Logger& log, support::Debug* debug);

  // code: the 16-bit result; channel and parameter: where it happened (0 when
  // not about one parameter); write: true for a write, which selects the error
  // item and loosens the compatibility quiet rules; extra: text for the debug
  // log after the message.
  QString HandleErrorMessage(int16_t code, uint8_t channel, int16_t parameter, bool write, const QString& extra);

  // The message of a code ("Unknown error occured" for codes not in the
  // table, code 0 included) and the text returned for it ("" for 0).
  static QString ErrorText(int code);
  static QString ErrorReturn(int code);

  // Errors reported since the last reset (the communication opening or the
  // Reset errors menu).
  long ErrorCount = 0;
  // Errors reported since start by their code, never reset (the metrics).
  QMap<int, quint64> ErrorsByCode;
  void ResetErrorCount();
  // What the error label shows for a count: the number, or "maximum" above
  // 9999999.
  static QString ErrorCountText(long count);

  // ---- calls up into the server, set by Server::createServices -------------
  // Shows the error count text in the status field "lblError" (the main
  // window's error label, the server topic's item).
  std::function<void(const QString&)> showErrorCount;
  // Device type ID (Dev_ID) of a channel: code 34 of the older device types
  // is kept quiet under SuppressCompatibilityErrors.
  std::function<int(int channel)> channelDevId;
  // Name of a DDE parameter for the Error log line (the parameter table's
  // name).
  std::function<QString(int parameter)> parameterName;
  // Publishes the message (or "0" when nothing is reported) on item P(item)
  // of the server's channel-0 topic: item 1 for reads, 2 for writes.
  std::function<void(int item, const QString& text)> publishError;

private:
  ProcessState& m_state;
  const Configuration& m_cfg;
  Logger& m_log;
  support::Debug* m_debug;
};

}
