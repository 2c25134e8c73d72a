// Device types and the reconciliation of the device table with the bus,
// against the in-process virtual bus and a real database file that the
// tests read back through their own SQLite connection; and the reverse
// lookup from a reply's node and process to its channel.
#include "ConfigTestUtil.h"
#include "Shipped.h"
#include "config/DeviceTable.h"
#include "config/SystemScan.h"

#include <QtTest>

using namespace tesmira;
using support::Prompt;

namespace {

// Interface at 1, meter at 3, controller at 4, a two-channel controller at 6:
// four modules, five channels.
QJsonArray fiveChannels()
{
  return {cfgtest::module(1, 1, "IF0000001"), cfgtest::module(3, 3, "FM0000003", {1}, QJsonObject{{"ifiId", 200}}),
          cfgtest::module(4, 4, "FC0000004", {1}, QJsonObject{{"ifiId", 100}}),
          cfgtest::module(6, 9, "MC0000006", {1, 2})};
}
QList<QVariantList> fiveRows()
{
  return {{1, 1, 1, 1, "IFI-232", "IF0000001", ""}, {3, 1, 2, 3, "DMFM", "FM0000003", ""},
          {4, 1, 3, 4, "DMFC", "FC0000004", ""},    {6, 1, 4, 9, "MFC-2", "MC0000006", ""},
          {6, 2, 5, 9, "MFC-2", "MC0000006", ""}};
}

// The five-channel installation on the bus (or the given modules), the given
// rows in the device table, and a server that has read the bus configuration.
struct Fixture {
  explicit Fixture(const QList<QVariantList>& rows, const QJsonArray& modules = fiveChannels())
  {
    world.setScenario(modules);
    world.writeRows(rows);
    opened = world.openBus(6);
    rig = std::make_unique<cfgtest::Rig>();
    server = rig->server.get();
    server->state.CommOpen = true;
    server->state.InterfaceNode = GetInterfaceNode();
    Fill_Channel_info(*server);
  }
  // Runs the reconciliation; answers are the operator's replies in turn.
  void fill(QList<Prompt::Answer> answers = {})
  {
    rig->prompt.answers << answers;
    changed = server->devices->FillNodeInfo(ok, error);
  }

  cfgtest::World world;
  std::unique_ptr<cfgtest::Rig> rig;
  Server* server = nullptr;
  bool opened = false, changed = false, ok = false;
  QString error;
};

// Channels: 1 = node 1 proc 1 (interface), 2 = node 3 proc 1,
// 3 = node 3 proc 2, 4 = node 3 proc 11, 5 = node 5 proc 1.
void fillMap(Server& s)
{
  s.channels.ChanNodeProc = {{0, 0}, {1, 1}, {3, 1}, {3, 2}, {3, 11}, {5, 1}};
  s.channels.MaxChannel = s.channels.DBChannelCount = s.channels.ChannelCount = 5;
  s.state.InterfaceNode = 1;
  s.state.TopicsCreated = true;
}

} // namespace

class tst_devicetable : public QObject {
  Q_OBJECT
private slots:
  void initTestCase()
  {
    // Free node addresses time out quickly on the in-process bus.
    qputenv("TESMIRA_SORA32_TIMEOUT_MS", "40");
  }

  // FlowDevices is read by column name; AvailableParams counts columns by
  // position. Both must give the same offer for every type. (The names,
  // padded, are checked in the questions below.)
  void deviceTypes()
  {
    cfgtest::World w;
    QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
    cfgtest::Rig rig;
    const auto& s = rig.server;
    DeviceTable& d = *s->devices;
    QCOMPARE(d.LoadDeviceTypes(), QString());
    for (int id = 1; id <= d.DeviceTypeCount; ++id) {
      QList<int16_t> byPosition;
      QCOMPARE(s->db->AvailableParams(s->db->DBPath, id, byPosition), QString());
      QList<int16_t> byName;
      for (int p = 1; p <= s->db->MaxParNr; ++p)
        if (d.DevParAvailable[id][p])
          byName << int16_t(p);
      if (byName.isEmpty())
        byName << 0;
      QCOMPARE(byName, byPosition);
    }
  }

