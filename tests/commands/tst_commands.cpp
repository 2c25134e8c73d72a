// Client pokes and commands in a serving server of this process: clients
// poke through real sockets, the virtual bus sits behind a pseudo-terminal,
// the log goes to a real file. Checks what reaches the instrument, what the
// log and the status items say, what the command language does, and the
// scan specification rules of bulk reads.
#include "ServerRig.h"

#include "dde/Commands.h"
#include "engine/BulkRead.h"

#include "ui/frmMain.h"

#include "Debug.h"

#include <QSignalSpy>
#include <QSqlQuery>

using namespace tesmira;
using World = serverrig::Rig;

namespace {

const QString kInvalid = "Invalid scan parameters format";

QString topicOf(int channel) { return frmTopic::topicNameOf(int16_t(channel)); }
QString itemOf(int p) { return frmTopic::itemName(int16_t(p)); }

// The reason a refused poke was given, empty when it was taken.
QString pokeRefusal(int channel, int p, const QString& value)
{
  return serverrig::poke(topicOf(channel), itemOf(p), value.toUtf8());
}
bool pokeText(int channel, int p, const QString& value) { return pokeRefusal(channel, p, value).isEmpty(); }
QString requested(int channel, int p) { return serverrig::got(topicOf(channel), itemOf(p)); }

// Rows of a table, counted on the server's own connection.
int rows(tesmira::Server& s, const QString& table)
{
  QSqlQuery q(s.db->TheDatabase);
  return q.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table) && q.next() ? q.value(0).toInt() : -1;
}

bool anyLine(const QStringList& lines, const QString& a, const QString& b = {})
{
  return std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return l.contains(a) && l.contains(b); });
}

}

class TestCommands : public QObject {
  Q_OBJECT
  World w;
  int ctl = 0; // a controller channel

  const ChannelRec& rec() { return w.s->channels.ChannelTable[size_t(ctl)]; }
  double simValue(int fb)
  {
    soraproto::Value v;
    return w.bus->peek(rec().Dev_Nodenr, rec().Dev_Proc, fb, v) ? v.number() : -1e9;
  }
  const ParameterDef& def(int p) { return w.s->db->ParameterTable[size_t(p)]; }
  bool readable(int p) { return def(p).Read || w.s->cfg.IgnoreDatabaseMinMax; }
  bool inGroup(int p, int g) { return std::ranges::count(def(p).Group, g) > 0; }
  // The parameters keep(p) selects, in order.
  template <typename T = int, typename F> QList<T> params(F keep)
  {
    QList<T> l;
    for (int p = 1; p <= w.s->db->MaxParNr; ++p)
      if (keep(p))
        l << T(p);
    return l;
  }

private slots:
  void initTestCase()
  {
    serverrig::fastLibrary();
    QVERIFY2(w.serve(), qPrintable(w.failure));
    ctl = w.channelOf(4, -1);
    QVERIFY(ctl > 0);
  }

  // A poked setpoint reaches the instrument, the measure follows, and the
  // log tells the write, with the value's text for a coded parameter.
  void writePokeReachesInstrument()
  {
    const int mark = w.logMark();
    QVERIFY(pokeText(ctl, 9, "16000"));
    QCOMPARE(simValue(1), 16000.0);
    QVERIFY(w.until([&] { return std::abs(w.readWait(ctl, 8).toDouble() - 16000) < 320; }));
    QCOMPARE(requested(0, 2), QString("0")); // the write's outcome item
    QVERIFY(anyLine(w.logSince(mark), "Write\t" + World::column(ctl, 9) + "   Setpoint",
                    "Val: 16000 (linkpoke from client)"));

    QVERIFY(pokeText(ctl, 12, " 1 "));
    QCOMPARE(simValue(def(12).FBnr), 1.0);
    QVERIFY2(anyLine(w.logSince(mark), World::column(ctl, 12),
                     "Val: 1 (linkpoke from client)       \tAnalog input setpoint"),
             qPrintable(w.logSince(mark).join('\n')));
    QVERIFY(pokeText(ctl, 12, "0"));
    QCOMPARE(simValue(def(12).FBnr), 0.0);

    // A wink poked into P(1) of a further channel of a four-channel module:
    // the item shows the module's ident string again, not the poked text.
    const int further = w.channelOf(6, 3);
    QVERIFY(further > 0);
    QVERIFY(pokeText(further, 1, "9"));
    QVERIFY2(w.until([&] { return w.item(further, 1).endsWith("M00000006"); }), qPrintable(w.item(further, 1)));
  }

