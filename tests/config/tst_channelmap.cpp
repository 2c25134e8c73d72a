// The reverse lookup from a reply's node and process to its channel, and the
// channel map the library gives after reading the configuration.
#include "ConfigTestUtil.h"
#include "config/SystemScan.h"

#include <QtTest>

using namespace tesmira;

class tst_channelmap : public QObject {
  Q_OBJECT

  // Channels: 1 = node 1 proc 1 (interface), 2 = node 3 proc 1,
  // 3 = node 3 proc 2, 4 = node 3 proc 11, 5 = node 5 proc 1.
  static void fill(Server& s)
  {
    s.channels.ChanNodeProc = {{0, 0}, {1, 1}, {3, 1}, {3, 2}, {3, 11}, {5, 1}};
    s.channels.MaxChannel = s.channels.DBChannelCount = s.channels.ChannelCount = 5;
    s.state.InterfaceNode = 1;
    s.state.TopicsCreated = true;
  }

private slots:
  void initTestCase()
  {
    // Free node addresses time out quickly on the in-process bus.
    qputenv("TESMIRA_SORA32_TIMEOUT_MS", "40");
  }

  void processMappingTable_data()
  {
    QTest::addColumn<int>("node");
    QTest::addColumn<int>("process");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QList<int16_t>>("siblings");
    const QList<int16_t> none{0};
    // Own processes and the relative process blocks.
    QTest::newRow("1 own") << 3 << 1 << 2 << none;
    QTest::newRow("2 own") << 3 << 2 << 3 << none;
    QTest::newRow("33 -> 1") << 3 << 33 << 2 << none;
    QTest::newRow("34 -> 2") << 3 << 34 << 3 << none;
    QTest::newRow("64 -> 32, none") << 3 << 64 << 0 << none;
    QTest::newRow("66 -> 2") << 3 << 66 << 3 << none;
    QTest::newRow("98 -> 2") << 3 << 98 << 3 << none;
    QTest::newRow("103 -> 7, none") << 3 << 103 << 0 << none;
    QTest::newRow("43 -> 11") << 3 << 43 << 4 << none;
    // Processes of the whole module: process 1's channel and the others listed.
    QTest::newRow("0 -> 1, whole") << 3 << 0 << 2 << QList<int16_t>{3, 4};
    QTest::newRow("110 -> 1, whole") << 3 << 110 << 2 << QList<int16_t>{3, 4};
    QTest::newRow("127 -> 1, whole") << 3 << 127 << 2 << QList<int16_t>{3, 4};
    QTest::newRow("123 without acquisition") << 3 << 123 << 2 << QList<int16_t>{3, 4};
    QTest::newRow("200 whole, no own") << 3 << 200 << 0 << QList<int16_t>{2, 3, 4};
    // 9 and 10 keep their number and are not the whole module.
    QTest::newRow("9") << 3 << 9 << 0 << none;
    QTest::newRow("10") << 3 << 10 << 0 << none;
    // Another node's channels never answer for this one.
    QTest::newRow("node 5 process 0") << 5 << 0 << 5 << none;
    QTest::newRow("unknown node") << 7 << 1 << 0 << none;
  }
  void processMappingTable()
  {
    QFETCH(int, node);
    QFETCH(int, process);
    QFETCH(int, channel);
    QFETCH(QList<int16_t>, siblings);
    Server s;
    fill(s);
    QList<int16_t> list{42};
    QCOMPARE(int(FindChannelNumber(s, uint8_t(node), uint8_t(process), list)), channel);
    QCOMPARE(list, siblings);
  }

  void noTopicsNoChannel()
  {
    Server s;
    fill(s);
    s.state.TopicsCreated = false;
    QList<int16_t> list;
    QCOMPARE(FindChannelNumber(s, 3, 1, list), int16_t(0));
    QCOMPARE(list, QList<int16_t>{0});
  }

  void laterMatchWinsAndOnlyTableChannelsCount()
  {
    Server s;
    fill(s);
    s.channels.ChanNodeProc.push_back({3, 2}); // channel 6 duplicates channel 3
    s.channels.DBChannelCount = 6;
    QList<int16_t> list;
    QCOMPARE(FindChannelNumber(s, 3, 2, list), int16_t(6));
    s.channels.DBChannelCount = 5; // rows beyond the device table are not searched
    QCOMPARE(FindChannelNumber(s, 3, 2, list), int16_t(3));
  }

  void interfaceAcquisition()
  {
    Server s;
    fill(s);
    s.state.InterfaceAcquisition = true;
    QList<int16_t> list;
    // The interface's processes 1..120 are channel numbers, unless a channel
    // of the interface itself has that process.
    QCOMPARE(FindChannelNumber(s, 1, 4, list), int16_t(4));
    QCOMPARE(list, QList<int16_t>{0});
    QCOMPARE(FindChannelNumber(s, 1, 1, list), int16_t(1));
    QCOMPARE(FindChannelNumber(s, 1, 120, list), int16_t(120));
    // Real-time processes map to 1..4 on the interface and are not the whole module.
    s.channels.ChanNodeProc[1] = {1, 2};
    QCOMPARE(FindChannelNumber(s, 1, 124, list), int16_t(1));
    QCOMPARE(list, QList<int16_t>{0});
    // Not the interface: 123..126 stand for the whole module.
    QCOMPARE(FindChannelNumber(s, 3, 124, list), int16_t(2));
    QCOMPARE(list, (QList<int16_t>{3, 4}));
  }

  // Process 0, 9 and 10 of readout (5) and alarm (19) modules belong to
  // their process-11 channel; the type comes from the library.
  void readoutModulesUseProcess11()
  {
    cfgtest::World w;
    w.setScenario({cfgtest::module(1, 1, "IF0000001"), cfgtest::module(3, 5, "RO0000003", {11, 12, 13})});
    QVERIFY(w.openBus(5));
    QCOMPARE(sora32::GetModuleType(3), int16_t(5));
    Server s;
    Fill_Channel_info(s);
    QCOMPARE(s.channels.MaxChannel, int16_t(4));
    QCOMPARE(s.channels.ChanNodeProc[2], (std::array<int16_t, 2>{3, 11}));
    QCOMPARE(s.channels.ChanNodeProc[4], (std::array<int16_t, 2>{3, 13}));
    s.channels.DBChannelCount = s.channels.MaxChannel;
    s.state.TopicsCreated = true;
    QList<int16_t> list;
    QCOMPARE(FindChannelNumber(s, 3, 0, list), int16_t(2));
    QCOMPARE(list, QList<int16_t>{0});
    QCOMPARE(FindChannelNumber(s, 3, 9, list), int16_t(2));
    QCOMPARE(FindChannelNumber(s, 3, 44, list), int16_t(3)); // 44 - 32 = 12
  }
};

QTEST_MAIN(tst_channelmap)
#include "tst_channelmap.moc"
