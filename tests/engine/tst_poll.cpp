// The polling scheduler and its watchdog: batches and cycle ends, the
// module-parameter rule for 33/34, holds, the watchdog figures, restart,
// failure report and close; values flowing while polling runs, a node going
// silent and coming back, and writes through a noisy line.
#include "EngineWorld.h"

#include "Timer.h"

#include <QPlainTextEdit>

using namespace tesmira;
using enginetest::World;

class TestPoll : public QObject {
  Q_OBJECT

  // Ticks the channel timer by hand (the timers themselves stay stopped)
  // until the cycle is idle again; returns the channels polled meanwhile.
  static QList<int> batch(World& w, QList<int>& polled)
  {
    const qsizetype before = polled.size();
    for (int i = 0; i < 200; ++i) {
      w.s().poll->moTimerChan_TimerEvent();
      if (w.s().poll->bPollingFinished())
        break;
      QTest::qWait(2);
    }
    return polled.mid(before);
  }

  // A scheduler ready to tick: the watchdog's first tick marks it running.
  static void arm(World& w, QList<int>& polled)
  {
    QObject::connect(w.s().poll.get(), &frmPollTime::channelPolled, [&polled](int16_t c) { polled.append(c); });
    w.s().poll->tmrWatchdog_Timer();
    QVERIFY(w.s().poll->watchdogRunning());
  }

private slots:
  void initTestCase() { enginetest::fastLibrary(); }

  void watchdogInterval()
  {
    World w;
    QVERIFY2(w.startServer(), qPrintable(w.failure));
    QCOMPARE(w.s().poll->CalcWatchdogInterval(), 1700);
    w.s().state.InterfaceAcquisition = true;
    QCOMPARE(w.s().poll->CalcWatchdogInterval(), 2000);
    w.s().cfg.Polltime = 10000;
    w.s().cfg.RealtimePollTime = 10000;
    QCOMPARE(w.s().poll->CalcWatchdogInterval(), 65535);
  }

  void holdsNest()
  {
    World w;
    QVERIFY2(w.startServer(), qPrintable(w.failure));
    frmPollTime& p = *w.s().poll;
    p.setExtendPolling(true);
    p.setExtendPolling(true);
    p.setExtendPolling(false);
    QVERIFY(p.bExtendPolling());
    p.setExtendPolling(false);
    p.setExtendPolling(false); // never below 0
    QVERIFY(!p.bExtendPolling());
    p.setExtendPolling(true);
    QVERIFY(p.bExtendPolling());
    p.StartPollingTimers(); // clears every hold
    QVERIFY(!p.bExtendPolling());
  }

