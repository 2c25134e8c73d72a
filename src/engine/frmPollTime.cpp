#include "frmPollTime.h"

#include "GlobModify.h"
#include "MessageEngine.h"

#include "bus/Communication.h"
#include "bus/ErrorMessages.h"
#include "bus/clsComSoraDLL.h"
#include "core/Server.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Timer.h"
#include "sora32.h"

#include <QCoreApplication>
#include <QTime>
#include <algorithm>

namespace tesmira {

namespace {
// Watchdog ticks without polling after which polling counts as failed; the
// same span of silence on the bus counts as a lost bus.
constexpr int kFailureTicks = 6;
}

void PollingHold(Server& s, bool on)
{
  if (on)
    ++s.state.bExtendPolling;
  else if (s.state.bExtendPolling > 0)
    --s.state.bExtendPolling;
}

frmPollTime::frmPollTime(Server& server, QObject* parent) : QObject(parent), s(server)
{
  m_watchdog.setSingleShot(false);
  connect(&m_watchdog, &QTimer::timeout, this, &frmPollTime::tmrWatchdog_Timer);
  // Start-up and shut-down stop polling through these hooks.
  s.StopPollingHook = [this] { StopPolling(); };
  s.StopPollingTimersHook = [this] { StopPollingTimers(); };
}

frmPollTime::~frmPollTime()
{
  s.StopPollingHook = nullptr;
  s.StopPollingTimersHook = nullptr;
  if (s.debug())
    s.debug()->LogClassTerm(QStringLiteral("fPollTime"));
}

QString frmPollTime::ClassInitialize()
{
  if (s.debug())
    s.debug()->LogClassInit(QStringLiteral("fPollTime"));
  createTimers();
  m_fullyStopped = true;
  if (!m_timerChan || !m_timerRTP)
    return QStringLiteral("frmPollTime") + ".ClassInitialize(Error 7): the polling timers cannot be created";
  return QString();
}

void frmPollTime::createTimers()
{
  m_timerChan = std::make_unique<support::Timer>();
  m_timerRTP = std::make_unique<support::Timer>();
  connect(m_timerChan.get(), &support::Timer::timer, this, &frmPollTime::moTimerChan_TimerEvent);
  connect(m_timerRTP.get(), &support::Timer::timer, this, &frmPollTime::moTimerRTP_TimerEvent);
}

bool frmPollTime::bExtendPolling() const { return s.state.bExtendPolling != 0; }

void frmPollTime::setExtendPolling(bool on) { PollingHold(s, on); }

int32_t frmPollTime::CalcWatchdogInterval() const
{
  const long long perTick = s.cfg.Polltime + (s.state.InterfaceAcquisition ? s.cfg.RealtimePollTime : 0);
  return int32_t(std::min<long long>(12 * perTick + 500, 65535));
}

void frmPollTime::setComStatus(const QString& text)
{
  s.SetComStatus(text);
}

void frmPollTime::StartPollingTimers()
{
  if (!s.state.SimulationOn && !s.state.NotReady) {
    StopPollingTimers();
    // Normally created by ClassInitialize; a scheduler started without it
    // still gets its timers.
    if (!m_timerChan || !m_timerRTP)
      createTimers();
    if (m_timerRTP) {
      m_timerRTP->setInterval(s.cfg.RealtimePollTime);
      m_timerRTP->setSecondProperty(5);
      if (s.state.InterfaceAcquisition)
        m_timerRTP->start();
      else
        m_timerRTP->stop();
    } else if (s.log) {
      s.log->DebugLogError(QStringLiteral("frmPollTime.StartPollingTimers 91\r\nthe real-time timer does not exist"));
    }
    if (m_timerChan) {
      m_timerChan->setInterval(s.cfg.Polltime);
      m_timerChan->setSecondProperty(5);
      m_timerChan->start();
    } else if (s.log) {
      s.log->DebugLogError(QStringLiteral("frmPollTime.StartPollingTimers 91\r\nthe channel timer does not exist"));
    }
    m_stopRequested = false;
    m_watchdog.setInterval(CalcWatchdogInterval());
    m_watchdog.start();
  }
  s.state.bExtendPolling = 0;
  m_cycleState = 1; // the first tick collects replies before it sends
  m_cycleClock.invalidate();
}

void frmPollTime::StopPollingTimers()
{
  m_stopRequested = true;
  if (m_timerChan)
    m_timerChan->stop();
  if (m_timerRTP)
    m_timerRTP->stop();
}

void frmPollTime::StartPolling()
{
  if (s.engine)
    s.engine->HandlePendingMsg();
  StartPollingTimers();
  // ChangeMmTimer raised the system timer resolution to 2 ms elsewhere. Linux
  // timers already have millisecond resolution (the polling timers are
  // precise timers), so the setting has nothing to change here.
  s.state.RxCount = 0;
  s.fields.set(QStringLiteral("lblAmount"), QStringLiteral("0"));
}

void frmPollTime::StopPolling()
{
  StopPollingTimers();
  if (s.state.CommOpen && !s.state.NotReady && s.engine)
    s.engine->HandleBusMessages();
}

void frmPollTime::moTimerChan_TimerEvent()
{
  m_chanTicked = true;
  if (!s.state.CommOpen || s.state.SimulationOn || !m_watchdogRunning || s.state.NotReady || !s.engine)
    return;
  m_chanBusy = true;
  if (sora32::GetCommunication() == 0) {
    // The library lost the line: report it and close; the busy flag stays
    // set so the watchdog does not take the silence for a dead timer.
    s.errors->HandleErrorMessage(37, 0, 0, false, QString());
    StopCommunication(s);
    return;
  }
  for (int pass = 0; pass < 3; ++pass) {
    switch (m_cycleState) {
    case 0: runBatch(); break;
    case 1:
      for (int i = 0; i < 3; ++i)
        if (s.engine->HandlePendingMsg()) {
          m_cycleState = m_currentChannel == 0 ? 2 : 0; // 0 here means the cycle wrapped
          break;
        }
      break;
    case 2:
      if (m_cycleClock.isValid())
        m_cycleSeconds = double(m_cycleClock.nsecsElapsed()) / 1e9;
      m_cycleClock.start();
      if (s.cfg.IndirectPolling) {
        HandleGlobModify(s);
        m_cycleState = 3;
      } else {
        m_cycleState = 0;
      }
      updateRate();
      break;
    case 3:
      for (int i = 0; i < 3; ++i)
        if (s.engine->HandlePendingMsg())
          break;
      m_cycleState = 0;
      break;
    default: m_cycleState = 0; break;
    }
    if (m_cycleState == 0)
      break;
  }
  if (m_timerChan)
    m_timerChan->setInterval(m_cycleState == 0 ? s.cfg.Polltime : 1);
  m_chanBusy = false;
}

void frmPollTime::runBatch()
{
  if (s.state.bExtendPolling == 0 && s.channels.MaxChannel != 0) {
    for (int i = 1; i <= s.cfg.PollBatch; ++i) {
      if (m_currentChannel >= s.channels.MaxChannel) {
        m_currentChannel = 0;
        s.ResetBusyProgress();
        break;
      }
      // A hold taken meanwhile (by a client command or an operator window)
      // stops the rest of the batch.
      if (s.state.bExtendPolling == 0) {
        ++m_currentChannel;
        PollChannel(m_currentChannel);
      }
      letEventsRun(true);
    }
  }
  m_cycleState = 1;
}

void frmPollTime::letEventsRun(bool channelDone)
{
  // One pass of the event loop polls every client connection; with a hundred
  // conversations that costs more than sending a request. Between the
  // requests of a channel it therefore runs at most once per millisecond,
  // which keeps clients and the window as responsive as a pass after every
  // request. After each channel it always runs, so that a hold taken by a
  // client command meanwhile is seen before the next channel is polled.
  if (!channelDone && m_pumpClock.isValid() && m_pumpClock.nsecsElapsed() < 1000000)
    return;
  m_pumpClock.start();
  QCoreApplication::processEvents();
}

void frmPollTime::updateRate()
{
  const double now = QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
  const double d = now - m_lastRateTime;
  if (d > 1.0) {
    s.fields.set(QStringLiteral("lblAmount"), QString::number(static_cast<long long>(s.state.RxCount / d)));
    m_lastRateTime = now;
    s.state.RxCount = 0;
  } else if (d < 0) {
    m_lastRateTime = now; // midnight passed: measure from here
  }
}

void frmPollTime::PollChannel(int16_t channel)
{
  const ChannelRec* r = s.channels.channel(channel);
  if (!r || !r->Polling || !r->ModulePresent || !s.db || !s.engine)
    return;
  emit channelPolled(channel);
  const uint8_t node = r->Dev_Nodenr, proc = r->Dev_Proc;
  const bool ifi = r->IsIfiChannel;
  const int maxPar = std::min<int>(s.db->MaxParNr, int(s.db->ParameterTable.size()) - 1);
  for (int p = 1; p <= maxPar; ++p) {
    // 175 is the identification number an interface instrument reports for
    // the channel: polled on such channels so that a change is seen.
    if (!s.db->ParameterTable[size_t(p)].Poll && !(p == 175 && ifi))
      continue;
    // 33 and 34 belong to the module: read once for channels of one node
    // polled one after the other.
    if (s.channels.available(channel, p) && !(node == m_lastPolledNode && (p == 33 || p == 34))) {
      int16_t tag = 0;
      s.engine->Read_from_Soranet(node, proc, channel, int16_t(p), tag);
    }
    letEventsRun();
  }
  s.engine->HandlePendingMsg();
  m_lastPolledNode = node;
}

void frmPollTime::moTimerRTP_TimerEvent()
{
  m_rtpTicked = true;
  if (!s.state.InterfaceAcquisition || !s.state.CommOpen || s.state.SimulationOn || m_stopRequested ||
      s.state.NotReady || !s.engine)
    return;
  m_rtpBusy = true;
  if (s.state.bExtendPolling == 0 && s.channels.MaxChannel != 0)
    PollRealTimeChannels();
  if (!s.engine->HandlePendingMsgRTP())
    s.engine->HandlePendingMsgRTP();
  m_rtpBusy = false;
}

void frmPollTime::PollRealTimeChannels()
{
  if (!s.state.CommOpen || s.state.SimulationOn || !s.engine || !s.session || !s.dde)
    return;
  for (int k = 1; k <= 4; ++k) {
    RealTimeChannel& rt = s.engine->RealTime(k);
    if (!rt.RtActive)
      continue;
    const uint8_t fb = rt.RtToggle ? 11 : 10;
    rt.RtToggle = !rt.RtToggle;
    const int16_t tag = s.dde->MakeRequestTag(189);
    const int16_t error = sora32::ReadString(int16_t(s.session->iAppId() + 1), 0, uint8_t(s.state.InterfaceNode),
                                             uint8_t(122 + k), fb, 0, tag);
    if (error != 0)
      s.errors->HandleErrorMessage(error, 0, 0, false, QString());
  }
}

void frmPollTime::tmrWatchdog_Timer()
{
  m_fullyStopped = !(m_chanBusy || m_rtpBusy || m_watchdogRunning);
  if (m_stopRequested) {
    m_watchdog.stop();
    m_stopRequested = false;
    setComStatus(QStringLiteral("Idle"));
    m_watchdogRunning = false;
    m_failCount = 0;
    return;
  }
  m_watchdogRunning = true;
  // A lost bus keeps its status while the timers tick on.
  if (CheckBusLoss(s, qint64(kFailureTicks) * m_watchdog.interval())) {
    setComStatus(QStringLiteral("Polling failure"));
    return;
  }
  if ((m_chanTicked || m_chanBusy) && (m_rtpTicked || m_rtpBusy || !s.state.InterfaceAcquisition)) {
    m_chanTicked = m_rtpTicked = false;
    setComStatus(QStringLiteral("Normal polling"));
    m_failCount = 0;
    return;
  }
  ++m_failCount;
  if (m_failCount == 3) {
    // The timers have gone silent: replace them with fresh ones.
    StopPollingTimers();
    createTimers();
    StartPollingTimers();
    if (s.log)
      s.log->LogMessage(Warn, QStringLiteral("Polling failure, restarting OrvTimers"));
  } else if (m_failCount == kFailureTicks) {
    if (s.log)
      s.log->LogMessage(Error, QStringLiteral("Polling failure (no response from OrvTimers)"));
    setComStatus(QStringLiteral("Polling failure"));
  } else if (m_failCount == 60) {
    if (s.log) {
      s.log->LogMessage(Error, QStringLiteral("Polling failure (no response from OrvTimers)"));
      s.log->LogMessage(Init, QStringLiteral("Communication will be closed now. If the problem continues to exist, "
                                             "try reinstalling ") +
                                  Server::title());
    }
    StopCommunication(s);
  }
}

}
