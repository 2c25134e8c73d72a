#pragma once
// An SQLite file read or changed by the test itself, through a connection of
// its own made for the one call and removed after it, beside whatever
// connection the code under test holds on the same file.
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QtDebug>

namespace sqlfile {

// Runs work on a query on the file; false when the file does not open.
template <typename F> bool use(const QString& file, F work, bool readOnly = false)
{
  bool opened = false;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "sqlfile");
    db.setDatabaseName(file);
    if (readOnly)
      db.setConnectOptions("QSQLITE_OPEN_READONLY");
    opened = db.open();
    QSqlQuery q(db);
    if (opened)
      work(q);
  }
  QSqlDatabase::removeDatabase("sqlfile");
  return opened;
}

// Runs the statements on a new or existing file; false, with the failing
// statement in a warning, when one fails.
inline bool exec(const QString& file, const QStringList& statements)
{
  bool ok = false;
  use(file, [&](QSqlQuery& q) {
    ok = true;
    for (const QString& s : statements)
      if (ok && !q.exec(s)) {
        qWarning() << q.lastError().text() << s;
        ok = false;
      }
  });
  return ok;
}

}
