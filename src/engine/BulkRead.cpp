#include "BulkRead.h"

#include "MessageEngine.h"
#include "frmPollTime.h"

#include "bus/ErrorMessages.h"
#include "core/Server.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "log/Logger.h"
#include "ui/frmMain.h"

#include <QStringList>
#include <algorithm>

namespace tesmira {

namespace {

// A parameter number: decimal digits only ("-5" is not one).
bool wholeNumber(const QString& text, int& value)
{
  const QString t = text.trimmed();
  if (t.isEmpty() || t.size() > 9)
    return false;
  for (QChar c : t)
    if (!c.isDigit())
      return false;
  value = t.toInt();
  return true;
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

void Poll_All_Params(Server& s, int16_t channel, const QString& specification)
{
  if (!s.engine || !s.db)
    return;
  PollingHold(s, true);
  QString result;
  const QList<int16_t> list = ScanParameterList(s, specification, result);
  int16_t lastChannel = channel;
  if (!list.isEmpty()) {
    const int first = channel >= 0 ? channel : 1;
    const int last = channel >= 0 ? channel : s.channels.MaxChannel;
    const double step = last >= first ? 99.0 / (last - first + 1) : 0;
    int16_t finalChannel = -1, finalPar = 0;
    for (int c = first; c <= last; ++c) {
      lastChannel = int16_t(c);
      if (s.main)
        s.main->ShowBusy(QStringLiteral("Reading parameters from channel ") + QString::number(c), step);
      const ChannelRec* r = s.channels.channel(c);
      const uint8_t node = r ? r->Dev_Nodenr : 0, proc = r ? r->Dev_Proc : 0;
      for (int i = 0; i < list.size(); ++i) {
        const int16_t p = list[i];
        if (!s.channels.available(c, p))
          continue;
        const ParameterDef& P = s.db->ParameterTable[size_t(p)];
        int16_t tag = 0;
        if (s.channels.ParRetryCount[size_t(c)][size_t(p)] == 0) {
          // Refused locally (error 44) and the item set back to its name.
          s.engine->Read_from_Soranet(node, proc, int16_t(c), p, tag);
          continue;
        }
        if (!P.Read && !s.cfg.IgnoreDatabaseMinMax)
          continue;
        if (p >= 186 && p <= 189 && s.channels.InterfaceIsKdxHost) {
          s.dde->Change_dde_item(int16_t(c), p, QStringLiteral("n/a"));
          continue;
        }
        // Keep the library's queue short: collect before asking for more.
        for (int k = 0; k < 5 && !s.engine->HandlePendingMsg(); ++k) {
        }
        if (c == last && i == list.size() - 1)
          finalChannel = int16_t(c), finalPar = p; // read last and waited for below
        else
          s.engine->Read_from_Soranet(node, proc, int16_t(c), p, tag);
      }
      s.engine->HandlePendingMsg();
      if (!(r && r->Modify && r->DirectAccess))
        for (int k = 0; k < 3 && !s.engine->HandlePendingMsg(); ++k) {
        }
    }
    if (finalChannel >= 0) {
      const ChannelRec* r = s.channels.channel(finalChannel);
      int16_t tag = 0;
      QString value;
      int16_t error = 0;
      const QString sent = s.engine->Read_from_Soranet(r ? r->Dev_Nodenr : 0, r ? r->Dev_Proc : 0, finalChannel,
                                                       finalPar, tag);
      if (sent.isEmpty() && !s.engine->WaitForReply(tag, s.cfg.PendingTimeout, value, error))
        s.errors->HandleErrorMessage(43, 0, 0, false, QString());
    } else if (s.channels.ParRetryCount.size() > size_t(lastChannel) && lastChannel >= 0 &&
               s.channels.ParRetryCount[size_t(lastChannel)].size() > size_t(list.last()) &&
               s.channels.ParRetryCount[size_t(lastChannel)][size_t(list.last())] != 0) {
      result = QStringLiteral("Invalid parameter requested");
    }
  }
  if (!result.isEmpty() && !s.state.NotReady && s.log)
    s.log->LogParameter(Error, lastChannel, 0, QStringLiteral("Tesmira"), QString(), result);
  PollingHold(s, false);
  if (s.main)
    s.main->HideBusy();
}

}
