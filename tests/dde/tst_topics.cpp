// Channel topics and the topic "server" as clients see them through real
// sockets: topics and items after creation, publishing values (trimming, log
// description), client pokes with CR LF stripping, link errors, request tags,
// the server items that open and close the communication, choose the port,
// switch polling and set the poll settings, the single-instance check and
// the optional TCP listener.
#include "DdeTestUtil.h"

#include "core/Settings.h"
#include "ui/StatusFields.h"

#include <QTcpServer>

#include <QThread>
#include <atomic>
#include <thread>

using namespace tesmira;
using ddeml::AdviseEvent;
using ddeml::AdviseMode;
using ddeml::Client;
using ddeml::ClientError;
using namespace ddetest;

namespace {

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

struct Poked {
  int channel;
  QString name;
  int parameter;
  QString value;
};

// Another server holding the service name, served on a thread of its own so
// that this thread may block in a request to it.
class OtherInstance : public QThread {
public:
  explicit OtherInstance(const QString& status) : m_status(status) {}
  ~OtherInstance() override
  {
    quit();
    wait();
  }
  std::atomic<bool> ready{false};

protected:
  void run() override
  {
    ddeml::Server srv;
    QString err;
    if (!srv.registerService("Tesmira", &err))
      qFatal("%s", qPrintable(err));
    srv.addTopic("Server");
    srv.createItem("Server", "Status", m_status);
    ready = true;
    exec();
  }

private:
  QString m_status;
};

}

class TestTopics : public QObject {
  Q_OBJECT
private slots:
  void topicsAndItemsAfterCreation()
  {
    World w;
    // Channel 1 offers 8 and 9, channel 2 offers 8, channel 3 offers 1.
    w.fillChannels(3, {{8, 9}, {8}, {1}});
    QVERIFY(!w.s.state.TopicsCreated);
    QCOMPARE(got("C(1)", "P(8)"), QString("!topic"));

    w.dde().AddTopicScr(3);
    QVERIFY(w.s.state.TopicsCreated);
    QCOMPARE(int(w.dde().TopicTable.size()), 4);
    QStringList items = w.dde().link().items("C(0)");
    items.sort();
    QCOMPARE(items, QStringList({"P(0)", "P(1)", "P(2)"}));
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
    QCOMPARE(w.dde().topic(2)->nameTag(8), QString("measure"));
    QCOMPARE(w.dde().topic(2)->tag, QString("2"));

    // The engine removes an item; a re-created one is there again.
    w.dde().topic(1)->removeItem(9);
    QCOMPARE(got("C(1)", "P(9)"), QString("!item"));
    w.dde().topic(1)->createItem(9, "40.0");
    QCOMPARE(got("C(1)", "P(9)"), QString("40.0"));

    // Rebuilding replaces every topic.
    w.dde().DeleteTopicScr();
    w.fillChannels(1, {{9}});
    w.dde().AddTopicScr(1);
    QCOMPARE(got("C(2)", "P(0)"), QString("!topic"));
    QCOMPARE(got("C(1)", "P(9)"), QString("setpoint"));
  }

  void deletionClosesConversations()
  {
    World w;
    w.fillChannels(2, {{8}, {8}});
    w.dde().AddTopicScr(2);
    Client c;
    QVERIFY(advise(c, "C(1)", {"P(8)"}));
    w.dde().DeleteTopicScr();
    QVERIFY(!w.s.state.TopicsCreated);
    QCOMPARE(int(w.dde().TopicTable.size()), 1);
    QVERIFY(!w.dde().topic(0));
    AdviseEvent closed;
    QVERIFY(inThread([&] { return c.nextAdvise(&closed, 5000); }));
    QCOMPARE(closed.kind, AdviseEvent::Kind::Closed);
    QCOMPARE(got("C(1)", "P(8)"), QString("!topic"));
    // A second deletion does nothing; the server topic stays.
    w.dde().DeleteTopicScr();
    QCOMPARE(got("Server", "ProductName"), QString("Tesmira"));
  }

