// Channel topics and the topic "server" as clients see them through real
// sockets: topics and items after creation, publishing values (trimming, log
// description), client pokes with CR LF stripping, link errors, request tags,
// the server items that open and close the communication, choose the port,
// switch polling and set the poll settings, the single-instance check and
// the optional TCP listener.
#include "ServerRig.h"
#include "Until.h"

#include "core/Settings.h"
#include "dde/ServerTopic.h"
#include "dde/frmTopic.h"

#include "Server.h" // ddeml::Server (platform/ddeml)
#include "Setting.h"

#include <QSqlQuery>
#include <QThread>
#include <QtTest>
#include <atomic>
#include <thread>

using namespace tesmira;
using namespace ddeml;
using namespace serverrig;

namespace {

// A server on the default database, the link service registered (unless
// `link` is false), no line; channel c offers the parameters listed for it.
struct World : serverrig::Rig {
  bool started = false; // else failure says why; each test checks it first
  explicit World(bool link = true) { started = startServer(link); }
  // ... and with channel topics built for the offered parameters.
  explicit World(const QList<QList<int>>& offered) : World()
  {
    if (!started)
      return;
    fillChannels(offered);
    dde().AddTopicScr(int16_t(offered.size()));
  }
  DdeServer& dde() { return *s->dde; }
  void fillChannels(const QList<QList<int>>& offered)
  {
    const int count = int(offered.size());
    auto& m = s->channels;
    m.MaxChannel = m.DBChannelCount = m.ChannelCount = int16_t(count);
    m.ChannelTable.assign(size_t(count) + 1, ChannelRec{});
    m.ChanNodeProc.assign(size_t(count) + 1, {0, 0});
    m.resizeParameterTables(count, s->db->MaxParNr);
    for (int c = 1; c <= count; ++c) {
      m.ChannelTable[c].Dev_Nodenr = uint8_t(2 + c);
      m.ChannelTable[c].Polling = true;
      for (int p : offered[c - 1])
        m.ParAvailable[c][p] = 1;
    }
  }
  // The server accepts client pokes (communication open, ready).
  void serving()
  {
    s->state.CommOpen = true;
    s->state.NotReady = false;
  }
};

// Waits for the next hot-link value on a client that advises one item.
QByteArray nextData(Client& c)
{
  AdviseEvent ev;
  if (!inThread([&] { return c.nextAdvise(&ev, 5000); }) || ev.kind != AdviseEvent::Kind::Data)
    return "<none>";
  return ev.value;
}

// Connects c to topic and advises the items; the current values are skipped.
bool advise(Client& c, const QString& topic, const QStringList& items, AdviseMode mode = AdviseMode::Hot)
{
  return inThread([&] {
    bool ok = c.connect("Tesmira", topic, 3000);
    for (const QString& item : items)
      ok = ok && c.advise(item, mode, 3000);
    AdviseEvent ev;
    for (int i = 0; ok && mode == AdviseMode::Hot && i < items.size(); ++i)
      ok = c.nextAdvise(&ev, 3000);
    return ok;
  });
}

}