  // Each kind of difference between table and bus asks its own question
  // (only the first difference is asked about); Yes rewrites the table from
  // the bus (keeping the memo of an unchanged row), No leaves it untouched.
  void questions()
  {
    const QString update = "\r\n\r\nThe database will be updated. Continue?";
    const QString amount = "The number of channels in the database differs from the number of channels on the "
                           "SORANET.\r\nNumber of channels in database: %1\r\nNumber of channels on SORANET: 5" + update;
    QList<QVariantList> more = fiveRows().mid(0, 4), fewer = fiveRows(), moved = fiveRows(), type = fiveRows(),
                        number = fiveRows();
    fewer << QVariantList{9, 1, 6, 3, "DMFM", "FM0000009", "gone"};
    fewer[1][6] = "keep me";
    moved[2][0] = 5;       // channel 3 on another node,
    moved[3][3] = 4;       // channel 4 of another type: asked about the node only
    moved[3][4] = "DMFC";
    type[1][3] = 6;        // DPM in the table, DMFM on the bus
    number[4][5] = "MC0000099";
    struct Case {
      QList<QVariantList> rows;
      Prompt::Answer answer;
      QString title, text;
      QList<QVariantList> after;
    } cases[] = {
        {more, Prompt::AnswerYes, "Channel amount", amount.arg(4), fiveRows()},
        {fewer, Prompt::AnswerYes, "Channel amount", amount.arg(6), fewer.mid(0, 5)},
        {moved, Prompt::AnswerYes, "Module-channel connection",
         "The module on SORANET, assigned to channel 3, has a different node address than the module in the "
         "database.\r\nNode address in database: 5\r\nNode address on SORANET: 4" + update, fiveRows()},
        {type, Prompt::AnswerNo, "Module type",
         "The module on SORANET, assigned to channel 2, is of a different type than the module in the database.\r\n"
         "Module type in database: DPM\r\nModule type on SORANET: DMFM   " + update, type},
        {number, Prompt::AnswerYes, "Module number",
         "The module on SORANET, assigned to channel 5, has a different module number than the module in the "
         "database.\r\nModule number in database: MC0000099           \r\n"
         "Module number on SORANET: MC0000006           " + update, fiveRows()},
    };
    for (const Case& c : cases) {
      Fixture f(c.rows);
      QVERIFY(f.opened);
      f.fill({c.answer});
      const bool yes = c.answer == Prompt::AnswerYes;
      QCOMPARE(f.rig->prompt.asked.size(), 1);
      const auto& q = f.rig->prompt.asked[0];
      QCOMPARE(std::tuple(f.changed, f.ok, f.error, q.title, q.text, q.icon, q.buttons),
               std::tuple(yes, yes, QString(), c.title, c.text, Prompt::Question, Prompt::YesNo));
      QCOMPARE(f.world.rows(), cfgtest::rowTexts(c.after));
      // The channel model: left empty after No, filled from the new table after Yes.
      const ChannelModel& cm = f.server->channels;
      QCOMPARE(std::tuple(cm.ChannelTable[5].Dev_Name, cm.ChannelTable[2].Dev_Memo.trimmed(), cm.available(2, 8)),
               yes ? std::tuple(QString("MFC-2  "), c.after[1][6].toString(), true)
                   : std::tuple(QString(), QString(), false));
      QCOMPARE(f.rig->log().contains("Database updated, total channels = 5"), yes);
    }
  }

  // Table and bus agree: nothing is asked, the channel model is filled, and
  // a channel's polling flag is written back to its row alone.
  void sameConfigurationAsksNothing()
  {
    Fixture f(fiveRows());
    f.fill();
    QVERIFY(!f.changed && f.ok && f.rig->prompt.asked.isEmpty());
    const ChannelModel& cm = f.server->channels;
    QVERIFY(cm.available(2, 8));

    f.server->devices->SetChanPolled(4, false);
    QCOMPARE(f.world.rows().mid(3), cfgtest::rowTexts({fiveRows()[3]}, 0) + cfgtest::rowTexts({fiveRows()[4]}));
    f.server->devices->SetChanPolled(99, false); // no such channel: nothing happens
    QCOMPARE(f.world.rows().size(), 5);

    f.server->ProgramTitle = "Tesmira V1.00";
    QVERIFY(f.server->InterfaceDisplayOpen && f.server->InterfaceDisplayOpen());
    QCOMPARE(f.server->fields.value("Caption"), QString("Tesmira V1.00"));
  }

  void disabledCheckRewritesWithoutAsking()
  {
    QList<QVariantList> rows = fiveRows();
    rows[2][0] = 5;
    Fixture f(rows);
    f.server->options.ConfigCheckDisabled = true;
    f.fill();
    QVERIFY(f.changed && f.ok && f.rig->prompt.asked.isEmpty());
    QVERIFY(f.rig->log().contains("Bussystem configuration check has been disabled"));
    QCOMPARE(f.world.rows(), cfgtest::rowTexts(fiveRows()));
  }