  void publishedValues()
  {
    World w;
    w.fillChannels(2, {{8, 33}, {8}});
    w.dde().AddTopicScr(2);
    Client c;
    QVERIFY(advise(c, "C(1)", {"P(8)", "P(33)"}));
    // Trailing blanks go, except for the exempt parameters; CR LF and
    // non-ASCII text reach the client byte for byte.
    const QString text = QString::fromUtf8("Flüsse\r\n°C  ");
    const QList<std::tuple<int, QString, QByteArray>> published = {
        {8, "12.5   ", "12.5"}, {33, "tag   ", "tag   "}, {33, text, text.toUtf8()}};
    for (const auto& [p, value, seen] : published) {
      w.dde().Change_dde_item(1, int16_t(p), value);
      QCOMPARE(nextData(c), seen);
    }
    w.s.cfg.TrimTrailingSpaces = false;
    w.dde().Change_dde_item(1, 8, "7  ");
    QCOMPARE(nextData(c), QByteArray("7  "));
    w.s.cfg.TrimTrailingSpaces = true;

    // A channel beyond the bus, and a parameter the channel does not offer.
    w.dde().Change_dde_item(3, 8, "99");
    w.dde().Change_dde_item(2, 9, "98");
    w.dde().Change_dde_item(1, 8, "13");
    QCOMPARE(nextData(c), QByteArray("13"));
    QVERIFY(!w.dde().topic(2)->hasItem(9));
    QCOMPARE(w.dde().topic(2)->item(8), QString("measure"));
  }

  void logLinesAndDescriptions()
  {
    World w;
    w.fillChannels(1, {{6, 7, 8, 28}});
    w.dde().AddTopicScr(1);
    w.openLog();
    // Node type 200 with its value texts: the client sees 200, the log the
    // node type without the interface mark, and its description.
    w.dde().Change_dde_item(1, 6, "200");
    QCOMPARE(w.dde().topic(1)->item(6), QString("200"));
    // No value texts: the parameter's own description.
    w.dde().Change_dde_item(1, 8, "16000");
    // A value without a text of its own falls back to the parameter's.
    w.dde().Change_dde_item(1, 7, "5");
    // Bit-coded values keep the parameter's description.
    w.dde().Change_dde_item(1, 28, "3");
    // Text that looks like SQL is only ever a bound value.
    w.dde().Change_dde_item(1, 7, "1' OR '1'='1");
    // Not offered: logged all the same.
    w.dde().Change_dde_item(1, 9, "500");
    const QString log = w.logText();
    const QString tab = QRegularExpression::escape(QString(7, ' ') + '\t');
    for (const QString& line : {"Ch001 +P006 .*Val: 72 " + tab + "Instrument linked to a host",
                                "P008 .*Val: 16000 " + tab + "Measured value, 32000 = 100 %",
                                "P007 .*Val: 5 " + tab + "73 enters", "P028 .*Val: 3 " + tab + "Alarm and status bits of the channel",
                                QString("P007 .*Val: 1' OR '1'='1"), QString("P009 .*Val: 500")})
      QVERIFY2(log.contains(QRegularExpression(line)), qPrintable(line + "\n" + log));
    QCOMPARE(w.dde().topic(1)->item(7), QString("1' OR '1'='1"));
    QVERIFY(!w.dde().topic(1)->hasItem(9));
    // The database is unharmed.
    QCOMPARE(w.s.db->ValueDescription(6, "72"), QString("Instrument linked to a host"));
    QVERIFY(QSqlQuery(w.s.db->TheDatabase).exec("SELECT COUNT(*) FROM ParValue"));

    // Log errors only: value lines and their lookups stop.
    w.s.log->LogErrorsOnly = true;
    w.dde().Change_dde_item(1, 8, "17000");
    QVERIFY(!w.logText().contains("17000"));
  }