  // Refused writes are reported, the poking client is told why, and nothing
  // goes on the wire.
  void refusedWritesAreReported()
  {
    const int mark = w.logMark(), frames = w.bus->requestFrames();
    const double measure = simValue(0), setpoint = simValue(1);
    // Read-only, above the setpoint's maximum, no number at all: the client
    // and the write's outcome item are told why.
    const std::tuple<int, const char*, QString> refused[] = {
      {8, "123", "This parameter value can only be read"},
      {9, "40000", "Wrong value for this parameter or not accepted"},
      {9, "abc", "Type of parameter sent differs from type on module"}};
    for (const auto& [p, value, why] : refused) {
      QVERIFY2(pokeRefusal(ctl, p, value).contains(why), qPrintable(why));
      QCOMPARE(requested(0, 2), why);
    }
    QVERIFY(anyLine(w.logSince(mark), "Error\t" + World::column(ctl, 8), "This parameter value can only be read"));
    QCOMPARE(std::tuple(simValue(1), w.bus->requestFrames(), simValue(0)), std::tuple(setpoint, frames, measure));
    // The item shows the poked text until the server sets it again.
    QCOMPARE(requested(ctl, 8), QString("123"));
  }

  // Client text never reaches SQL as statement text: it is bound, matches
  // no value text, and the database stays whole.
  void clientTextIsNeverSql()
  {
    const int values = rows(*w.s, "ParValue"), params = rows(*w.s, "AllParameters");
    QVERIFY(values > 0 && params > 0);
    const int mark = w.logMark();
    const QStringList hostile = {"1 OR 1=1", "'; DROP TABLE ParValue; --", "\" OR \"\"=\""};
    for (const QString& text : hostile) {
      pokeText(ctl, 12, text); // refused as no number, but logged first
      QVERIFY(pokeText(0, 1, text) && pokeText(ctl, 0, text)); // the latter a scan specification
    }
    const QStringList lines = w.logSince(mark);
    for (const QString& text : hostile) {
      // No description was found: the line ends right after the marker.
      QVERIFY2(anyLine(lines, World::column(ctl, 12), "Val: " + text + " (linkpoke from client)"),
               qPrintable(text));
      QVERIFY(!anyLine(lines, "Val: " + text + " (linkpoke from client)       \t"));
      QVERIFY(anyLine(lines, "Write\t" + World::column(0, 1) + "   Readstatus", "Val: " + text));
    }
    QVERIFY(anyLine(lines, "Error\t" + World::column(ctl, 0), kInvalid));
    QCOMPARE(simValue(def(12).FBnr), 0.0);
    QCOMPARE(std::pair(rows(*w.s, "ParValue"), rows(*w.s, "AllParameters")), std::pair(values, params));
  }

