#pragma once
#include "ParameterDef.h"

#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <vector>

class QSqlQuery;

namespace support {
class Setting;
class Folder;
class Debug;
}

namespace tesmira {

// The parameter database Tesmira.mdb (an SQLite 3 file): opening and checking
// it at start-up, the one connection kept for the run, and the in-memory
// parameter table with its special parameter numbers.
//
// Every operation that can fail for the user returns a text: empty on
// success, otherwise the complete message. Nothing here writes to the file
// except WriteCommport (and InstallDefaultDatabase, which copies a file).
class Database {
public:
  Database(support::Setting& setting, support::Folder& folder, support::Debug* debug);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Full path of the database file, its trimmed version text and the open
  // connection (its connection name is unique per Database object).
  QString DBPath;
  QString DBVersion;
  QSqlDatabase TheDatabase;

  // Indexed by DDE parameter number, 0..MaxParNr + 1 after loading.
  std::vector<ParameterDef> ParameterTable;
  int16_t MaxParNr = 0;
  // Numbers of the parameters named "measure", "ValveOut", "setpoint",
  // "GlobModify" and "alarminfo"; 0 until found.
  int16_t ParNrMeasure = 0;
  int16_t ParNrValveOut = 0;
  int16_t ParNrSetpoint = 0;
  int16_t ParNrGlobModify = 0;
  int16_t ParNrAlarmInfo = 0;
  // True while the value texts of ParValue may be looked up (opened by
  // LoadParameterTable, closed when the communication is closed).
  bool ParValueSet = false;

  // The path the database has when the settings name none:
  // common data folder + "Tesmira32/Tesmira.mdb". Empty when the folder
  // service fails.
  QString DefaultDBPath() const;

  // First start of a user: when the program settings name no database and no
  // file exists at the default path, copies the installed default database
  // (Tesmira.mdb beside the program) there, creating the folders. Returns
  // the Init log line that says so, an error text when the copy failed, or
  // an empty text when nothing had to be done.
  QString InstallDefaultDatabase();

  // Finds, opens and checks the database. Returns empty when it is open and
  // of an accepted version (DBVersion >= "V3.63"); otherwise the message
  // for the user: missing file, file that cannot be opened, missing or old
  // version. Never creates or changes the file.
  QString InitDB();

  // Reads the DBVersion row of _Info into version; leaves version unchanged
  // when there is no such row. Returns the engine's error text on failure.
  QString ReadDBVersion(QString& version);

  // Rebuilds ParameterTable, MaxParNr and the five special numbers from
  // AllParameters and opens ParValueSet. On any error shows the warning box,
  // keeps what was loaded and returns the error text.
  QString LoadParameterTable();

  // The parameter numbers that device type id offers, from FlowDevices of
  // the database at path, through a short-lived read-only connection. The
  // list is {0} for a negative id or an id without a row.
  QString AvailableParams(const QString& path, long id, QList<int16_t>& list);

  // Number of records of a scrollable (not forward-only) query; leaves it
  // on its first record. 0 for an empty set.
  static long RecordCount(QSqlQuery& query);

  // Description of a coded value of a parameter from ParValue; empty when
  // ParValueSet is closed, the database is closed or nothing matches.
  QString ValueDescription(int parameter, const QString& value) const;
  void CloseParValueSet() { ParValueSet = false; }

  // Updates the first row of Commport with the given columns (names must be
  // columns of the table; values are bound). Returns an error text.
  QString WriteCommport(const QList<QPair<QString, QVariant>>& columns);

  // Closes the connection (shut-down). Safe to call twice.
  void CloseDB();

  bool isOpen() const { return TheDatabase.isValid() && TheDatabase.isOpen(); }

  // The texts shown by the warning box of LoadParameterTable.
  static QString loadWarningText();

private:
  QString loadRows(QSqlQuery& query);
  QString missingSchemaPart() const;

  support::Setting& m_setting;
  support::Folder& m_folder;
  support::Debug* m_debug;
  QString m_connection;
};

}