  void pokes()
  {
    World w;
    w.fillChannels(3, {{9, 33}, {8}, {1}});
    w.dde().AddTopicScr(3);
    QList<Poked> items;
    QList<QPair<int, QString>> commands;
    w.dde().Rcvd_dde_item = [&](int16_t ch, const QString& name, int16_t p, const QString& v) {
      items << Poked{ch, name, p, v};
      return v == "refuse" ? QStringLiteral("Value out of range") : QString();
    };
    w.dde().Rcvd_dde_Cmnd = [&](int16_t ch, const QString& cmd) { commands << qMakePair(int(ch), cmd); };
    auto last = [&] { return items.isEmpty() ? QString("<none>") : items.last().value; };

    // Closed communication, or open but not ready: the item just shows the
    // text, and the client is told that nothing was written.
    QVERIFY(pokeRefused("C(1)", "P(9)", "5\r\n"));
    QCOMPARE(w.dde().topic(1)->item(9), QString("5\r\n"));
    w.s.state.CommOpen = true;
    QVERIFY(pokeRefused("C(1)", "P(9)", "6"));
    QVERIFY(items.isEmpty());

    w.serving();
    QVERIFY(poke("C(1)", "P(9)", "5\r\n"));
    QCOMPARE(items.size(), 1);
    QCOMPARE(items[0].channel, 1);
    QCOMPARE(items[0].name, QString("setpoint"));
    QCOMPARE(items[0].parameter, 9);
    QCOMPARE(last(), QString("5"));
    // A write the handler refuses fails the poke.
    QVERIFY(pokeRefused("C(1)", "P(9)", "refuse"));
    items.removeLast();
    // Exempt parameters keep CR LF.
    QVERIFY(poke("C(1)", "P(33)", "a\r\nb\r\n"));
    QCOMPARE(last(), QString("a\r\nb\r\n"));
    // The first character of an ident string stays, whatever it is.
    QVERIFY(poke("c(3)", "p(1)", "\rAB\r\nC\n"));
    QCOMPARE(items.last().name, QString("IDENTSTRNG"));
    QCOMPARE(last(), QString("\rABC"));
    // Command items and the status items of C(0).
    QVERIFY(poke("C(2)", "P(0)", "ALL\r\n"));
    QVERIFY(poke("C(0)", "P(0)", "3.2"));
    QCOMPARE(commands, (QList<QPair<int, QString>>{{2, "ALL"}, {0, "3.2"}}));
    QVERIFY(poke("C(0)", "P(1)", "x"));
    QVERIFY(poke("C(0)", "P(2)", "y"));
    QCOMPARE(items.size(), 5);
    QCOMPARE(items[3].channel, 0);
    QCOMPARE(items[3].name, QString("Readstatus"));
    QCOMPARE(items[4].name, QString("Writestatus"));
    QCOMPARE(items[4].parameter, 2);
    // Non-ASCII text arrives as it was sent.
    QVERIFY(poke("C(1)", "P(9)", QString::fromUtf8("Fluß 5°").toUtf8()));
    QCOMPARE(last(), QString::fromUtf8("Fluß 5°"));
    // With TrimCRLF off the text is passed on as poked.
    w.s.cfg.TrimCRLF = false;
    QVERIFY(poke("C(1)", "P(9)", "7\r\n"));
    QCOMPARE(last(), QString("7\r\n"));
    // Simulation counts as open.
    w.s.cfg.TrimCRLF = true;
    w.s.state.CommOpen = false;
    w.s.state.SimulationOn = true;
    QVERIFY(poke("C(1)", "P(9)", "8"));
    QCOMPARE(last(), QString("8"));
    // While the server writes an item itself, a change is no poke.
    const int before = items.size();
    frmTopic* t = w.dde().topic(1);
    t->changing = true;
    w.dde().P_Change(*t, 9, "9");
    t->changing = false;
    QCOMPARE(items.size(), before);
  }

