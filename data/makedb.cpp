// tesmira-makedb: builds the default parameter database from its SQL text.
//
//   tesmira-makedb OUTPUT.mdb schema.sql parameters.sql devices.sql
//
// The SQL files are executed in order on a new SQLite file. Then the table
// FlowDevices is built from the staging tables of devices.sql: one row per
// device type and, after the five descriptive columns, one yes/no column for
// every parameter number from 1 (IDENTSTRNG) to the highest one. A column is
// named after its parameter; a number without a parameter (a gap) gets the
// placeholder column _Pnnn, always 0, so that counting columns by position
// and finding them by name give the same parameter. Every type must have a
// channel, offer IDENTSTRNG and have a name in the value texts of parameter
// 175; a multi-channel analog type may offer only parameters that reach each
// of its channels. The staging tables are then dropped. The schema's checks
// refuse parameter rows the server could not poll or write. The file is written under a temporary name and renamed at the
// end, so a failed build never leaves a half-made database behind.
#include "config/ProcessBlocks.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTextStream>
#include <cstdio>

namespace {

QString g_error;

bool fail(const QString& text)
{
  g_error = text;
  return false;
}

// Splits SQL text into statements at semicolons outside quotes and comments.
QStringList splitStatements(const QString& sql)
{
  QStringList out;
  QString cur;
  QChar quote;
  for (int i = 0; i < sql.size(); ++i) {
    const QChar c = sql[i];
    if (!quote.isNull()) {
      cur += c;
      if (c == quote)
        quote = QChar();
      continue;
    }
    if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      while (i < sql.size() && sql[i] != '\n')
        ++i;
      cur += '\n';
      continue;
    }
    if (c == '\'' || c == '"')
      quote = c;
    if (c == ';') {
      if (!cur.trimmed().isEmpty())
        out << cur.trimmed();
      cur.clear();
      continue;
    }
    cur += c;
  }
  if (!cur.trimmed().isEmpty())
    out << cur.trimmed();
  return out;
}

bool runFile(QSqlDatabase& db, const QString& path)
{
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
    return fail(QStringLiteral("cannot read %1").arg(path));
  const QString sql = QString::fromUtf8(f.readAll());
  for (const QString& stmt : splitStatements(sql)) {
    QSqlQuery q(db);
    if (!q.exec(stmt))
      return fail(QStringLiteral("%1: %2\n  in: %3").arg(path, q.lastError().text(), stmt.left(200)));
  }
  return true;
}

QString quoteIdent(const QString& name)
{
  QString n = name;
  n.replace('"', QStringLiteral("\"\""));
  return '"' + n + '"';
}

// A multi-channel analog instrument polls channel c of a parameter at its
// own process c (255), at process + c - 1 (33..112), or at the module's
// process (0, 113..127) for a value of the whole module. Returns false when
// some channel's reply would be matched to another channel.
bool addressesEveryChannel(int process, int channels)
{
  if (process == 0 || (process >= 113 && process <= 127))
    return true;
  if (process != 255 && (process < 33 || process > 112))
    return false;
  for (int c = 1; c <= channels; ++c)
    if (tesmira::ChannelOfProcessBlock(process == 255 ? c : process + c - 1) != c)
      return false;
  return true;
}

