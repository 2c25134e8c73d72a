// The message engine and the polling scheduler: value texts, write
// preparation, bus addresses, access checks, error bookkeeping, pending
// states and re-entrant reply waits; batches, holds and the watchdog; values
// flowing while polling runs. Bus cases run against the virtual bus over a
// pseudo-terminal.
#include "RowCompare.h"
#include "ServerRig.h"

#include "Timer.h"
#include "bus/ErrorMessages.h"

#include "ui/ConsolePane.h"
#include <QTimer>

using namespace tesmira;
using World = serverrig::Rig;

// A server alone, or with the line open on the bus.
#define WORLD(w, bus) \
  World w;            \
  QVERIFY2(w.startServer() && (!(bus) || w.openBus()), qPrintable(w.failure))

class TestEngine : public QObject {
  Q_OBJECT

  static const ParameterDef& par(World& w, int p) { return w.s->db->ParameterTable[size_t(p)]; }

  QList<int> polled; // every channel polled since the first test armed a scheduler

  // Ticks the channel timer by hand (the timers themselves stay stopped)
  // until the cycle is idle again; returns the channels polled meanwhile.
  QList<int> batch(World& w)
  {
    const qsizetype before = polled.size();
    QTest::qWaitFor([&] {
      w.s->poll->moTimerChan_TimerEvent();
      return w.s->poll->bPollingFinished();
    }, 2000);
    return polled.mid(before);
  }

  // A scheduler ready to tick: the watchdog's first tick marks it running.
  void arm(World& w)
  {
    connect(w.s->poll.get(), &frmPollTime::channelPolled, this, [this](int16_t c) { polled.append(c); });
    w.s->poll->tmrWatchdog_Timer();
    QVERIFY(w.s->poll->watchdogRunning());
  }

private slots:
  void initTestCase() { serverrig::fastLibrary(); }

  void valueTexts()
  {
    // A measure or an analog input below its range wraps; other integers
    // are unsigned; strings of type 4 are hex; no type or no value (an
    // acknowledgement) gives no text.
    const std::tuple<const char*, int, int, QVariant, const char*> rows[] = {
        {"measure below range wraps", 1, 8, -23594, "41942"}, {"measure at range", 1, 8, -23593, "-23593"},
        {"analog input wraps", 1, 11, -30000, "35536"}, {"other integer unsigned", 1, 9, -1, "65535"},
        {"float large", 2, 13, 123456.0f, "1.234560E+5"}, {"float rounded", 2, 13, 12.345678f, "1.234568E+1"},
        {"float zero", 2, 13, 0.0f, "0.000000E+0"}, {"float negative small", 2, 13, -0.00123, "-1.230000E-3"},
        {"long", 3, 39, -70000, "-70000"}, {"hex string", 4, 210, QString(QChar(0xFF)) + QChar(5), "FF05"},
        {"plain string", 4, 18, "ln/min ", "ln/min "}, {"no type", 255, 8, 5, ""}, {"acknowledgement", 1, 9, QVariant(), ""}};
    for (const auto& [row, type, p, value, text] : rows)
      ROW_COMPARE(row, MessageEngine::ValueText(uint8_t(type), int16_t(p), value), QString(text));
    // Which of all parameters keep a slightly negative integer, and which
    // show their string in hexadecimal.
    QList<int> signedNear0, hex;
    for (int p = -1; p <= 1000; ++p) {
      if (MessageEngine::ValueText(1, int16_t(p), -1) == "-1")
        signedNear0 << p;
      if (MessageEngine::ValueText(4, int16_t(p), "\x01") == "01")
        hex << p;
    }
    QCOMPARE(std::pair(signedNear0, hex), std::pair(QList<int>{8, 11}, QList<int>{61, 62, 208, 209, 210}));
  }

