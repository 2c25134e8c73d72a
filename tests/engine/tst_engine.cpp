// The message engine: value texts, write preparation, bus addresses, access
// checks, error bookkeeping (retry counts, item reset and removal, type
// switching, range check), pending-message states and the reply wait table
// with re-entrant waits; the bus cases run against the virtual bus over a
// pseudo-terminal.
#include "EngineWorld.h"

#include "engine/BulkRead.h"

#include <QTimer>

using namespace tesmira;
using enginetest::World;

class TestEngine : public QObject {
  Q_OBJECT

  static const ParameterDef& par(World& w, int p) { return w.s().db->ParameterTable[size_t(p)]; }

private slots:
  void initTestCase() { enginetest::fastLibrary(); }

  void valueTexts_data()
  {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("measure below range wraps") << 1 << 8 << QVariant(-23594) << "41942";
    QTest::newRow("measure at range bottom") << 1 << 8 << QVariant(-23593) << "-23593";
    QTest::newRow("analog input wraps too") << 1 << 11 << QVariant(-30000) << "35536";
    QTest::newRow("other integer unsigned") << 1 << 9 << QVariant(-1) << "65535";
    QTest::newRow("integer positive") << 1 << 9 << QVariant(32000) << "32000";
    QTest::newRow("float half") << 2 << 13 << QVariant(0.5f) << "5.000000E-1";
    QTest::newRow("float large") << 2 << 13 << QVariant(123456.0f) << "1.234560E+5";
    QTest::newRow("float rounds") << 2 << 13 << QVariant(12.345678f) << "1.234568E+1";
    QTest::newRow("float zero") << 2 << 13 << QVariant(0.0f) << "0.000000E+0";
    QTest::newRow("float negative small") << 2 << 13 << QVariant(-0.00123) << "-1.230000E-3";
    QTest::newRow("char") << 0 << 12 << QVariant(200) << "200";
    QTest::newRow("long") << 3 << 39 << QVariant(-70000) << "-70000";
    QTest::newRow("hex string 61") << 4 << 61 << QVariant(QString("A") + QChar(5)) << "4105";
    QTest::newRow("hex string 210") << 4 << 210 << QVariant(QString(QChar(0xFF)) + QChar(0x10)) << "FF10";
    QTest::newRow("plain string") << 4 << 18 << QVariant("ln/min ") << "ln/min ";
    QTest::newRow("no type") << 255 << 8 << QVariant(5) << "";
    QTest::newRow("acknowledgement") << 1 << 9 << QVariant() << "";
  }
  void valueTexts()
  {
    QFETCH(int, type);
    QFETCH(int, parameter);
    QFETCH(QVariant, value);
    QFETCH(QString, text);
    QCOMPARE(MessageEngine::ValueText(uint8_t(type), int16_t(parameter), value), text);
  }

  void numericValue()
  {
    bool ok = false;
    QCOMPARE(MessageEngine::NumericValue(" 12.5 ", &ok), 12.5);
    QVERIFY(ok);
    QCOMPARE(MessageEngine::NumericValue("abc", &ok), 0.0);
    QVERIFY(!ok);
    QCOMPARE(MessageEngine::NumericValue("", &ok), 0.0);
    QVERIFY(!ok);
  }