bool buildFlowDevices(QSqlDatabase& db)
{
  QSqlQuery q(db);
  QMap<int, QString> names;  // parameter number -> name
  QMap<int, int> processes;  // parameter number -> process, 255 for the channel's own
  if (!q.exec(QStringLiteral("SELECT Parameter, Name, IFNULL(Process, 255) FROM AllParameters ORDER BY Parameter")))
    return fail(q.lastError().text());
  while (q.next()) {
    names.insert(q.value(0).toInt(), q.value(1).toString().trimmed());
    processes.insert(q.value(0).toInt(), q.value(2).toInt());
  }
  // The scan names a module's type by the value text of identnr (175).
  QSet<int> typeTexts;
  if (!q.exec(QStringLiteral("SELECT Value FROM ParValue WHERE Parameter = 175")))
    return fail(q.lastError().text());
  while (q.next())
    typeTexts.insert(q.value(0).toInt());
  if (names.isEmpty())
    return fail(QStringLiteral("AllParameters is empty"));
  if (names.value(1) != QLatin1String("IDENTSTRNG"))
    return fail(QStringLiteral("parameter 1 must be IDENTSTRNG"));
  const int maxPar = names.lastKey();

  QStringList columns;
  QSet<QString> seen;
  for (int p = 1; p <= maxPar; ++p) {
    const QString col = names.contains(p) ? names.value(p) : QStringLiteral("_P%1").arg(p, 3, 10, QChar('0'));
    if (col.isEmpty())
      return fail(QStringLiteral("parameter %1 has no name").arg(p));
    if (names.contains(p) && col.startsWith('_'))
      return fail(QStringLiteral("parameter name %1 may not start with '_' (kept for gap columns)").arg(col));
    if (seen.contains(col.toLower()))
      return fail(QStringLiteral("two FlowDevices columns named %1").arg(col));
    seen.insert(col.toLower());
    columns << col;
  }
  for (const char* fixed : {"id", "dev_type", "dev_name", "dev_channels", "dev_functions"})
    if (seen.contains(QLatin1String(fixed)))
      return fail(QStringLiteral("a parameter is named like a FlowDevices column: %1").arg(fixed));

  QString ddl = QStringLiteral("CREATE TABLE FlowDevices (ID TEXT NOT NULL PRIMARY KEY, DEV_TYPE TEXT, "
                               "Dev_Name TEXT, Dev_Channels INTEGER, Dev_Functions INTEGER");
  for (const QString& c : columns)
    ddl += QStringLiteral(", %1 INTEGER NOT NULL DEFAULT 0").arg(quoteIdent(c));
  ddl += ')';
  if (!q.exec(ddl))
    return fail(q.lastError().text());

  // Every set that a device type names must exist.
  if (!q.exec(QStringLiteral("SELECT DISTINCT SetName FROM _DeviceSets WHERE SetName NOT IN "
                             "(SELECT SetName FROM _ParamSets)")))
    return fail(q.lastError().text());
  if (q.next())
    return fail(QStringLiteral("unknown parameter set %1").arg(q.value(0).toString()));

  QSqlQuery types(db);
  if (!types.exec(QStringLiteral("SELECT ID, DEV_TYPE, Dev_Name, Dev_Channels, Dev_Functions "
                                 "FROM _DeviceTypes ORDER BY CAST(ID AS INTEGER)")))
    return fail(types.lastError().text());
  int expected = 1;
  while (types.next()) {
    const int id = types.value(0).toInt();
    if (id != expected++)
      return fail(QStringLiteral("device type IDs must run from 1 without gaps (found %1)").arg(id));
    QSqlQuery offered(db);
    offered.prepare(QStringLiteral(
        "SELECT DISTINCT a.Parameter FROM _DeviceSets d "
        "JOIN _ParamSets s ON s.SetName = d.SetName "
        "JOIN AllParameters a ON a.Parameter BETWEEN s.First AND s.Last "
        "WHERE d.ID = ? AND a.Parameter >= 1"));
    offered.addBindValue(id);
    if (!offered.exec())
      return fail(offered.lastError().text());
    QSet<int> set;
    while (offered.next())
      set.insert(offered.value(0).toInt());
    const int channels = types.value(3).toInt();
    if (channels < 1 || !set.contains(1) || !typeTexts.contains(id))
      return fail(QStringLiteral("device type %1 needs a channel, IDENTSTRNG and a value text of parameter 175").arg(id));
    if (channels > 1 && types.value(4).toInt() == 2)
      for (int p : set)
        if (!addressesEveryChannel(processes.value(p), channels))
          return fail(QStringLiteral("device type %1: parameter %2 does not reach each of its %3 channels")
                          .arg(id).arg(p).arg(channels));

    QString sql = QStringLiteral("INSERT INTO FlowDevices VALUES (?, ?, ?, ?, ?");
    for (int p = 1; p <= maxPar; ++p)
      sql += QStringLiteral(", ?");
    sql += ')';
    QSqlQuery ins(db);
    ins.prepare(sql);
    ins.addBindValue(QStringLiteral("%1").arg(id, 2, 10, QChar('0')));
    for (int i = 1; i <= 4; ++i)
      ins.addBindValue(types.value(i));
    for (int p = 1; p <= maxPar; ++p)
      ins.addBindValue(set.contains(p) ? 1 : 0);
    if (!ins.exec())
      return fail(ins.lastError().text());
  }
  if (expected == 1)
    return fail(QStringLiteral("no device types"));
  for (const char* t : {"_DeviceSets", "_ParamSets", "_DeviceTypes"})
    if (!q.exec(QStringLiteral("DROP TABLE %1").arg(QLatin1String(t))))
      return fail(q.lastError().text());
  return true;
}

}  // namespace

int main(int argc, char** argv)
{
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() < 3) {
    std::fprintf(stderr, "usage: tesmira-makedb OUTPUT.mdb FILE.sql...\n");
    return 2;
  }
  const QString out = args[1];
  const QString tmp = out + QStringLiteral(".tmp");
  QFile::remove(tmp);

  bool ok = true;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("makedb"));
    db.setDatabaseName(tmp);
    ok = db.open() || fail(db.lastError().text());
    if (ok) {
      QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=DELETE"));
      // Value texts must belong to existing parameters.
      QSqlQuery(db).exec(QStringLiteral("PRAGMA foreign_keys=ON"));
      ok = db.transaction() || fail(db.lastError().text());
    }
    for (int i = 2; ok && i < args.size(); ++i)
      ok = runFile(db, args[i]);
    ok = ok && buildFlowDevices(db);
    ok = ok && (db.commit() || fail(db.lastError().text()));
    if (ok) {
      QSqlQuery v(db);
      ok = v.exec(QStringLiteral("VACUUM")) || fail(v.lastError().text());
    }
    db.close();
  }
  QSqlDatabase::removeDatabase(QStringLiteral("makedb"));

  if (!ok) {
    QFile::remove(tmp);
    std::fprintf(stderr, "tesmira-makedb: %s\n", qPrintable(g_error));
    return 1;
  }
  QFile::remove(out);
  if (!QFile::rename(tmp, out)) {
    std::fprintf(stderr, "tesmira-makedb: cannot write %s\n", qPrintable(out));
    return 1;
  }
  return 0;
}
