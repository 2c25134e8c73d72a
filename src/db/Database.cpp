#include "Database.h"

#include "Debug.h"
#include "Folder.h"
#include "Paths.h"
#include "Prompt.h"
#include "Setting.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>

namespace tesmira {

namespace {

const QString kAppName = QStringLiteral("Tesmira");
const QString kCRLF = QStringLiteral("\r\n");
const QString kMinVersion = QStringLiteral("V3.63");
const char* const kModule = "modTesmiradatabase";

QString newConnectionName(const char* what)
{
  static QAtomicInt counter;
  return QStringLiteral("tesmira-%1-%2").arg(QLatin1String(what)).arg(counter.fetchAndAddRelaxed(1));
}

bool isEmptyValue(const QVariant& v)
{
  return v.isNull() || v.toString().trimmed().isEmpty();
}

// A yes/no column: 0/1, or the texts of a hand-edited file ("True", "-1").
bool toFlag(const QVariant& v)
{
  if (v.isNull())
    return false;
  const QString t = v.toString().trimmed();
  if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
    return true;
  bool ok = false;
  const double d = t.toDouble(&ok);
  return ok && d != 0;
}

// Maps a type letter (and for "c" the length) to its code and string length.
// Returns false when the length does not fit a byte.
bool typeCode(const QVariant& letter, const QVariant& lengthColumn, uint8_t& code, uint8_t& length)
{
  length = 0;
  const QString l = letter.isNull() ? QString() : letter.toString().trimmed().toLower();
  if (l == QLatin1String("i"))
    code = VarInteger;
  else if (l == QLatin1String("f"))
    code = VarFloat;
  else if (l == QLatin1String("l"))
    code = VarLong;
  else if (l == QLatin1String("c")) {
    if (isEmptyValue(lengthColumn)) {
      code = VarChar;
      return true;
    }
    bool ok = false;
    const int n = lengthColumn.toString().trimmed().toInt(&ok);
    if (!ok)
      return false;
    if (n == 0)
      code = VarChar;
    else if (n == -2)
      code = VarString;
    else if (n < 0 || n > 255)
      return false;
    else {
      code = VarString;
      length = uint8_t(n);
    }
  } else
    code = VarNone;
  return true;
}

}  // namespace

Database::Database(support::Setting& setting, support::Folder& folder, support::Debug* debug)
  : m_setting(setting), m_folder(folder), m_debug(debug), m_connection(newConnectionName("db"))
{
}

Database::~Database()
{
  CloseDB();
}

QString Database::loadWarningText()
{
  return QStringLiteral("An error occured while loading the database parameter table.") + kCRLF + kAppName +
         QStringLiteral(" will continue, however problems may occur.");
}

QString Database::DefaultDBPath() const
{
  QString folder;
  if (!m_folder.GetCommonData(folder).isEmpty())
    return {};
  return folder + QStringLiteral("Tesmira32/") + kAppName + QStringLiteral(".mdb");
}

QString Database::InstallDefaultDatabase()
{
  support::Trace t(m_debug, kModule, "InstallDefaultDatabase");
  if (m_setting.contains(support::Setting::Scope::Program, QStringLiteral("Database Settings"),
                         QStringLiteral("Database")))
    return {};
  const QString target = DefaultDBPath();
  if (target.isEmpty() || QFileInfo::exists(target))
    return {};
  // Beside the program in the build tree; share/tesmira/ beside bin/ once
  // installed, wherever the installed tree was put.
  const QString file = kAppName + QStringLiteral(".mdb");
  QString source = support::Paths::programDir() + QStringLiteral("/") + file;
  const QString installed = QDir::cleanPath(support::Paths::programDir() + QStringLiteral("/../share/tesmira/") + file);
  if (!QFileInfo(source).isFile() && QFileInfo(installed).isFile())
    source = installed;
  if (!QFileInfo(source).isFile())
    return QStringLiteral("The default database '%1' is not installed; it cannot be copied to '%2'.")
        .arg(source, target);
  if (!support::Paths::ensureDir(QFileInfo(target).absolutePath()))
    return QStringLiteral("The folder of the database '%1' cannot be created.").arg(target);
  // Copy under a temporary name first, so an interrupted copy never leaves a
  // damaged database at the path the program opens.
  const QString partial = target + QStringLiteral(".part");
  QFile::remove(partial);
  if (!QFile::copy(source, partial))
    return QStringLiteral("The default database could not be copied to '%1'.").arg(target);
  QFile::setPermissions(partial, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
  if (!QFile::rename(partial, target)) {
    QFile::remove(partial);
    return QStringLiteral("The default database could not be copied to '%1'.").arg(target);
  }
  return QStringLiteral("Installed the default database at '%1'.").arg(target);
}

QString Database::InitDB()
{
  support::Trace t(m_debug, kModule, "InitDB");
  QString folder;
  QString result = m_folder.GetCommonData(folder);
  DBPath = folder + QStringLiteral("Tesmira32/") + kAppName + QStringLiteral(".mdb");
  DBPath = m_setting.GetProgramSetting(QStringLiteral("Database Settings"), QStringLiteral("Database"), DBPath);

  // SQLite would create a missing file on opening; look first.
  if (!QFileInfo::exists(DBPath)) {
    return kAppName + QStringLiteral(" database '") + DBPath + QStringLiteral("' not found.") + kCRLF +
           QStringLiteral("Please make sure the database exists and the current user has read and write permission.") +
           kCRLF + kAppName + QStringLiteral(" will be closed.");
  }

  CloseDB();
  TheDatabase = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
  TheDatabase.setDatabaseName(DBPath);
  TheDatabase.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
  // Why the file cannot be used, said after the general message.
  QString reason;
  const QFileInfo file(DBPath);
  if (!TheDatabase.open()) {
    if (result.isEmpty())
      result = TheDatabase.lastError().text();
    if (result.isEmpty())
      result = QStringLiteral("open failed");
    reason = file.isFile() ? TheDatabase.lastError().databaseText() : QStringLiteral("It is not a file.");
  }
  // A directory or a file that is not an SQLite database opens lazily; the
  // version read below is what finds out. SQLite takes an empty file for a
  // new database, and opens a file it may not write read-only without a word.
  if (result.isEmpty() && !file.isFile()) {
    result = QStringLiteral("not a file");
    reason = QStringLiteral("It is not a file.");
  } else if (result.isEmpty() && file.size() == 0) {
    result = QStringLiteral("empty file");
    reason = QStringLiteral("The file is empty: it is not a valid database.");
  } else if (result.isEmpty() && (!file.isWritable() || !QFileInfo(file.absolutePath()).isWritable())) {
    result = QStringLiteral("read-only");
    reason = file.isWritable() ? QStringLiteral("Its folder is read-only for this user.")
                               : QStringLiteral("The file is read-only for this user.");
  }

  if (result.isEmpty()) {
    // SQLite's own reason for a damaged file comes from its catalogue.
    QSqlQuery catalogue(TheDatabase);
    if (!catalogue.exec(QStringLiteral("SELECT count(*) FROM sqlite_master"))) {
      result = catalogue.lastError().text();
      reason = QStringLiteral("The file is not a valid database: ") + catalogue.lastError().databaseText();
    }
  }
  // A table or column the server needs is missing: said by name, before
  // the version (kept in the table _Info) is looked for.
  QString missing;
  if (result.isEmpty())
    missing = missingSchemaPart();
  if (result.isEmpty() && missing.isEmpty()) {
    result = ReadDBVersion(DBVersion);
    DBVersion = DBVersion.trimmed();
    if (!result.isEmpty())
      reason = result.trimmed();
  }

  if (!result.isEmpty()) {
    if (m_debug)
      m_debug->LogMsg(QStringLiteral("Error"), QStringLiteral("InitDB: ") + result);
    result = kAppName + QStringLiteral(" database '") + DBPath + QStringLiteral("' cannot be opened.") + kCRLF +
             QStringLiteral("Please make sure the current user has read and write permissions.");
    if (!reason.isEmpty())
      result += kCRLF + reason;
  } else {
    if (!missing.isEmpty())
      result = kAppName + QStringLiteral(" database '") + DBPath + QStringLiteral("' is incomplete: ") + missing;
    else if (DBVersion.isEmpty())
      result = QStringLiteral("Incompatible database version or database is locked.");
    else if (DBVersion < kMinVersion)
      result = QStringLiteral("Incompatible database version (") + DBVersion + QStringLiteral(" < ") + kMinVersion +
               QStringLiteral(").");
    if (!result.isEmpty())
      result += kCRLF + kAppName +
                QStringLiteral(" will not function properly with present version of Tesmira.mdb.") + kCRLF +
                kAppName + QStringLiteral(" will be closed.");
  }
  if (!result.isEmpty())
    CloseDB();
  return result;
}

// The tables and columns the server reads, by name; the first one missing is
// named in the text returned (empty when everything is there).
QString Database::missingSchemaPart() const
{
  static const QList<QPair<QString, QStringList>> required = {
    {QStringLiteral("_Info"), {"Field", "Text"}},
    {QStringLiteral("AllParameters"),
     {"Parameter", "Name", "LongName", "Process", "FBnr", "VarType", "VarType2", "VarLength", "Min", "Max", "Read",
      "Write", "Poll", "Advanced", "Secured", "Highly secured", "Group0", "Group1", "Group2", "Available"}},
    {QStringLiteral("ParValue"), {"Parameter", "Value", "Description"}},
    {QStringLiteral("FlowDevices"), {"ID", "Dev_Name", "Dev_Channels", "Dev_Functions", "IDENTSTRNG"}},
    {QStringLiteral("NetDevPar"), {"Dev_Nodenr", "Dev_Proc", "Dev_Name", "Dev_Chan", "Dev_Ver", "Dev_ID", "Dev_Memo"}},
    // Written only (the settings mirror for other programs), but a setting
    // changed later must not find it gone.
    {QStringLiteral("Commport"),
     {"InterfaceName", "Baud", "Shake", "ParChain", "ProcChain", "PollTime", "RTPInterval", "PollBatch", "SystemLNA",
      "Retrynr", "ParScan", "TrimTrailingSpaces", "TrimCRLF", "PopUpErr", "PopUpPollWatchdog", "SuppressCompatErrors",
      "IndirPollDisable"}},
  };
  for (const auto& [table, columns] : required) {
    const QSqlRecord record = TheDatabase.record(table);
    if (record.isEmpty())
      return QStringLiteral("the table %1 is missing.").arg(table);
    for (const QString& column : columns)
      if (record.indexOf(column) < 0)
        return QStringLiteral("the table %1 has no column %2.").arg(table, column);
  }
  return {};
}

QString Database::ReadDBVersion(QString& version)
{
  support::Trace t(m_debug, kModule, "ReadDBVersion");
  if (!isOpen())
    return QStringLiteral("The database is not open.");
  QSqlQuery q(TheDatabase);
  q.setForwardOnly(true);
  // A statement that cannot be prepared (no table _Info) says why here; the
  // execution would only report the unbound value.
  if (!q.prepare(QStringLiteral("SELECT Text FROM _Info WHERE Field = ?")))
    return q.lastError().text();
  q.addBindValue(QStringLiteral("DBVersion"));
  if (!q.exec())
    return q.lastError().text();
  if (q.next())
    version = q.value(0).toString();
  return {};
}

QString Database::LoadParameterTable()
{
  support::Trace t(m_debug, kModule, "LoadParameterTable");
  ParameterTable.clear();
  MaxParNr = 0;
  ParNrMeasure = ParNrValveOut = ParNrSetpoint = ParNrGlobModify = ParNrAlarmInfo = 0;
  CloseParValueSet();

  QString error;
  if (!isOpen()) {
    error = QStringLiteral("The database is not open.");
  } else {
    QSqlQuery q(TheDatabase);
    q.setForwardOnly(false);
    if (!q.exec(QStringLiteral("SELECT * FROM AllParameters")))
      error = q.lastError().text();
    else
      error = loadRows(q);
  }
  if (error.isEmpty()) {
    // The value texts: make sure the table is there before declaring the set open.
    QSqlQuery v(TheDatabase);
    if (v.exec(QStringLiteral("SELECT Parameter, Value, Description FROM ParValue WHERE 0")))
      ParValueSet = true;
    else
      error = v.lastError().text();
  }
  if (!error.isEmpty()) {
    if (m_debug)
      m_debug->LogMsg(QStringLiteral("Error"), QStringLiteral("LoadParameterTable: ") + error);
    support::prompt().MsgBox(loadWarningText(), support::Prompt::Ok, support::Prompt::Exclamation);
  }
  return error;
}

// Fills ParameterTable from the rows of AllParameters in their stored order.
// A row that cannot be used (number outside 0..510, length that does not fit)
// is skipped and reported; the others are loaded.
QString Database::loadRows(QSqlQuery& q)
{
  if (!q.last())
    return QStringLiteral("The parameter table AllParameters has no records.");
  MaxParNr = int16_t(q.value(QStringLiteral("Parameter")).toInt());
  if (MaxParNr < 0 || MaxParNr > 510)
    MaxParNr = MaxParNr < 0 ? 0 : 510;
  ParameterTable.assign(size_t(MaxParNr) + 2, ParameterDef());

  const QSqlRecord rec = q.record();
  const bool hasHighly = rec.indexOf(QStringLiteral("Highly secured")) >= 0;
  QStringList problems;
  q.first();
  do {
    const QVariant parCol = q.value(QStringLiteral("Parameter"));
    bool ok = false;
    const int n = parCol.toString().trimmed().toInt(&ok);
    if (!ok || n < 0 || n > 510) {
      problems << QStringLiteral("parameter number '%1' is not in the range 0-510").arg(parCol.toString());
      continue;
    }
    ParameterDef d;
    d.ParNr = int16_t(n);
    d.Name = q.value(QStringLiteral("Name")).toString().left(10).leftJustified(10, QLatin1Char(' '));
    d.LongName = q.value(QStringLiteral("LongName")).toString();
    const QVariant proc = q.value(QStringLiteral("Process"));
    d.Process = isEmptyValue(proc) ? 255 : uint8_t(proc.toInt());
    d.FBnr = uint8_t(q.value(QStringLiteral("FBnr")).toInt());
    bool typesOk = true;
    for (int i = 0; i < 2; ++i) {
      uint8_t length = 0;
      typesOk = typesOk && typeCode(q.value(i == 0 ? QStringLiteral("VarType") : QStringLiteral("VarType2")),
                                    q.value(QStringLiteral("VarLength")), d.VarType[i], length);
      if (i == 0)
        d.VarLength = length;
    }
    if (!typesOk) {
      problems << QStringLiteral("parameter %1: VarLength '%2' does not fit a byte")
                      .arg(n)
                      .arg(q.value(QStringLiteral("VarLength")).toString());
      continue;
    }
    const QVariant mn = q.value(QStringLiteral("Min"));
    const QVariant mx = q.value(QStringLiteral("Max"));
    d.Min = isEmptyValue(mn) ? 0.0 : mn.toDouble();
    d.Max = isEmptyValue(mx) ? 0.0 : mx.toDouble();
    d.Read = toFlag(q.value(QStringLiteral("Read")));
    d.Write = toFlag(q.value(QStringLiteral("Write")));
    d.Poll = toFlag(q.value(QStringLiteral("Poll")));
    d.Advanced = toFlag(q.value(QStringLiteral("Advanced")));
    d.Secured = toFlag(q.value(QStringLiteral("Secured"))) ||
                (hasHighly && toFlag(q.value(QStringLiteral("Highly secured"))));
    d.Group[0] = int16_t(q.value(QStringLiteral("Group0")).toInt());
    d.Group[1] = int16_t(q.value(QStringLiteral("Group1")).toInt());
    d.Group[2] = int16_t(q.value(QStringLiteral("Group2")).toInt());
    d.Available = toFlag(q.value(QStringLiteral("Available")));

    // Rows stored out of order can lie beyond the last row's number: grow.
    if (size_t(n) >= ParameterTable.size())
      ParameterTable.resize(size_t(n) + 1);
    ParameterTable[size_t(n)] = d;

    if (d.Name == QLatin1String("measure   "))
      ParNrMeasure = int16_t(n);
    else if (d.Name == QLatin1String("ValveOut  "))
      ParNrValveOut = int16_t(n);
    else if (d.Name == QLatin1String("setpoint  "))
      ParNrSetpoint = int16_t(n);
    else if (d.Name == QLatin1String("GlobModify"))
      ParNrGlobModify = int16_t(n);
    else if (d.Name == QLatin1String("alarminfo "))
      ParNrAlarmInfo = int16_t(n);

    if (n > MaxParNr) {
      MaxParNr = int16_t(n + 1);
      if (ParameterTable.size() < size_t(MaxParNr) + 2)
        ParameterTable.resize(size_t(MaxParNr) + 2);
    }
  } while (q.next());
  if (q.lastError().isValid())
    problems << q.lastError().text();
  return problems.join(QStringLiteral("; "));
}

QString Database::AvailableParams(const QString& path, long id, QList<int16_t>& list)
{
  support::Trace t(m_debug, kModule, "AvailableParams");
  list = {0};
  if (id < 0)
    return {};
  if (!QFileInfo(path).isFile())
    return QStringLiteral("The database '%1' does not exist.").arg(path);

  QString error;
  const QString name = newConnectionName("avail");
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open()) {
      error = db.lastError().text();
    } else {
      QSqlQuery q(db);
      q.setForwardOnly(true);
      q.prepare(QStringLiteral("SELECT * FROM FlowDevices WHERE ID = ?"));
      q.addBindValue(QStringLiteral("%1").arg(id, 2, 10, QLatin1Char('0')));
      if (!q.exec()) {
        error = q.lastError().text();
      } else if (q.next()) {
        const QSqlRecord rec = q.record();
        int number = 0;
        bool first = true;
        for (int i = 0; i < rec.count(); ++i) {
          if (number == 0 && rec.fieldName(i).toUpper() != QLatin1String("IDENTSTRNG"))
            continue;
          ++number;
          if (toFlag(rec.value(i))) {
            if (first)
              list.clear();
            first = false;
            list.append(int16_t(number));
          }
        }
      }
    }
    db.close();
  }
  QSqlDatabase::removeDatabase(name);
  return error;
}