  void writePreparation()
  {
    World w;
    QVERIFY2(w.startServer(), qPrintable(w.failure));
    MessageEngine& e = w.engine();
    QString v = "40000";
    QCOMPARE(e.CheckWriteValue(par(w, 340), 1, 0, true, v), int16_t(0));
    QCOMPARE(v, QString("-25536")); // unsigned 16-bit written as its signed twin
    v = "abc";
    QCOMPARE(e.CheckWriteValue(par(w, 9), 1, 0, true, v), int16_t(5));
    v = "40000";
    QCOMPARE(e.CheckWriteValue(par(w, 9), 1, 0, true, v), int16_t(6)); // setpoint above 32000
    v = "5";
    QCOMPARE(e.CheckWriteValue(par(w, 8), 1, 0, true, v), int16_t(13)); // measure is read-only
    QCOMPARE(e.CheckWriteValue(par(w, 9), 1, 0, false, v), int16_t(36)); // module absent
    v = "ab";
    QCOMPARE(e.CheckWriteValue(par(w, 18), 4, 7, true, v), int16_t(0));
    QCOMPARE(v, QString("ab     "));
    v = "much longer than seven";
    QCOMPARE(e.CheckWriteValue(par(w, 18), 4, 7, true, v), int16_t(0));
    QCOMPARE(v, QString("much longer than seven"));
    // Ignoring the database lifts the access and range checks, not the
    // numeric one.
    w.s().cfg.IgnoreDatabaseMinMax = true;
    v = "5";
    QCOMPARE(e.CheckWriteValue(par(w, 8), 1, 0, true, v), int16_t(0));
    v = "40000";
    QCOMPARE(e.CheckWriteValue(par(w, 9), 1, 0, true, v), int16_t(0));
    QCOMPARE(v, QString("-25536"));
    v = "x";
    QCOMPARE(e.CheckWriteValue(par(w, 9), 1, 0, true, v), int16_t(5));
  }

  void busProcesses()
  {
    World w;
    QVERIFY2(w.startServer(), qPrintable(w.failure));
    ChannelModel& m = w.s().channels;
    m.MaxChannel = m.ChannelCount = 2;
    m.ChannelTable.assign(3, ChannelRec{});
    m.ChannelTable[1] = ChannelRec{};
    m.ChannelTable[1].Dev_ID = 1; // behind an interface instrument
    m.ChannelTable[1].Dev_Proc = 3;
    m.ChannelTable[2].Dev_ID = 4;
    m.ChannelTable[2].Dev_Proc = 3;
    const MessageEngine& e = w.engine();
    // Channel 0 and processes 128 and up keep the process passed.
    QCOMPARE(e.ResolveProcess(0, 5, 9), uint8_t(9));
    QCOMPARE(e.ResolveProcess(1, 200, 3), uint8_t(3));
    // 33..112 count from the channel's own process.
    QCOMPARE(e.ResolveProcess(2, 33, 3), uint8_t(35));
    QCOMPARE(e.ResolveProcess(1, 65, 3), uint8_t(67));
    // Low and system processes: as listed for direct modules...
    QCOMPARE(e.ResolveProcess(2, 1, 3), uint8_t(1));
    QCOMPARE(e.ResolveProcess(2, 113, 3), uint8_t(113));
    QCOMPARE(e.ResolveProcess(2, 123, 3), uint8_t(123));
    // ...mapped for interface channels.
    QCOMPARE(e.ResolveProcess(1, 113, 3), uint8_t(121));
    QCOMPARE(e.ResolveProcess(1, 118, 3), uint8_t(122));
    QCOMPARE(e.ResolveProcess(1, 123, 3), uint8_t(125));
    QCOMPARE(e.ResolveProcess(1, 1, 3), uint8_t(1));
    m.ChannelTable[1].DirectAccess = true;
    QCOMPARE(e.ResolveProcess(1, 113, 3), uint8_t(113));
  }

  void waitTable()
  {
    World w;
    QVERIFY2(w.startServer(), qPrintable(w.failure));
    MessageEngine& e = w.engine();
    QCOMPARE(e.RegisterWait(0), -1);
    QCOMPARE(e.waitSlots(), 0);
    QCOMPARE(e.RegisterWait(100), 1);
    QCOMPARE(e.RegisterWait(200), 2);
    QCOMPARE(e.RegisterWait(200), 3); // a second waiter of the same tag
    e.ReleaseWait(1);
    QCOMPARE(e.RegisterWait(300), 1); // the lowest free slot is reused
    e.StoreReply(200, "42", 0);
    QString v;
    int16_t err = -1;
    QVERIFY(e.GetWaitResult(2, v, err));
    QCOMPARE(v, QString("42"));
    QCOMPARE(err, int16_t(0));
    QVERIFY(e.GetWaitResult(3, v, err)); // both waiters of the tag see it
    QVERIFY(!e.GetWaitResult(1, v, err));
    e.StoreReply(0, "x", 5); // tag 0 is nobody's
    QVERIFY(!e.GetWaitResult(1, v, err));
    e.ReleaseWait(2);
    e.ReleaseWait(3);
    QCOMPARE(e.waitSlots(), 3); // never shrinks
    QVERIFY(!e.GetWaitResult(-1, v, err));
    e.ResetForOpen();
    QCOMPARE(e.waitSlots(), 0);
  }