  // Probes: the interface without direct access loses parameters 238 and up.
  // (That it then acquires for the channels, and modules reached through an
  // interface channel: the whole program, tests/core.)
  void probesMarkChannels()
  {
    QJsonArray mods = fiveChannels();
    QJsonObject ifi = mods[0].toObject();
    ifi["directAccess"] = false;
    ifi["missing"] = QJsonArray{"0:6"};
    mods[0] = ifi;
    Fixture f(fiveRows(), mods);
    f.fill();
    QVERIFY(f.ok);
    const ChannelModel& cm = f.server->channels;
    for (int p = 238; p <= f.server->db->MaxParNr; ++p)
      QVERIFY(!cm.available(1, p));
    for (int c = 1; c <= 5; ++c)
      QVERIFY2(cm.ChannelTable[c].ModulePresent, qPrintable(QString::number(c)));
  }

  // A database damaged while the server runs (start-up refuses one without
  // the table) ends the reconciliation with the engine's message and leaves
  // the device table alone.
  void damagedDeviceTypes()
  {
    Fixture f(fiveRows().mid(0, 2), fiveChannels());
    QVERIFY(sqlfile::exec(f.world.dbFile, {"DROP TABLE FlowDevices"}));
    f.fill();
    QVERIFY(!f.changed && !f.ok && f.rig->prompt.asked.isEmpty());
    QVERIFY(f.error.contains("FlowDevices"));
    QCOMPARE(f.world.rows(), cfgtest::rowTexts(fiveRows().mid(0, 2)));
  }

  // The channel that answers for each of the 256 processes of a node, and
  // the node's other channels listed when the process stands for the whole
  // module, as shipped (tests/config/process-channels.txt): runs of
  // processes with the same answer (shipped::runs), "-> channel [others]"
  // (channel 0: none).
  // The node map:
  // interface at 1 (channel 1), channels 2, 3, 4 on processes 1, 2 and 11
  // of node 3, channel 5 at node 5.
  void processMappingTable()
  {
    const struct {
      const char* setup;
      int node;
    } setups[] = {{"", 3}, {"", 5}, {"", 7}, {"no topics", 3}, {"acquisition", 1}, {"acquisition", 3},
                  {"acquisition, interface process 2", 1}, {"duplicate", 3}, {"duplicate beyond the table", 3}};
    QList<int> processes;
    for (int p = 0; p < 256; ++p)
      processes << p;
    QStringList shown;
    for (const auto& [setup, node] : setups) {
      Server s;
      fillMap(s);
      const QString how = setup;
      s.state.TopicsCreated = how != "no topics";
      if (how.startsWith("duplicate")) { // channel 6 repeats channel 3
        s.channels.ChanNodeProc.push_back({3, 2});
        s.channels.DBChannelCount = how == "duplicate" ? 6 : 5;
      }
      s.state.InterfaceAcquisition = how.startsWith("acquisition");
      if (how.endsWith("interface process 2"))
        s.channels.ChanNodeProc[1] = {1, 2};
      shown << QStringLiteral("node %1%2").arg(node).arg(how.isEmpty() ? "" : ", " + how);
      for (const QString& run : shipped::runs(processes, [&](int process) {
             QList<int16_t> others{42};
             const int channel = FindChannelNumber(s, uint8_t(node), uint8_t(process), others);
             QString answer = channel == process && channel ? QStringLiteral("-> the same number") : QStringLiteral("-> %1").arg(channel);
             for (qsizetype i = 0; others != QList<int16_t>{0} && i < others.size(); ++i)
               answer += (i ? "," : " [") + QString::number(others[i]) + (i + 1 == others.size() ? "]" : "");
             return answer;
           }))
        shown << "  " + run;
    }
    const QString diff = shipped::differs(shown, "tests/config/process-channels.txt");
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
  }

  // Process 0, 9 and 10 of readout (5) and alarm (19) modules belong to
  // their process-11 channel; the type comes from the library.
  void readoutModulesUseProcess11()
  {
    cfgtest::World w;
    QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
    w.setScenario({cfgtest::module(1, 1, "IF0000001"), cfgtest::module(3, 5, "RO0000003", {11, 12, 13})});
    QVERIFY(w.openBus(5));
    Server s;
    Fill_Channel_info(s);
    s.channels.DBChannelCount = s.channels.MaxChannel;
    s.state.TopicsCreated = true;
    QList<int16_t> list;
    QCOMPARE(FindChannelNumber(s, 3, 0, list), int16_t(2));
    QCOMPARE(list, QList<int16_t>{0});
    QCOMPARE(FindChannelNumber(s, 3, 9, list), int16_t(2));
    QCOMPARE(FindChannelNumber(s, 3, 44, list), int16_t(3)); // 44 - 32 = 12
  }
};

QTEST_MAIN(tst_devicetable)
#include "tst_devicetable.moc"