  void stripAndTrimRules()
  {
    World w;
    DdeServer& d = w.dde();
    QCOMPARE(d.StripCRLF("5\r\n", 8, false), QString("5"));
    QCOMPARE(d.StripCRLF("\r\n5\r\r\n\n", 8, false), QString("5"));
    QCOMPARE(d.StripCRLF("5\r\n", 34, true), QString("5\r\n"));
    QCOMPARE(d.StripCRLF("\n\nX", 1, false), QString("\nX"));
    QCOMPARE(d.StripCRLF("", 1, false), QString(""));
    w.s.cfg.TrimCRLF = false;
    QCOMPARE(d.StripCRLF("5\r\n", 8, false), QString("5\r\n"));
    QCOMPARE(d.StripCRLF("5\r\n", 8, true), QString("5"));
    QCOMPARE(d.TrimItemValue("  a b  ", 8), QString("  a b"));
    QCOMPARE(d.TrimItemValue("a\t ", 8), QString("a\t"));
    for (int p : {33, 34, 61, 62, 84, 85, 87, 88, 89, 194, 195, 196, 208, 209, 236})
      QVERIFY2(d.TrimItemValue("x ", int16_t(p)) == "x " && d.StripCRLF("x\r\n", int16_t(p), true) == "x\r\n",
               qPrintable(QString::number(p)));
    QCOMPARE(d.TrimItemValue("x ", 210), QString("x"));
  }

  void linkErrors()
  {
    World w;
    w.fillChannels(1, {{8}});
    w.dde().AddTopicScr(1);
    w.openLog();
    ddeml::ServerLimits lim = w.dde().link().limits();
    lim.maxLinksPerItem = 2;
    w.dde().link().setLimits(lim);
    // A format other than text: code 1, nothing logged.
    QByteArray v;
    QVERIFY(!inThread([&] {
      Client c;
      return c.connect("Tesmira", "C(1)", 3000) && c.request("P(8)", &v, 3000, "XML");
    }));
    // One link more than the item takes: code 7.
    Client a, b, c;
    QVERIFY(advise(a, "C(1)", {"P(8)"}, AdviseMode::Warm) && advise(b, "C(1)", {"P(8)"}, AdviseMode::Warm));
    QVERIFY(!advise(c, "C(1)", {"P(8)"}, AdviseMode::Warm));
    QCOMPARE(c.error(), ClientError::NoFreeLink);
    QVERIFY(waitFor([&] { return w.logText().contains("No free source link (max 128 per source)"); }));
    QVERIFY(w.logText().contains(QRegularExpression("Ch001 +P008 .*No free source link")));
    QVERIFY(!w.logText().contains("Unknown error"));
    frmTopic* t = w.dde().topic(1);
    for (int code : {8, 11, 42, 1})
      w.dde().P_LinkError(*t, 8, int16_t(code));
    const QString log = w.logText();
    QVERIFY(log.contains("Failed at attempt to poke data to DDE"));
    QVERIFY(log.contains("Out of memory for DDE"));
    QCOMPARE(log.count("Unknown error"), 1);
  }

  void requestTags()
  {
    World w;
    DdeServer& d = w.dde();
    QCOMPARE(d.MakeRequestTag(0), int16_t(-32766));
    int16_t tag = 0;
    for (int i = 2; i <= 128; ++i)
      tag = d.MakeRequestTag(0);
    QCOMPARE(tag, int16_t(-32767));
    QCOMPARE(d.MakeRequestTag(0), int16_t(-32766));
    QCOMPARE(d.RequestTagParNr(-32767), int16_t(0));
    QCOMPARE(d.RequestTagParNr(-32766), int16_t(0));
    // Parameter 510 spans 32513..32640; sequences are per parameter.
    QSet<int16_t> seen;
    for (int i = 0; i < 128; ++i) {
      const int16_t t = d.MakeRequestTag(510);
      QVERIFY(t >= 32513 && t <= 32640);
      QCOMPARE(d.RequestTagParNr(t), int16_t(510));
      seen.insert(t);
    }
    QCOMPARE(seen.size(), 128);
    QCOMPARE(d.MakeRequestTag(9), int16_t(-32767 + 128 * 9 + 1));
    QVERIFY(w.prompt.asked.isEmpty());

    // Out of range: reported, then tags of the substitute 511, which cycle
    // through 127 values that all fit 16 bits.
    QSet<int16_t> sub;
    for (int i = 0; i < 254; ++i)
      sub.insert(d.MakeRequestTag(i % 2 ? int16_t(511) : int16_t(-1)));
    QCOMPARE(sub.size(), 127);
    QCOMPARE(*std::min_element(sub.begin(), sub.end()), int16_t(32641));
    QCOMPARE(*std::max_element(sub.begin(), sub.end()), int16_t(32767));
    QCOMPARE(w.prompt.asked.size(), 254);
    QCOMPARE(w.prompt.asked[0].text, QString("DDEParNr not in range 0-510!"));
    QCOMPARE(w.prompt.asked[0].icon, support::Prompt::Critical);
    w.prompt.asked.clear();
    QCOMPARE(d.RequestTagParNr(32767), int16_t(511));
    QCOMPARE(d.RequestTagParNr(-32768), int16_t(-1));
    QCOMPARE(w.prompt.asked.size(), 2);
    QCOMPARE(w.prompt.asked[0].text, QString("Returned DDEParNr invalid!"));
  }