  void writePreparation()
  {
    WORLD(w, false);
    // Unsigned 16-bit is written as its signed twin; a text that is no
    // number is refused (5); strings are padded to their length (the bus
    // library would refuse and pad too, so only these rows see it here).
    // Ignoring the database lifts the access and range checks, not the
    // numeric one. (Those refusals with the database, as a client meets
    // them: tst_commands; an absent module: accessChecks.)
    const std::tuple<const char*, bool, int, int, int, bool, const char*, const char*, int> rows[] = {
        {"unsigned as signed twin", false, 340, 1, 0, true, "40000", "-25536", 0},
        {"not a number", false, 9, 1, 0, true, "abc", nullptr, 5},
        {"string padded", false, 18, 4, 7, true, "ab", "ab     ", 0},
        {"string longer kept", false, 18, 4, 7, true, "much longer than seven", "much longer than seven", 0},
        {"database ignored: read-only", true, 8, 1, 0, true, "5", "5", 0},
        {"database ignored: range", true, 9, 1, 0, true, "40000", "-25536", 0},
        {"database ignored: still numeric", true, 9, 1, 0, true, "x", nullptr, 5}};
    for (const auto& [row, ignoreDatabase, p, type, length, present, in, out, error] : rows) {
      w.s->cfg.IgnoreDatabaseMinMax = ignoreDatabase;
      QString v = in;
      ROW_COMPARE(row, w.s->engine->CheckWriteValue(par(w, p), uint8_t(type), uint8_t(length), present, v), int16_t(error));
      ROW_COMPARE(row, v, QString(out ? out : in));
    }
  }

  // Where each of the 256 processes of a parameter goes, for every kind of
  // channel (its own process 3), as runs: "a-b: +2" shifts by two (to the
  // channel's process), "a-b: =" keeps the number, "a-b: >121" goes to 121.
  void busProcesses()
  {
    WORLD(w, false);
    ChannelModel& m = w.s->channels;
    m.MaxChannel = m.ChannelCount = 4;
    m.ChannelTable.assign(5, ChannelRec{});
    for (int16_t c = 1; c <= 4; ++c)
      m.ChannelTable[size_t(c)].Dev_ID = c == 3 ? 4 : c == 2 ? 2 : 1; // 1, 2: behind an interface instrument
    m.ChannelTable[4].DirectAccess = true;
    QStringList shown;
    for (int channel = 0; channel <= 4; ++channel) {
      const auto to = [&](int p) { return int(w.s->engine->ResolveProcess(int16_t(channel), uint8_t(p), 3)); };
      QStringList runs;
      for (int from = 0, p; from < 256; from = p) {
        const bool constant = from < 255 && to(from + 1) == to(from);
        for (p = from + 1; p < 256 && to(p) == (constant ? to(from) : to(from) + p - from);)
          ++p;
        const int shift = to(from) - from;
        runs << QStringLiteral("%1-%2: ").arg(from).arg(p - 1) +
                    (constant || (shift && p == from + 1) ? ">" + QString::number(to(from)) : shift ? QString::asprintf("%+d", shift) : "=");
      }
      shown << runs.join(", ");
    }
    QCOMPARE(shown, (QStringList{
        "0-255: >3", // channel 0: the process passed
        "0-32: =, 33-112: +2, 113-113: >121, 114-117: =, 118-118: >122, 119-122: =, 123-126: +2, 127-127: =, 128-255: >3",
        "0-32: =, 33-112: +2, 113-113: >121, 114-117: =, 118-118: >122, 119-122: =, 123-126: +2, 127-127: =, 128-255: >3",
        "0-32: =, 33-112: +2, 113-127: =, 128-255: >3", // a module of its own
        "0-32: =, 33-112: +2, 113-127: =, 128-255: >3"})); // behind an interface, addressed directly
  }

  void accessChecks()
  {
    WORLD(w, true);
    const int c = w.channelOf(4, 1);
    w.offer(c, 26);
    int16_t tag = 0;
    const int frames = w.bus->requestFrames();
    // 26 can only be written, 8 only read: refused without a bus message.
    QCOMPARE(w.s->engine->Read_from_Soranet(4, 1, int16_t(c), 26, tag), QString("n/a"));
    QCOMPARE(w.s->engine->Write_to_Soranet(4, 1, int16_t(c), 8, "5", tag), QString("n/a"));
    QCOMPARE(w.s->engine->Write_to_Soranet(4, 1, int16_t(c), 9, "abc", tag), QString("n/a"));
    QCOMPARE(w.s->errors->ErrorCount, 3L);
    QCOMPARE(w.readWait(c, 9).isEmpty(), false); // one message goes out
    QCOMPARE(w.bus->requestFrames(), frames + 1);
    // Closed communication and simulation refuse with 37 ("?").
    w.s->state.SimulationOn = true;
    QCOMPARE(w.s->engine->Read_from_Soranet(4, 1, int16_t(c), 8, tag), QString("?"));
    w.s->state.SimulationOn = false;
    // Beyond the channels and on an absent module: "n/a" and nothing sent.
    QCOMPARE(w.s->engine->Read_from_Soranet(4, 1, int16_t(w.s->channels.MaxChannel + 1), 8, tag), QString("n/a"));
    w.s->channels.ChannelTable[size_t(c)].ModulePresent = false;
    QCOMPARE(w.s->engine->Read_from_Soranet(4, 1, int16_t(c), 8, tag), QString("n/a"));
    QCOMPARE(w.item(c, 8), QString("n/a"));
    QCOMPARE(w.s->engine->Write_to_Soranet_direct(4, 1, int16_t(c), 9, "100"), QString("n/a")); // 36
    QCOMPARE(w.bus->requestFrames(), frames + 1);
  }