long Database::RecordCount(QSqlQuery& query)
{
  if (!query.isActive() || !query.last())
    return 0;
  const long n = query.at() + 1;
  query.first();
  return n;
}

QString Database::ValueDescription(int parameter, const QString& value) const
{
  if (!ParValueSet || !TheDatabase.isValid() || !TheDatabase.isOpen())
    return {};
  QSqlQuery q(TheDatabase);
  q.setForwardOnly(true);
  q.prepare(QStringLiteral("SELECT Description FROM ParValue WHERE Parameter = ? AND Value = ?"));
  q.addBindValue(parameter);
  q.addBindValue(value.trimmed());
  if (!q.exec() || !q.next())
    return {};
  return q.value(0).toString();
}

QString Database::WriteCommport(const QList<QPair<QString, QVariant>>& columns)
{
  support::Trace t(m_debug, kModule, "WriteCommport");
  if (!isOpen())
    return QStringLiteral("The database is not open.");
  if (columns.isEmpty())
    return {};
  const QSqlRecord table = TheDatabase.record(QStringLiteral("Commport"));
  if (table.isEmpty())
    return QStringLiteral("The table Commport does not exist.");
  QStringList sets;
  for (const auto& c : columns) {
    const int i = table.indexOf(c.first);
    if (i < 0)
      return QStringLiteral("Commport has no column '%1'.").arg(c.first);
    // The name as the table spells it, quoted: never the caller's text.
    QString ident = table.fieldName(i);
    ident.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    sets << QStringLiteral("\"%1\" = ?").arg(ident);
  }
  QSqlQuery q(TheDatabase);
  q.prepare(QStringLiteral("UPDATE Commport SET ") + sets.join(QStringLiteral(", ")) +
            QStringLiteral(" WHERE rowid = (SELECT MIN(rowid) FROM Commport)"));
  for (const auto& c : columns)
    q.addBindValue(c.second);
  if (!q.exec())
    return q.lastError().text();
  if (q.numRowsAffected() < 1)
    return QStringLiteral("The table Commport has no row.");
  return {};
}

void Database::CloseDB()
{
  ParValueSet = false;
  if (TheDatabase.isValid()) {
    TheDatabase.close();
    TheDatabase = QSqlDatabase();
  }
  if (QSqlDatabase::contains(m_connection))
    QSqlDatabase::removeDatabase(m_connection);
}

}
