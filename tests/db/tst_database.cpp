// The parameter database on small files the tests write: the start-up
// messages of InitDB (word for word, with the file left untouched), the rules
// of LoadParameterTable, AvailableParams, RecordCount, value texts and the
// Commport mirror.
#include "DbTestUtil.h"
#include "Prompt.h"
#include "db/Database.h"

using tesmira::Database;
using tesmira::ParameterDef;

namespace {
const QString CRLF = QStringLiteral("\r\n");
const QString closing = CRLF + "Tesmira will not function properly with present version of Tesmira.mdb." + CRLF +
                        "Tesmira will be closed.";

QString row(int nr, const QString& name, const QString& proc, const QString& type, const QString& len,
            const QString& extra = QStringLiteral("NULL, NULL, 1, 0, 0, 0, 0, 0, 1, NULL, NULL, 1"))
{
  // Parameter, Name, LongName, description, Process, FBnr, VarType, VarType2,
  // VarLength, Default, then Min, Max, Read, Write, Poll, Advanced, Secured,
  // "Highly secured", Group0, Group1, Group2, Available (extra), Filter NULL.
  return QStringLiteral("INSERT INTO AllParameters VALUES (%1, '%2', 'Long %2', NULL, %3, %4, %5, NULL, %6, NULL, %7, NULL)")
      .arg(nr).arg(name, proc).arg(nr % 50).arg(type, len, extra);
}
}

class TestDatabase : public QObject {
  Q_OBJECT
  support::ScriptedPrompt m_prompt;

private slots:
  void init()
  {
    m_prompt.asked.clear();
    support::setPrompt(&m_prompt);
  }
  void cleanup() { support::setPrompt(nullptr); }