  void writtenStringPaddedAndRangeCheckKeepsItem()
  {
    WORLD(w, true);
    const int c = w.channelOf(4, 1);
    QCOMPARE(w.s->engine->Write_to_Soranet_direct(4, 1, int16_t(c), 18, "bar"), QString());
    soraproto::Value sp;
    QCOMPARE(w.bus->peek(4, 1, 31, sp) ? QString::fromLatin1(sp.s) : QString(), QString("bar    "));
    // A value read back below the database's minimum is an error (6): the
    // item keeps its text.
    QCOMPARE(w.s->engine->Write_to_Soranet_direct(4, 1, int16_t(c), 9, "5"), QString());
    w.s->db->ParameterTable[9].Min = 10;
    w.s->dde->topic(int16_t(c))->ChangeItem(9, "before");
    QCOMPARE((std::pair{w.readWait(c, 9), w.item(c, 9)}), std::pair(QString("?"), QString("before")));
  }

  void retriesRunOutThenRefused()
  {
    WORLD(w, true);
    const int c = w.channelOf(4, 1);
    const int cntrlmode = soranetsim::Faults::key(4, 1, 4), extstatus = soranetsim::Faults::key(4, 120, 0);
    w.bus->setFaults({.forcedStatus = {{cntrlmode, 4}}}); // "no such parameter"
    w.s->dde->topic(int16_t(c))->ChangeItem(12, "7");
    // The item goes back to its name.
    QCOMPARE((std::pair{w.readWait(c, 12), w.item(c, 12)}), std::pair(QString("?"), par(w, 12).Name));
    w.s->dde->topic(int16_t(c))->ChangeItem(12, "7");
    const int frames = w.bus->requestFrames();
    int16_t tag = 0;
    QCOMPARE(w.s->engine->Read_from_Soranet(4, 1, int16_t(c), 12, tag), QString("?")); // 44
    QCOMPARE(w.item(c, 12), par(w, 12).Name);
    QCOMPARE(w.bus->requestFrames(), frames);
    // From 238 on an unavailable parameter is taken off the channel.
    w.offer(c, 238);
    w.s->dde->topic(int16_t(c))->createItem(238, "extstatus");
    w.bus->setFaults({.forcedStatus = {{cntrlmode, 4}, {extstatus, 4}}});
    QCOMPARE(w.readWait(c, 238), QString("?"));
    QVERIFY(!w.s->channels.available(c, 238));
    QVERIFY(!w.s->dde->topic(int16_t(c))->hasItem(238));
  }

  // With "remove unavailable parameters" on, a parameter the instrument
  // lacks is taken off the channel from P(8) on; the identification
  // parameters below stay (they tell what the module is).
  void unavailableRemovedFromEightOn()
  {
    WORLD(w, true);
    const int c = w.channelOf(4, 1);
    soranetsim::Faults lacking;
    for (int p : {7, 8, 238}) {
      const uint8_t proc = par(w, p).Process == 255 ? 1 : par(w, p).Process;
      lacking.forcedStatus[soranetsim::Faults::key(4, proc, par(w, p).FBnr)] = 3;
    }
    w.bus->setFaults(lacking);
    // Polled all the same (PollUnavailableParameters), a parameter keeps its
    // item, which shows the parameter's name; from 238 on it always goes.
    const struct {
      int p;
      bool remove, pollAnyway, kept;
    } rows[] = {{7, true, false, true}, {8, true, false, false}, {8, true, true, true}, {238, false, false, false}};
    for (const auto& r : rows) {
      const QByteArray row = QByteArray::number(r.p) + (r.pollAnyway ? " polled anyway" : "");
      w.s->cfg.RemoveUnavailableParameters = r.remove;
      w.s->cfg.PollUnavailableParameters = r.pollAnyway;
      w.offer(c, r.p);
      w.s->dde->topic(int16_t(c))->createItem(int16_t(r.p), "x");
      ROW_COMPARE(row, w.readWait(c, r.p), QString("?"));
      ROW_COMPARE(row, w.s->channels.available(c, r.p), r.kept);
      ROW_COMPARE(row, w.s->dde->topic(int16_t(c))->hasItem(int16_t(r.p)), r.kept);
      if (r.kept && r.p >= 8)
        ROW_COMPARE(row, w.item(c, r.p), par(w, r.p).Name);
    }
  }


