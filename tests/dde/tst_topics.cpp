// Channel topics and items as clients see them through real sockets: topics
// and items after creation, publishing values (trimming, log description),
// client pokes with CR LF stripping, link errors and request tags.
#include "DdeTestUtil.h"

#include "ui/StatusFields.h"

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
  if (!c.nextAdvise(&ev, 5000) || ev.kind != AdviseEvent::Kind::Data)
    return "<none>";
  return ev.value;
}

struct Poked {
  int channel = -1;
  QString name;
  int parameter = -1;
  QString value;
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
    QString v;
    ClientError err;
    QVERIFY(!request("C(1)", "P(8)", &v, &err));
    QCOMPARE(err, ClientError::NoTopic);

    w.dde().AddTopicScr(3);
    QVERIFY(w.s.state.TopicsCreated);
    QCOMPARE(int(w.dde().TopicTable.size()), 4);
    QVERIFY(!request("C(4)", "P(0)", &v, &err));
    QCOMPARE(err, ClientError::NoTopic);

    QStringList items = w.dde().link().items("C(0)");
    items.sort();
    QCOMPARE(items, QStringList({"P(0)", "P(1)", "P(2)"}));
    const QStringList expected = {"paramread", "readstatus", "writestatus"};
    for (int i = 0; i < 3; ++i) {
      QVERIFY(request("C(0)", QStringLiteral("P(%1)").arg(i), &v));
      QCOMPARE(v, expected[i]);
    }
    // Parameter items show the short name without its padding until a value
    // arrives; names compare without regard to case.
    QVERIFY(request("c(1)", "p(8)", &v));
    QCOMPARE(v, QString("measure"));
    QVERIFY(request("C(1)", "P(9)", &v));
    QCOMPARE(v, QString("setpoint"));
    QVERIFY(request("C(3)", "P(1)", &v));
    QCOMPARE(v, QString("IDENTSTRNG"));
    QVERIFY(request("C(2)", "P(0)", &v));
    QCOMPARE(v, QString("paramread"));
    // An item the channel does not offer does not exist.
    QVERIFY(!request("C(2)", "P(9)", &v, &err));
    QCOMPARE(err, ClientError::NoItem);
    QVERIFY(!request("C(0)", "P(8)", &v, &err));
    QCOMPARE(err, ClientError::NoItem);
    QCOMPARE(w.dde().topic(2)->nameTag(8), QString("measure"));
    QCOMPARE(w.dde().topic(2)->tag, QString("2"));

    // The engine removes an item; a re-created one is there again.
    w.dde().topic(1)->removeItem(9);
    QVERIFY(!request("C(1)", "P(9)", &v, &err));
    w.dde().topic(1)->createItem(9, "40.0");
    QVERIFY(request("C(1)", "P(9)", &v));
    QCOMPARE(v, QString("40.0"));