  void valuesAndSiblings()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c3 = w.channelOf(3, 1);
    QVERIFY(c3 > 0);
    soraproto::Value measure;
    QVERIFY(w.bus->peek(3, 1, 0, measure));
    const QString text = w.readWait(c3, 8);
    QCOMPARE(text, MessageEngine::ValueText(1, 8, QVariant(int(measure.i))));
    QCOMPARE(w.item(c3, 8), text);
    QCOMPARE(w.engine().HandlerDepth, 0L);
    // A module-wide value (process 0) is published on every channel of the
    // module.
    const int c6a = w.channelOf(6, 1), c6d = w.channelOf(6, 4);
    QVERIFY(c6a > 0 && c6d > 0);
    w.s().dde->topic(int16_t(c6d))->ChangeItem(2, "old");
    QCOMPARE(w.readWait(c6a, 2), QString("6")); // primary node address
    QCOMPARE(w.item(c6d, 2), QString("6"));
  }

  void accessChecks()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c = w.channelOf(4, 1);
    w.offer(c, 26);
    int16_t tag = 0;
    const int frames = w.bus->requestFrames();
    // 26 can only be written, 8 only read: refused without a bus message.
    QCOMPARE(w.engine().Read_from_Soranet(4, 1, int16_t(c), 26, tag), QString("n/a"));
    QCOMPARE(w.engine().Write_to_Soranet(4, 1, int16_t(c), 8, "5", tag), QString("n/a"));
    QCOMPARE(w.engine().Write_to_Soranet(4, 1, int16_t(c), 9, "abc", tag), QString("n/a"));
    QCOMPARE(w.s().errors->ErrorCount, 3L);
    QCOMPARE(w.readWait(c, 9).isEmpty(), false); // one message goes out
    QCOMPARE(w.bus->requestFrames(), frames + 1);
    // Closed communication and simulation refuse with 37 ("?").
    w.s().state.SimulationOn = true;
    QCOMPARE(w.engine().Read_from_Soranet(4, 1, int16_t(c), 8, tag), QString("?"));
    w.s().state.SimulationOn = false;
    // Beyond the channels and on an absent module: "n/a" and nothing sent.
    QCOMPARE(w.engine().Read_from_Soranet(4, 1, int16_t(w.s().channels.MaxChannel + 1), 8, tag), QString("n/a"));
    w.s().channels.ChannelTable[size_t(c)].ModulePresent = false;
    QCOMPARE(w.engine().Read_from_Soranet(4, 1, int16_t(c), 8, tag), QString("n/a"));
    QCOMPARE(w.item(c, 8), QString("n/a"));
    QCOMPARE(w.engine().Write_to_Soranet_direct(4, 1, int16_t(c), 9, "100"), QString("n/a")); // 36
    QCOMPARE(w.bus->requestFrames(), frames + 1);
  }

  void writesReachTheInstrument()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c = w.channelOf(4, 1);
    QCOMPARE(w.engine().Write_to_Soranet_direct(4, 1, int16_t(c), 9, "16000"), QString());
    soraproto::Value sp;
    QVERIFY(w.bus->peek(4, 1, 1, sp));
    QCOMPARE(int(sp.i), 16000);
    // A string shorter than its length arrives padded.
    QCOMPARE(w.engine().Write_to_Soranet_direct(4, 1, int16_t(c), 18, "bar"), QString());
    QVERIFY(w.bus->peek(4, 1, 31, sp));
    QCOMPARE(QString::fromLatin1(sp.s), QString("bar    "));
  }

  void retriesRunOutThenRefused()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c = w.channelOf(4, 1);
    soranetsim::Faults f;
    f.forcedStatus[soranetsim::Faults::key(4, 1, 4)] = 4; // cntrlmode: "no such parameter"
    w.bus->setFaults(f);
    QCOMPARE(w.s().channels.ParRetryCount[size_t(c)][12], 1);
    w.s().dde->topic(int16_t(c))->ChangeItem(12, "7");
    QCOMPARE(w.readWait(c, 12), QString("?"));
    QCOMPARE(w.s().channels.ParRetryCount[size_t(c)][12], 0);
    QCOMPARE(w.item(c, 12), par(w, 12).Name); // back to its name
    w.s().dde->topic(int16_t(c))->ChangeItem(12, "7");
    const int frames = w.bus->requestFrames();
    int16_t tag = 0;
    QCOMPARE(w.engine().Read_from_Soranet(4, 1, int16_t(c), 12, tag), QString("?")); // 44
    QCOMPARE(w.item(c, 12), par(w, 12).Name);
    QCOMPARE(w.bus->requestFrames(), frames);
    // From 238 on an unavailable parameter is taken off the channel.
    w.offer(c, 238);
    w.s().dde->topic(int16_t(c))->createItem(238, "extstatus");
    f.forcedStatus[soranetsim::Faults::key(4, 120, 0)] = 4;
    w.bus->setFaults(f);
    QCOMPARE(w.readWait(c, 238), QString("?"));
    QVERIFY(!w.s().channels.available(c, 238));
    QVERIFY(!w.s().dde->topic(int16_t(c))->hasItem(238));
  }

  void typeSwitchesOnFive()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c = w.channelOf(3, 1);
    QCOMPARE(par(w, 7).VarType[1], uint8_t(1));
    soranetsim::Faults f;
    f.forcedStatus[soranetsim::Faults::key(3, 0, 10)] = 5;
    w.bus->setFaults(f);
    auto& vt = w.s().channels.ParVarType[size_t(c)][7];
    QCOMPARE(vt, uint8_t(0));
    w.readWait(c, 7);
    QCOMPARE(vt, uint8_t(1));
    w.readWait(c, 7);
    QCOMPARE(vt, uint8_t(0));
    // Without a second type nothing changes.
    f.forcedStatus[soranetsim::Faults::key(3, 0, 1)] = 5;
    w.bus->setFaults(f);
    w.readWait(c, 2);
    QCOMPARE(w.s().channels.ParVarType[size_t(c)][2], uint8_t(0));
  }

  void rangeCheckKeepsItem()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c = w.channelOf(4, 1);
    QCOMPARE(w.engine().Write_to_Soranet_direct(4, 1, int16_t(c), 9, "5"), QString());
    w.s().db->ParameterTable[9].Min = 10;
    w.s().dde->topic(int16_t(c))->ChangeItem(9, "before");
    QCOMPARE(w.readWait(c, 9), QString("?")); // no value: error 6
    QCOMPARE(w.item(c, 9), QString("before"));
  }

  void pendingStates()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    soranetsim::Faults f;
    f.silent = {3};
    w.bus->setFaults(f);
    MessageEngine& e = w.engine();
    const int c = w.channelOf(3, 1);
    int16_t tag = 0;
    for (int i = 0; i < 50; ++i)
      QCOMPARE(e.Read_from_Soranet(3, 1, int16_t(c), 8, tag), QString());
    const int16_t app = w.s().session->iAppId();
    QVERIFY(sora32::GetNrPendingMessages(app) >= 50); // requests on their way count
    QStringList published;
    w.s().errors->publishError = [&](int, const QString& text) { published << text; };
    QElapsedTimer t;
    t.start();
    QVERIFY(!e.HandlePendingMsg()); // some outstanding, none arrived: try later
    QVERIFY(t.elapsed() < 500);
    QVERIFY(!published.contains(ErrorMessages::ErrorText(41)));
    for (int i = 0; i < 250; ++i)
      e.Read_from_Soranet(3, 1, int16_t(c), 8, tag);
    QVERIFY(sora32::GetNrPendingMessages(app) >= 250);
    w.s().cfg.PendingTimeout = 0;
    t.restart();
    QVERIFY(!e.HandlePendingMsg()); // 100 or more outstanding: keeps at it until the time-out
    QVERIFY(t.elapsed() >= 1000);
    QVERIFY2(published.contains(ErrorMessages::ErrorText(41)), qPrintable(published.join('|')));
    // Every request ends with a reply, so the count drains.
    w.bus->setFaults({});
    w.s().cfg.PendingTimeout = 30;
    QVERIFY(QTest::qWaitFor([&] { e.HandlePendingMsg(); return sora32::GetNrPendingMessages(app) == 0; }, 60000));
  }

  void waitForTagZero()
  {
    World w;
    QVERIFY2(w.startServer(), qPrintable(w.failure));
    QString v;
    int16_t err = 0;
    QElapsedTimer t;
    t.start();
    QVERIFY(!w.engine().WaitForReply(0, 0, v, err));
    QCOMPARE(w.engine().waitSlots(), 0);
    QCOMPARE(w.s().state.bExtendPolling, 0); // its hold was released
  }

  void reentrantWaits()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int c = w.channelOf(4, 1);
    QCOMPARE(w.engine().Write_to_Soranet_direct(4, 1, int16_t(c), 9, "12345"), QString());
    // While the outer read waits, a client event runs a read of its own; the
    // inner wait takes whatever replies arrive, the outer one's included.
    QString inner;
    int innerDepth = 0;
    QTimer::singleShot(0, [&] {
      innerDepth = w.s().state.bExtendPolling;
      inner = w.readWait(c, 9);
    });
    const QString outer = w.readWait(c, 12);
    QVERIFY(w.until([&] { return !inner.isEmpty(); }));
    QCOMPARE(inner, QString("12345"));
    QCOMPARE(outer, w.item(c, 12));
    QVERIFY(!outer.isEmpty() && outer != "?");
    QVERIFY(innerDepth >= 1); // the outer wait held polling
    QCOMPARE(w.s().state.bExtendPolling, 0);
    QCOMPARE(w.engine().HandlerDepth, 0L);
  }

  void interfaceRealTimeSetup()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int ifc = w.channelOf(1, 1), meter = w.channelOf(3, 1);
    QVERIFY(ifc > 0 && meter > 0);
    w.s().channels.ChannelTable[size_t(ifc)].DirectAccess = false; // an interface channel
    w.s().state.InterfaceAcquisition = true;
    for (int p : {8, 186, 187})
      w.offer(ifc, p);
    MessageEngine& e = w.engine();
    // Watch parameter 8: its process, then its number with the integer flag.
    e.Write_to_Soranet_direct(1, 1, int16_t(ifc), 187, "8");
    QCOMPARE(int(e.RealTime(1).RtPar), 8);
    QCOMPARE(int(e.RealTime(1).RtType), 1);
    soraproto::Value v;
    QVERIFY(w.bus->peek(1, 123, 2, v));
    QCOMPARE(int(v.i), 1);
    // Read back: the two halves come as one reply, their sum.
    QCOMPARE(w.readWait(ifc, 187), QString("33"));
    // Watch channel 2 (the meter): the interface is told its node, clients
    // see the channel again.
    e.Write_to_Soranet_direct(1, 1, int16_t(ifc), 186, QString::number(meter));
    QVERIFY(e.RealTime(1).RtActive);
    QVERIFY(w.bus->peek(1, 123, 1, v));
    QCOMPARE(int(v.i), 3);
    QCOMPARE(w.readWait(ifc, 186), QString::number(meter));
    // A channel that does not offer the watched parameter switches it off.
    w.offer(meter, 8, false);
    e.Write_to_Soranet_direct(1, 1, int16_t(ifc), 186, QString::number(meter));
    QVERIFY(!e.RealTime(1).RtActive);
    QVERIFY(w.bus->peek(1, 123, 1, v));
    QCOMPARE(int(v.i), 255);
    QCOMPARE(e.HandlerDepth, 0L);
  }

  void scanSpecifications()
  {
    World w;
    QVERIFY2(w.startServer(), qPrintable(w.failure));
    const int maxPar = w.s().db->MaxParNr;
    auto list = [&](const QString& spec, QString& error) {
      error.clear();
      QList<int> out;
      for (int16_t p : ScanParameterList(w.s(), spec, error))
        out.append(p);
      return out;
    };
    QString error;
    QCOMPARE(list("all", error).size(), maxPar);
    QCOMPARE(list("8,9,8", error), QList<int>({8, 9, 8})); // named twice, read twice
    QVERIFY(error.isEmpty());
    QCOMPARE(list("10-8, 12", error), QList<int>({10, 9, 8, 12}));
    QCOMPARE(list("9999", error), QList<int>()); // above MaxParNr: ignored quietly
    QVERIFY(error.isEmpty());
    QCOMPARE(list(QStringLiteral("%1-9999").arg(maxPar - 1), error), QList<int>({maxPar - 1, maxPar}));
    const QList<int> group3 = list("GROUP3", error);
    QVERIFY(group3.contains(8) && group3.contains(9) && !group3.contains(10));
    QCOMPARE(list("group0", error).size(), maxPar);
    for (const QString bad : {"-5", "5-", "0-3", "GROUPx", "abc", ""}) {
      QCOMPARE(list(bad, error), QList<int>());
      QCOMPARE(error, QString("Invalid scan parameters format"));
    }
    QCOMPARE(list("abc,8", error), QList<int>({8})); // the valid elements still count
    QCOMPARE(error, QString("Invalid scan parameters format"));
  }

  void bulkReadWaitsForTheLast()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    const int meter = w.channelOf(3, 1);
    for (int c = 1; c <= w.s().channels.MaxChannel; ++c)
      w.s().dde->topic(int16_t(c))->ChangeItem(2, "x");
    Poll_All_Params(w.s(), int16_t(meter), "8,2");
    QCOMPARE(w.item(meter, 2), QString("3")); // the last read was waited for
    QCOMPARE(w.s().state.bExtendPolling, 0);
    Poll_All_Params(w.s(), -1, "2");
    for (int c = 1; c <= w.s().channels.MaxChannel; ++c)
      QCOMPARE(w.item(c, 2), QString::number(w.s().channels.ChannelTable[size_t(c)].Dev_Nodenr));
  }

  void readDirect()
  {
    World w;
    QVERIFY2(w.start(), qPrintable(w.failure));
    QVariant v;
    QCOMPARE(w.engine().read_direct(v, 6, 0, 0, 0, 1), int16_t(0)); // module type of node 6
    QCOMPARE(v.toInt(), 7);
    QCOMPARE(w.engine().read_direct(v, 6, 0, 28, 4, 0), int16_t(0)); // the ident string
    QVERIFY2(v.toString().endsWith("M00000006"), qPrintable(v.toString()));
    soranetsim::Faults f;
    f.silent = {6};
    w.bus->setFaults(f);
    QVERIFY(w.engine().read_direct(v, 6, 0, 3, 0, 1) != 0);
    QCOMPARE(v.toInt(), 255); // the byte's default
    QVERIFY(w.engine().read_direct(v, 6, 0, 28, 4, 0) != 0);
    QCOMPARE(v.toString(), QString("?"));
  }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
