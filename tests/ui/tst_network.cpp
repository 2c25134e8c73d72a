// The module list window driven as an operator drives it: a real server with
// its database file, scanned over a pseudo-terminal to the virtual bus, the
// operator's answers scripted through the prompt interface, and what the
// instruments received read back from the bus.
#include "RowCompare.h"
#include "ServerRig.h"

#include "dde/Commands.h"
#include "ui/frmNetwork.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QTreeWidget>
#include <QtTest>

using namespace tesmira;

namespace {

// Interface at 1, a meter at 3 and a controller at 5. Each module looks for
// its next node only up to the node after it, so moving a module needs its
// neighbours rewritten.
const char* kThreeModules = R"({"baud": 115200, "changeDelayMs": 200, "timeConstantMs": 100, "modules": [
  {"node": 1, "type": 1, "number": "IF0000001", "links": {"lna": 3}},
  {"node": 3, "type": 3, "number": "SN00000003", "links": {"lna": 5}},
  {"node": 5, "type": 4, "number": "FC0000005", "values": {"1:1": 0}, "links": {"lna": 7}}]})";

struct Bench : serverrig::Rig {
  frmNetwork* w = nullptr;
  QString error; // why the server did not start; each test checks it first

  explicit Bench(const char* modules = kThreeModules)
  {
    scenario = QJsonDocument::fromJson(modules).object();
    error = start(115200);
    if (!error.isEmpty())
      return;
    w = form<frmNetwork>("frmNetwork");
    prompt.asked.clear(); // the device table's first filling
  }
  void showList()
  {
    main()->menu("mnuConfiguration")->trigger();
    QVERIFY(QTest::qWaitForWindowExposed(w));
  }
  QStringList lines() const
  {
    QStringList out;
    for (QTreeWidgetItemIterator it(w->outFlowDevices); *it; ++it)
      out << QString((*it)->parent() ? "  " : "") + (*it)->text(0);
    return out;
  }
  // Clicks the outline line of a channel.
  void pick(int channel)
  {
    for (QTreeWidgetItemIterator it(w->outFlowDevices); *it; ++it)
      if ((*it)->text(0).startsWith(QStringLiteral("Ch: %1,").arg(channel))) {
        QTest::mouseClick(w->outFlowDevices->viewport(), Qt::LeftButton, {},
                          w->outFlowDevices->visualItemRect(*it).center());
        return;
      }
    QFAIL("no such line");
  }
  QString asked(int i) const { return i < prompt.asked.size() ? prompt.asked[i].text : QString(); }
  // A column of the channel's device-table row in the database file.
  QString row(int channel, const char* column) const
  {
    QSqlQuery q(s->db->TheDatabase);
    q.exec(QString("SELECT %1 FROM NetDevPar WHERE Dev_Chan=%2").arg(column).arg(channel));
    return q.next() ? q.value(0).toString() : QString();
  }
};

// A Bench named b on the modules given, its module list shown; the test
// fails when the server did not start.
#define BENCH(b, ...)                               \
  Bench b{__VA_ARGS__};                             \
  QVERIFY2(b.error.isEmpty(), qPrintable(b.error)); \
  b.showList()

}

class TestNetwork : public QObject {
  Q_OBJECT
private slots:
  void initTestCase() { qputenv("TESMIRA_SORA32_TIMEOUT_MS", "100"); }