  void serverItemsMirrorFields()
  {
    World w;
    // The fields, and the discovery lists TopicItemList and TopicItemNames.
    QCOMPARE(w.dde().link().items("server").size(), StatusFields::itemNames().size() + 2);
    w.s.fields.set("MaxChan", "3");
    for (const QString& name : StatusFields::itemNames())
      QCOMPARE(got("Server", name.toUpper()), w.s.fields.value(name));
    Client c;
    QVERIFY(advise(c, "SERVER", {"Status"}));
    w.s.fields.set("Status", "Normal polling");
    QCOMPARE(nextData(c), QByteArray("Normal polling"));
    // A poke of a display-only item changes the shown text until the
    // server sets the field again.
    QVERIFY(poke("Server", "MaxNode", "77"));
    QCOMPARE(w.s.fields.value("MaxNode"), QString("77"));
    w.s.fields.set("MaxNode", "0");
    QCOMPARE(got("Server", "MaxNode"), QString("0"));
  }

  void openComPokes()
  {
    World w;
    w.openLog();
    w.fillChannels(2, {{8}, {8}});
    int opened = 0, closed = 0;
    ServerTopic& st = w.dde().serverTopic();
    st.OpenCommunication = [&] {
      ++opened;
      w.dde().AddTopicScr(2);
      ChangeOpenCom(w.s, "1");
    };
    st.CloseCommunication = [&] {
      ++closed;
      w.dde().DeleteTopicScr();
      ChangeOpenCom(w.s, "0");
    };
    // A poke of the state the server is in changes nothing.
    const QList<std::tuple<const char*, int, int>> steps = {{"1", 1, 0}, {"True", 1, 0}, {"0", 1, 1}, {"false", 1, 1}};
    for (const auto& [text, o, c] : steps) {
      QVERIFY(poke("Server", "OpenCom", text));
      QCOMPARE(opened, o);
      QCOMPARE(closed, c);
      QCOMPARE(got("Server", "OpenCom"), QString::number(o - c));
      QCOMPARE(got("C(2)", "P(8)"), QString(o - c ? "measure" : "!topic"));
    }
    // Text that is no boolean is refused and logged.
    QVERIFY(pokeRefused("Server", "OpenCom", "maybe"));
    QCOMPARE(got("Server", "OpenCom"), QString("0"));

    const QString log = w.logText();
    const QStringList lines = log.split("\r\n", Qt::SkipEmptyParts);
    auto lineWith = [&](const QString& text) {
      for (const QString& l : lines)
        if (l.endsWith(text))
          return l;
      return QString();
    };
    QVERIFY2(lineWith("Open Communication [DDEItem: Server!OpenCom]").contains("Init"), qPrintable(log));
    QVERIFY(lineWith("Communication already opened! [DDEItem: Server!OpenCom]").contains("Warn"));
    QVERIFY(lineWith("Close Communication [DDEItem: Server!OpenCom]").contains("Init"));
    QVERIFY(lineWith("Communication already closed! [DDEItem: Server!OpenCom]").contains("Warn"));
    QVERIFY(log.contains(QRegularExpression("Error.*maybe")));

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
      ChangeOpenCom(w.s, "1");
    };
    QVERIFY(poke("Server", "OpenCom", "1"));
    QVERIFY(otherPokeDone);
    QCOMPARE(opened, 2);
    QCOMPARE(closed, 1);
    QVERIFY(w.s.state.TopicsCreated);
    QCOMPARE(got("Server", "OpenCom"), QString("1"));
  }

  void interfaceAndBaudrate()
  {
    World w;
    ShowInterfaceSettings(w.s);
    QVERIFY(poke("Server", "Interface", "  /dev/ttyUSB1 "));
    QCOMPARE(w.s.cfg.InterfaceName, QString("/dev/ttyUSB1"));
    QCOMPARE(got("Server", "Interface"), QString("/dev/ttyUSB1"));
    // A stable device name is kept whole, however long.
    const QString byId = "/dev/serial/by-id/usb-Maker_USB_Serial_A600ABCD-if00-port0";
    QVERIFY(poke("Server", "Interface", byId.toLatin1()));
    QCOMPARE(w.s.cfg.InterfaceName, byId);
    QVERIFY(poke("Server", "Interface", "SIM"));
    QVERIFY(pokeRefused("Server", "Interface", "   "));
    QVERIFY(poke("Server", "Baudrate", "19200"));
    QCOMPARE(w.s.cfg.Baudrate, 19200);
    for (const char* bad : {"fast", "0", "-9600", "99999999999"}) {
      QVERIFY2(pokeRefused("Server", "Baudrate", bad), bad);
      QCOMPARE(got("Server", "Baudrate"), QString("19200"));
    }
    // While the communication is open both are refused and shown again.
    w.s.state.CommOpen = true;
    QVERIFY(pokeRefused("Server", "Interface", "COM2"));
    QCOMPARE(got("Server", "Interface"), QString("SIM"));
    QVERIFY(pokeRefused("Server", "Baudrate", "9600"));
    QCOMPARE(w.s.cfg.Baudrate, 19200);
    QCOMPARE(w.s.cfg.InterfaceName, QString("SIM"));
    QCOMPARE(w.s.fields.value("Interface"), QString("SIM"));
  }

  void selChanAndPolling()
  {
    World w;
    w.fillChannels(3, {{8}, {8}, {8}});
    w.s.channels.ChannelTable[2].Polling = false;
    auto polled = [&] {
      QList<bool> f;
      for (int c = 1; c <= 3; ++c)
        f << w.s.channels.ChannelTable[c].Polling;
      return f;
    };
    QVERIFY(poke("Server", "SelChan", "3"));
    QCOMPARE(got("Server", "Polling"), QString("-1"));
    QVERIFY(poke("Server", "SelChan", "2"));
    QCOMPARE(got("Server", "Polling"), QString("0"));
    // SelChan 0: Polling applies to every channel; text counts as 0.
    const QList<std::tuple<const char*, const char*, QList<bool>>> steps = {
        {"2", "1", {true, true, true}},    {"2", "0", {true, false, true}},
        {"0", "off", {false, false, false}}, {"0", "-1", {true, true, true}}};
    for (const auto& [sel, on, flags] : steps) {
      QVERIFY(poke("Server", "SelChan", sel) && poke("Server", "Polling", on));
      QCOMPARE(polled(), flags);
    }
    // A channel the table does not know shows as polled; the device table's
    // setter is asked for it.
    QList<QPair<int, bool>> calls;
    w.dde().serverTopic().SetChanPolled = [&](int16_t ch, bool on) { calls << qMakePair(int(ch), on); };
    QVERIFY(poke("Server", "SelChan", "9"));
    QCOMPARE(got("Server", "Polling"), QString("-1"));
    QCOMPARE(calls, (QList<QPair<int, bool>>{{9, true}}));
    QVERIFY(poke("Server", "SelChan", "abc"));
    QCOMPARE(calls.size(), 1);
  }

  void pollSettings()
  {
    World w;
    LoadPortSettings(w.s);
    QStringList order;
    ServerTopic& st = w.dde().serverTopic();
    st.StopPolling = [&] { order << "stop"; };
    st.StartPolling = [&] { order << "start"; };
    // Not ready (communication closed): refused, the setting stays.
    QVERIFY(pokeRefused("Server", "PollTime", "500"));
    QCOMPARE(w.s.cfg.Polltime, 100);
    QCOMPARE(got("Server", "PollTime"), QString("100"));

    w.serving();
    QVERIFY(poke("Server", "PollTime", "20000"));
    QCOMPARE(w.s.cfg.Polltime, 10000);
    QCOMPARE(order, QStringList({"stop", "start"}));
    QCOMPARE(got("Server", "PollTime"), QString("10000"));
    QCOMPARE(w.s.setting()->GetCommonSetting("Settings", "PollTime", ""), QString("10000"));
    QVERIFY(poke("Server", "RTPInterval", "50"));
    QCOMPARE(w.s.cfg.RealtimePollTime, 50);
    QCOMPARE(order.size(), 4);
    QVERIFY(poke("Server", "PollBatch", "0"));
    QCOMPARE(w.s.cfg.PollBatch, 1);
    QCOMPARE(order.size(), 4); // the batch size needs no restart
    QCOMPARE(got("Server", "PollBatch"), QString("1"));
    QVERIFY(pokeRefused("Server", "PollBatch", "many"));
    QCOMPARE(got("Server", "PollBatch"), QString("1"));
  }

  void checkServer()
  {
    // Another instance answers, even with "n/a": the check says so, and the
    // name is not taken.
    for (const char* status : {"Idle", "n/a"}) {
      World w(false);
      OtherInstance other(status);
      other.start();
      QVERIFY(waitFor([&] { return other.ready.load(); }));
      QCOMPARE(CheckServer(w.s), QString("There is already an instance of Tesmira running.\r\n"
                                         "Running this server application twice is not allowed, "
                                         "this instance will be closed."));
      QVERIFY(!w.dde().registered());
    }
    // Alone: the name is taken, and a second check does not ask itself.
    World w(false);
    QCOMPARE(CheckServer(w.s), QString());
    QVERIFY(w.dde().registered());
    QCOMPARE(CheckServer(w.s), QString());
  }

  // program.ini [Link] TcpPort opens the service on 127.0.0.1 as well; a bad
  // port is said in the console and the local socket serves regardless.
  void tcpListenerFromSettings()
  {
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 free = probe.serverPort();
    probe.close();
    const struct {
      QString setting, line;
      bool listens;
    } cases[] = {
      {"0", "", false},
      {"abc", "Link service not open on TCP: 'abc' is not a port number (1 to 65535)", false},
      {"70000", "Link service not open on TCP: '70000' is not a port number (1 to 65535)", false},
      {QString::number(free), "Link service also open to clients on 127.0.0.1:" + QString::number(free), true},
    };
    for (const auto& c : cases) {
      World w(false);
      w.s.setting()->save(support::Setting::Scope::Program, "Link", "TcpPort", c.setting);
      w.openLog();
      QCOMPARE(CheckServer(w.s), QString());
      QVERIFY(w.dde().registered());
      QVERIFY2(c.line.isEmpty() ? !w.logText().contains("TCP") && !w.logText().contains("127.0.0.1")
                                : w.logText().contains(c.line),
               qPrintable(c.setting + ": " + w.logText()));
      std::atomic<bool> answered{false};
      inThread([&] {
        ddeml::Client tcp;
        QString v;
        answered = tcp.connectTcp(free, "Tesmira", "Server", 1000) && tcp.request("Status", &v);
      });
      QCOMPARE(answered.load(), c.listens);
    }
  }
};

QTEST_MAIN(TestTopics)
#include "tst_topics.moc"