  // InitDB on each kind of file the settings may name: the message word for
  // word, and the file left exactly as it was (a missing one not created).
  void initDbMessages()
  {
    const QString notFound = "Tesmira database '%1' not found." + CRLF +
                             "Please make sure the database exists and the current user has read and write permission." +
                             CRLF + "Tesmira will be closed.";
    const QString cannotOpen = "Tesmira database '%1' cannot be opened." + CRLF +
                               "Please make sure the current user has read and write permissions.";
    const QString locked = "Incompatible database version or database is locked." + closing;
    const QString old = "Incompatible database version (%1 < V3.63)." + closing;
    // kind: "missing", "bytes" (arg: the content), "folder", or "db" (arg: the
    // DBVersion text; null for no row).
    struct Case {
      const char* kind;
      QString arg, expected;
    } cases[] = {
        {"missing", {}, notFound},
        {"bytes", QString("this is not a database\n").repeated(200), cannotOpen},
        {"bytes", "SQLite format 3" + QString(4096, QChar(0xff)), cannotOpen},
        {"folder", {}, cannotOpen},
        {"db", QString(), locked},
        {"db", "   ", locked},
        {"db", "V3.50", old.arg("V3.50")},
        {"db", "V3.6", old.arg("V3.6")},
        {"db", "  V3.63 ", QString()},
        {"db", "V3.70", QString()},
    };
    for (const Case& c : cases) {
      dbtest::World w;
      const QString kind(c.kind), file = w.path("sub/Tesmira.mdb");
      if (kind != "missing")
        QVERIFY(QDir().mkpath(kind == "folder" ? file : w.path("sub")));
      if (kind == "bytes") {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(c.arg.toLatin1());
      } else if (kind == "db") {
        QVERIFY(dbtest::makeBasic(file, c.arg));
      }
      w.nameDatabase(file);
      const QByteArray before = dbtest::fingerprint(file);
      Database db(w.setting, w.folder, nullptr);
      // A file that cannot be opened also says why, after the message.
      const QString expected = c.expected.contains("%1") ? c.expected.arg(file) : c.expected;
      const QString got = db.InitDB();
      if (c.expected == cannotOpen)
        QVERIFY2(got.startsWith(expected + CRLF) && got.size() > expected.size() + 2, qPrintable(got));
      else
        QCOMPARE(got, expected);
      QCOMPARE(db.DBPath, file);
      QCOMPARE(db.isOpen(), c.expected.isEmpty());
      if (kind == "db")
        QCOMPARE(db.DBVersion, c.arg.trimmed());
      db.CloseDB();
      QCOMPARE(dbtest::fingerprint(file), before);
      QCOMPARE(QFileInfo::exists(file), kind != "missing");
    }
    // Without a setting the default path is the one looked for.
    dbtest::World w;
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), notFound.arg(w.dir.path() + "/data/Tesmira32/Tesmira.mdb"));
    QCOMPARE(db.DBPath, db.DefaultDBPath());
  }

  void loadRules()
  {
    dbtest::World w;
    const QString rangeFlags = "-5.5, 12.25, 1, 1, 1, 1, 0, 1, 3, 4, 5, 1";
    const QString file = dbtest::makeNamed(w, "p.mdb", {
        row(1, "IDENTSTRNG", "0", "'c'", "-2"),
        row(2, "Measure", "0", "'F'", "NULL"),     // capital F is float; capital M is no special name
        row(3, "str20", "0", "'c'", "20", rangeFlags),
        row(4, "byte0", "NULL", "'C'", "0"),       // empty process
        row(5, "byteempty", "1", "'c'", "NULL"),
        row(6, "other", "1", "'x'", "NULL"),
        row(7, "notype", "1", "NULL", "NULL"),
        row(8, "measure", "1", "'i'", "NULL"),
        row(9, "setpoint", "1", "'l'", "NULL"),
        // 10 and 11 are gaps
        row(12, "ValveOut", "1", "'i'", "NULL"),
        row(13, "GlobModify", "0", "'c'", "NULL"),
        row(14, "alarminfo", "1", "'c'", "''"),
        row(15, "averyverylongname", "1", "''", "NULL"),
        "UPDATE AllParameters SET VarType2 = 'i' WHERE Parameter = 3",
        "UPDATE AllParameters SET Secured = 1, \"Highly secured\" = 0 WHERE Parameter = 5",
        "UPDATE AllParameters SET Secured = 0, Group0 = 7 WHERE Parameter = 8",
        "UPDATE AllParameters SET Read = 0, Available = 0 WHERE Parameter = 9"});
    QVERIFY(!file.isEmpty());
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());
    QCOMPARE(db.LoadParameterTable(), QString());
    QVERIFY(m_prompt.asked.isEmpty());

    QCOMPARE(db.MaxParNr, int16_t(15));
    QCOMPARE(db.ParameterTable.size(), size_t(17));  // 0..MaxParNr + 1
    const auto& t = db.ParameterTable;
    using namespace tesmira;
    // First and second value type per row: c/C with a length is a string,
    // without one a char; capitals count as small letters; unknown is none.
    const int types[][3] = {{1, VarString, VarNone},  {2, VarFloat, VarNone}, {3, VarString, VarInteger},
                            {4, VarChar, VarNone},    {5, VarChar, VarNone},  {6, VarNone, VarNone},
                            {7, VarNone, VarNone},    {8, VarInteger, VarNone}, {9, VarLong, VarNone},
                            {14, VarChar, VarNone},   {15, VarNone, VarNone}};
    for (const auto& e : types)
      QVERIFY2(t[e[0]].VarType[0] == e[1] && t[e[0]].VarType[1] == e[2], qPrintable(QString::number(e[0])));
    QCOMPARE(t[1].VarLength, uint8_t(0));
    QCOMPARE(t[2].Name, QString("Measure   "));
    QCOMPARE(t[3].VarLength, uint8_t(20));
    QCOMPARE(t[3].Min, -5.5);
    QCOMPARE(t[3].Max, 12.25);
    QVERIFY(t[3].Read && t[3].Write && t[3].Poll && t[3].Advanced && t[3].Secured);  // "Highly secured" alone
    QCOMPARE(t[3].Group, (std::array<int16_t, 3>{3, 4, 5}));
    QCOMPARE(t[4].Process, uint8_t(255));
    QVERIFY(t[5].Secured);
    QCOMPARE(t[5].Process, uint8_t(1));
    QCOMPARE(t[8].Group, (std::array<int16_t, 3>{7, 0, 0}));  // empty Group1/Group2 give 0
    QVERIFY(!t[8].Secured && t[8].Read && !t[8].Write);
    QCOMPARE(t[8].LongName, QString("Long measure"));
    QCOMPARE(t[8].FBnr, uint8_t(8));
    QVERIFY(!t[9].Read && !t[9].Available);
    QCOMPARE(t[15].Name, QString("averyveryl"));

    // Gaps keep empty records.
    for (int gap : {0, 10, 11, 16}) {
      QCOMPARE(t[gap].ParNr, int16_t(0));
      QVERIFY(t[gap].Name.isEmpty());
      QVERIFY(!t[gap].Read && !t[gap].Available);
    }
    for (int n : {1, 5, 15})
      QCOMPARE(t[n].ParNr, int16_t(n));

    QCOMPARE(db.ParNrMeasure, int16_t(8));  // not 2 ("Measure")
    QCOMPARE(db.ParNrSetpoint, int16_t(9));
    QCOMPARE(db.ParNrValveOut, int16_t(12));
    QCOMPARE(db.ParNrGlobModify, int16_t(13));
    QCOMPARE(db.ParNrAlarmInfo, int16_t(14));
    QVERIFY(db.ParValueSet);

    // A second load starts from scratch: the specials follow the rows.
    QVERIFY(dbtest::exec(file, {"UPDATE AllParameters SET Name = 'ValveOutX' WHERE Parameter = 12"}));
    QCOMPARE(db.LoadParameterTable(), QString());
    QCOMPARE(db.ParNrValveOut, int16_t(0));
    QCOMPARE(db.ParNrMeasure, int16_t(8));
  }

  void outOfOrderRowsEnlarge()
  {
    dbtest::World w;
    QVERIFY(!dbtest::makeNamed(w, "o.mdb", {row(1, "IDENTSTRNG", "0", "'c'", "-2"), row(6, "late", "1", "'i'", "NULL"),
                                            row(20, "far", "1", "'i'", "NULL"), row(3, "last", "1", "'f'", "NULL")})
                 .isEmpty());
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());
    QCOMPARE(db.LoadParameterTable(), QString());
    // The last row says 3; rows above it enlarge the table (MaxParNr = n + 1).
    QCOMPARE(db.MaxParNr, int16_t(21));
    QVERIFY(db.ParameterTable.size() >= size_t(22));
    QCOMPARE(db.ParameterTable[6].Name, QString("late      "));
    QCOMPARE(db.ParameterTable[20].VarType[0], uint8_t(tesmira::VarInteger));
    QCOMPARE(db.ParameterTable[3].VarType[0], uint8_t(tesmira::VarFloat));
  }

  void loadErrorsWarnAndKeepWhatLoaded()
  {
    dbtest::World w;
    const QString file = dbtest::makeNamed(w, "e.mdb");
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());

    // Empty AllParameters.
    QVERIFY(!db.LoadParameterTable().isEmpty());
    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(m_prompt.asked[0].text, QString("An error occured while loading the database parameter table.\r\n"
                                             "Tesmira will continue, however problems may occur."));
    QCOMPARE(m_prompt.asked[0].icon, support::Prompt::Exclamation);
    QCOMPARE(m_prompt.asked[0].buttons, support::Prompt::Ok);
    QVERIFY(m_prompt.asked[0].title.isEmpty() || m_prompt.asked[0].title == support::Prompt::defaultTitle());

    // Bad rows are reported, the good ones loaded.
    QVERIFY(dbtest::exec(file, {row(1, "IDENTSTRNG", "0", "'c'", "-2"), row(2, "badlen", "0", "'c'", "300"),
                                row(600, "toohigh", "0", "'c'", "NULL"), row(4, "good", "0", "'i'", "NULL")}));
    m_prompt.asked.clear();
    const QString error = db.LoadParameterTable();
    QVERIFY(error.contains("300"));
    QVERIFY(error.contains("600"));
    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(db.ParameterTable[4].Name, QString("good      "));
    QCOMPARE(db.ParameterTable[1].VarType[0], uint8_t(tesmira::VarString));
    QVERIFY(db.ParameterTable[2].Name.isEmpty());

    // A database without ParValue: the table loads, the set stays closed.
    QVERIFY(dbtest::exec(file, {"DROP TABLE ParValue"}));
    m_prompt.asked.clear();
    QVERIFY(!db.LoadParameterTable().isEmpty());
    QVERIFY(!db.ParValueSet);
    QCOMPARE(db.ParameterTable[4].VarType[0], uint8_t(tesmira::VarInteger));
  }

  void availableParams()
  {
    dbtest::World w;
    const QString file = w.path("a.mdb");
    QVERIFY(dbtest::exec(file, {
        "CREATE TABLE FlowDevices (ID TEXT, DEV_TYPE TEXT, Dev_Name TEXT, Dev_Channels INTEGER, "
        "Dev_Functions INTEGER, IDENTSTRNG INTEGER, pna INTEGER, _P003 INTEGER, lna INTEGER, last INTEGER)",
        "INSERT INTO FlowDevices VALUES ('03', 'T3', 'three', 1, 2, 1, 0, 0, 1, 0)",
        "INSERT INTO FlowDevices VALUES ('04', 'T4', 'four', 1, 2, 0, 1, 0, 0, 1)",
        "INSERT INTO FlowDevices VALUES ('05', 'T5', 'none', 1, 2, 0, 0, 0, 0, 0)",
        "INSERT INTO FlowDevices VALUES ('123', 'T123', 'wide id', 1, 2, 0, 0, 1, 0, 0)"}));
    const QByteArray before = dbtest::fingerprint(file);
    Database db(w.setting, w.folder, nullptr);
    QList<int16_t> list{42};
    // Columns counted from IDENTSTRNG; a type without a row, or offering
    // nothing, gives the single entry 0.
    const QList<QPair<int, QList<int16_t>>> offers = {
        {3, {1, 4}}, {5, {0}}, {4, {2, 5}}, {9, {0}}, {123, {3}}, {-1, {0}}};
    for (const auto& [id, expected] : offers) {
      QCOMPARE(db.AvailableParams(file, id, list), QString());
      QCOMPARE(list, expected);
    }
    // A missing file is reported and not created.
    QVERIFY(!db.AvailableParams(w.path("none.mdb"), 3, list).isEmpty());
    QVERIFY(!QFileInfo::exists(w.path("none.mdb")));
    QCOMPARE(list, (QList<int16_t>{0}));
    QCOMPARE(dbtest::fingerprint(file), before);
    QCOMPARE(QSqlDatabase::connectionNames().size(), 0);  // the short-lived connection is gone
  }

  void recordCountValueTextsAndCommport()
  {
    dbtest::World w;
    QVERIFY(!dbtest::makeNamed(w, "c.mdb", {row(6, "nodetype", "0", "'c'", "NULL"),
                                            "INSERT INTO ParValue VALUES (6, 0, 'zero', NULL)",
                                            "INSERT INTO ParValue VALUES (6, 72, 'seventy-two', NULL)",
                                            "INSERT INTO ParValue VALUES (7, 72, 'other parameter', NULL)"})
                 .isEmpty());
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());

    QSqlQuery q(db.TheDatabase);
    QVERIFY(q.exec("SELECT * FROM ParValue"));
    QCOMPARE(Database::RecordCount(q), 3L);
    QCOMPARE(q.value("Description").toString(), QString("zero"));  // on the first record
    QVERIFY(q.exec("SELECT * FROM ParValue WHERE Parameter = 99"));
    QCOMPARE(Database::RecordCount(q), 0L);

    QVERIFY(db.ValueDescription(6, "72").isEmpty());  // set not open before loading
    QCOMPARE(db.LoadParameterTable(), QString());
    QCOMPARE(db.ValueDescription(6, " 72 "), QString("seventy-two"));
    QCOMPARE(db.ValueDescription(7, "72"), QString("other parameter"));
    QVERIFY(db.ValueDescription(6, "73").isEmpty());
    QVERIFY(db.ValueDescription(6, "72 OR 1=1").isEmpty());  // bound, never pasted
    db.CloseParValueSet();
    QVERIFY(db.ValueDescription(6, "72").isEmpty());

    // Commport: only the first row changes; unknown columns change nothing.
    QCOMPARE(db.WriteCommport({{"PollTime", 250}, {"interfacename", "COM3"}}), QString());
    QVERIFY(!db.WriteCommport({{"Baud", 1}, {"PollTime; DROP TABLE Commport", 1}}).isEmpty());
    QVERIFY(q.exec("SELECT InterfaceName, Baud, PollTime FROM Commport ORDER BY rowid"));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toString(), QString("COM3"));
    QCOMPARE(q.value(1).toInt(), 38400);
    QCOMPARE(q.value(2).toInt(), 250);
    QVERIFY(q.next());
    QCOMPARE(q.value(2).toInt(), 999);
    q.finish();

    db.CloseDB();
    QVERIFY(!db.WriteCommport({{"PollTime", 1}}).isEmpty());
    db.CloseDB();  // twice is fine
  }

  void severalObjectsSideBySide()
  {
    dbtest::World w;
    const QString a = w.path("a.mdb"), b = w.path("b.mdb");
    QVERIFY(dbtest::makeBasic(a, "V3.63"));
    QVERIFY(dbtest::makeBasic(b, "V3.70"));
    w.nameDatabase(a);
    Database one(w.setting, w.folder, nullptr);
    QCOMPARE(one.InitDB(), QString());
    w.nameDatabase(b);
    Database two(w.setting, w.folder, nullptr);
    QCOMPARE(two.InitDB(), QString());
    QVERIFY(one.TheDatabase.connectionName() != two.TheDatabase.connectionName());
    QCOMPARE(one.DBVersion, QString("V3.63"));
    QCOMPARE(two.DBVersion, QString("V3.70"));
  }
};

QTEST_MAIN(TestDatabase)
#include "tst_database.moc"