class TestTopics : public QObject {
  Q_OBJECT
private slots:
  void topicsAndItemsAfterCreation()
  {
    World w;
    QVERIFY2(w.started, qPrintable(w.failure));
    // Channel 1 offers 8 and 9, channel 2 offers 8, channel 3 offers 1.
    w.fillChannels({{8, 9}, {8}, {1}});
    QCOMPARE(got("C(1)", "P(8)"), QString("!topic"));
    w.dde().AddTopicScr(3);
    // Parameter items show the short name without its padding until a value
    // arrives; names compare without regard to case; an item the channel
    // does not offer does not exist.
    const QList<std::array<const char*, 3>> expected = {
        {"C(0)", "P(0)", "paramread"}, {"C(0)", "P(1)", "readstatus"}, {"C(0)", "P(2)", "writestatus"},
        {"c(1)", "p(8)", "measure"},   {"C(1)", "P(9)", "setpoint"},   {"C(3)", "P(1)", "IDENTSTRNG"},
        {"C(2)", "P(0)", "paramread"}, {"C(2)", "P(9)", "!item"},      {"C(0)", "P(8)", "!item"},
        {"C(4)", "P(0)", "!topic"}};
    for (const auto& [topic, item, value] : expected)
      QCOMPARE(got(topic, item), QString(value));

    // The engine removes an item the instrument does not have.
    w.dde().topic(1)->removeItem(9);
    QCOMPARE(got("C(1)", "P(9)"), QString("!item"));

    // Deleting the topics (twice is harmless) leaves the server topic;
    // rebuilding replaces every topic. (Conversations of a removed topic
    // are closed: tst_ddeml_link.)
    w.dde().DeleteTopicScr();
    w.dde().DeleteTopicScr();
    QCOMPARE(got("Server", "ProductName"), QString("Tesmira"));
    w.fillChannels({{9}});
    w.dde().AddTopicScr(1);
    QCOMPARE(QStringList({got("C(2)", "P(0)"), got("C(1)", "P(9)")}), QStringList({"!topic", "setpoint"}));

    // The parameter number of an item name (as the MQTT bridge and the trend
    // read it): one to three digits, up to 512; -1 for anything else.
    QList<int> numbers;
    for (const char* name : {"P(0)", "p(8)", "P(08)", "P(512)", "P(513)", "P(999)", "P(0512)", "P()", "P(-1)", "P( 8)",
                             "P8", "P(8", "Q(8)", "P[8]", "(8)"})
      numbers << frmTopic::parseIndex(name);
    QCOMPARE(numbers, (QList<int>{0, 8, 8, 512, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}));
  }

  // What the items of C(0) are: the command item and the last errors.
  void commandTopicDescribed()
  {
    World w({QList<int>{8}});
    QVERIFY2(w.started, qPrintable(w.failure));
    QCOMPARE(got("C(0)", "TopicItemInfo"), QString("Item\tName\tLongName\tUnit\tType\tMin\tMax\tAccess\tPolled\r\n"
                                                   "P(0)\tparamread\tCommand\t\ttext\t\t\tRW\tN\r\n"
                                                   "P(1)\treadstatus\tLast read error\t\ttext\t\t\tR\tN\r\n"
                                                   "P(2)\twritestatus\tLast write error\t\ttext\t\t\tR\tN\r\n"));
  }

  void publishedValues()
  {
    World w({{8, 33}, {8}});
    QVERIFY2(w.started, qPrintable(w.failure));
    Client c;
    QVERIFY(advise(c, "C(1)", {"P(8)", "P(33)"}));
    // Trailing blanks go, except for the exempt parameters (CR LF and
    // non-ASCII text reach the client byte for byte) and with
    // TrimTrailingSpaces off.
    const QString text = QString::fromUtf8("Flüsse\r\n°C  ");
    const QList<std::tuple<int, QString, QByteArray, bool>> published = {
        {8, "12.5 \t  ", "12.5 \t", true}, {33, text, text.toUtf8(), true}, {8, "7  ", "7  ", false}};
    for (const auto& [p, value, seen, trim] : published) {
      w.s->cfg.TrimTrailingSpaces = trim;
      w.dde().Change_dde_item(1, int16_t(p), value);
      QCOMPARE(nextData(c), seen);
    }

    // A channel beyond the bus, and a parameter the channel does not offer.
    w.dde().Change_dde_item(3, 8, "99");
    w.dde().Change_dde_item(2, 9, "98");
    w.dde().Change_dde_item(1, 8, "13");
    QCOMPARE(nextData(c), QByteArray("13"));
    QVERIFY(!w.dde().topic(2)->hasItem(9));
  }

