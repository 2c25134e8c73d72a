// The parameter database: InitDB's start-up messages (word for word, the
// file left untouched) and the load rules on small files the test writes;
// and the default database the build ships (bin/Tesmira.mdb, this test runs
// beside it): installed on first start, never over another, and holding the
// parameters the server's code addresses by number. The rules every row must
// follow are checked when the database is built (data/schema.sql and
// tesmira-makedb refuse a row the server could not use).
#include "Debug.h"
#include "Folder.h"
#include "Paths.h"
#include "Prompt.h"
#include "Setting.h"
#include "SqlFile.h"
#include "TestHome.h"
#include "db/Database.h"

#include <QCryptographicHash>
#include <QSqlQuery>
#include <QtTest>

using tesmira::Database;

namespace {
const QString CRLF = QStringLiteral("\r\n");
const QString closing = CRLF + "Tesmira will not function properly with present version of Tesmira.mdb." + CRLF +
                        "Tesmira will be closed.";

// A fresh TESMIRA_HOME with the settings components created inside it.
struct World {
  TestHome home;
  support::Folder folder;
  support::Setting setting;
  World()
  {
    folder.ClassInitialize(QCoreApplication::applicationDirPath(), QStringLiteral("Tesmira"));
    setting.ClassInitialize(&folder);
  }
  QString path(const QString& name) const { return home.file(name); }
  void nameDatabase(const QString& file)
  {
    setting.save(support::Setting::Scope::Program, "Database Settings", "Database", file);
  }
};

// A database with the tables the server checks, empty but for _Info (the
// version given; no row when it is null) and two Commport rows.
bool makeBasic(const QString& file, const QString& version)
{
  // No primary key: rows keep the order they were inserted in.
  QStringList s{"CREATE TABLE _Info (Field TEXT, Text TEXT)",
                "CREATE TABLE AllParameters (Parameter INTEGER, Name TEXT, LongName TEXT, description TEXT,"
                " Process INTEGER, FBnr INTEGER, VarType TEXT, VarType2 TEXT, VarLength INTEGER, \"Default\" TEXT,"
                " Min REAL, Max REAL, Read INTEGER, Write INTEGER, Poll INTEGER, Advanced INTEGER, Secured INTEGER,"
                " \"Highly secured\" INTEGER, Group0 INTEGER, Group1 INTEGER, Group2 INTEGER, Available INTEGER,"
                " Filter TEXT)",
                "CREATE TABLE ParValue (Parameter INTEGER, Value INTEGER, Description TEXT, Filter TEXT)",
                "CREATE TABLE FlowDevices (ID TEXT, Dev_Type TEXT, Dev_Name TEXT, Dev_Channels INTEGER, "
                "Dev_Functions INTEGER, IDENTSTRNG INTEGER)",
                "CREATE TABLE NetDevPar (Dev_ID INTEGER, Dev_Name TEXT, Dev_Ver TEXT, Dev_Nodenr INTEGER, "
                "Dev_Proc INTEGER, Dev_Chan INTEGER, Dev_Memo TEXT)",
                "CREATE TABLE Commport (InterfaceName TEXT, Baud INTEGER, Shake INTEGER, ParChain INTEGER,"
                " ProcChain INTEGER, PollTime INTEGER, RTPInterval INTEGER, PollBatch INTEGER, SystemLNA INTEGER,"
                " Retrynr INTEGER, ParScan INTEGER, TrimTrailingSpaces INTEGER, TrimCRLF INTEGER, PopUpErr INTEGER,"
                " PopUpPollWatchdog INTEGER, SuppressCompatErrors INTEGER, IndirPollDisable INTEGER)",
                "INSERT INTO Commport (InterfaceName, Baud, PollTime) VALUES ('COM1', 38400, 100)",
                "INSERT INTO Commport (InterfaceName, Baud, PollTime) VALUES ('COM9', 9600, 999)"};
  if (!version.isNull())
    s << QStringLiteral("INSERT INTO _Info VALUES ('DBVersion', '%1')").arg(version);
  return sqlfile::exec(file, s);
}

// A basic V3.63 database with more statements run on it, named by the
// settings as the server's database. Empty on failure.
QString makeNamed(World& w, const QString& name, const QStringList& more = {})
{
  const QString file = w.path(name);
  if (!makeBasic(file, "V3.63") || !sqlfile::exec(file, more))
    return {};
  w.nameDatabase(file);
  return file;
}

// A file's bytes' hash and its modification time.
QByteArray fingerprint(const QString& file)
{
  QFile f(file);
  return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256) +
                                           QFileInfo(file).lastModified().toString(Qt::ISODateWithMs).toLatin1()
                                     : QByteArray();
}