  void typeSwitchesOnFive()
  {
    WORLD(w, true);
    const int c = w.channelOf(3, 1);
    QCOMPARE(par(w, 7).VarType[1], uint8_t(1));
    w.bus->setFaults({.forcedStatus = {{soranetsim::Faults::key(3, 0, 10), 5}}});
    auto& vt = w.s->channels.ParVarType[size_t(c)][7];
    QCOMPARE(vt, uint8_t(0));
    for (int type : {1, 0}) {
      w.readWait(c, 7);
      QCOMPARE(vt, uint8_t(type));
    }
  }

  // With a hundred or more requests outstanding and none answered, the
  // engine keeps at it until the time-out and then reports; once the node
  // answers again every request ends with a reply and the count drains.
  // The pending state at the edges of its bands: 2 when nothing waits, 3
  // from one reply waiting, 0 from 100 (the caller should take replies), 1
  // above 400 (stop sending). Replies to a silent node pile up meanwhile.
  void pendingStateEdges()
  {
    WORLD(w, true);
    w.bus->setFaults({.silent = {3}});
    MessageEngine& e = *w.s->engine;
    const int16_t app = w.s->session->iAppId();
    const int c = w.channelOf(3, 1);
    QCOMPARE(e.GetPendingState(false), int16_t(2));
    int16_t tag = 0;
    int met = 0;
    for (const auto& [pending, state] : {std::pair{1, 3}, {99, 3}, {100, 0}, {400, 0}, {401, 1}}) {
      while (sora32::GetNrPendingMessages(app) < pending)
        QCOMPARE(e.Read_from_Soranet(3, 1, int16_t(c), 8, tag), QString());
      // A time-out may add a reply between two requests: then the edge was
      // passed, not met.
      if (sora32::GetNrPendingMessages(app) == pending) {
        QVERIFY2(e.GetPendingState(false) == state, qPrintable(QString::number(pending)));
        ++met;
      }
    }
    QVERIFY2(met >= 4, qPrintable(QString::number(met))); // at most one passed by a time-out
  }

  void pendingStates()
  {
    WORLD(w, true);
    w.bus->setFaults({.silent = {3}});
    MessageEngine& e = *w.s->engine;
    const int c = w.channelOf(3, 1);
    int16_t tag = 0;
    for (int i = 0; i < 250; ++i)
      QCOMPARE(e.Read_from_Soranet(3, 1, int16_t(c), 8, tag), QString());
    QStringList published;
    w.s->errors->publishError = [&](int, const QString& text) { published << text; };
    w.s->cfg.PendingTimeout = 0;
    QElapsedTimer t;
    t.start();
    QCOMPARE((std::tuple{e.HandlePendingMsg(), t.elapsed() >= 1000, published.contains(ErrorMessages::ErrorText(41))}),
             std::tuple(false, true, true));
    w.bus->setFaults({});
    w.s->cfg.PendingTimeout = 30;
    const int16_t app = w.s->session->iAppId();
    QVERIFY(QTest::qWaitFor([&] { e.HandlePendingMsg(); return sora32::GetNrPendingMessages(app) == 0; }, 60000));
  }