  // Codes on C(0) and when the command item goes back to "0".
  void commandCodes()
  {
    frmMain main(*w.s);
    main.show();
    int servicelogs = 0, holdInside = 0;
    w.s->commands->Servicelog = [&] { ++servicelogs; holdInside = w.s->state.bExtendPolling; };
    const int hold = w.s->state.bExtendPolling, mark = w.logMark();
    const QString channelCommand = requested(ctl, 0);

    // Each code pokes, then the command item is asked for. Texts that are no
    // command leave the item as poked; "x" sets it apart from "0" first.
    const std::tuple<const char*, const char*, std::function<bool()>> table[] = {
        {"-5", "0", [&] { return anyLine(w.logSince(mark), World::column(0, 0) + "   Tesmira", "Val: 0 (command performed)"); }},
        {"-10", "-10", [&] { return main.isMinimized(); }},
        {"-3", "0", [&] { return !main.isMinimized(); }},
        {"-2", "0", [&] { return servicelogs == 1 && holdInside == hold + 1 && w.s->state.bExtendPolling == hold; }},
        // Windows this build does not have: the item still goes back.
        {"x", "x", {}}, {"-4", "0", {}}, {"x", "x", {}}, {"-6", "0", {}}, {"x", "x", {}}, {"-7", "0", {}},
        // Only a normally polling server checks the configuration again;
        // this one is not polling, so no scan, and the topics stay.
        {"x", "x", {}},
        {"-8", "0", [&] { return requested(ctl, 0) == channelCommand && !anyLine(w.logSince(mark), "Scanning SORANET"); }},
        {"0", "0", {}}, {"-11", "-11", {}}, {"open", "open", {}},
        {"40000", "40000", [&] {
           QFile debugLog(w.s->debug()->fileName());
           return anyLine(w.logSince(mark), "Error\t" + World::column(0, 0), "Val: 40000 Overflow") &&
                  debugLog.open(QIODevice::ReadOnly) && debugLog.readAll().contains("Overflow");
         }},
    };
    for (const auto& [text, item, also] : table) {
      QVERIFY(pokeText(0, 0, text));
      QCOMPARE(requested(0, 0), QString(item));
      QVERIFY2(!also || also(), text);
    }

    // The server ends through the main window's ordered shut-down.
    QSignalSpy closing(&main, &frmMain::closeRequested);
    QVERIFY(pokeText(0, 0, "-9"));
    QTRY_COMPARE(closing.count(), 1);
    QCOMPARE(requested(0, 0), QString("-9"));
    w.s->commands->Servicelog = nullptr;
  }

  // Bulk reads started by commands: which parameters of which channels,
  // and the item goes back only after the last value has arrived.
  void bulkReadCommands()
  {
    auto& m = w.s->channels;
    auto expected = [&](int channel, int group) {
      return params([&](int p) { return m.available(channel, p) && readable(p) && (group < 0 || inGroup(p, group)); });
    };
    auto sorted = [](QList<int> l) {
      std::ranges::sort(l);
      return QList<int>(l.begin(), std::unique(l.begin(), l.end()));
    };
    const QList<int> offered = params([&](int p) { return (p == 2 || p == 8 || p == 9) && m.available(2, p); });
    QVERIFY(offered.size() >= 2 && !expected(2, 3).isEmpty());
    // A parameter channel 2 does not offer, not given up on.
    const int absent = params([&](int p) { return !m.available(2, p); }).first();
    w.s->channels.ParRetryCount[2][size_t(absent)] = 1;
    const QByteArray lastAbsent = QByteArray::number(offered[0]) + ',' + QByteArray::number(absent);
    // Poked on a topic, then the item is asked for; only channel 2 is read.
    // On C(0) "c.g" names group g of channel c (100: all of it); on a
    // channel topic the text is the scan specification itself.
    enum Check { InOrder, Sorted };
    // Group 5: none offered, nothing read, the item still goes back. When
    // the last listed parameter is not offered, that is reported and the
    // offered ones are still read.
    const std::tuple<int, const char*, QList<int>, Check, QString> table[] = {
      {0, "2.3", expected(2, 3), InOrder, {}}, {0, "2.5", expected(2, 5), Sorted, {}},
      {0, "2.100", expected(2, -1), Sorted, {}}, {2, "x2.5", {}, InOrder, kInvalid},
      {2, lastAbsent.constData(), {offered[0]}, InOrder, "Invalid parameter requested"},
      {2, "9,8,2", offered, Sorted, {}}};
    for (const auto& [topic, text, reads, check, error] : table) {
      const int mark = w.logMark();
      QVERIFY(pokeText(topic, 0, text));
      QCOMPARE(requested(topic, 0), QString("0"));
      const QStringList lines = w.logSince(mark);
      QCOMPARE(check == Sorted ? sorted(World::readParameters(lines, 2)) : World::readParameters(lines, 2), reads);
      for (int c = 1; c <= m.MaxChannel; ++c)
        QVERIFY2(c == 2 || World::readParameters(lines, c).isEmpty(), text);
      QVERIFY2(error.isEmpty() || anyLine(lines, "Error\t" + World::column(topic, 0), error), text);
    }

    const int mark = w.logMark();
    QVERIFY(pokeText(0, 0, "all"));  // every channel; "(command performed)" follows every Read line
    QCOMPARE(requested(0, 0), QString("0"));
    QStringList lines = w.logSince(mark);
    const qsizetype performed = lines.lastIndexOf(QRegularExpression(".*\\(command performed\\).*"));
    const qsizetype lastRead = lines.lastIndexOf(QRegularExpression(".*Read\tCh.*"));
    QVERIFY(performed > 0 && lastRead > 0 && lastRead < performed);
    lines = lines.mid(0, performed);
    for (int c = 1; c <= m.MaxChannel; ++c)
      QVERIFY(!World::readParameters(lines, c).isEmpty());
    // The value of the run's last read is among them.
    QVERIFY(anyLine(lines, World::column(m.MaxChannel, expected(m.MaxChannel, -1).last())));
  }