  void logLinesAndDescriptions()
  {
    World w({{6, 7, 8, 28}});
    QVERIFY2(w.started, qPrintable(w.failure));
    QVERIFY(w.openLog());
    // Node type 200 with its value texts: the client sees 200, the log the
    // node type without the interface mark, and its description. Without
    // value texts: the parameter's own description; a value without a text
    // of its own (here text that looks like SQL, only ever a bound value)
    // falls back to the parameter's; bit-coded values keep the parameter's;
    // not offered: logged all the same. A bit pattern shown in hexadecimal
    // is marked so (the shipped database has no value texts for one: two
    // are added).
    QVERIFY(QSqlQuery(w.s->db->TheDatabase)
                .exec("INSERT INTO ParValue (Parameter, Value, Description, Filter) VALUES (61, 1, 'a', 'bit'), (61, 2, 'b', 'bit')"));
    for (const auto& [p, v] : {std::pair{6, "200"}, {8, "16000"}, {28, "3"}, {7, "1' OR '1'='1"}, {9, "500"}, {61, "0A"}})
      w.dde().Change_dde_item(1, int16_t(p), v);
    QCOMPARE(w.dde().topic(1)->item(6), QString("200"));
    const QString log = w.logText();
    const QString tab = QRegularExpression::escape(QString(7, ' ') + '\t');
    for (const QString& line : {"Ch001 +P006 .*Val: 72 " + tab + "Instrument linked to a host",
                                "P008 .*Val: 16000 " + tab + "Measured value, 32000 = 100 %",
                                "P028 .*Val: 3 " + tab + "Alarm and status bits of the channel",
                                "P007 .*Val: 1' OR '1'='1 " + tab + "73 enters", QString("P009 .*Val: 500"),
                                "P061 .*Val: &H0A " + tab + "Configuration bytes, shown in hexadecimal"})
      QVERIFY2(log.contains(QRegularExpression(line)), qPrintable(line + "\n" + log));
    // (With "Log errors only" these lines are not written: tst_logger's
    // routing table.)
  }

  void pokes()
  {
    World w({{9, 33}, {8}, {1}});
    QVERIFY2(w.started, qPrintable(w.failure));
    QStringList items; // "channel name parameter value"
    QList<QPair<int, QString>> commands;
    w.dde().Rcvd_dde_item = [&](int16_t ch, const QString& name, int16_t p, const QString& v) {
      items << QString("%1 %2 %3 %4").arg(ch).arg(name).arg(p).arg(v);
      return v == "refuse" ? QStringLiteral("Value out of range") : QString();
    };
    w.dde().Rcvd_dde_Cmnd = [&](int16_t ch, const QString& cmd) { commands << qMakePair(int(ch), cmd); };

    // Closed communication, or open but not ready: the item just shows the
    // text, and the client is told that nothing was written.
    QVERIFY(!poke("C(1)", "P(9)", "5\r\n").isEmpty());
    QCOMPARE(w.dde().topic(1)->item(9), QString("5\r\n"));
    w.s->state.CommOpen = true;
    QVERIFY(!poke("C(1)", "P(9)", "6").isEmpty());
    QVERIFY(items.isEmpty());

    w.serving();
    // Command items.
    QVERIFY(poke("C(2)", "P(0)", "ALL\r\n").isEmpty() && poke("C(0)", "P(0)", "3.2").isEmpty());
    QCOMPARE(commands, (QList<QPair<int, QString>>{{2, "ALL"}, {0, "3.2"}}));
    // A write the handler refuses fails the poke with its reason. Exempt
    // parameters keep CR LF; the first character of an ident string stays,
    // whatever it is; non-ASCII text arrives as it was sent.
    // With TrimCRLF off the text is passed on as poked; simulation counts as
    // open.
    const struct {
      const char *topic, *item;
      QByteArray value;
      QString handled, refusal;
      bool trimCRLF = true, simulation = false;
    } rows[] = {
      {"C(1)", "P(9)", "5\r\n", "1 setpoint 9 5", ""},
      {"C(1)", "P(9)", "refuse", "1 setpoint 9 refuse", "Value out of range"},
      {"C(1)", "P(33)", "a\r\nb\r\n", "1 usertag 33 a\r\nb\r\n", ""},
      {"c(3)", "p(1)", "\rAB\r\nC\n", "3 IDENTSTRNG 1 \rABC", ""},
      {"C(0)", "P(2)", "y", "0 Writestatus 2 y", ""},
      {"C(1)", "P(9)", "Fluß 5°", "1 setpoint 9 Fluß 5°", ""},
      {"C(1)", "P(9)", "7\r\n", "1 setpoint 9 7\r\n", "", false},
      {"C(1)", "P(9)", "\r\n8", "1 setpoint 9 8", "", true, true},
    };
    for (const auto& r : rows) {
      w.s->cfg.TrimCRLF = r.trimCRLF;
      w.s->state.CommOpen = !r.simulation;
      w.s->state.SimulationOn = r.simulation;
      const QString why = poke(r.topic, r.item, r.value);
      QVERIFY2(r.refusal.isEmpty() ? why.isEmpty() : why.contains(r.refusal), qPrintable(why));
      QCOMPARE(items.last(), r.handled);
    }
    // While the server writes an item itself, a change is no poke.
    const qsizetype before = items.size();
    frmTopic* t = w.dde().topic(1);
    t->changing = true;
    w.dde().P_Change(*t, 9, "9");
    QCOMPARE(items.size(), before);
  }