  void reentrantWaits()
  {
    WORLD(w, true);
    const int c = w.channelOf(4, 1);
    QCOMPARE(w.s->engine->Write_to_Soranet_direct(4, 1, int16_t(c), 9, "12345"), QString());
    // While the outer read waits, a client event runs a read of its own; the
    // inner wait takes whatever replies arrive, the outer one's included.
    QString inner;
    int innerDepth = 0;
    QTimer::singleShot(0, [&] { innerDepth = w.s->state.bExtendPolling; inner = w.readWait(c, 9); });
    const QString outer = w.readWait(c, 12);
    QVERIFY(w.until([&] { return !inner.isEmpty(); }));
    // The outer read has a value of its own; its wait held polling.
    QCOMPARE(std::tuple(inner, outer, outer.isEmpty() || outer == "?", innerDepth >= 1),
             std::tuple(QString("12345"), w.item(c, 12), false, true));
    QCOMPARE(std::pair(w.s->state.bExtendPolling, w.s->engine->HandlerDepth), std::pair(0, 0L));
  }

  // Every tag there is waits for its own reply and only for it: those of
  // parameter 255 run through -1 and 0.
  void waitTableTakesEveryTag()
  {
    WORLD(w, false);
    MessageEngine& e = *w.s->engine;
    for (int i = 0; i < 128; ++i) {
      const int16_t tag = w.s->dde->MakeRequestTag(255);
      const int slot = e.RegisterWait(tag);
      QString v;
      int16_t error = 0;
      const bool early = e.GetWaitResult(slot, v, error);
      e.StoreReply(int16_t(tag + 1), "other", 0);
      const bool other = e.GetWaitResult(slot, v, error);
      e.StoreReply(tag, "mine", 3);
      const bool arrived = e.GetWaitResult(slot, v, error) && v == "mine" && error == 3;
      e.ReleaseWait(slot);
      QVERIFY2(!early && !other && arrived, qPrintable(QString::number(tag)));
    }
  }

  void interfaceRealTimeSetup()
  {
    WORLD(w, true);
    const int ifc = w.channelOf(1, 1), meter = w.channelOf(3, 1);
    w.s->channels.ChannelTable[size_t(ifc)].DirectAccess = false; // an interface channel
    w.s->state.InterfaceAcquisition = true;
    for (int p : {8, 186, 187})
      w.offer(ifc, p);
    MessageEngine& e = *w.s->engine;
    // Watch parameter 8: its process, then its number with the integer flag.
    auto sent = [&](int fb) { soraproto::Value v; return w.bus->peek(1, 123, uint8_t(fb), v) ? int(v.i) : -1; };
    e.Write_to_Soranet_direct(1, 1, int16_t(ifc), 187, "8");
    QCOMPARE(std::tuple(int(e.RealTime(1).RtPar), int(e.RealTime(1).RtType), sent(2)), std::tuple(8, 1, 1));
    // Read back: the two halves come as one reply, their sum.
    QCOMPARE(w.readWait(ifc, 187), QString("33"));
    // Watch channel 2 (the meter): the interface is told its node, clients
    // see the channel again.
    e.Write_to_Soranet_direct(1, 1, int16_t(ifc), 186, QString::number(meter));
    QCOMPARE(std::pair(e.RealTime(1).RtActive, sent(1)), std::pair(true, 3));
    QCOMPARE(w.readWait(ifc, 186), QString::number(meter));
    // Each real-time tick asks the interface for the watched value, one half
    // after the other, but not while polling is held.
    for (const bool held : {true, false}) {
      PollingHold(*w.s, held);
      const int frames = w.bus->requestFramesTo(1);
      const bool half = e.RealTime(1).RtToggle;
      w.s->poll->moTimerRTP_TimerEvent();
      QCOMPARE(e.RealTime(1).RtToggle != half, !held);
      QVERIFY(held || w.until([&] { return w.bus->requestFramesTo(1) > frames; }));
    }
    // The watched value and its time stamp reach the interface channel's
    // real-time item P(189) (polling stays stopped here).
    w.offer(ifc, 189);
    static const QRegularExpression valueAndStamp("^\\d+,\\d+$");
    QVERIFY(w.until([&] {
      w.s->poll->moTimerRTP_TimerEvent();
      return valueAndStamp.match(w.item(ifc, 189)).hasMatch();
    }));
    // A channel that does not offer the watched parameter switches it off.
    w.offer(meter, 8, false);
    e.Write_to_Soranet_direct(1, 1, int16_t(ifc), 186, QString::number(meter));
    QCOMPARE(std::pair(e.RealTime(1).RtActive, sent(1)), std::pair(false, 255));
    QCOMPARE(e.HandlerDepth, 0L);
  }

