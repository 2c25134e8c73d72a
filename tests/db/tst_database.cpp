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

  void missingDatabase()
  {
    // Named by the settings and absent: the not-found message, and no file
    // appears at that path.
    dbtest::World w;
    const QString file = w.path("elsewhere/My.mdb");
    w.nameDatabase(file);
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), "Tesmira database '" + file + "' not found." + CRLF +
                              "Please make sure the database exists and the current user has read and write permission." +
                              CRLF + "Tesmira will be closed.");
    QCOMPARE(db.DBPath, file);
    QVERIFY(!QFileInfo::exists(file));
    QVERIFY(!db.isOpen());

    // Without a setting the default path is the one looked for.
    dbtest::World w2;
    Database db2(w2.setting, w2.folder, nullptr);
    QVERIFY(db2.InitDB().startsWith("Tesmira database '" + w2.dir.path() + "/data/Tesmira32/Tesmira.mdb' not found."));
    QCOMPARE(db2.DBPath, db2.DefaultDBPath());
  }

  void unreadableFile_data()
  {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("text") << QByteArray("this is not a database\n").repeated(200);
    QTest::newRow("empty-looking header") << QByteArray("SQLite format 3").append(QByteArray(4096, '\xff'));
  }
  void unreadableFile()
  {
    QFETCH(QByteArray, content);
    dbtest::World w;
    const QString file = w.path("bad.mdb");
    {
      QFile f(file);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write(content);
    }
    w.nameDatabase(file);
    const QByteArray before = dbtest::fingerprint(file);
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), "Tesmira database '" + file + "' cannot be opened." + CRLF +
                              "Please make sure the current user has read and write permissions.");
    QCOMPARE(dbtest::fingerprint(file), before);
    QVERIFY(!db.isOpen());

    // A folder at the database path is no database either.
    const QString folder = w.path("folder.mdb");
    QVERIFY(QDir().mkpath(folder));
    w.nameDatabase(folder);
    QVERIFY(db.InitDB().contains("' cannot be opened."));
  }

  void versionCheck_data()
  {
    QTest::addColumn<QString>("stored");  // null: no DBVersion row
    QTest::addColumn<QString>("expected");
    QTest::newRow("no row") << QString() << "Incompatible database version or database is locked." + closing;
    QTest::newRow("blank") << "   " << "Incompatible database version or database is locked." + closing;
    QTest::newRow("V3.50") << "V3.50" << "Incompatible database version (V3.50 < V3.63)." + closing;
    QTest::newRow("V3.6") << "V3.6" << "Incompatible database version (V3.6 < V3.63)." + closing;
    QTest::newRow("V3.63 with blanks") << "  V3.63 " << QString();
    QTest::newRow("V3.70") << "V3.70" << QString();
  }
  void versionCheck()
  {
    QFETCH(QString, stored);
    QFETCH(QString, expected);
    dbtest::World w;
    const QString file = w.path("v.mdb");
    QVERIFY(dbtest::makeBasic(file, stored));
    w.nameDatabase(file);
    const QByteArray before = dbtest::fingerprint(file);
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), expected);
    QCOMPARE(db.DBVersion, stored.trimmed());
    QCOMPARE(db.isOpen(), expected.isEmpty());
    db.CloseDB();
    QCOMPARE(dbtest::fingerprint(file), before);
  }

  void loadRules()
  {
    dbtest::World w;
    const QString file = w.path("p.mdb");
    QVERIFY(dbtest::makeBasic(file, "V3.63"));
    const QString rangeFlags = "-5.5, 12.25, 1, 1, 1, 1, 0, 1, 3, 4, 5, 1";
    QVERIFY(dbtest::exec(file, {
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
    }));
    QVERIFY(dbtest::exec(file, {"UPDATE AllParameters SET VarType2 = 'i' WHERE Parameter = 3",
                                "UPDATE AllParameters SET Secured = 1, \"Highly secured\" = 0 WHERE Parameter = 5",
                                "UPDATE AllParameters SET Secured = 0, Group0 = 7 WHERE Parameter = 8",
                                "UPDATE AllParameters SET Read = 0, Available = 0 WHERE Parameter = 9"}));
    w.nameDatabase(file);
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());
    QCOMPARE(db.LoadParameterTable(), QString());
    QVERIFY(m_prompt.asked.isEmpty());

    QCOMPARE(db.MaxParNr, int16_t(15));
    QCOMPARE(db.ParameterTable.size(), size_t(17));  // 0..MaxParNr + 1
    const auto& t = db.ParameterTable;
    QCOMPARE(t[1].VarType[0], uint8_t(tesmira::VarString));
    QCOMPARE(t[1].VarLength, uint8_t(0));
    QCOMPARE(t[2].VarType[0], uint8_t(tesmira::VarFloat));
    QCOMPARE(t[2].Name, QString("Measure   "));
    QCOMPARE(t[3].VarType[0], uint8_t(tesmira::VarString));
    QCOMPARE(t[3].VarLength, uint8_t(20));
    QCOMPARE(t[3].VarType[1], uint8_t(tesmira::VarInteger));
    QCOMPARE(t[3].Min, -5.5);
    QCOMPARE(t[3].Max, 12.25);
    QVERIFY(t[3].Read && t[3].Write && t[3].Poll && t[3].Advanced && t[3].Secured);  // "Highly secured" alone
    QCOMPARE(t[3].Group, (std::array<int16_t, 3>{3, 4, 5}));
    QCOMPARE(t[4].VarType[0], uint8_t(tesmira::VarChar));
    QCOMPARE(t[4].Process, uint8_t(255));
    QCOMPARE(t[5].VarType[0], uint8_t(tesmira::VarChar));
    QVERIFY(t[5].Secured);
    QCOMPARE(t[5].Process, uint8_t(1));
    QCOMPARE(t[6].VarType[0], uint8_t(tesmira::VarNone));
    QCOMPARE(t[7].VarType[0], uint8_t(tesmira::VarNone));
    QCOMPARE(t[7].VarType[1], uint8_t(tesmira::VarNone));
    QCOMPARE(t[8].VarType[0], uint8_t(tesmira::VarInteger));
    QCOMPARE(t[8].Group, (std::array<int16_t, 3>{7, 0, 0}));  // empty Group1/Group2 give 0
    QVERIFY(!t[8].Secured && t[8].Read && !t[8].Write);
    QCOMPARE(t[9].VarType[0], uint8_t(tesmira::VarLong));
    QVERIFY(!t[9].Read && !t[9].Available);
    QCOMPARE(t[14].VarType[0], uint8_t(tesmira::VarChar));  // empty text length
    QCOMPARE(t[15].Name, QString("averyveryl"));
    QCOMPARE(t[15].VarType[0], uint8_t(tesmira::VarNone));
    QCOMPARE(t[8].LongName, QString("Long measure"));
    QCOMPARE(t[8].FBnr, uint8_t(8));

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
    const QString file = w.path("o.mdb");
    QVERIFY(dbtest::makeBasic(file, "V3.63"));
    QVERIFY(dbtest::exec(file, {row(1, "IDENTSTRNG", "0", "'c'", "-2"), row(6, "late", "1", "'i'", "NULL"),
                                row(20, "far", "1", "'i'", "NULL"), row(3, "last", "1", "'f'", "NULL")}));
    w.nameDatabase(file);
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
    const QString file = w.path("e.mdb");
    QVERIFY(dbtest::makeBasic(file, "V3.63"));
    w.nameDatabase(file);
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
    QCOMPARE(db.AvailableParams(file, 3, list), QString());
    QCOMPARE(list, (QList<int16_t>{1, 4}));
    QCOMPARE(db.AvailableParams(file, 4, list), QString());
    QCOMPARE(list, (QList<int16_t>{2, 5}));
    QCOMPARE(db.AvailableParams(file, 5, list), QString());
    QCOMPARE(list, (QList<int16_t>{0}));
    QCOMPARE(db.AvailableParams(file, 123, list), QString());
    QCOMPARE(list, (QList<int16_t>{3}));
    QCOMPARE(db.AvailableParams(file, 9, list), QString());  // no row
    QCOMPARE(list, (QList<int16_t>{0}));
    list = {7};
    QCOMPARE(db.AvailableParams(file, -1, list), QString());
    QCOMPARE(list, (QList<int16_t>{0}));
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
    const QString file = w.path("c.mdb");
    QVERIFY(dbtest::makeBasic(file, "V3.63"));
    QVERIFY(dbtest::exec(file, {row(6, "nodetype", "0", "'c'", "NULL"),
                                "INSERT INTO ParValue VALUES (6, 0, 'zero', NULL)",
                                "INSERT INTO ParValue VALUES (6, 72, 'seventy-two', NULL)",
                                "INSERT INTO ParValue VALUES (7, 72, 'other parameter', NULL)"}));
    w.nameDatabase(file);
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