  void linkErrors()
  {
    World w({QList<int>{8}});
    QVERIFY2(w.started, qPrintable(w.failure));
    QVERIFY(w.openLog());
    ddeml::ServerLimits lim = w.dde().link().limits();
    lim.maxLinksPerItem = 2;
    w.dde().link().setLimits(lim);
    // One link more than the item takes: code 7 (advising again on a
    // conversation that has its link takes none); a link is freed when its
    // client goes.
    Client a, b, c;
    QVERIFY(advise(a, "C(1)", {"P(8)"}, AdviseMode::Warm) && advise(b, "C(1)", {"P(8)"}, AdviseMode::Warm));
    QVERIFY(inThread([&] { return a.advise("P(8)", AdviseMode::Hot, 3000); }));
    QVERIFY(!advise(c, "C(1)", {"P(8)"}, AdviseMode::Warm));
    QCOMPARE(c.error(), ddeml::ClientError::NoFreeLink);
    b.disconnect();
    QVERIFY(waitFor([&] { return inThread([&] { return c.advise("P(8)", AdviseMode::Warm, 3000); }); }));
    const QRegularExpression noLink("Ch001 +P008 .*No free source link \\(max 128 per source\\)");
    QVERIFY(waitFor([&] { return w.logText().contains(noLink); }));
    // Known codes are said in words, unknown ones as such; a refused format
    // (code 1) is not logged.
    for (int code : {8, 11, 42, 1})
      w.dde().P_LinkError(*w.dde().topic(1), 8, int16_t(code));
    const QString log = w.logText();
    QVERIFY(log.contains("Failed at attempt to poke data to DDE") && log.contains("Out of memory for DDE"));
    QCOMPARE(log.count("Unknown error"), 1);
  }

  // A parameter's 128 tags are used in turn; one out of range is said and
  // takes the 127 tags of the substitute 511 (a 128th would not fit in 16
  // bits), said to be invalid when they come back. (Valid tags giving their
  // parameter back: tst_engine.)
  void requestTags()
  {
    World w;
    QVERIFY2(w.started, qPrintable(w.failure));
    DdeServer& d = w.dde();
    QSet<int16_t> tags, sub;
    for (int i = 0; i < 256; ++i) {
      tags.insert(d.MakeRequestTag(510));
      sub.insert(d.MakeRequestTag(511));
    }
    QCOMPARE(std::tuple(tags.size(), sub.size(), w.prompt.asked.size(), w.prompt.asked[0].text, w.prompt.asked[0].icon),
             std::tuple(qsizetype(128), qsizetype(127), qsizetype(256), QString("DDEParNr not in range 0-510!"),
                        support::Prompt::Critical));
    w.prompt.asked.clear();
    for (int16_t t : sub)
      QCOMPARE(d.RequestTagParNr(t), int16_t(511));
    QCOMPARE(std::pair(w.prompt.asked.size(), w.prompt.asked[0].text),
             std::pair(qsizetype(127), QString("Returned DDEParNr invalid!")));
  }