  // The scan specification of bulk reads: which parameters, in which order,
  // which elements are refused (the good elements still count).
  void scanSpecification()
  {
    const int16_t max = w.s->db->MaxParNr;
    const QList<int16_t> all = params<int16_t>([](int) { return true; });
    const QList<int16_t> g3 = params<int16_t>([&](int p) { return inGroup(p, 3); });
    QVERIFY(g3.contains(8) && g3.contains(9));
    // ALL is the whole text only, never one element among others. Order as
    // given, a repeat read twice, a descending range. Numbers outside
    // 1..MaxParNr are dropped without a message; range ends above it come
    // down to it. Group 0 is every parameter. Numbers as the server takes
    // them everywhere: signs, decimals and exponents count, rounded halves to
    // even; below 1 they select nothing.
    const std::tuple<QString, QList<int16_t>, bool> table[] = {
      {"ALL", all, false}, {" aLl ", all, false}, {"8,ALL", {8}, true},
      {"1-2,8,12-10", {1, 2, 8, 12, 11, 10}, false}, {"9, 9 ,3-4,2-1", {9, 9, 3, 4, 2, 1}, false},
      {QString("0,%1,5,30000").arg(max + 1), {5}, false},
      {QString("%1-%2").arg(max - 1).arg(max + 50), {int16_t(max - 1), max}, false},
      {"GROUP 3", g3, false},
      {"GrOuP5", params<int16_t>([&](int p) { return inGroup(p, 5); }), false},
      {"GROUP 0", all, false}, {"GROUP x,8", {8}, true}, {"+8, 8.0 ,1e1,2.5,-5", {8, 8, 10, 2}, false},
      {"5-,8", {8}, true}, {"0-3", {}, true}, {"3-0,2", {2}, true}, {"", {}, true}, {"8,,9", {8, 9}, true},
      {"setpoint,9", {9}, true}, {"1 OR 1=1", {}, true}};
    for (const auto& [spec, read, refused] : table) {
      QString e;
      QVERIFY2(ScanParameterList(*w.s, spec, e) == read && e == (refused ? kInvalid : QString()), qPrintable(spec));
    }
  }

  // Commands on C(0): whether a text fits, and the code and scan
  // specification it gives when it does (halves round to even).
  void commandLanguage()
  {
    const std::tuple<QString, bool, int, QString> table[] = {
      {"all", true, -1, "ALL"}, {" ALL ", true, 0, "ALL"}, {"-1", true, -1, "ALL"}, {"3", true, 3, "ALL"},
      {"2.5", true, 2, "GROUP5"}, {"2.100", true, 2, "ALL"}, {"3.-1", true, 3, "ALL"}, {"-1.2", true, -1, "GROUP2"},
      {"4.", true, 4, "GROUP0"}, {" -10 ", true, -10, "ALL"}, {"25e-1", true, 2, "ALL"}, {"35e-1", true, 4, "ALL"},
      {"open", true, 0, "ALL"}, {"40000", false, 0, {}}, {"2.70000", false, 0, {}}};
    for (const auto& [command, fits, code, spec] : table) {
      int16_t c = 99;
      QString s;
      const bool ok = Commands::ParseCommand(command, c, s);
      QCOMPARE(std::tuple(command, ok, ok ? int(c) : 0, ok ? s : QString()), std::tuple(command, fits, code, spec));
    }
  }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