  void holdsWatchdogAndFreshStarts()
  {
    WORLD(w, false);
    frmPollTime& p = *w.s->poll;
    // Holds nest and never count below 0.
    const std::pair<bool, bool> steps[] = {{true, true},   {true, true},   {false, true},
                                           {false, false}, {false, false}, {true, true}};
    for (auto [on, held] : steps) {
      p.setExtendPolling(on);
      QCOMPARE(p.bExtendPolling(), held);
    }
    p.StartPollingTimers(); // clears every hold
    QVERIFY(!p.bExtendPolling());
    w.s->state.InterfaceAcquisition = true;
    QCOMPARE(p.CalcWatchdogInterval(), 2000);
    w.s->cfg.Polltime = w.s->cfg.RealtimePollTime = 10000;
    QCOMPARE(p.CalcWatchdogInterval(), 65535);
    // An operator function starts from a reply count of 0, shown so.
    w.s->state.RxCount = 12;
    w.s->fields.set("lblAmount", "12");
    w.s->engine->HandleOutstandingMsg();
    QCOMPARE(std::pair(w.s->state.RxCount, w.s->fields.value("lblAmount")), std::pair(0L, QString("0")));
    // A new opening forgets the real-time channels of the last.
    w.s->engine->RealTime(1).RtActive = true;
    w.s->engine->ResetForOpen();
    QVERIFY(!w.s->engine->RealTime(1).RtActive);
  }

  // A batch polls the next channels; wrapping ends the cycle (and runs the
  // modification check, whose effect the program test checks).
  void batchesWrapAndEndTheCycle()
  {
    WORLD(w, true);
    w.s->channels.MaxChannel = 5;
    w.s->cfg.PollBatch = 2;
    w.s->cfg.IndirectPolling = true;
    arm(w);
    const QList<QList<int>> batches = {{1, 2}, {3, 4}, {5}, {1, 2}};
    const QList<bool> wraps = {false, false, true, false};
    for (qsizetype i = 0; i < batches.size(); ++i)
      QCOMPARE((std::pair{batch(w), w.s->poll->currentChannel() == 0}), std::pair(batches[i], wraps[i]));
  }

  // A client command that arrives while a channel is polled and takes a hold
  // stops the batch before the next channel, however quickly the channels go.
  void holdStopsTheBatch()
  {
    WORLD(w, true);
    w.s->db->MaxParNr = 0; // channels that send nothing: one follows the other at once
    arm(w);
    connect(w.s->poll.get(), &frmPollTime::channelPolled, [&](int16_t c) {
      if (c == 2)
        QTimer::singleShot(0, [&] { PollingHold(*w.s, true); });
    });
    QCOMPARE(batch(w), QList<int>({1, 2}));
    QCOMPARE(w.s->poll->currentChannel(), int16_t(2));
    QCOMPARE(batch(w), QList<int>()); // held: collects, sends nothing
    PollingHold(*w.s, false);
    QCOMPARE(batch(w).first(), 3); // carries on where it stopped
  }

  void watchdogRestartsFailsAndCloses()
  {
    WORLD(w, true);
    ConsolePane console;
    w.s->log->setConsole(&console);
    w.s->log->EchoAll = true;
    frmPollTime& p = *w.s->poll;
    p.StartPollingTimers();
    QCOMPARE(std::pair(p.tmrWatchdog().isActive(), p.tmrWatchdog().interval()), std::pair(true, 1700));
    // The timer component dies: no more ticks. The watchdog runs by hand
    // here, without letting events through.
    auto ticks = [&](int n) { for (int i = 0; i < n; ++i) p.tmrWatchdog_Timer(); };
    support::Timer* dead = p.moTimerChan();
    dead->stop();
    ticks(3);
    support::Timer* fresh = p.moTimerChan();
    QCOMPARE(std::tuple(p.failCount(), fresh != dead, fresh->isActive(), fresh->secondProperty()),
             std::tuple(3, true, true, 5));
    QVERIFY(console.toPlainText().contains("Polling failure, restarting OrvTimers"));
    p.moTimerChan()->stop();
    ticks(3);
    QCOMPARE(w.s->fields.value("ComStatus"), QString("Polling failure"));
    QVERIFY(console.toPlainText().contains("Polling failure (no response from OrvTimers)"));
    while (p.failCount() < 59) {
      p.moTimerChan()->stop();
      p.tmrWatchdog_Timer();
    }
    QVERIFY(w.s->state.CommOpen);
    p.tmrWatchdog_Timer();
    QVERIFY(console.toPlainText().contains(
      "Communication will be closed now. If the problem continues to exist, try reinstalling Tesmira"));
    QVERIFY(!w.s->state.CommOpen);
  }