  void openComPokes()
  {
    World w;
    QVERIFY2(w.started, qPrintable(w.failure));
    QVERIFY(w.openLog());
    w.fillChannels({{8}, {8}});
    int opened = 0, closed = 0;
    ServerTopic& st = w.dde().serverTopic();
    st.OpenCommunication = [&] {
      ++opened;
      w.dde().AddTopicScr(2);
      ChangeOpenCom(*w.s, "1");
    };
    st.CloseCommunication = [&] {
      ++closed;
      w.dde().DeleteTopicScr();
      ChangeOpenCom(*w.s, "0");
    };
    // A poke of the state the server is in changes nothing; text that is no
    // boolean is refused and logged (control characters escaped).
    const QList<std::tuple<const char*, int, int>> steps = {
        {"1", 1, 0}, {"True", 1, 0}, {"0", 1, 1}, {"false", 1, 1}, {"maybe", 1, 1}, {"inf", 1, 1}, {"\x1f\t", 1, 1}};
    const QByteArrayList noBoolean = {"maybe", "inf", "\x1f\t"};
    for (const auto& [text, o, c] : steps) {
      QCOMPARE(poke("Server", "OpenCom", text).isEmpty(), !noBoolean.contains(text));
      QCOMPARE(std::tuple(opened, closed, got("Server", "OpenCom"), got("C(2)", "P(8)")),
               std::tuple(o, c, QString::number(o - c), QString(o - c ? "measure" : "!topic")));
    }
    const QString log = w.logText();
    for (const char* line : {"Init.*Open Communication \\[DDEItem: Server!OpenCom\\]\r\n",
                             "Warn.*Communication already opened! \\[DDEItem: Server!OpenCom\\]\r\n",
                             "Init.*Close Communication \\[DDEItem: Server!OpenCom\\]\r\n",
                             "Warn.*Communication already closed! \\[DDEItem: Server!OpenCom\\]\r\n", "Error.*maybe",
                             "Type mismatch: '\\\\x1f\\\\t' is no boolean"})
      QVERIFY2(log.contains(QRegularExpression(line)), qPrintable(line + ("\n" + log)));

    // While an opening processes events, another client's OpenCom poke is
    // no request: nothing is closed under the opening's feet.
    std::atomic<bool> otherPokeDone{false};
    st.OpenCommunication = [&] {
      ++opened;
      std::thread other([&] {
        Client c;
        otherPokeDone = c.connect("Tesmira", "Server", 3000) && c.poke("OpenCom", QString("0"), 5000);
      });
      QDeadlineTimer deadline(10000);
      while (!otherPokeDone && !deadline.hasExpired())
        WaitWithMessages(5);
      other.join();
      w.dde().AddTopicScr(2);
      ChangeOpenCom(*w.s, "1");
    };
    QVERIFY(poke("Server", "OpenCom", "1").isEmpty());
    QCOMPARE(std::tuple(otherPokeDone.load(), opened, closed, w.s->state.TopicsCreated), std::tuple(true, 2, 1, true));
  }

