// Device types and the reconciliation of the device table with the bus,
// against the in-process virtual bus and a real database file that the
// tests read back through their own SQLite connection.
#include "ConfigTestUtil.h"
#include "config/DeviceTable.h"
#include "config/SystemScan.h"
#include "log/Logger.h"

#include "Prompt.h"

#include <QPlainTextEdit>
#include <QtTest>

using namespace tesmira;

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
QString row(const QVariantList& r, const QString& memo = QString(), int polling = 1, int modify = 0)
{
  return QStringList{r[0].toString(), r[1].toString(), r[2].toString(), r[3].toString(), r[4].toString(),
                     r[5].toString(), memo, QString::number(polling), QString::number(modify)}
      .join('/');
}

// A server on the world's database with the bus configuration read and the
// operator's answers scripted.
struct Fixture {
  explicit Fixture(cfgtest::World& w, int lna = 6) : world(w)
  {
    support::setPrompt(&prompt);
    opened = w.openBus(lna);
    server = cfgtest::makeServer();
    server->log->setConsole(&console);
    server->log->EchoAll = true;
    server->state.CommOpen = true;
    server->state.InterfaceNode = GetInterfaceNode();
    Fill_Channel_info(*server);
  }
  ~Fixture()
  {
    server->log->setConsole(nullptr);
    support::setPrompt(nullptr);
  }
  bool fill(bool& ok, QString& error) { return server->devices->FillNodeInfo(ok, error); }
  QStringList titles() const
  {
    QStringList t;
    for (const auto& a : prompt.asked)
      t << a.title;
    return t;
  }