    // Rebuilding replaces every topic.
    w.dde().DeleteTopicScr();
    w.fillChannels(1, {{9}});
    w.dde().AddTopicScr(1);
    QVERIFY(!request("C(2)", "P(0)", &v, &err));
    QCOMPARE(err, ClientError::NoTopic);
    QVERIFY(request("C(1)", "P(9)", &v));
    QCOMPARE(v, QString("setpoint"));
  }

  void deletionClosesConversations()
  {
    World w;
    w.fillChannels(2, {{8}, {8}});
    w.dde().AddTopicScr(2);
    Client c;
    AdviseEvent first, closed;
    QVERIFY(inThread([&] { return c.connect("Tesmira", "C(1)", 3000) && c.advise("P(8)", AdviseMode::Hot, 3000); }));
    QVERIFY(inThread([&] { return c.nextAdvise(&first, 3000); }));
    QCOMPARE(first.value, QByteArray("measure"));

    w.dde().DeleteTopicScr();
    QVERIFY(!w.s.state.TopicsCreated);
    QCOMPARE(int(w.dde().TopicTable.size()), 1);
    QVERIFY(!w.dde().topic(0));
    QVERIFY(inThread([&] { return c.nextAdvise(&closed, 5000); }));
    QCOMPARE(closed.kind, AdviseEvent::Kind::Closed);
    QString v;
    ClientError err;
    QVERIFY(!request("C(1)", "P(8)", &v, &err));
    QCOMPARE(err, ClientError::NoTopic);
    // A second deletion does nothing; the server topic stays.
    w.dde().DeleteTopicScr();
    QVERIFY(request("Server", "ProductName", &v));
    QCOMPARE(v, QString("Tesmira"));
  }

  void publishedValues()
  {
    World w;
    w.fillChannels(2, {{8, 33}, {8}});
    w.dde().AddTopicScr(2);
    Client c;
    QVERIFY(inThread([&] {
      return c.connect("Tesmira", "C(1)", 3000) && c.advise("P(8)", AdviseMode::Hot, 3000) &&
             c.advise("P(33)", AdviseMode::Hot, 3000);
    }));
    AdviseEvent ev;
    QVERIFY(inThread([&] { return c.nextAdvise(&ev, 3000) && c.nextAdvise(&ev, 3000); }));

    // Trailing blanks go, except for the exempt parameters.
    w.dde().Change_dde_item(1, 8, "12.5   ");
    QCOMPARE(inThread([&] { return nextData(c); }), QByteArray("12.5"));
    w.dde().Change_dde_item(1, 33, "tag   ");
    QCOMPARE(inThread([&] { return nextData(c); }), QByteArray("tag   "));
    // CR LF and non-ASCII text reach the client byte for byte.
    const QString text = QString::fromUtf8("Flüsse\r\n°C  ");
    w.dde().Change_dde_item(1, 33, text);
    QCOMPARE(inThread([&] { return nextData(c); }), text.toUtf8());
    w.s.cfg.TrimTrailingSpaces = false;
    w.dde().Change_dde_item(1, 8, "7  ");
    QCOMPARE(inThread([&] { return nextData(c); }), QByteArray("7  "));
    w.s.cfg.TrimTrailingSpaces = true;

    // A channel beyond the bus, and a parameter the channel does not offer.
    w.dde().Change_dde_item(3, 8, "99");
    w.dde().Change_dde_item(2, 9, "98");
    w.dde().Change_dde_item(1, 8, "13");
    QCOMPARE(inThread([&] { return nextData(c); }), QByteArray("13"));
    QVERIFY(!w.dde().topic(2)->hasItem(9));
    QCOMPARE(w.dde().topic(2)->item(8), QString("measure"));

    // Ident tracking hears of every value; its message goes to the debug log.
    QList<int> seen;
    w.dde().CheckIFIIdentChange = [&](int16_t ch, int16_t p, const QString&) {
      seen << ch * 1000 + p;
      return QString();
    };
    w.dde().Change_dde_item(2, 8, "1");
    QCOMPARE(seen, QList<int>({2008}));
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
    const QString tab = QString(7, ' ') + '\t';
    QVERIFY2(log.contains(QRegularExpression("Ch001 +P006 .*Val: 72 " + QRegularExpression::escape(tab) +
                                             "Instrument linked to a host")),
             qPrintable(log));
    QVERIFY(log.contains(tab + "Measured value, 32000 = 100 %"));
    QVERIFY(log.contains(QRegularExpression("P007 .*Val: 5 " + QRegularExpression::escape(tab) + "73 enters")));
    QVERIFY(log.contains(QRegularExpression("P028 .*Val: 3 " + QRegularExpression::escape(tab) +
                                            "Alarm and status bits of the channel")));
    QVERIFY(log.contains("1' OR '1'='1"));
    QVERIFY(log.contains(QRegularExpression("P009 .*Val: 500")));
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
    };
    w.dde().Rcvd_dde_Cmnd = [&](int16_t ch, const QString& cmd) { commands << qMakePair(int(ch), cmd); };

    // Closed communication: the item just shows the text.
    QVERIFY(poke("C(1)", "P(9)", "5\r\n"));
    QVERIFY(items.isEmpty());
    QCOMPARE(w.dde().topic(1)->item(9), QString("5\r\n"));
    // Open but not ready: the same.
    w.s.state.CommOpen = true;
    QVERIFY(poke("C(1)", "P(9)", "6"));
    QVERIFY(items.isEmpty());

    w.serving();
    QVERIFY(poke("C(1)", "P(9)", "5\r\n"));
    QCOMPARE(items.size(), 1);
    QCOMPARE(items[0].channel, 1);
    QCOMPARE(items[0].name, QString("setpoint"));
    QCOMPARE(items[0].parameter, 9);
    QCOMPARE(items[0].value, QString("5"));
    // Exempt parameters keep CR LF.
    QVERIFY(poke("C(1)", "P(33)", "a\r\nb\r\n"));
    QCOMPARE(items.last().value, QString("a\r\nb\r\n"));
    // The first character of an ident string stays, whatever it is.
    QVERIFY(poke("c(3)", "p(1)", "\rAB\r\nC\n"));
    QCOMPARE(items.last().name, QString("IDENTSTRNG"));
    QCOMPARE(items.last().value, QString("\rABC"));
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
    QCOMPARE(items.last().value, QString::fromUtf8("Fluß 5°"));
    // With TrimCRLF off the text is passed on as poked.
    w.s.cfg.TrimCRLF = false;
    QVERIFY(poke("C(1)", "P(9)", "7\r\n"));
    QCOMPARE(items.last().value, QString("7\r\n"));
    // Simulation counts as open.
    w.s.cfg.TrimCRLF = true;
    w.s.state.CommOpen = false;
    w.s.state.SimulationOn = true;
    QVERIFY(poke("C(1)", "P(9)", "8"));
    QCOMPARE(items.last().value, QString("8"));
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
    QVERIFY(!w.logText().contains("Unknown error"));
    // One link more than the item takes: code 7.
    Client a, b, c;
    QVERIFY(inThread([&] {
      return a.connect("Tesmira", "C(1)", 3000) && a.advise("P(8)", AdviseMode::Warm, 3000) &&
             b.connect("Tesmira", "C(1)", 3000) && b.advise("P(8)", AdviseMode::Warm, 3000) &&
             c.connect("Tesmira", "C(1)", 3000) && !c.advise("P(8)", AdviseMode::Warm, 3000) &&
             c.error() == ClientError::NoFreeLink;
    }));
    QVERIFY(waitFor([&] { return w.logText().contains("No free source link (max 128 per source)"); }));
    QVERIFY(w.logText().contains(QRegularExpression("Ch001 +P008 .*No free source link")));
    frmTopic* t = w.dde().topic(1);
    w.dde().P_LinkError(*t, 8, 8);
    w.dde().P_LinkError(*t, 8, 11);
    w.dde().P_LinkError(*t, 8, 42);
    w.dde().P_LinkError(*t, 8, 1);
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
    QCOMPARE(d.RequestTagParNr(32640), int16_t(510));
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
};

QTEST_MAIN(TestTopics)
#include "tst_topics.moc"