  void interfaceAndBaudrate()
  {
    World w;
    QVERIFY2(w.started, qPrintable(w.failure));
    ShowInterfaceSettings(*w.s);
    // A stable device name is kept whole, however long.
    const QString byId = "/dev/serial/by-id/usb-Maker_USB_Serial_A600ABCD-if00-port0";
    for (const QString& name : {QString("  /dev/ttyUSB1 "), byId, QString("SIM")}) {
      QVERIFY(poke("Server", "Interface", name.toLatin1()).isEmpty());
      QCOMPARE(QStringList({got("Server", "Interface"), w.s->cfg.InterfaceName}), QStringList(2, name.trimmed()));
    }
    QVERIFY(!poke("Server", "Interface", "   ").isEmpty());
    QVERIFY(poke("Server", "Baudrate", "19200").isEmpty());
    QCOMPARE(w.s->cfg.Baudrate, 19200);
    for (const char* bad : {"fast", "0", "-9600", "99999999999"}) {
      QVERIFY2(!poke("Server", "Baudrate", bad).isEmpty(), bad);
      QCOMPARE(got("Server", "Baudrate"), QString("19200"));
    }
    // While the communication is open both are refused and shown again.
    w.s->state.CommOpen = true;
    QVERIFY(!poke("Server", "Interface", "COM2").isEmpty() && !poke("Server", "Baudrate", "9600").isEmpty());
    QCOMPARE(std::tuple(got("Server", "Interface"), w.s->cfg.InterfaceName, w.s->cfg.Baudrate),
             std::tuple(QString("SIM"), QString("SIM"), 19200));
  }

  // A channel the table does not know shows as polled; the device table's
  // setter is asked for it; text counts as 0. (Switching known channels and
  // SelChan 0 for all, kept in the device table: tst_commands_program.)
  void selChanBeyondTheTable()
  {
    World w;
    QVERIFY2(w.started, qPrintable(w.failure));
    w.fillChannels({{8}});
    QList<QPair<int, bool>> calls;
    w.dde().serverTopic().SetChanPolled = [&](int16_t ch, bool on) { calls << qMakePair(int(ch), on); };
    QVERIFY(poke("Server", "SelChan", "9").isEmpty());
    QCOMPARE(got("Server", "Polling"), QString("-1"));
    QVERIFY(poke("Server", "Polling", "off").isEmpty() && poke("Server", "SelChan", "abc").isEmpty());
    QCOMPARE(calls, (QList<QPair<int, bool>>{{9, true}, {9, false}}));
  }

  void pollSettings()
  {
    World w;
    QVERIFY2(w.started, qPrintable(w.failure));
    LoadPortSettings(*w.s);
    QStringList order;
    ServerTopic& st = w.dde().serverTopic();
    st.StopPolling = [&] { order << "stop"; };
    st.StartPolling = [&] { order << "start"; };
    // Not ready (communication closed): refused, the setting stays.
    QVERIFY(!poke("Server", "PollTime", "500").isEmpty());
    QCOMPARE(got("Server", "PollTime"), QString("100"));

    w.serving();
    // Poll times restart polling, the batch size does not; every value is
    // clamped and shown as taken.
    const struct {
      const char *item, *value, *shown;
      int restarts;
    } rows[] = {{"PollTime", "20000", "10000", 1}, {"RTPInterval", "50", "50", 1}, {"PollBatch", "0", "1", 0}};
    for (const auto& r : rows) {
      const qsizetype before = order.size();
      QVERIFY(poke("Server", r.item, r.value).isEmpty());
      QCOMPARE(got("Server", r.item), QString(r.shown));
      QCOMPARE(order.mid(before), r.restarts ? QStringList({"stop", "start"}) : QStringList());
    }
    QCOMPARE(std::pair(w.s->setting()->GetCommonSetting("Settings", "PollTime", ""), w.s->cfg.RealtimePollTime),
             std::pair(QString("10000"), 50));
    QVERIFY(!poke("Server", "PollBatch", "many").isEmpty());
    QCOMPARE(got("Server", "PollBatch"), QString("1"));
  }

