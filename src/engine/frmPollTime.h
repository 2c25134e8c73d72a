#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

namespace support {
class Timer;
}

namespace tesmira {

class Server;

// Adds (on = true) or removes one polling hold. While any hold is taken the
// scheduler sends no poll requests; it still collects replies. Holds nest:
// a wait inside a wait keeps polling paused until the outer one lets go.
void PollingHold(Server& s, bool on);

// The polling scheduler and its watchdog.
//
// The channel timer (moTimerChan) sends read requests for every polled
// parameter of a batch of channels and collects the replies through the
// message engine, which publishes them to the topics; a full pass over all
// channels is a cycle. The real-time timer (moTimerRTP) polls the real-time
// channels of an interface instrument while its acquisition runs. The
// watchdog (tmrWatchdog) checks that both keep ticking: after 3 silent
// ticks it replaces the two timer objects, after 6 it reports a polling
// failure and after 60 it closes the communication.
//
// Cycle states: 0 idle (the next tick sends a batch), 1 collect the batch's
// replies, 2 a full cycle is done, 3 collect the replies of the modified-
// parameter check. A tick runs at most three passes of this state machine;
// an unfinished cycle re-arms the channel timer at 1 ms, a finished one at
// Polltime.
//
// All of it runs on the main thread; handlers process events while they
// work, so client requests and the other timers interleave with them. The
// busy flags tell the watchdog that a handler is still at work.
class frmPollTime : public QObject {
  Q_OBJECT
public:
  explicit frmPollTime(Server& s, QObject* parent = nullptr);
  ~frmPollTime() override;

  // Registers with the debug component and creates the two timer objects.
  // Returns the error text (empty on success).
  QString ClassInitialize();

  // Start and stop the whole polling (timers, watchdog, rate figure).
  void StartPolling();
  void StopPolling();
  // Starts the timers and the watchdog (unless simulating or not ready),
  // clears every hold and puts the cycle into its collecting state.
  void StartPollingTimers();
  // Stops both timers; the watchdog's next tick completes the stop.
  void StopPollingTimers();
  // 12 x (Polltime + RealtimePollTime when acquisition runs) + 500 ms, at
  // most 65535.
  int32_t CalcWatchdogInterval() const;

  bool bPollingFinished() const { return m_cycleState == 0; }
  bool bPollingFullyStopped() const { return m_fullyStopped; }
  bool bExtendPolling() const;
  void setExtendPolling(bool on);

  // Sends the poll requests of one channel, then collects what has arrived.
  void PollChannel(int16_t channel);
  // Sends the read requests of the active real-time channels.
  void PollRealTimeChannels();

  // Timer events.
  void moTimerChan_TimerEvent();
  void moTimerRTP_TimerEvent();
  void tmrWatchdog_Timer();

  // ---- inspection (status display and tests) --------------------------------
  int cycleState() const { return m_cycleState; }
  int16_t currentChannel() const { return m_currentChannel; }
  // Seconds between the last two ends of a full cycle (a restart of the
  // polling measures afresh); 0 before the first measure.
  double lastCycleSeconds() const { return m_cycleSeconds; }
  int failCount() const { return m_failCount; }
  bool stopRequested() const { return m_stopRequested; }
  bool watchdogRunning() const { return m_watchdogRunning; }
  support::Timer* moTimerChan() const { return m_timerChan.get(); }
  support::Timer* moTimerRTP() const { return m_timerRTP.get(); }
  const QTimer& tmrWatchdog() const { return m_watchdog; }

signals:
  // A channel's poll requests are about to be sent.
  void channelPolled(int16_t channel);

private:
  void createTimers();
  void runBatch();
  void letEventsRun(bool channelDone = false);
  void updateRate();
  void setComStatus(const QString& text);

  Server& s;
  std::unique_ptr<support::Timer> m_timerChan;
  std::unique_ptr<support::Timer> m_timerRTP;
  QTimer m_watchdog;

  int m_cycleState = 0;
  bool m_stopRequested = false;
  bool m_watchdogRunning = false;
  bool m_chanTicked = false, m_rtpTicked = false;
  bool m_chanBusy = false, m_rtpBusy = false;
  int m_failCount = 0;
  bool m_fullyStopped = true;
  int16_t m_currentChannel = 0;
  double m_lastRateTime = 0;
  int m_lastPolledNode = -1;
  QElapsedTimer m_pumpClock;
  QElapsedTimer m_cycleClock; // since the last end of a full cycle
  double m_cycleSeconds = 0;
};

}