QString row(int nr, const QString& name, const QString& proc, const QString& type, const QString& len,
            const QString& extra = QStringLiteral("NULL, NULL, 1, 0, 0, 0, 0, 0, 1, NULL, NULL, 1"))
{
  // Parameter, Name, LongName, description, Process, FBnr, VarType, VarType2,
  // VarLength, Default, then Min, Max, Read, Write, Poll, Advanced, Secured,
  // "Highly secured", Group0, Group1, Group2, Available (extra), Filter NULL.
  return QStringLiteral("INSERT INTO AllParameters VALUES (%1, '%2', 'Long %2', NULL, %3, %4, %5, NULL, %6, NULL, %7, NULL)")
      .arg(nr).arg(name, proc).arg(nr % 50).arg(type, len, extra);
}

// One loaded record: "ParNr 'Name' 'LongName' proc P fb F types len L Min..Max
// flags groups", types a letter each (c char, i, f, l, s string, - none), flags
// R W P A S V (Read, Write, Poll, Advanced, Secured, Available) or '-'.
QString describe(const tesmira::ParameterDef& d)
{
  const auto type = [](uint8_t t) { return t < 5 ? "cifls"[t] : '-'; };
  QString flags;
  for (const auto& [on, letter] : {std::pair{d.Read, 'R'}, {d.Write, 'W'}, {d.Poll, 'P'}, {d.Advanced, 'A'},
                                   {d.Secured, 'S'}, {d.Available, 'V'}})
    flags += on ? letter : '-';
  return QStringLiteral("%1 '%2' '%3' proc %4 fb %5 %6%7 len %8 %9..%10 %11 groups %12,%13,%14")
      .arg(d.ParNr).arg(d.Name, d.LongName).arg(d.Process).arg(d.FBnr)
      .arg(QChar(type(d.VarType[0]))).arg(QChar(type(d.VarType[1]))).arg(d.VarLength).arg(d.Min).arg(d.Max)
      .arg(flags).arg(d.Group[0]).arg(d.Group[1]).arg(d.Group[2]);
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
    // kind: "missing", "folder", "empty" or "db" (arg: the DBVersion text; null for
    // no row). A file that is no database is refused at start by the program
    // (tests/robust, tests/core).
    struct Case {
      const char* kind;
      QString arg, expected;
    } cases[] = {
        {"missing", {}, notFound},
        {"folder", {}, cannotOpen + CRLF + "It is not a file."},
        {"empty", {}, cannotOpen + CRLF + "The file is empty: it is not a valid database."},
        {"db", QString(), locked},
        {"db", "   ", locked},
        {"db", "V3.50", old.arg("V3.50")},
        {"db", "V3.6", old.arg("V3.6")},
        {"db", "  V3.63 ", QString()},
        {"db", "V3.70", QString()},
    };
    for (const Case& c : cases) {
      World w;
      const QString kind(c.kind), file = w.path("sub/Tesmira.mdb");
      if (kind != "missing")
        QVERIFY(QDir().mkpath(kind == "folder" ? file : w.path("sub")));
      if (kind == "empty")
        QVERIFY(QFile(file).open(QIODevice::WriteOnly));
      if (kind == "db")
        QVERIFY(makeBasic(file, c.arg));
      w.nameDatabase(file);
      const QByteArray before = fingerprint(file);
      Database db(w.setting, w.folder, nullptr);
      // A file that cannot be opened also says why, after the message.
      const QString expected = c.expected.contains("%1") ? c.expected.arg(file) : c.expected;
      QCOMPARE(db.InitDB(), expected);
      QCOMPARE(db.DBPath, file);
      QCOMPARE(db.isOpen(), c.expected.isEmpty());
      if (kind == "db")
        QCOMPARE(db.DBVersion, c.arg.trimmed());
      db.CloseDB();
      QCOMPARE(fingerprint(file), before);
      QCOMPARE(QFileInfo::exists(file), kind != "missing");
    }
    // Without a setting the default path is the one looked for.
    World w;
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), notFound.arg(w.home.path() + "/data/Tesmira32/Tesmira.mdb"));
    QCOMPARE(db.DBPath, db.DefaultDBPath());
  }

  void loadRules()
  {
    World w;
    const QString rangeFlags = "-5.5, 12.25, 1, 1, 1, 1, 0, 1, 3, 4, 5, 1";
    const QString file = makeNamed(w, "p.mdb", {
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
        row(15, "averyverylongname", "1", "''", "NULL"),  // stored before 14: the table grows
        row(14, "alarminfo", "1", "'c'", "''"),
        "UPDATE AllParameters SET VarType2 = 'i' WHERE Parameter = 3",
        "UPDATE AllParameters SET Secured = 1, \"Highly secured\" = 0 WHERE Parameter = 5",
        "UPDATE AllParameters SET Secured = 0, Group0 = 7 WHERE Parameter = 8",
        "UPDATE AllParameters SET Read = 0, Available = 0 WHERE Parameter = 9"});
    QVERIFY(!file.isEmpty());
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());
    QCOMPARE(db.LoadParameterTable(), QString());
    QVERIFY(m_prompt.asked.isEmpty());

    // The last row says 14; a row above it enlarges the table to n + 1. Gaps
    // keep empty records. Types: c/C with a length is a string (s), without
    // one a char (c); capitals count as small letters; unknown is none (-).
    // Empty Group1/Group2 give 0; "Highly secured" alone secures.
    QCOMPARE(db.MaxParNr, int16_t(16));
    QStringList loaded;
    for (int n = 0; n <= 16; ++n)
      loaded << describe(db.ParameterTable.at(size_t(n)));
    QCOMPARE(loaded, QStringList({
        "0 '' '' proc 0 fb 0 cc len 0 0..0 ------ groups 0,0,0",
        "1 'IDENTSTRNG' 'Long IDENTSTRNG' proc 0 fb 1 s- len 0 0..0 R----V groups 1,0,0",
        "2 'Measure   ' 'Long Measure' proc 0 fb 2 f- len 0 0..0 R----V groups 1,0,0",
        "3 'str20     ' 'Long str20' proc 0 fb 3 si len 20 -5.5..12.25 RWPASV groups 3,4,5",
        "4 'byte0     ' 'Long byte0' proc 255 fb 4 c- len 0 0..0 R----V groups 1,0,0",
        "5 'byteempty ' 'Long byteempty' proc 1 fb 5 c- len 0 0..0 R---SV groups 1,0,0",
        "6 'other     ' 'Long other' proc 1 fb 6 -- len 0 0..0 R----V groups 1,0,0",
        "7 'notype    ' 'Long notype' proc 1 fb 7 -- len 0 0..0 R----V groups 1,0,0",
        "8 'measure   ' 'Long measure' proc 1 fb 8 i- len 0 0..0 R----V groups 7,0,0",
        "9 'setpoint  ' 'Long setpoint' proc 1 fb 9 l- len 0 0..0 ------ groups 1,0,0",
        "0 '' '' proc 0 fb 0 cc len 0 0..0 ------ groups 0,0,0",
        "0 '' '' proc 0 fb 0 cc len 0 0..0 ------ groups 0,0,0",
        "12 'ValveOut  ' 'Long ValveOut' proc 1 fb 12 i- len 0 0..0 R----V groups 1,0,0",
        "13 'GlobModify' 'Long GlobModify' proc 0 fb 13 c- len 0 0..0 R----V groups 1,0,0",
        "14 'alarminfo ' 'Long alarminfo' proc 1 fb 14 c- len 0 0..0 R----V groups 1,0,0",
        "15 'averyveryl' 'Long averyverylongname' proc 1 fb 15 -- len 0 0..0 R----V groups 1,0,0",
        "0 '' '' proc 0 fb 0 cc len 0 0..0 ------ groups 0,0,0"}));
    QCOMPARE(db.ParameterTable.size(), size_t(18));
    // The named numbers: "measure" is 8, not 2 ("Measure").
    QCOMPARE(std::tuple(db.ParNrMeasure, db.ParNrSetpoint, db.ParNrValveOut, db.ParNrGlobModify, db.ParNrAlarmInfo),
             std::tuple(int16_t(8), int16_t(9), int16_t(12), int16_t(13), int16_t(14)));
    QVERIFY(db.ParValueSet);

    // A second load starts from scratch: the named numbers follow the rows.
    QVERIFY(sqlfile::exec(file, {"UPDATE AllParameters SET Name = 'ValveOutX' WHERE Parameter = 12"}));
    QCOMPARE(db.LoadParameterTable(), QString());
    QCOMPARE(db.ParNrValveOut, int16_t(0));
    QCOMPARE(db.ParNrMeasure, int16_t(8));
  }

  void loadErrorsWarnAndKeepWhatLoaded()
  {
    World w;
    const QString file = makeNamed(w, "e.mdb");
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());

    // Empty AllParameters.
    QVERIFY(!db.LoadParameterTable().isEmpty());
    QCOMPARE(m_prompt.asked.size(), 1);
    const auto& box = m_prompt.asked[0];
    QCOMPARE(std::tuple(box.text, box.icon, box.buttons, box.title.isEmpty() ? support::Prompt::defaultTitle() : box.title),
             std::tuple(QString("An error occured while loading the database parameter table.\r\n"
                                "Tesmira will continue, however problems may occur."),
                        support::Prompt::Exclamation, support::Prompt::Ok, support::Prompt::defaultTitle()));

    // Bad rows are reported, the good ones loaded.
    QVERIFY(sqlfile::exec(file, {row(1, "IDENTSTRNG", "0", "'c'", "-2"), row(2, "badlen", "0", "'c'", "300"),
                                row(600, "toohigh", "0", "'c'", "NULL"), row(4, "good", "0", "'i'", "NULL")}));
    m_prompt.asked.clear();
    const QString error = db.LoadParameterTable();
    QVERIFY2(error.contains("300") && error.contains("600"), qPrintable(error));
    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(db.ParameterTable[4].Name, QString("good      "));
    QCOMPARE(db.ParameterTable[1].VarType[0], uint8_t(tesmira::VarString));
    QVERIFY(db.ParameterTable[2].Name.isEmpty());

    // A database without ParValue: the table loads, the set stays closed.
    QVERIFY(sqlfile::exec(file, {"DROP TABLE ParValue"}));
    m_prompt.asked.clear();
    QVERIFY(!db.LoadParameterTable().isEmpty());
    QVERIFY(!db.ParValueSet);
    QCOMPARE(db.ParameterTable[4].VarType[0], uint8_t(tesmira::VarInteger));
  }

  void availableParams()
  {
    World w;
    const QString file = w.path("a.mdb");
    QVERIFY(sqlfile::exec(file, {
        "CREATE TABLE FlowDevices (ID TEXT, DEV_TYPE TEXT, Dev_Name TEXT, Dev_Channels INTEGER, "
        "Dev_Functions INTEGER, IDENTSTRNG INTEGER, pna INTEGER, _P003 INTEGER, lna INTEGER, last INTEGER)",
        "INSERT INTO FlowDevices VALUES ('03', 'T3', 'three', 1, 2, 1, 0, 0, 1, 0)",
        "INSERT INTO FlowDevices VALUES ('04', 'T4', 'four', 1, 2, 0, 1, 0, 0, 1)",
        "INSERT INTO FlowDevices VALUES ('05', 'T5', 'none', 1, 2, 0, 0, 0, 0, 0)",
        "INSERT INTO FlowDevices VALUES ('123', 'T123', 'wide id', 1, 2, 0, 0, 1, 0, 0)"}));
    const QByteArray before = fingerprint(file);
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
    QCOMPARE(fingerprint(file), before);
    QCOMPARE(QSqlDatabase::connectionNames().size(), 0);  // the short-lived connection is gone
  }

  void valueTextsAndCommport()
  {
    World w;
    QVERIFY(!makeNamed(w, "c.mdb", {row(6, "nodetype", "0", "'c'", "NULL"),
                                            "INSERT INTO ParValue VALUES (6, 0, 'zero', NULL)",
                                            "INSERT INTO ParValue VALUES (6, 72, 'seventy-two', NULL)",
                                            "INSERT INTO ParValue VALUES (7, 72, 'other parameter', NULL)"})
                 .isEmpty());
    Database db(w.setting, w.folder, nullptr);
    QCOMPARE(db.InitDB(), QString());

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
    QCOMPARE(db.WriteCommport({{"Baud", 1}, {"PollTime; DROP TABLE Commport", 1}}),
             QString("Commport has no column 'PollTime; DROP TABLE Commport'."));
    QSqlQuery q(db.TheDatabase);
    QVERIFY(q.exec("SELECT InterfaceName || '/' || Baud || '/' || PollTime FROM Commport ORDER BY rowid"));
    QStringList commport;
    while (q.next())
      commport << q.value(0).toString();
    QCOMPARE(commport, QStringList({"COM3/38400/250", "COM9/9600/999"}));
    q.finish();

    db.CloseDB();
    QCOMPARE(db.WriteCommport({{"PollTime", 1}}), QString("The database is not open."));
    db.CloseDB();  // twice is fine
  }

  // First start: the default database is copied into the data folder, never
  // over an existing one, and never when the settings name another file.
  void defaultDatabaseInstalledOnce()
  {
    const QString source = support::Paths::programDir() + "/Tesmira.mdb";
    QVERIFY2(QFileInfo::exists(source), "the default database is built beside the program");
    {
      World other;
      other.nameDatabase(other.path("named.mdb"));
      Database named(other.setting, other.folder, nullptr);
      QCOMPARE(named.InstallDefaultDatabase(), QString());
      QVERIFY(!QFileInfo::exists(named.DefaultDBPath()));
      QVERIFY(named.InitDB().contains("named.mdb' not found."));
    }
    World w;
    Database db(w.setting, w.folder, nullptr);
    const QString target = db.DefaultDBPath();
    QCOMPARE(target, w.home.defaultDatabase());
    // A copy broken off at an earlier start is replaced, not in the way.
    QDir().mkpath(QFileInfo(target).path());
    QFile part(target + ".part");
    QVERIFY(part.open(QIODevice::WriteOnly) && part.write("half a database") > 0);
    part.close();
    QCOMPARE(db.InstallDefaultDatabase(), "Installed the default database at '" + target + "'.");
    QVERIFY(!QFileInfo::exists(target + ".part"));
    QCOMPARE(fingerprint(target).left(32), fingerprint(source).left(32));
    // Once there, it is never copied again (the user's edits are kept).
    QVERIFY(sqlfile::exec(target, {"UPDATE _Info SET Text = 'V3.99' WHERE Field = 'DBVersion'"}));
    QCOMPARE(db.InstallDefaultDatabase(), QString());
    QCOMPARE(db.InitDB(), QString());
    QCOMPARE(db.DBVersion, QString("V3.99"));
    QCOMPARE(db.LoadParameterTable(), QString());
    QVERIFY(m_prompt.asked.isEmpty());
  }

  // The parameters the server's code addresses by number, where no
  // whole-program test would notice a wrong row (identification, measure and
  // setpoint are used by every one).
  void parametersTheCodeReliesOn()
  {
    using namespace tesmira;
    World w;
    Database db(w.setting, w.folder, nullptr);
    QVERIFY(!db.InstallDefaultDatabase().isEmpty());
    QCOMPARE(db.InitDB(), QString());
    QCOMPARE(db.LoadParameterTable(), QString());
    const auto par = [&](int n) { return db.ParameterTable.at(size_t(n)); };
    QCOMPARE(par(db.ParNrValveOut).VarType[0], uint8_t(VarLong));
    QVERIFY(par(175).Read && par(175).VarType[0] != VarString);  // compared with device type numbers
    // Real-time set-up (channel, parameter, options) is written, its value read.
    for (int n = 186; n <= 189; ++n)
      QVERIFY2(par(n).Process == 123 && (n == 189 ? par(n).Read : par(n).Write), qPrintable(QString::number(n)));
    // Strings the link layer passes through untrimmed, among them the module-wide 33 and 34.
    for (int n : {33, 34, 61, 62, 84, 85, 87, 88, 89, 194, 195, 196, 208, 209, 236})
      QVERIFY2(par(n).VarType[0] == VarString && par(n).VarLength > 0, qPrintable(QString::number(n)));
    // 33 and 34 are read once per module: they must not sit at a channel's process.
    for (int n : {33, 34})
      QVERIFY2(par(n).Process == 0 || (par(n).Process >= 113 && par(n).Process <= 127), qPrintable(QString::number(n)));
  }
};

QTEST_MAIN(TestDatabase)
#include "tst_database.moc"