  void activityKeepsTheWatchdogQuietAndStopIsIdle()
  {
    WORLD(w, true);
    frmPollTime& p = *w.s->poll;
    w.s->cfg.Polltime = 10; // watchdog every 620 ms
    p.StartPolling();
    QCOMPARE(p.tmrWatchdog().interval(), 620);
    QVERIFY(w.until([&] { return w.s->fields.value("ComStatus") == "Normal polling"; }, 5000));
    QCOMPARE(p.failCount(), 0);
    p.StopPolling();
    QVERIFY(!p.moTimerChan()->isActive());
    QVERIFY(w.until([&] { return !p.tmrWatchdog().isActive(); }, 5000));
    QCOMPARE(w.s->fields.value("ComStatus"), QString("Idle"));
    QVERIFY(w.until([&] { p.tmrWatchdog_Timer(); return p.bPollingFullyStopped(); }));
  }

  // Polling brings values in and follows the instrument; a silent node
  // times out while the others keep updating, and comes back.
  void valuesWhilePollingAndSilentNode()
  {
    WORLD(w, true);
    const int meter = w.channelOf(3, 1), ctrl = w.channelOf(4, 1);
    w.s->poll->StartPolling();
    QVERIFY(w.until([&] { return w.item(meter, 8) != par(w, 8).Name.trimmed(); }));
    w.bus->setFaults({.silent = {3}});
    const long errors = w.s->errors->ErrorCount;
    w.s->dde->topic(int16_t(meter))->ChangeItem(8, "stale");
    QCOMPARE(w.s->engine->Write_to_Soranet_direct(4, 1, int16_t(ctrl), 9, "8000"), QString());
    QVERIFY(w.until([&] { return w.item(ctrl, 8) == "8000"; }, 5000));
    QVERIFY(w.until([&] { return w.s->errors->ErrorCount > errors; }, 5000));
    QCOMPARE(w.item(meter, 8), QString("stale"));
    w.bus->setFaults({});
    QVERIFY(w.until([&] { return w.item(meter, 8) != "stale"; }, 5000));
    QVERIFY(w.until([&] { return w.s->fields.value("lblAmount").toInt() > 0; }, 5000));
  }

  // With indirect polling a value changed on the instrument's keyboard is
  // read in, and the module's mark of the change is cleared, so that it is
  // not read again at every cycle.
  void indirectPollingClearsTheMark()
  {
    WORLD(w, true);
    const int ctrl = w.channelOf(4, 1);
    w.s->cfg.IndirectPolling = true;
    w.s->channels.ChannelTable[size_t(ctrl)].Modify = 1; // as the scan finds it for a module that marks changes
    w.s->poll->StartPolling();
    QCOMPARE(w.bus->setByKeyboard(4, 1, 2, "777"), QString());
    soraproto::Value mark;
    QVERIFY(w.bus->peek(4, 0, 19, mark) && mark.number() == 1);
    QVERIFY(w.until([&] { return w.item(ctrl, 10) == "777"; }, 10000));
    QVERIFY(w.until([&] { return w.bus->peek(4, 0, 19, mark) && mark.number() == 0; }, 5000));
  }

  void noisyLineLosesNoWrite()
  {
    WORLD(w, true);
    const int ctrl = w.channelOf(4, 1);
    w.s->poll->StartPolling();
    w.bus->setFaults({.corrupt = 0.01});
    soraproto::Value sp;
    for (int i = 1; i <= 200; ++i) {
      const QString v = QString::number(i * 150);
      QVERIFY2(w.s->engine->Write_to_Soranet_direct(4, 1, int16_t(ctrl), 9, v).isEmpty(), qPrintable(v));
      QCOMPARE(w.bus->peek(4, 1, 1, sp) ? int(sp.i) : -1, i * 150);
    }
    QVERIFY(w.s->state.CommOpen);
  }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