  cfgtest::World& world;
  support::ScriptedPrompt prompt;
  QPlainTextEdit console;
  std::unique_ptr<Server> server;
  bool opened = false;
};

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
  // position. Both must give the same offer for every type.
  void deviceTypes()
  {
    cfgtest::World w;
    auto s = cfgtest::makeServer();
    DeviceTable& d = *s->devices;
    QCOMPARE(d.LoadDeviceTypes(), QString());
    QCOMPARE(d.DeviceTypeCount, int16_t(24));
    QCOMPARE(int(d.DeviceTypeTable.size()), 25);
    QCOMPARE(d.DeviceTypeTable[3].ID, int16_t(3));
    QCOMPARE(d.DeviceTypeTable[3].DEV_TYPE, QString("DMFM   "));
    QCOMPARE(d.DeviceTypeTable[10].Dev_Channels, int16_t(4));
    QCOMPARE(d.DeviceTypeTable[10].Dev_Name.size(), 30);
    QCOMPARE(d.DevTypeOf(24), QString("FBS-DP "));
    QCOMPARE(d.DevTypeOf(99), QString());
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

  void channelAmountMoreChannels()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    QList<QVariantList> rows = fiveRows().mid(0, 4);
    w.writeRows(rows);
    Fixture f(w);
    QVERIFY(f.opened);
    QCOMPARE(f.server->channels.MaxChannel, int16_t(5));
    f.prompt.answers << support::Prompt::AnswerYes;
    bool ok = false;
    QString error;
    QVERIFY(f.fill(ok, error));
    QVERIFY(ok);
    QCOMPARE(error, QString());
    QCOMPARE(f.titles(), QStringList{"Channel amount"});
    QCOMPARE(f.prompt.asked[0].text,
             QString("The number of channels in the database differs from the number of channels on the SORANET.\r\n"
                     "Number of channels in database: 4\r\nNumber of channels on SORANET: 5\r\n\r\n"
                     "The database will be updated. Continue?"));
    QCOMPARE(f.prompt.asked[0].icon, support::Prompt::Question);
    QCOMPARE(f.prompt.asked[0].buttons, support::Prompt::YesNo);
    QStringList expected;
    for (const QVariantList& r : fiveRows())
      expected << row(r);
    QCOMPARE(w.rows(), expected);
    QVERIFY(f.console.toPlainText().contains("Database updated, total channels = 5"));
    QCOMPARE(f.server->channels.DBChannelCount, int16_t(5));
    QCOMPARE(f.server->channels.ChannelTable[5].Dev_Name, QString("MFC-2  "));
    QCOMPARE(f.server->channels.ChannelTable[5].Dev_Proc, uint8_t(2));
    QCOMPARE(f.server->fields.value("MaxChan"), QString("5"));
    QCOMPARE(f.server->fields.value("MaxNode"), QString("6"));
  }

  void channelAmountFewerChannelsDeletesRows()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    QList<QVariantList> rows = fiveRows();
    rows << QVariantList{9, 1, 6, 3, "DMFM", "FM0000009", "gone"};
    rows[1][6] = "keep me"; // an unchanged row keeps its memo
    w.writeRows(rows);
    Fixture f(w);
    f.prompt.answers << support::Prompt::AnswerYes;
    bool ok = false;
    QString error;
    QVERIFY(f.fill(ok, error));
    QVERIFY(ok);
    QStringList expected;
    for (int i = 0; i < 5; ++i)
      expected << row(rows[i], rows[i][6].toString());
    QCOMPARE(w.rows(), expected);
    QCOMPARE(f.server->channels.ChannelTable[2].Dev_Memo.trimmed(), QString("keep me"));
  }

  void refusalWritesNothing()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    w.writeRows(fiveRows().mid(0, 3));
    const QStringList before = w.rows();
    Fixture f(w);
    f.prompt.answers << support::Prompt::AnswerNo;
    bool ok = true;
    QString error;
    QVERIFY(!f.fill(ok, error));
    QVERIFY(!ok);
    QCOMPARE(error, QString());
    QCOMPARE(w.rows(), before);
    // The channel model stays empty.
    QCOMPARE(f.server->channels.ChannelTable[1].Dev_Name, QString());
    QVERIFY(!f.server->channels.available(1, 8));
  }

  // Same count, channel 3 on another node, channel 4 of another type: only
  // the first difference is asked about.
  void movedNodeAsksOnce()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    QList<QVariantList> rows = fiveRows();
    rows[2][0] = 5;
    rows[3][3] = 4;
    rows[3][4] = "DMFC";
    w.writeRows(rows);
    Fixture f(w);
    f.prompt.answers << support::Prompt::AnswerYes;
    bool ok = false;
    QString error;
    QVERIFY(f.fill(ok, error));
    QCOMPARE(f.titles(), QStringList{"Module-channel connection"});
    QCOMPARE(f.prompt.asked[0].text,
             QString("The module on SORANET, assigned to channel 3, has a different node address than the module in "
                     "the database.\r\nNode address in database: 5\r\nNode address on SORANET: 4\r\n\r\n"
                     "The database will be updated. Continue?"));
    QStringList expected;
    for (const QVariantList& r : fiveRows())
      expected << row(r);
    QCOMPARE(w.rows(), expected);
  }

  void typeAndNumberQuestions()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    QList<QVariantList> rows = fiveRows();
    rows[1][3] = 6; // DPM in the table, DMFM on the bus
    w.writeRows(rows);
    {
      Fixture f(w);
      f.prompt.answers << support::Prompt::AnswerNo;
      bool ok = true;
      QString error;
      f.fill(ok, error);
      QVERIFY(!ok);
      QCOMPARE(f.titles(), QStringList{"Module type"});
      QCOMPARE(f.prompt.asked[0].text,
               QString("The module on SORANET, assigned to channel 2, is of a different type than the module in the "
                       "database.\r\nModule type in database: DPM\r\nModule type on SORANET: DMFM   \r\n\r\n"
                       "The database will be updated. Continue?"));
    }
    rows = fiveRows();
    rows[4][5] = "MC0000099";
    w.writeRows(rows);
    Fixture f(w);
    f.prompt.answers << support::Prompt::AnswerYes;
    bool ok = false;
    QString error;
    QVERIFY(f.fill(ok, error));
    QCOMPARE(f.titles(), QStringList{"Module number"});
    QCOMPARE(f.prompt.asked[0].text,
             QString("The module on SORANET, assigned to channel 5, has a different module number than the module "
                     "in the database.\r\nModule number in database: MC0000099           \r\n"
                     "Module number on SORANET: MC0000006           \r\n\r\nThe database will be updated. Continue?"));
    QCOMPARE(w.rows().last(), row(fiveRows()[4]));
  }

  void sameConfigurationAsksNothing()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    w.writeRows(fiveRows());
    Fixture f(w);
    bool ok = false;
    QString error;
    QVERIFY(!f.fill(ok, error));
    QVERIFY(ok);
    QVERIFY(f.prompt.asked.isEmpty());
    QCOMPARE(f.server->channels.ChannelTable[4].Dev_Nodenr, uint8_t(6));
    QVERIFY(f.server->channels.available(2, 8));
    QCOMPARE(f.server->channels.ParRetryCount[2][8], f.server->cfg.RetryNetworkAccess + 1);
    QCOMPARE(f.server->channels.ParVarType[2][8], f.server->db->ParameterTable[8].VarType[0]);
  }

  void disabledCheckRewritesWithoutAsking()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    QList<QVariantList> rows = fiveRows();
    rows[2][0] = 5;
    w.writeRows(rows);
    Fixture f(w);
    f.server->options.ConfigCheckDisabled = true;
    bool ok = false;
    QString error;
    QVERIFY(f.fill(ok, error));
    QVERIFY(ok);
    QVERIFY(f.prompt.asked.isEmpty());
    QVERIFY(f.console.toPlainText().contains("Bussystem configuration check has been disabled"));
    QCOMPARE(w.rows()[2], row(fiveRows()[2]));
  }

  // Probes: the interface without direct access loses parameters 238 and up;
  // a module reporting 200 is reached through an interface channel, 100 is not.
  void probesMarkChannels()
  {
    cfgtest::World w;
    QJsonArray mods = fiveChannels();
    QJsonObject ifi = mods[0].toObject();
    ifi["directAccess"] = false;
    ifi["missing"] = QJsonArray{"0:6"};
    mods[0] = ifi;
    w.setScenario(mods);
    w.writeRows(fiveRows());
    Fixture f(w);
    bool ok = false;
    QString error;
    f.fill(ok, error);
    QVERIFY(ok);
    const ChannelModel& cm = f.server->channels;
    QVERIFY(!cm.ChannelTable[1].DirectAccess);
    for (int p = 238; p <= f.server->db->MaxParNr; ++p)
      QVERIFY(!cm.available(1, p));
    QVERIFY(cm.ChannelTable[2].IsIfiChannel);
    QVERIFY(!cm.ChannelTable[3].IsIfiChannel);
    for (int c = 1; c <= 5; ++c)
      QVERIFY2(cm.ChannelTable[c].ModulePresent, qPrintable(QString::number(c)));
  }

  void simulationTakesTheTable()
  {
    cfgtest::World w;
    w.writeRows(fiveRows());
    auto s = cfgtest::makeServer();
    s->state.SimulationOn = true;
    support::ScriptedPrompt prompt;
    support::setPrompt(&prompt);
    bool ok = false;
    QString error;
    QVERIFY(!s->devices->FillNodeInfo(ok, error));
    support::setPrompt(nullptr);
    QVERIFY(ok);
    QVERIFY(prompt.asked.isEmpty());
    QCOMPARE(s->channels.MaxChannel, int16_t(5));
    for (int c = 1; c <= 5; ++c)
      QVERIFY(s->channels.ChannelTable[c].ModulePresent);
    QCOMPARE(s->channels.ChanNodeProc[5], (std::array<int16_t, 2>{6, 2}));
  }

  // A damaged database ends the reconciliation with the engine's message and
  // leaves the device table alone.
  void damagedDeviceTypes()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    w.writeRows(fiveRows().mid(0, 2));
    const QStringList before = w.rows();
    {
      QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "damage");
      db.setDatabaseName(w.dbFile);
      QVERIFY(db.open());
      QSqlQuery q(db);
      QVERIFY(q.exec("DROP TABLE FlowDevices"));
      db.close();
    }
    QSqlDatabase::removeDatabase("damage");
    Fixture f(w);
    bool ok = true;
    QString error;
    QVERIFY(!f.fill(ok, error));
    QVERIFY(!ok);
    QVERIFY(error.contains("FlowDevices"));
    QVERIFY(f.prompt.asked.isEmpty());
    QCOMPARE(w.rows(), before);
  }

  void setChanPolled()
  {
    cfgtest::World w;
    w.setScenario(fiveChannels());
    w.writeRows(fiveRows());
    Fixture f(w);
    bool ok = false;
    QString error;
    f.fill(ok, error);
    f.server->devices->SetChanPolled(4, false);
    QVERIFY(!f.server->channels.ChannelTable[4].Polling);
    QCOMPARE(w.rows()[3], row(fiveRows()[3], QString(), 0));
    QCOMPARE(w.rows()[4], row(fiveRows()[4], QString(), 1));
    f.server->devices->SetChanPolled(99, false); // no such channel: nothing happens
    QCOMPARE(w.rows().size(), 5);
  }

  void interfaceDisplay()
  {
    cfgtest::World w;
    Fixture f(w);
    Server& s = *f.server;
    s.ProgramTitle = "Tesmira V1.00";
    QVERIFY(s.InterfaceDisplayOpen);
    QVERIFY(s.InterfaceDisplayOpen());
    QCOMPARE(s.fields.value("lblInterfaceType"), QString("RS232 at node 1"));
    QCOMPARE(s.fields.value("Caption"), QString("Tesmira V1.00"));
  }
};

QTEST_MAIN(tst_devicetable)
#include "tst_devicetable.moc"