  // Another instance that holds the name and answers "n/a" (busy) is
  // another instance all the same: the name is not taken from it. (One that
  // answers its status: tst_commands_program.)
  void checkServer()
  {
    World w(false);
    QVERIFY2(w.started, qPrintable(w.failure));
    // The other server runs on a thread of its own, so that this thread may
    // block in a request to it.
    std::atomic<bool> ready{false};
    QString err; // set before ready when the other could not register
    std::unique_ptr<QThread> other(QThread::create([&] {
      ddeml::Server srv;
      if (!srv.registerService("Tesmira", &err)) {
        ready = true;
        return;
      }
      srv.addTopic("Server");
      srv.createItem("Server", "Status", "n/a");
      ready = true;
      QEventLoop().exec();
    }));
    other->start();
    const auto stop = qScopeGuard([&] {
      other->quit();
      other->wait();
    });
    QVERIFY(waitFor([&] { return ready.load(); }));
    QVERIFY2(err.isEmpty(), qPrintable(err));
    QCOMPARE(CheckServer(*w.s), QString("There is already an instance of Tesmira running.\r\n"
                                        "Running this server application twice is not allowed, "
                                        "this instance will be closed."));
    // The name stays with the other, which still answers.
    QString status;
    QVERIFY(!w.dde().registered() && ddeml::Request("Tesmira", "Server", "Status", 2000, &status));
    QCOMPARE(status, QString("n/a"));
  }

  // program.ini [Link] FrameTimeout and MaxClients, taken at both edges of
  // their ranges; beyond them the default is used and said.
  void linkLimitsFromSettings()
  {
    const struct {
      const char *timeout, *clients;
      int timeoutMs, maxClients;
      bool said;
    } rows[] = {{"1", "1", 1000, 1, false}, {"3600", "100000", 3600000, 100000, false},
                {"0", "0", 30000, 256, true}, {"3601", "100001", 30000, 256, true}};
    for (const auto& r : rows) {
      World w(false);
      QVERIFY2(w.started, qPrintable(w.failure));
      w.s->setting()->save(support::Setting::Scope::Program, "Link", "FrameTimeout", r.timeout);
      w.s->setting()->save(support::Setting::Scope::Program, "Link", "MaxClients", r.clients);
      QVERIFY(w.openLog());
      QString error;
      QVERIFY2(w.dde().registerService(&error), qPrintable(error));
      const ddeml::ServerLimits lim = w.dde().link().limits();
      QCOMPARE(std::pair(lim.frameTimeoutMs, lim.maxClients), std::pair(r.timeoutMs, r.maxClients));
      const QString log = w.logText();
      QCOMPARE(log.contains(QString("[Link] FrameTimeout '%1' is not a number of seconds (1 to 3600); 30 is used").arg(r.timeout)), r.said);
      QCOMPARE(log.contains(QString("[Link] MaxClients '%1' is not a number of clients (1 to 100000); 256 is used").arg(r.clients)), r.said);
    }
  }

  // program.ini [Link] TcpPort opens the service on 127.0.0.1 as well; a bad
  // port is said in the console and the local socket serves regardless.
  void tcpListenerFromSettings()
  {
    // The highest port is one (outside the kernel's range for outgoing
    // connections, so free on a test machine), one more is not.
    const quint16 free = freePort();
    const std::pair<QString, QString> cases[] = {
      {"0", ""},
      {"65536", "Link service not open on TCP: '65536' is not a port number (1 to 65535)"},
      {"65535", "Link service also open to clients on 127.0.0.1:65535"},
      {QString::number(free), "Link service also open to clients on 127.0.0.1:" + QString::number(free)},
    };
    for (const auto& [setting, line] : cases) {
      World w(false);
      QVERIFY2(w.started, qPrintable(w.failure));
      w.s->setting()->save(support::Setting::Scope::Program, "Link", "TcpPort", setting);
      QVERIFY(w.openLog());
      QCOMPARE(CheckServer(*w.s), QString());
      QVERIFY(w.dde().registered());
      QVERIFY2(line.isEmpty() ? !w.logText().contains("TCP") : w.logText().contains(line),
               qPrintable(setting + ": " + w.logText()));
      const bool answered = inThread([&] {
        ddeml::Client tcp;
        QString v;
        return tcp.connectTcp(setting.toUShort(), "Tesmira", "Server", 1000) && tcp.request("Status", &v);
      });
      QCOMPARE(answered, line.contains("also open"));
    }
  }
};

QTEST_MAIN(TestTopics)
#include "tst_topics.moc"