  // The window comes from the menu and from command -4 while the bus is
  // open, and closes at once without communication and simulation.
  void opening()
  {
    BENCH(b);
    QCOMPARE(b.s->fields.value("Status"), QString("Add/show modules"));
    QCOMPARE(b.lines(), (QStringList{"Ch: 1, IF0000001, IFI-232, node 1 (interface)",
                                     "Ch: 2, SN00000003, DMFM, node 3 (analog instrument)",
                                     "Ch: 3, FC0000005, DMFC, node 5 (analog instrument)"}));
    QVERIFY(b.w->cmdNew->isEnabled() && !b.w->cmdAdd->isEnabled() && !b.w->cmdChange->isEnabled());
    // The outline had the focus (its keyboard cursor on line 1) but nobody
    // picked a line: re-opened, nothing is picked. A picked line is picked
    // again.
    QFocusEvent focus(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(b.w->outFlowDevices, &focus);
    b.w->close();
    b.s->commands->Rcvd_dde_Cmnd(0, "-4");
    QVERIFY(b.w->isVisible());
    QCOMPARE(std::pair(int(b.w->CurrentChannel), int(b.w->outFlowDevices->selectedItems().size())), std::pair(0, 0));
    b.pick(3);
    b.w->close();
    b.showList();
    QCOMPARE(b.w->CurrentChannel, int16_t(3));
    b.w->close();
    QVERIFY(b.menu("mnuClose"));
    QVERIFY(b.menu("mnuConfiguration"));
    QTRY_VERIFY(!b.w->isVisible());
    // While simulating the list shows the device table, and neither Search
    // nor the bus check touch the bus.
    QVERIFY(b.menu("mnuSimulate"));
    b.showList();
    QCOMPARE(b.lines().size(), 3);
    const int frames = b.bus->requestFrames();
    QVERIFY(!b.w->cmdNew->isEnabled() && !b.w->cmdCheckBusConfig->isEnabled());
    b.w->cmdCheckBusConfig_Click();
    QCOMPARE(std::tuple(b.s->state.SimulationOn, b.s->state.CommOpen, b.s->fields.value("ComStatus"),
                        b.bus->requestFrames()),
             std::tuple(true, false, QString("Simulation"), frames));
  }

  // What each kind of module's lines say: a host module on the node of the
  // interface is this PC, one elsewhere is not; an operator module's and a
  // readout module's further channels are its counters and alarms.
  void moduleKinds()
  {
    BENCH(b, R"({"baud": 115200, "modules": [{"node": 1, "type": 13, "number": "HS0000001"},
                                            {"node": 4, "type": 13, "number": "HS0000004"},
                                            {"node": 5, "type": 5, "number": "RO0000005", "channels": [1, 2, 33]},
                                            {"node": 7, "type": 11, "number": "OP0000007", "channels": [1, 2]}]})");
    QCOMPARE(b.lines(), (QStringList{"Ch: 1, HS0000001, HOST, node 1 (local Tesmira)", "Ch: 2, HS0000004, HOST, node 4",
                                     "Ch: 3, RO0000005, ROM-3, node 5", "  Ch: 4, RO0000005, ROM-3, node 5 (counter)",
                                     "  Ch: 5, RO0000005, ROM-3, node 5 (alarm)", "Ch: 6, OP0000007, OPM-4, node 7 (operator)",
                                     "  Ch: 7, OP0000007, OPM-4, node 7 (operator)"}));
  }

  // Picking a line winks its instrument; memo, poll flag and setpoint reach
  // the table, the scheduler and the instrument; the read-out follows.
  void operationTest()
  {
    BENCH(b);
    b.pick(2);
    QTRY_COMPARE(b.bus->winkLog(), QStringList{"3:on"});
    QCOMPARE(b.w->txtNode->text(), QString("3"));
    b.pick(3);
    QTRY_COMPARE(b.bus->winkLog(), (QStringList{"3:on", "3:off", "5:on"}));
    b.pick(3); // the same line again winks again
    QTRY_COMPARE(b.bus->winkLog().size(), 4);

    const QString memo = "Bench 2, left rack " + QString(60, 'x');
    b.w->txtDMemo->selectAll();
    QTest::keyClicks(b.w->txtDMemo, memo);
    QTest::keyClick(b.w->txtDMemo, Qt::Key_Return);
    QCOMPARE(b.row(3, "Dev_Memo"), memo.left(64));

    // Polling of channel 3 stops (only the read-out of the picked line asks
    // it then) and starts again.
    QTest::keyClick(b.w->chkPoll, Qt::Key_Space);
    QCOMPARE(b.row(3, "Polling"), QString("0"));
    const int toMeter = b.bus->requestFramesTo(3);
    b.pick(2);
    QTRY_VERIFY(b.bus->requestFramesTo(3) > toMeter); // the read-out moved to the meter
    const int framesBefore = b.bus->requestFramesTo(5);
    // Proves an absence: the read-out asks every 500 ms (frmNetwork's
    // tmrReadOutAndControl), so two of its periods without a frame to node 5
    // show that nothing polls it.
    constexpr int kTwoReadOutPeriodsMs = 2 * 500;
    QTest::qWait(kTwoReadOutPeriodsMs);
    QCOMPARE(b.bus->requestFramesTo(5), framesBefore);
    b.pick(3);
    QTest::keyClick(b.w->chkPoll, Qt::Key_Space);
    QCOMPARE(b.row(3, "Polling"), QString("1"));
    b.w->txtSetpoint->selectAll();
    QTest::keyClicks(b.w->txtSetpoint, "50");
    QTest::keyClick(b.w->txtSetpoint, Qt::Key_Return);
    soraproto::Value v;
    QVERIFY(b.bus->peek(5, 1, 1, v));
    QCOMPARE(v.number(), 16000.0);
    QTRY_COMPARE_WITH_TIMEOUT(b.w->txtMeasure->text(), QString("50.0"), 5000);
  }

  // The rules behind the address change: the highest address and a fraction
  // (other refusals: nodeAddressChange), and the neighbours' rewrite for
  // moves of the middle, the lowest and the highest module; an unreadable
  // raw value reads 0 %.
  void addressRules()
  {
    QCOMPARE(QList({ParseNewNodeAddress("123"), ParseNewNodeAddress("2.5")}), QList({123, -1}));
    QCOMPARE(RawToPercent("?"), QString("0.0"));

    // Nodes 1, 3, 5 each looking up to the next one (5 up to 7); a node not
    // on the bus answers nothing (0).
    const std::vector<ChannelNode> nodes{{1, 1}, {2, 3}, {3, 5}};
    const QHash<int, int> lna{{1, 3}, {3, 5}, {5, 7}};
    const struct {
      const char* row;
      int from, to;
      bool silent;                     // nobody answers
      std::tuple<bool, int, int> plan; // differs, the new next node of the module below the old and the new place
      int liar = 0;                    // a node that answers for another address
    } rows[] = {{"middle past the last", 3, 10, false, {false, 5, 10}},
                {"middle into the gap above", 3, 4, false, {false, 4, 4}},
                {"middle into the gap below", 3, 2, false, {false, -1, -1}},
                {"middle within the last's reach", 3, 7, false, {false, 5, -1}},
                {"lowest past the last", 1, 10, false, {false, -1, 10}},
                {"highest into the gap below", 5, 2, false, {false, -1, -1}},
                {"nobody answers", 3, 10, true, {true, -1, -1}},
                {"the new place's next answers for another", 1, 4, false, {true, -1, -1}, 5}};
    for (const auto& r : rows) {
      NodeMovePlan plan = FindNodeNeighbours(nodes, r.from, r.to);
      PlanNeighbourRewrite(plan, r.from, r.to, [&](int16_t, int node, int16_t p) {
        return r.silent || !lna.contains(node) ? 0 : p == 2 ? node + (node == r.liar) : p == 5 ? lna.value(node) : 0;
      });
      ROW_COMPARE(r.row, std::tuple(plan.differs, plan.p0Next, plan.p1Next), r.plan);
    }
  }

  // Refused inputs and a taken address change nothing; moving the middle
  // module past the last one rewrites both neighbours, and the rescan finds
  // it at its new address.
  void nodeAddressChange()
  {
    BENCH(b);
    b.pick(2);
    const QVector<soranetsim::Bus::Links> before = b.bus->links();
    b.prompt.texts = {"0", "124", "1000", "x"}; // then cancelled
    QTest::mouseClick(b.w->cmdChange, Qt::LeftButton);
    QCOMPARE(b.prompt.asked.size(), 5);
    QCOMPARE(b.prompt.asked[0].title, QString("Change node address"));
    QCOMPARE(b.asked(0), QString("Enter a new node address for the module on node 3.\r\n"
                                 "The new address must be in the range from 1 to 123.\r\n"
                                 "Please make sure the new address is free.\r\n\r\n"
                                 "Note: for other fieldbusses than SORANET, this is NOT the fieldbus address!"));
    b.prompt.asked.clear();
    b.prompt.texts = {"5"};
    QTest::mouseClick(b.w->cmdChange, Qt::LeftButton);
    QCOMPARE(b.prompt.asked.size(), 2);
    QCOMPARE(b.prompt.asked[1].title, QString("Tesmira warning"));
    QCOMPARE(b.asked(1), QString("The new node address 5 is occupied already.\r\n"
                                 "Please try another address or remove module on wanted address."));
    const auto unchanged = [&] {
      const QVector<soranetsim::Bus::Links> after = b.bus->links();
      for (int i = 0; i < before.size(); ++i)
        if (before[i].node != after[i].node || before[i].lna != after[i].lna || after[i].mode != 82)
          return false;
      return true;
    };
    QVERIFY(unchanged());

    // The module does not answer on its own node: nothing is written
    // (neighbours left as they are), the configuration not checked.
    soranetsim::Faults mute;
    mute.unanswered.insert(soranetsim::Faults::key(3, 0, 2)); // P(3): process 0, parameter 2
    b.bus->setFaults(mute);
    b.prompt.asked.clear();
    b.prompt.texts = {"10"};
    b.prompt.answers = {support::Prompt::AnswerOk, support::Prompt::AnswerNo, support::Prompt::AnswerNo};
    QTest::mouseClick(b.w->cmdChange, Qt::LeftButton);
    QCOMPARE(b.asked(3), QString("No module found on node address 3. Unable to change the node address.\r\n"
                                 "Check SORANET system configuration?"));
    QVERIFY(unchanged());
    b.bus->setFaults({});

    b.prompt.asked.clear();
    b.prompt.texts = {"10"}; // every question after it: OK / Yes
    QTest::mouseClick(b.w->cmdChange, Qt::LeftButton);
    QCOMPARE(b.asked(1), QString("The module will get new node address 10."));
    QCOMPARE(b.asked(2), QString("Tesmira has determined that the following addresses of other modules need to be "
                                 "changed:\r\n- LNA of Ch: 1, IFI-232\r\n- LNA of Ch: 3, DMFC   \r\n\r\n"
                                 "Continuing without changing the addresses may result in the system not being able "
                                 "to find all modules again.\r\nChange these addresses?"));
    QCOMPARE(b.asked(3), QString("The module was correctly set to new node address 10.\r\n"
                                 "Check SORANET system configuration?"));
    QVERIFY(b.bus->ringComplete());
    QStringList nodes;
    for (const auto& l : b.bus->links())
      nodes << QString::number(l.node) + ">" + QString::number(l.next);
    QCOMPARE(nodes, (QStringList{"1>5", "5>10", "10>0"}));
    QCOMPARE(b.s->fields.value("ComStatus"), QString("Normal polling"));
    QVERIFY(b.w->isVisible() && b.w->isEnabled());
    QVERIFY(b.lines().last().contains("SN00000003, DMFM, node 10"));
  }

  // Search finds nothing, then a module put in install mode; Add fails
  // while the module's configuration cannot be read (the module stays at
  // node 0); a module found is forgotten when the window closes; Add gives
  // it the first free address, and the bus check lists it.
  void newModule()
  {
    BENCH(b);
    // Two retries: nobody at node 0 is asked three times (each time the
    // library itself sends the request three times before it gives up).
    b.s->cfg.RetryNetworkAccess = 2;
    int frames = b.bus->requestFramesTo(0);
    QTest::mouseClick(b.w->cmdNew, Qt::LeftButton);
    QCOMPARE(b.bus->requestFramesTo(0) - frames, 3 * 3);
    QVERIFY(b.asked(0).startsWith("There was no new module found to be installed.\r\n"));
    QVERIFY(!b.w->cmdAdd->isEnabled());
    QCOMPARE(b.bus->injectInstall(6, "PM0000009"), QString());
    const QString found = QString("DPM    ,") + QChar(6) + QString("PM0000009").leftJustified(24);
    QTest::mouseClick(b.w->cmdNew, Qt::LeftButton);
    QCOMPARE(b.w->txtNewModule->text(), found);
    soranetsim::Faults unreadable;
    unreadable.forcedStatus.insert(soranetsim::Faults::key(0, 0, 5), 3);
    b.bus->setFaults(unreadable);
    // The five configuration reads three times over, then the module is
    // told to leave its change mode.
    frames = b.bus->requestFramesTo(0);
    QTest::mouseClick(b.w->cmdAdd, Qt::LeftButton);
    QCOMPARE(b.bus->requestFramesTo(0) - frames, 3 * 5 + 1);
    b.s->cfg.RetryNetworkAccess = 0;
    QCOMPARE(b.asked(1), QString("Node installation failed!\r\nMax retries on Read_Config function for node "
                                 "installation!\r\nRemove initialisation jumper!"));
    QVERIFY(!b.w->cmdAdd->isEnabled() && b.w->cmdNew->isEnabled());
    b.bus->setFaults({});
    const QString none = b.w->txtNewModule->text();
    QTest::mouseClick(b.w->cmdNew, Qt::LeftButton);
    QCOMPARE(b.w->txtNewModule->text(), found);
    // Closing the window forgets a module found but not added.
    b.w->close();
    b.showList();
    QVERIFY(!b.w->cmdAdd->isEnabled() && b.w->txtNewModule->text() == none);
    QTest::mouseClick(b.w->cmdNew, Qt::LeftButton);
    QVERIFY(b.w->cmdAdd->isEnabled());
    QTest::mouseClick(b.w->cmdAdd, Qt::LeftButton);
    QCOMPARE(b.asked(2), QString("Node installed!\r\nNode number: 2\r\nRemove initialisation jumper!"));
    QVERIFY(!b.w->cmdAdd->isEnabled());
    QTRY_VERIFY(b.bus->ringComplete() && b.bus->links().first().node == 1);
    QTest::mouseClick(b.w->cmdCheckBusConfig, Qt::LeftButton);
    QCOMPARE(b.lines().size(), 4);
    QVERIFY(b.lines()[1].contains("PM0000009, DPM, node 2"));
  }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
