#include "BulkRead.h"

#include "MessageEngine.h"
#include "frmPollTime.h"

#include "bus/ErrorMessages.h"
#include "config/DeviceTable.h"
#include "config/SystemScan.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "db/Database.h"
#include "dde/Commands.h"
#include "dde/DdeServer.h"
#include "log/Logger.h"

#include "Debug.h"

#include <QStringList>
#include <algorithm>
#include <cmath>

namespace tesmira {

namespace {

// A number of a scan specification: any numeric text, as the server takes
// numbers everywhere ("8", " +8 ", "8.0", "1e1", "-5"), rounded to a whole
// number with halves to the even neighbour. A number beyond 16 bits counts
// as 0, so it selects nothing, like any other number outside 1..MaxParNr.
bool wholeNumber(const QString& text, int& value)
{
  if (!IsNumeric(text))
    return false;
  const double v = std::nearbyint(text.trimmed().toDouble());
  value = v >= -32768 && v <= 32767 ? int(v) : 0;
  return true;
}

const char* const kModule = "BulkRead";

// The operator sees the busy pointer while a bulk read runs; nested reads
// stack their pointers.
class BusyPointer {
public:
  explicit BusyPointer(const Server& s) : m_view(s.view()) { m_view.BeginBusyCursor(); }
  ~BusyPointer() { m_view.EndBusyCursor(); }

private:
  OperatorView& m_view;
};

int32_t retriesLeft(const ChannelModel& m, int channel, int parameter)
{
  if (channel < 0 || channel >= int(m.ParRetryCount.size()) || parameter < 0 ||
      parameter >= int(m.ParRetryCount[size_t(channel)].size()))
    return 0;
  return m.ParRetryCount[size_t(channel)][size_t(parameter)];
}

bool readable(const Server& s, int16_t parameter)
{
  return s.db->ParameterTable[size_t(parameter)].Read || s.cfg.IgnoreDatabaseMinMax;
}

bool kdxHostOnly(const Server& s, int16_t parameter)
{
  return parameter >= 186 && parameter <= 189 && s.channels.InterfaceIsKdxHost;
}

// Whether the bulk read sends a read request for the parameter of the channel.
bool sendsRead(const Server& s, int channel, int16_t parameter)
{
  return s.channels.available(channel, parameter) && retriesLeft(s.channels, channel, parameter) != 0 &&
         readable(s, parameter) && !kdxHostOnly(s, parameter);
}

}

QList<int16_t> ScanParameterList(const Server& s, const QString& specification, QString& error)
{
  QList<int16_t> list;
  const int maxPar = s.db ? s.db->MaxParNr : 0;
  const QString invalid = QStringLiteral("Invalid scan parameters format");
  if (specification.trimmed().compare(QLatin1String("ALL"), Qt::CaseInsensitive) == 0) {
    for (int p = 1; p <= maxPar; ++p)
      list.append(int16_t(p));
    return list;
  }
  if (specification.trimmed().isEmpty()) {
    error = invalid;
    return list;
  }
  for (const QString& raw : specification.split(QLatin1Char(','))) {
    const QString e = raw.trimmed();
    int n = 0, a = 0, b = 0;
    const int dash = int(e.indexOf(QLatin1Char('-'), 1));
    if (wholeNumber(e, n)) {
      if (n >= 1 && n <= maxPar)
        list.append(int16_t(n));
    } else if (e.left(5).compare(QLatin1String("GROUP"), Qt::CaseInsensitive) == 0 && wholeNumber(e.mid(5), n)) {
      for (int p = 1; p <= maxPar; ++p) {
        const auto& g = s.db->ParameterTable[size_t(p)].Group;
        if (n == 0 || g[0] == n || g[1] == n || g[2] == n)
          list.append(int16_t(p));
      }
    } else if (dash > 0 && wholeNumber(e.left(dash), a) && wholeNumber(e.mid(dash + 1), b)) {
      a = std::min(a, maxPar);
      b = std::min(b, maxPar);
      if (a < 1 || b < 1) {
        error = invalid;
        continue;
      }
      for (int p = a; a <= b ? p <= b : p >= b; p += a <= b ? 1 : -1)
        list.append(int16_t(p));
    } else {
      error = invalid;
    }
  }
  return list;
}

// Reads of a channel go out back to back after the reply queue has been
// emptied; only the last read of the whole run is waited for, so the DDE
// items fill while the replies arrive. The command items go back to "0"
// when that last reply is in, which tells a client that every value of
// the run is fresh; when nothing was read they go back at once.
//
// The last read is the last one actually sent (a parameter the channel
// does not offer, cannot read or has given up on sends none), so a list
// that ends with such a parameter still has its last value waited for.
void Poll_All_Params(Server& s, int16_t channel, const QString& specification)
{
  support::Trace trace(s.debug(), kModule, "Poll_All_Params");
  if (!s.engine || !s.db)
    return;
  PollingHold(s, true);
  BusyPointer pointer(s);
  QString result;
  const QList<int16_t> list = ScanParameterList(s, specification, result);
  int16_t c = channel; // the last channel read
  bool finalRead = false, lastSkipped = false;
  if (!list.isEmpty()) {
    const int first = channel >= 0 ? channel : 1;
    const int last = channel >= 0 ? channel : s.channels.MaxChannel;
    const double step = last >= first ? 99.0 / (last - first + 1) : 0;

    int finalChannel = -1, finalIndex = -1;
    for (int k = last; k >= first && finalChannel < 0; --k)
      for (int i = int(list.size()) - 1; i >= 0; --i)
        if (sendsRead(s, k, list[i])) {
          finalChannel = k, finalIndex = i;
          break;
        }

    // A stop request ends the run; the clients are not told it completed.
    for (int k = first; k <= last && !s.state.StopRequested; ++k) {
      c = int16_t(k);
      s.ShowBusy(QStringLiteral("Reading parameters from channel ") + QString::number(k), step);
      const ChannelRec* r = s.channels.channel(k);
      const uint8_t node = r ? r->Dev_Nodenr : 0, proc = r ? r->Dev_Proc : 0;
      for (int i = 0; i < list.size() && !s.state.StopRequested; ++i) {
        const int16_t p = list[i];
        if (!s.channels.available(k, p))
          continue;
        int16_t tag = 0;
        if (retriesLeft(s.channels, k, p) == 0) {
          // Refused by the engine (error 44), which sets the item to the name.
          s.engine->Read_from_Soranet(node, proc, c, p, tag);
          continue;
        }
        if (!readable(s, p))
          continue;
        if (kdxHostOnly(s, p)) {
          // The real-time set-up lives on the host, not on this interface.
          s.dde->Change_dde_item(c, p, QStringLiteral("n/a"));
          continue;
        }
        // Keep the library's queue short: collect before asking for more.
        for (int n = 0; n < 5 && !s.engine->HandlePendingMsg(); ++n) {
        }
        if (k == finalChannel && i == finalIndex)
          continue; // sent last, below
        s.engine->Read_from_Soranet(node, proc, c, p, tag);
      }
      s.engine->HandlePendingMsg();
      if (!(r && r->Modify && r->DirectAccess))
        for (int n = 0; n < 3 && !s.engine->HandlePendingMsg(); ++n) {
        }
    }

    // The last listed parameter of the last channel, skipped because the
    // channel does not offer it, is reported (below) although the run's
    // last read is waited for all the same.
    lastSkipped = !sendsRead(s, last, list.last()) && retriesLeft(s.channels, last, list.last()) != 0;
    if (s.state.StopRequested) {
      finalRead = true;
    } else if (finalChannel >= 0) {
      finalRead = true;
      const ChannelRec* r = s.channels.channel(finalChannel);
      const uint8_t node = r ? r->Dev_Nodenr : 0, proc = r ? r->Dev_Proc : 0;
      int16_t tag = 0;
      int16_t error = 0;
      QString value;
      const QString sent = s.engine->Read_from_Soranet(node, proc, int16_t(finalChannel), list[finalIndex], tag);
      if (sent.isEmpty() && s.engine->WaitForReply(tag, s.cfg.PendingTimeout, value, error)) {
        // Chained reads of one node are answered in one message grouped by
        // process, so the last read's reply may come before those of reads
        // sent earlier in the same message: they are all in by now, take
        // them before telling the client that the run is complete.
        s.engine->HandlePendingMsg();
        QList<int16_t> siblings;
        if (FindChannelNumber(s, node, proc, siblings) == finalChannel)
          ReadyCOPO(s, int16_t(finalChannel), siblings);
      } else {
        s.errors->HandleErrorMessage(43, 0, 0, false, QString()); // "Timeout on polling parameters"
      }
    }
    if (lastSkipped)
      result = QStringLiteral("Invalid parameter requested");
  }
  if (!result.isEmpty() && !s.state.NotReady && s.log)
    s.log->LogParameter(Error, std::max<int16_t>(c, 0), 0, QStringLiteral("Tesmira"), QString(), result);
  if (!finalRead)
    ReadyCOPO(s, std::max<int16_t>(c, 0), {});
  PollingHold(s, false);
  s.HideBusy();
}

void Poll_All_Available_Params(Server& s, int16_t channel, int16_t group)
{
  support::Trace trace(s.debug(), kModule, "Poll_All_Available_Params");
  const ChannelRec* r = s.channels.channel(channel);
  if (!s.engine || !s.db || !s.devices || !r)
    return;
  BusyPointer pointer(s);
  const int type = r->Dev_ID;
  const uint8_t node = r->Dev_Nodenr, proc = r->Dev_Proc;
  PollingHold(s, true);
  s.engine->HandlePendingMsg();
  for (int p = 1; p <= s.db->MaxParNr; ++p) {
    const auto& g = s.db->ParameterTable[size_t(p)].Group;
    if (group > 0 && g[0] != group && g[1] != group && g[2] != group)
      continue;
    // The value reaches the item and the log through the reply path.
    if (s.devices->offers(type, p) && readable(s, int16_t(p)))
      s.engine->Read_from_Soranet_direct(node, proc, channel, int16_t(p));
  }
  PollingHold(s, false);
}

void ReadAllParams_Click(Server& s)
{
  s.ShowBusy(QStringLiteral("Reading all parameters"), 5);
  Poll_All_Params(s, -1, QStringLiteral("ALL"));
  s.HideBusy();
}

}