  void batchOfTenWithThreeChannels()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    w.s().channels.MaxChannel = 3;
    w.s().cfg.IndirectPolling = true;
    int checks = 0;
    w.s().poll->HandleGlobModify = [&] { ++checks; };
    QList<int> polled;
    arm(w, polled);
    // One batch polls 1..3 and wraps; the cycle end runs the check once.
    QCOMPARE(batch(w, polled), QList<int>({1, 2, 3}));
    QCOMPARE(w.s().poll->currentChannel(), int16_t(0));
    QCOMPARE(checks, 1);
    QCOMPARE(batch(w, polled), QList<int>({1, 2, 3}));
    QCOMPARE(checks, 2);
  }

  void batchOfTwoWithFiveChannels()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    w.s().channels.MaxChannel = 5;
    w.s().cfg.PollBatch = 2;
    w.s().cfg.IndirectPolling = true;
    int checks = 0;
    w.s().poll->HandleGlobModify = [&] { ++checks; };
    QList<int> polled;
    arm(w, polled);
    QCOMPARE(batch(w, polled), QList<int>({1, 2}));
    QCOMPARE(checks, 0);
    QCOMPARE(batch(w, polled), QList<int>({3, 4}));
    QCOMPARE(checks, 0);
    QCOMPARE(batch(w, polled), QList<int>({5})); // wraps at its second step
    QCOMPARE(checks, 1);
    QCOMPARE(batch(w, polled), QList<int>({1, 2}));
  }

  void moduleParametersOncePerNode()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    ChannelModel& m = w.s().channels;
    auto& table = w.s().db->ParameterTable;
    table[33].Poll = table[34].Poll = true;
    for (int c = 1; c <= m.MaxChannel; ++c) {
      const bool node6 = m.ChannelTable[size_t(c)].Dev_Nodenr == 6;
      w.offer(c, 33, node6);
      w.offer(c, 34, node6);
    }
    QList<int> polled;
    arm(w, polled);
    const int16_t first = w.s().dde->MakeRequestTag(33);
    QCOMPARE(batch(w, polled).size(), int(m.MaxChannel));
    // Four channels of node 6 one after the other: one request for 33.
    QCOMPARE(int(w.s().dde->MakeRequestTag(33) - first), 2);
  }

  void holdStopsTheBatch()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    QList<int> polled;
    arm(w, polled);
    bool taken = false;
    connect(w.s().poll.get(), &frmPollTime::channelPolled, [&] {
      if (!taken)
        PollingHold(w.s(), taken = true);
    });
    QCOMPARE(batch(w, polled), QList<int>({1}));
    QCOMPARE(w.s().poll->currentChannel(), int16_t(1));
    QCOMPARE(batch(w, polled), QList<int>()); // held: collects, sends nothing
    PollingHold(w.s(), false);
    QCOMPARE(batch(w, polled).first(), 2); // carries on where it stopped
  }

  void watchdogRestartsFailsAndCloses()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    QPlainTextEdit console;
    w.s().log->setConsole(&console);
    w.s().log->EchoAll = true;
    frmPollTime& p = *w.s().poll;
    p.StartPollingTimers();
    QVERIFY(p.tmrWatchdog().isActive());
    QCOMPARE(p.tmrWatchdog().interval(), 1700);
    // The timer component dies: no more ticks. The watchdog runs by hand
    // here, without letting events through.
    support::Timer* dead = p.moTimerChan();
    dead->stop();
    for (int i = 0; i < 3; ++i)
      p.tmrWatchdog_Timer();
    QCOMPARE(p.failCount(), 3);
    QVERIFY(p.moTimerChan() != dead);
    QVERIFY(p.moTimerChan()->isActive());
    QCOMPARE(p.moTimerChan()->secondProperty(), 5);
    QVERIFY(console.toPlainText().contains("Polling failure, restarting OrvTimers"));
    p.moTimerChan()->stop();
    for (int i = 0; i < 3; ++i)
      p.tmrWatchdog_Timer();
    QCOMPARE(w.s().fields.value("ComStatus"), QString("Polling failure"));
    QVERIFY(console.toPlainText().contains("Polling failure (no response from OrvTimers)"));
    while (p.failCount() < 59) {
      p.moTimerChan()->stop();
      p.tmrWatchdog_Timer();
    }
    QVERIFY(w.s().state.CommOpen);
    p.tmrWatchdog_Timer();
    QVERIFY(console.toPlainText().contains(
      "Communication will be closed now. If the problem continues to exist, try reinstalling Tesmira"));
    QVERIFY(!w.s().state.CommOpen);
  }

  void activityKeepsTheWatchdogQuietAndStopIsIdle()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    frmPollTime& p = *w.s().poll;
    w.s().cfg.Polltime = 10; // watchdog every 620 ms
    p.StartPolling();
    QCOMPARE(p.tmrWatchdog().interval(), 620);
    QVERIFY(w.until([&] { return w.s().fields.value("ComStatus") == "Normal polling"; }, 5000));
    QCOMPARE(p.failCount(), 0);
    p.StopPolling();
    QVERIFY(!p.moTimerChan()->isActive());
    QVERIFY(w.until([&] { return !p.tmrWatchdog().isActive(); }, 5000));
    QCOMPARE(w.s().fields.value("ComStatus"), QString("Idle"));
    QVERIFY(w.until([&] {
      p.tmrWatchdog_Timer();
      return p.bPollingFullyStopped();
    }));
  }

  void valuesFollowTheInstrument()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c = w.channelOf(4, 1);
    for (int ch = 1; ch <= w.s().channels.MaxChannel; ++ch)
      w.s().dde->topic(int16_t(ch))->ChangeItem(8, "none");
    w.s().poll->StartPolling();
    QVERIFY(w.until([&] { return w.item(c, 8) != "none"; }));
    QCOMPARE(w.engine().Write_to_Soranet_direct(4, 1, int16_t(c), 9, "24000"), QString());
    QVERIFY2(w.until([&] { return w.item(c, 8) == "24000"; }, 5000), qPrintable(w.item(c, 8)));
    QVERIFY(w.until([&] { return w.s().fields.value("lblAmount").toInt() > 0; }, 5000));
  }

  void silentNodeThenBack()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int meter = w.channelOf(3, 1), ctrl = w.channelOf(4, 1);
    w.s().poll->StartPolling();
    QVERIFY(w.until([&] { return w.item(meter, 8) != par8Name(w); }));
    soranetsim::Faults f;
    f.silent = {3};
    w.bus->setFaults(f);
    const long errors = w.s().errors->ErrorCount;
    w.s().dde->topic(int16_t(meter))->ChangeItem(8, "stale");
    // The other channels keep updating while node 3 times out.
    QCOMPARE(w.engine().Write_to_Soranet_direct(4, 1, int16_t(ctrl), 9, "8000"), QString());
    QVERIFY(w.until([&] { return w.item(ctrl, 8) == "8000"; }, 5000));
    QVERIFY(w.until([&] { return w.s().errors->ErrorCount > errors; }, 5000));
    QCOMPARE(w.item(meter, 8), QString("stale"));
    w.bus->setFaults({});
    QVERIFY(w.until([&] { return w.item(meter, 8) != "stale"; }, 5000));
  }

  void noisyLineLosesNoWrite()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int ctrl = w.channelOf(4, 1);
    w.s().poll->StartPolling();
    soranetsim::Faults f;
    f.corrupt = 0.01;
    w.bus->setFaults(f);
    soraproto::Value sp;
    for (int i = 1; i <= 200; ++i) {
      const QString v = QString::number(i * 150);
      const QString r = w.engine().Write_to_Soranet_direct(4, 1, int16_t(ctrl), 9, v);
      QVERIFY2(r.isEmpty(), qPrintable(QStringLiteral("write %1: %2").arg(i).arg(r)));
      QVERIFY(w.bus->peek(4, 1, 1, sp));
      QCOMPARE(int(sp.i), i * 150);
    }
    QVERIFY(w.s().state.CommOpen);
  }

private:
  static QString par8Name(World& w) { return w.s().db->ParameterTable[8].Name.trimmed(); }
};

QTEST_MAIN(TestPoll)
#include "tst_poll.moc"
