#include "MessageEngine.h"

#include "frmPollTime.h"

#include "bus/ErrorMessages.h"
#include "bus/clsComSoraDLL.h"
#include "config/SystemScan.h"
#include "core/Server.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/frmTopic.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Timer.h"
#include "sora32.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

namespace tesmira {

namespace {

// Processes 123..126 of the interface module hold its four real-time
// channels.
bool realTimeProcess(int p) { return p >= 123 && p <= 126; }

QString n2s(long long v) { return QString::number(v); }

}

MessageEngine::MessageEngine(Server& server) : s(server) {}

// ---------------------------------------------------------------------------
// Rules without bus access

QString MessageEngine::FloatText(double v)
{
  if (!std::isfinite(v))
    return QString::number(v);
  if (v == 0)
    return QStringLiteral("0.000000E+0");
  // d.dddddde+XX rewritten in place: the exponent's sign after "E", its
  // leading zeros dropped. One string, no pieces.
  QString t = QString::number(v, 'e', 6);
  const qsizetype e = t.indexOf(QLatin1Char('e'));
  if (e < 0 || e + 2 >= t.size())
    return t;
  t[e] = QLatin1Char('E');
  qsizetype first = e + 2;
  while (first + 1 < t.size() && t[first] == QLatin1Char('0'))
    ++first;
  t.remove(e + 2, first - (e + 2));
  return t;
}

bool MessageEngine::HexStringParameter(int16_t p)
{
  return p == 61 || p == 62 || p == 208 || p == 209 || p == 210;
}

QString MessageEngine::ValueText(uint8_t type, int16_t parameter, const QVariant& value)
{
  // An acknowledgement (or a failed reply) carries no value at all.
  if (!value.isValid())
    return QString();
  switch (type) {
  case 0: return n2s(value.toInt() & 0xFF);
  case 1: {
    int v = int16_t(value.toInt());
    // The measure and setpoint run over the signed range shifted so that
    // slight negatives stay negative and the top of the span stays positive;
    // every other integer is unsigned.
    if (parameter == 8 || parameter == 11) {
      if (v < -23593)
        v += 65536;
    } else if (v < 0) {
      v += 65536;
    }
    return n2s(v);
  }
  case 2: return FloatText(value.toDouble());
  case 3: return n2s(int32_t(value.toLongLong()));
  case 4: {
    const QString text = value.toString();
    if (!HexStringParameter(parameter))
      return text;
    QString hex;
    hex.reserve(text.size() * 2);
    for (QChar c : text)
      hex += QStringLiteral("%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
    return hex;
  }
  default: return QString();
  }
}

double MessageEngine::NumericValue(const QString& text, bool* ok)
{
  bool good = false;
  const QString t = text.trimmed();
  double v = t.isEmpty() ? 0.0 : t.toDouble(&good);
  if (!good || !std::isfinite(v))
    v = 0.0, good = false;
  if (ok)
    *ok = good;
  return v;
}

int16_t MessageEngine::CheckWriteValue(const ParameterDef& P, uint8_t type, uint8_t length, bool present,
                                       QString& value) const
{
  const bool ignoreDb = s.cfg.IgnoreDatabaseMinMax;
  if (!present)
    return 36;
  if (!P.Write && !ignoreDb)
    return 13;
  if (type != 4 && !ignoreDb) {
    const double v = NumericValue(value);
    if (!(P.Min <= v && v <= P.Max))
      return 6;
  }
  if (type == 4) {
    if (length > value.size())
      value = value.leftJustified(length, QLatin1Char(' '));
    return 0;
  }
  bool numeric = false;
  const double v = NumericValue(value, &numeric);
  if (!numeric)
    return 5;
  // 0..65535 may be written to an integer as unsigned: the bus carries the
  // same 16 bits.
  if (type == 1) {
    const long long n = std::llrint(v);
    if (n > 32767)
      value = n2s(n - 65536);
  }
  return 0;
}

uint8_t MessageEngine::ResolveProcess(int16_t channel, uint8_t parProc, uint8_t proc) const
{
  if (channel == 0)
    return proc;
  if (parProc <= 32 || (parProc >= 113 && parProc <= 127)) {
    if (!interfaceChannel(channel))
      return parProc;
    // A channel behind an interface instrument: its real-time processes are
    // relative to the channel's process, and two module-wide processes are
    // mapped onto the interface's own copies.
    uint8_t p = realTimeProcess(parProc) ? uint8_t(parProc + proc - 1) : parProc;
    if (parProc == 113)
      p = 121;
    else if (parProc == 118)
      p = 122;
    return p;
  }
  if (parProc <= 112)
    return uint8_t(parProc + proc - 1); // relative to the channel's own process
  return proc;
}

// ---------------------------------------------------------------------------
// Helpers

const ParameterDef* MessageEngine::parameterDef(int16_t parameter) const
{
  if (!s.db || parameter < 0 || parameter >= int(s.db->ParameterTable.size()))
    return nullptr;
  return &s.db->ParameterTable[size_t(parameter)];
}

bool MessageEngine::interfaceChannel(int16_t channel) const
{
  const ChannelRec* r = s.channels.channel(channel);
  return channel != 0 && r && !r->DirectAccess && (r->Dev_ID == 1 || r->Dev_ID == 2);
}

bool MessageEngine::modulePresent(int16_t channel) const
{
  if (channel == 0)
    return true;
  const ChannelRec* r = s.channels.channel(channel);
  return r && r->ModulePresent;
}

// A channel without a topic gets none made here: topics exist from the scan's
// AddTopicScr to the closing's DeleteTopicScr, and a reply outside that span
// has no client to tell. The channel model is still updated.
void MessageEngine::setItem(int16_t channel, int16_t parameter, const QString& text)
{
  if (frmTopic* t = s.dde ? s.dde->topic(channel) : nullptr)
    t->ChangeItem(parameter, text);
}

void MessageEngine::removeUnavailable(int16_t channel, int16_t parameter)
{
  // The identification parameters below 8 stay: they tell what the module is.
  if (parameter < 8 || channel < 0 || channel >= int(s.channels.ParAvailable.size()))
    return;
  if (frmTopic* t = s.dde ? s.dde->topic(channel) : nullptr)
    t->removeItem(parameter);
  auto& row = s.channels.ParAvailable[size_t(channel)];
  if (parameter < int(row.size()))
    row[size_t(parameter)] = 0;
}

// The per-reply and per-write Info lines of the debug log are written only
// while tracing is on: at polling rates they would be thousands of flushed
// lines a second, and the debug log is trimmed only at start-up.
bool MessageEngine::tracing() const { return s.debug() && s.debug()->tracing(); }

void MessageEngine::addHold() { PollingHold(s, true); }
void MessageEngine::releaseHold() { PollingHold(s, false); }

namespace {

int32_t* retryCount(ChannelModel& m, int channel, int parameter)
{
  if (channel < 0 || channel >= int(m.ParRetryCount.size()) || parameter < 0 ||
      parameter >= int(m.ParRetryCount[size_t(channel)].size()))
    return nullptr;
  return &m.ParRetryCount[size_t(channel)][size_t(parameter)];
}

uint8_t* varType(ChannelModel& m, int channel, int parameter)
{
  if (channel < 0 || channel >= int(m.ParVarType.size()) || parameter < 0 ||
      parameter >= int(m.ParVarType[size_t(channel)].size()))
    return nullptr;
  return &m.ParVarType[size_t(channel)][size_t(parameter)];
}

}

// ---------------------------------------------------------------------------
// Requests

QString MessageEngine::Read_from_Soranet(uint8_t node, uint8_t proc, int16_t channel, int16_t parameter,
                                         int16_t& tag)
{
  if (channel > s.channels.MaxChannel || channel < 0)
    return QStringLiteral("n/a");
  if (channel != 0 && !modulePresent(channel)) {
    if (s.dde)
      s.dde->Change_dde_item(channel, parameter, QStringLiteral("n/a"));
    return QStringLiteral("n/a");
  }
  if (!s.state.CommOpen || s.state.SimulationOn || !s.session || !s.dde)
    return s.errors->HandleErrorMessage(37, uint8_t(channel), parameter, false, QString());
  const ParameterDef* P = parameterDef(parameter);
  if (!P)
    return s.errors->HandleErrorMessage(38, uint8_t(channel), parameter, false, QString());
  if (!P->Read && !s.cfg.IgnoreDatabaseMinMax)
    return s.errors->HandleErrorMessage(17, uint8_t(channel), parameter, false, QString());
  int32_t* retries = retryCount(s.channels, channel, parameter);
  if (s.channels.available(channel, parameter) && retries && *retries == 0) {
    setItem(channel, parameter, P->Name);
    return s.errors->HandleErrorMessage(44, uint8_t(channel), parameter, false, QString());
  }

  // Channel 0 addresses the bus directly and keeps no value types of its
  // own: the parameter's first type is used.
  const uint8_t* vt = channel != 0 ? varType(s.channels, channel, parameter) : nullptr;
  uint8_t fb = P->FBnr, type = vt ? *vt : P->VarType[0];
  const uint8_t length = P->VarLength, parProc = P->Process;
  proc = ResolveProcess(channel, parProc, proc);

  // Reads for a channel behind an interface instrument go to the interface,
  // which keeps the channel's measure, alarm and modified indication and its
  // real-time channel settings.
  if (interfaceChannel(channel)) {
    if (realTimeProcess(parProc)) {
      node = uint8_t(s.state.InterfaceNode);
      switch (parameter) {
      case 186: fb = 1; break;
      case 187: {
        // The watched parameter is told in two bytes: its process first (this
        // read), then its number with a type flag (the request below).
        const int16_t rc = sora32::ReadChar(s.session->iAppId(), 0, node, proc, 2, s.dde->MakeRequestTag(187));
        if (rc != 0)
          s.errors->HandleErrorMessage(rc, uint8_t(channel), 187, false, QString());
        fb = 3;
        break;
      }
      case 188: fb = 4; break;
      case 189: {
        const int k = proc - 122;
        if (k >= 1 && k <= 4) {
          RealTimeChannel& rt = RealTime(k);
          fb = rt.RtToggle ? 11 : 10;
          rt.RtToggle = !rt.RtToggle;
        }
        break;
      }
      default: break;
      }
    }
    const Database& db = *s.db;
    if (db.ParNrMeasure != 0 && parameter == db.ParNrMeasure)
      node = uint8_t(s.state.InterfaceNode), proc = uint8_t(channel), fb = 2;
    else if (db.ParNrAlarmInfo != 0 && parameter == db.ParNrAlarmInfo)
      node = uint8_t(s.state.InterfaceNode), proc = uint8_t(channel), fb = 3;
    else if (db.ParNrGlobModify != 0 && parameter == db.ParNrGlobModify)
      node = uint8_t(s.state.InterfaceNode), proc = uint8_t(channel), fb = 19;
  }

  const int16_t newTag = s.dde->MakeRequestTag(parameter);
  const int16_t error = s.session->SendMessageReadRequest(node, proc, fb, type, length, newTag);
  if (error == 0) {
    tag = newTag;
    ReadGeneration[newTag] = {channel, WriteGeneration[{channel, parameter}]};
  }
  const QString text = s.errors->HandleErrorMessage(error, uint8_t(channel), parameter, false, QString());
  if (!text.isEmpty() && s.log)
    s.log->DebugLogError(QStringLiteral("Read_from_Soranet:") + " Node=" + n2s(node) + " Proc=" + n2s(proc) +
                         " ParNr=" + n2s(fb) + " nChan=" + n2s(channel) + " nPtag=" + n2s(parameter) +
                         " Error=" + text);
  return text;
}

QString MessageEngine::Write_to_Soranet(uint8_t node, uint8_t proc, int16_t channel, int16_t parameter,
                                        const QString& valueIn, int16_t& tag, int16_t* code)
{
  auto fail = [&](int16_t e, bool write) {
    if (code)
      *code = e;
    return s.errors->HandleErrorMessage(e, uint8_t(channel), parameter, write, QString());
  };
  if (!s.state.CommOpen || s.state.SimulationOn || !s.session || !s.dde)
    return fail(37, false);
  const ParameterDef* P = parameterDef(parameter);
  if (!P || channel < 0)
    return fail(38, true);
  int32_t* retries = retryCount(s.channels, channel, parameter);
  if (s.channels.available(channel, parameter) && retries && *retries == 0)
    return fail(44, false);

  const uint8_t* vt = channel != 0 ? varType(s.channels, channel, parameter) : nullptr;
  uint8_t fb = P->FBnr;
  const uint8_t type = vt ? *vt : P->VarType[0], length = P->VarLength, parProc = P->Process;
  proc = ResolveProcess(channel, parProc, proc);
  QString value = valueIn;

  // The interface instrument's real-time channel k is set up by writing
  // which channel it watches (186), which parameter (187) and its options (188).
  if (interfaceChannel(channel) && realTimeProcess(parProc)) {
    node = uint8_t(s.state.InterfaceNode);
    const int k = proc - 122;
    if (k >= 1 && k <= 4) {
      RealTimeChannel& rt = RealTime(k);
      if (parameter == 186) {
        fb = 1;
        const double c = NumericValue(value);
        const ChannelRec* watched = s.channels.channel(int(c));
        if (c <= 0 || c >= 121 || !watched || !s.channels.available(int(c), rt.RtPar)) {
          value = QStringLiteral("255");
          rt.RtActive = false;
        } else if (watched->Dev_Nodenr <= 0 || watched->Dev_Nodenr >= 121) {
          value = QStringLiteral("255");
          rt.RtActive = false;
        } else {
          value = n2s(watched->Dev_Nodenr);
          rt.RtActive = true;
        }
      } else if (parameter == 187) {
        fb = 2;
        rt.RtPar = uint8_t(std::llrint(NumericValue(value)));
        const ParameterDef* W = parameterDef(rt.RtPar);
        const uint8_t watchedProc = !W || W->Process >= 128 ? 1 : W->Process;
        s.session->SendMessageWriteRequest(node, proc, 2, 0, 0, QVariant(int(watchedProc)),
                                           s.dde->MakeRequestTag(187));
        fb = 3;
        const uint8_t* wt = varType(s.channels, channel, rt.RtPar);
        const int fbnr = W ? W->FBnr : 0;
        switch (wt ? *wt : 255) {
        case 0: value = n2s(fbnr); rt.RtType = 0; break;
        case 1: value = n2s(fbnr | 32); rt.RtType = 1; break;
        case 2: value = n2s(fbnr | 64); rt.RtType = 2; break;
        case 3: value = n2s(fbnr | 64); rt.RtType = 3; break;
        default: value = n2s(fbnr); rt.RtType = 4; break;
        }
      } else if (parameter == 188) {
        fb = 4;
      }
    }
  }

  int16_t e = CheckWriteValue(*P, type, length, modulePresent(channel), value);
  if (e == 0) {
    if (tracing() && s.log)
      s.log->DebugLogInfo(QStringLiteral("Write_to_Soranet:") + " ProcDB=" + n2s(parProc) + " Node=" + n2s(node) +
                          " Proc=" + n2s(proc) + " ParNr=" + n2s(fb) + " Chan=" + n2s(channel) +
                          " Par=" + n2s(parameter) + " Val=" + value);
    const int16_t newTag = s.dde->MakeRequestTag(parameter);
    e = s.session->SendMessageWriteRequest(node, proc, fb, type, length, QVariant(value), newTag);
    if (e == 0) {
      tag = newTag;
      ++WriteGeneration[{channel, parameter}];
    }
  }
  if (code)
    *code = e;
  const QString text = s.errors->HandleErrorMessage(e, uint8_t(channel), parameter, true, QString());
  if (!text.isEmpty() && s.log)
    s.log->DebugLogError(QStringLiteral("Write_to_Soranet ") + " Error: " + n2s(e) + " nPtag: " + n2s(parameter) +
                         " nChan: " + n2s(channel) + " Node: " + n2s(node) + " Proc: " + n2s(proc) +
                         " Parm: " + n2s(fb) + " Value: " + value);
  return text;
}

QString MessageEngine::Read_from_Soranet_direct(uint8_t node, uint8_t proc, int16_t channel, int16_t parameter)
{
  HandlePendingMsg();
  int16_t tag = 0;
  const QString text = Read_from_Soranet(node, proc, channel, parameter, tag);
  if (!text.isEmpty())
    return text;
  QString value;
  int16_t error = 0;
  if (WaitForReply(tag, 1, value, error) && error == 0)
    return value;
  return QStringLiteral("?");
}

QString MessageEngine::Write_to_Soranet_direct(uint8_t node, uint8_t proc, int16_t channel, int16_t parameter,
                                               const QString& valueText, int16_t* code)
{
  // The poked text is already the item's value: replies taken from here on
  // to reads sent before are stale.
  ++WriteGeneration[{channel, parameter}];
  HandlePendingMsg();
  int16_t tag = 0, sent = 0;
  const QString text = Write_to_Soranet(node, proc, channel, parameter, valueText, tag, &sent);
  if (code)
    *code = sent;
  if (sent != 0)
    return text;
  QString value;
  int16_t error = 0;
  const bool replied = WaitForReply(tag, 4, value, error);
  if (code)
    *code = replied ? error : int16_t(12);
  if (replied)
    return value; // empty for an acknowledgement, the error's text otherwise
  return QStringLiteral("?");
}

namespace {

QVariant typeDefault(uint8_t type)
{
  switch (type) {
  case 0: return QVariant(int(255));
  case 1: return QVariant(int(0));
  case 2: return QVariant(0.0);
  case 3: return QVariant(int(0));
  case 4: return QVariant(QStringLiteral("?"));
  default: return QVariant();
  }
}

QVariant convertTo(uint8_t type, uint8_t length, const QString& text)
{
  const double v = MessageEngine::NumericValue(text);
  switch (type) {
  case 0: return QVariant(int(uint8_t(std::llrint(v))));
  case 1: return QVariant(int(int16_t(std::llrint(v))));
  case 2: return QVariant(v);
  case 3: return QVariant(int(int32_t(std::llrint(v))));
  case 4: return QVariant(length ? text.left(length) : text);
  default: return QVariant();
  }
}

}

int16_t MessageEngine::read_direct(QVariant& value, uint8_t node, uint8_t proc, uint8_t fb, uint8_t type,
                                   uint8_t length)
{
  HandlePendingMsg();
  addHold();
  value = typeDefault(type);
  int16_t error = 37;
  if (s.session && s.dde) {
    const int16_t tag = s.dde->MakeRequestTag(0);
    error = s.session->SendMessageReadRequest(node, proc, fb, type, length, tag);
    if (error == 0) {
      QString text;
      if (WaitForReply(tag, 1, text, error)) {
        if (error == 0)
          value = convertTo(type, length, text);
      } else {
        error = 12;
      }
    }
  }
  if (error != 0) {
    s.errors->HandleErrorMessage(error, 0, 0, false,
                                 QStringLiteral("read_direct ") + " Error: " + n2s(error) + " Node: " + n2s(node) +
                                     " Proc: " + n2s(proc) + " Parm: " + n2s(fb));
    value = typeDefault(type);
  }
  releaseHold();
  return error;
}

// ---------------------------------------------------------------------------
// Replies

int16_t MessageEngine::HandleBusMessages()
{
  if (!s.session || !s.dde)
    return 30;
  ++HandlerDepth;
  int16_t tag = 0, error = 0, channel = 0, parameter = 0;
  uint8_t kind = 0, status = 0, node = 0, proc = 0, fb = 0, type = 0, length = 0;
  QVariant value;
  QString text;
  QList<int16_t> siblings;
  bool writeFlag = false, libraryFailed = false;

  // Step through the reply; the two-part interface reply comes back here
  // once for its second half.
  for (;;) {
    kind = status = node = proc = fb = type = length = 0;
    value.clear();
    error = s.session->CheckMessageReceived(kind, status, node, proc, fb, type, length, value, tag);
    if (error == 30) {
      --HandlerDepth;
      return 30;
    }
    ++s.state.RxCount;
    ++s.state.RepliesTotal;
    if (error != 0) {
      libraryFailed = true;
      break;
    }
    channel = FindChannelNumber(s, node, proc, siblings);
    parameter = s.dde->RequestTagParNr(tag);
    if (status != 0)
      error = status;
    if (status == 0) {
      LastAnswer.start();
      TimeoutsSinceAnswer = 0;
    } else if (status == 25) {
      ++TimeoutsSinceAnswer;
    }

    const bool interfaceRealTime = type == 0 && realTimeProcess(proc) && node == s.state.InterfaceNode &&
                                   s.state.InterfaceAcquisition;
    if (interfaceRealTime) {
      long long v = value.toLongLong();
      if (fb == 1) {
        // The interface reports the watched node; clients know channels.
        if (v > 0 && v < 125)
          v = sora32::GetChannel(uint8_t(v), 1);
        text = n2s(v);
      } else if (fb == 2) {
        PartialValue = value;
        tag = int16_t(tag + 1);
        continue;
      } else if (fb == 3) {
        text = n2s(PartialValue.toLongLong() + v);
      } else {
        text = n2s(v);
      }
    } else {
      text = ValueText(type, parameter, value);
      if (type == 4 && !(node == s.state.InterfaceNode && s.state.InterfaceAcquisition && realTimeProcess(proc)))
        text = s.dde->TrimItemValue(text, parameter);
    }
    break;
  }

  if (libraryFailed) {
    // The library itself failed: no channel or parameter to account it to.
    text = s.errors->HandleErrorMessage(error, 0, 0, false,
                                        QStringLiteral("HandleBusMessages.CheckReceivedMsg.GetError:") + " nError: " +
                                            n2s(error) + " Node: " + n2s(node) + " Proc: " + n2s(proc) +
                                            " Parm: " + n2s(fb) + " ");
  } else {
    writeFlag = kind == 0;
    const ParameterDef* P = parameterDef(parameter);
    if ((node != 0 && channel == 0) || parameter == 0 || !P) {
      // Nothing to account it to: a node the scan does not know, a raw read.
    } else if (error != 0) {
      text = s.errors->HandleErrorMessage(error, uint8_t(channel), parameter, writeFlag, QString());
      if (error == 5) {
        // The instrument wants the other value type: ask with it next time.
        uint8_t* vt = varType(s.channels, channel, parameter);
        if (P->VarType[1] != 255 && vt)
          *vt = *vt != P->VarType[0] ? P->VarType[0] : P->VarType[1];
      } else if (error == 3 || (error == 4 && kind == 1 && P->Read)) {
        int32_t* retries = retryCount(s.channels, channel, parameter);
        if (retries && *retries > 0 && !s.cfg.PollUnavailableParameters)
          --*retries;
        if (s.channels.available(channel, parameter)) {
          if (P->Read && (parameter >= 238 || (s.cfg.RemoveUnavailableParameters && !s.cfg.PollUnavailableParameters))) {
            removeUnavailable(channel, parameter);
            for (int16_t c : siblings)
              if (c != 0 && c != channel)
                removeUnavailable(c, parameter);
          } else {
            setItem(channel, parameter, parameter >= 340 ? QStringLiteral("#N/A") : P->Name);
            for (int16_t c : siblings)
              if (c != 0 && c != channel)
                setItem(c, parameter, P->Name);
          }
        }
      }
    } else {
      int32_t* retries = retryCount(s.channels, channel, parameter);
      if (retries && *retries < s.cfg.RetryNetworkAccess + 1)
        ++*retries;
      if (!text.isEmpty() && type != 4 && !s.cfg.IgnoreDatabaseMinMax) {
        const double v = NumericValue(text);
        if (!(P->Min <= v && v <= P->Max)) {
          error = 6;
          text = s.errors->HandleErrorMessage(6, uint8_t(channel), parameter, writeFlag, QString());
        }
      }
      if (error == 0 && (!text.isEmpty() || type == 4) && kind == 1 && s.channels.available(channel, parameter) &&
          !StaleRead(tag, parameter)) {
        const QString shown = modulePresent(channel) ? text : QStringLiteral("n/a");
        s.dde->Change_dde_item(channel, parameter, shown);
        for (int16_t c : siblings)
          if (c != 0 && c != channel)
            s.dde->Change_dde_item(c, parameter, shown);
      }
    }
  }

  if (tracing() && s.log)
    s.log->DebugLogInfo(QStringLiteral("HandleBusMessages (") + n2s(HandlerDepth) + "):" + " Node: " + n2s(node) +
                        " Proc: " + n2s(proc) + " Parm: " + n2s(fb) + " Chan: " + n2s(channel) +
                        " ParNr: " + n2s(parameter) + " nError: " + n2s(error) + " Value: " + text +
                        " MsgId: " + n2s(tag));
  ReadGeneration.erase(tag);
  StoreReply(tag, text, error);
  --HandlerDepth;
  return error;
}

int16_t MessageEngine::GetPendingState(bool realTime)
{
  const int16_t id = s.session ? int16_t(s.session->iAppId() + (realTime ? 1 : 0)) : 0;
  const int n = s.session ? sora32::GetNrPendingMessages(id) : 0;
  if (!realTime)
    s.fields.set(QStringLiteral("lblPendingMsg"), n2s(n));
  if (n > 400)
    return 1;
  if (n >= 100)
    return 0;
  if (n >= 1)
    return 3;
  return 2;
}

// Takes replies of the normal or the real-time queue until the library
// holds none (pending state 2 or more) or PendingTimeout passes; returns the
// last pending state, over tells whether the time ran out.
int16_t MessageEngine::drainReplies(bool realTime, bool& over)
{
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    const int16_t r = realTime ? HandleBusMessagesRTP() : HandleBusMessages();
    over = clock.elapsed() / 1000 > s.cfg.PendingTimeout; // whole seconds
    // When the server is to end, what is in is taken; nothing more is awaited.
    if (r == 30 && s.state.StopRequested)
      return GetPendingState(realTime);
    if (r == 30 || over) {
      const int16_t state = GetPendingState(realTime);
      if (over || state >= 2)
        return state;
      // A hundred or more replies are still on their way: let them come in
      // (and the window and the clients be served) instead of spinning.
      WaitWithMessages(1);
    }
  }
}

bool MessageEngine::HandlePendingMsg()
{
  bool over = false;
  const int16_t state = drainReplies(false, over);
  if (over) {
    s.errors->HandleErrorMessage(state != 1 ? 41 : 40, 0, 0, false, QString());
    return false;
  }
  // 3: some replies are still on their way; the caller tries again later.
  return state == 2;
}

int16_t MessageEngine::HandleBusMessagesRTP()
{
  if (!s.session || !s.dde)
    return 30;
  const int16_t id = int16_t(s.session->iAppId() + 1);
  uint8_t node = 0, proc = 0, fb = 0, kind = 0, type = 0, status = 0;
  int16_t tag = 0, channel = 0, parameter = 0;
  int16_t error = sora32::CheckReceivedMsg(id, node, proc, fb, kind, type, tag);
  if (error == 30)
    return 30;
  QString text, logText;
  QList<int16_t> siblings;
  const bool writeFlag = kind == 0;
  auto fields = [&] {
    return " Node: " + n2s(node) + " Proc: " + n2s(proc) + " Parm: " + n2s(fb) + " bytMsgStatus: " + n2s(status) +
           " nChan: " + n2s(channel) + " nPtag: " + n2s(parameter) + " ";
  };

  error = sora32::GetError();
  if (error != 0) {
    logText = QStringLiteral("HandleBusMessagesRTP.CheckReceivedMsg.GetError:") + " nError: " + n2s(error) +
              " Node: " + n2s(node) + " Proc: " + n2s(proc) + " Parm: " + n2s(fb) + " ";
    text = s.errors->HandleErrorMessage(error, 0, 0, writeFlag, logText);
  } else {
    channel = FindChannelNumber(s, node, proc, siblings);
    parameter = s.dde->RequestTagParNr(tag);
    sora32::GetStatus(id, node, proc, fb, status, tag);
    if (status != 0 && !(kind == 1 && status == 25))
      error = status;
    if (kind == 1 && error != 0) {
      logText = QStringLiteral("HandleBusMessagesRTP.GetStatus: nError: ") + n2s(error) + fields();
    } else if (kind == 1) {
      if (type != 4) {
        error = 12;
      } else if (realTimeProcess(proc) && node == s.state.InterfaceNode && s.state.InterfaceAcquisition) {
        const RealTimeChannel& rt = RealTime(proc - 122);
        int16_t rc = 0;
        int32_t stamp = 0;
        QString v;
        switch (rt.RtType) {
        case 0: {
          uint8_t x = 0;
          rc = sora32::GetRealTimeChar(id, node, proc, fb, x, stamp, tag);
          v = n2s(x);
          break;
        }
        case 1: {
          int16_t x = 0;
          rc = sora32::GetRealTimeInt(id, node, proc, fb, x, stamp, tag);
          v = n2s(x < -23593 ? x + 65536 : x);
          break;
        }
        case 2: {
          float x = 0;
          rc = sora32::GetRealTimeFloat(id, node, proc, fb, x, stamp, tag);
          // Seven significant digits, all that a single carries (the default
          // six would drop the last one of a value like 1234.567).
          v = QString::number(double(x), 'g', 7);
          break;
        }
        case 3: {
          int32_t x = 0;
          rc = sora32::GetRealTimeLong(id, node, proc, fb, x, stamp, tag);
          v = n2s(x);
          break;
        }
        default: rc = 3, v = QStringLiteral("-1"), stamp = -1; break;
        }
        if (rc == 0)
          text = v + ',' + n2s(stamp);
        else if (rc == 30)
          text = QStringLiteral("No answer");
        else if (rc == 35)
          text = QStringLiteral("No event");
        else
          text = QStringLiteral("Error: ") + n2s(rc);
      }
      if (error != 0)
        logText = QStringLiteral("HandleBusMessagesRTP.GetCharIntFloatLongString: ") + " nError: " + n2s(error) +
                  fields();
    }

    if (node != 0 && channel == 0) {
      // a node the scan does not know
    } else if (error != 0 || parameter == 0) {
      if (!(parameter == 0 || parameter == 1 || parameter == 27 || s.state.SuppressErrors))
        text = s.errors->HandleErrorMessage(error, uint8_t(channel), parameter, writeFlag, logText);
    } else {
      const ParameterDef* P = parameterDef(parameter);
      if (P && !text.isEmpty() && type != 4 && !s.cfg.IgnoreDatabaseMinMax) {
        const double v = NumericValue(text);
        if (!(P->Min <= v && v <= P->Max)) {
          error = 6;
          text = s.errors->HandleErrorMessage(6, uint8_t(channel), parameter, writeFlag, QString());
        }
      }
      if (error == 0 && (!text.isEmpty() || type == 4) && !writeFlag && s.channels.available(channel, parameter)) {
        if (s.db && parameter <= s.db->MaxParNr)
          setItem(channel, parameter, text);
        else
          s.dde->Change_dde_item(channel, parameter, modulePresent(channel) ? text : QStringLiteral("n/a"));
      }
    }
  }
  sora32::RemoveMsg(id, node, proc, fb);
  StoreReply(tag, text, error);
  return error;
}

bool MessageEngine::HandlePendingMsgRTP()
{
  bool over = false;
  const int16_t state = drainReplies(true, over);
  return state == 2 && !over;
}

void MessageEngine::HandleOutstandingMsg()
{
  // Let the scheduler collect what it has asked for, but send nothing new
  // (unless the server is to end: then only what has come in is taken).
  if (s.poll && !s.state.StopRequested)
    s.poll->StartPollingTimers();
  addHold();
  // The cycle can only finish while the channel timer runs; it does not run
  // while the server is not ready (a configuration check in progress), and
  // waiting out the limit then would only delay the operator's function.
  // Nor has polling asked for anything before the watchdog's first tick
  // (the channel ticks do nothing until then): nothing is outstanding.
  const auto cycleCanFinish = [this] {
    return s.poll && s.poll->watchdogRunning() && s.poll->moTimerChan() && s.poll->moTimerChan()->isActive();
  };
  QElapsedTimer clock;
  clock.start();
  while (cycleCanFinish() && !s.poll->bPollingFinished() && clock.elapsed() <= 2000 && !s.state.StopRequested)
    WaitWithMessages(2);
  if (s.poll)
    s.poll->StopPolling();
  HandlePendingMsg();
  if (s.poll)
    s.poll->StopPolling();
  releaseHold();
  s.state.RxCount = 0;
  s.fields.set(QStringLiteral("lblAmount"), QStringLiteral("0"));
}

// ---------------------------------------------------------------------------
// Reply wait table

bool MessageEngine::WaitForReply(int16_t tag, int32_t limitSeconds, QString& value, int16_t& error)
{
  const int slot = RegisterWait(tag);
  addHold();
  QElapsedTimer clock;
  clock.start();
  const qint64 limit = qint64(limitSeconds) * 1000;
  do {
    WaitWithMessages(2);
    HandleBusMessages();
  } while (!(clock.elapsed() > limit || s.state.StopRequested || GetWaitResult(slot, value, error)));
  const bool result = GetWaitResult(slot, value, error);
  ReleaseWait(slot);
  releaseHold();
  return result;
}

int MessageEngine::RegisterWait(int16_t tag)
{
  auto slot = std::find_if(WaitTable.begin(), WaitTable.end(), [](const WaitSlot& w) { return w.state == WaitSlot::Free; });
  if (slot == WaitTable.end())
    slot = WaitTable.insert(WaitTable.end(), WaitSlot{});
  *slot = WaitSlot{WaitSlot::Waiting, tag, {}, 0};
  return int(slot - WaitTable.begin()) + 1;
}

void MessageEngine::StoreReply(int16_t tag, const QString& value, int16_t error)
{
  for (WaitSlot& w : WaitTable)
    if (w.state == WaitSlot::Waiting && w.tag == tag)
      w = WaitSlot{WaitSlot::Arrived, tag, value, error};
}

bool MessageEngine::GetWaitResult(int slot, QString& value, int16_t& error) const
{
  if (slot < 1 || slot > int(WaitTable.size())) {
    value.clear();
    error = 0;
    return false;
  }
  const WaitSlot& w = WaitTable[size_t(slot - 1)];
  value = w.value;
  error = w.error;
  return w.state == WaitSlot::Arrived;
}

void MessageEngine::ReleaseWait(int slot)
{
  if (slot >= 1 && slot <= int(WaitTable.size()))
    WaitTable[size_t(slot - 1)] = WaitSlot{};
}

bool MessageEngine::StaleRead(int16_t tag, int16_t parameter)
{
  const auto it = ReadGeneration.find(tag);
  if (it == ReadGeneration.end())
    return false;
  const SentRead sent = it->second;
  ReadGeneration.erase(it);
  const auto w = WriteGeneration.find({sent.channel, parameter});
  return w != WriteGeneration.end() && w->second != sent.generation;
}

void MessageEngine::ResetForOpen()
{
  RealTimeChannels.fill(RealTimeChannel{});
  WriteGeneration.clear();
  ReadGeneration.clear();
  LastAnswer.start();
  TimeoutsSinceAnswer = 0;
  WaitTable.clear();
  PartialValue.clear();
}

}
