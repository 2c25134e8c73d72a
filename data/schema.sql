-- Schema of the parameter database (Tesmira.mdb, an SQLite 3 file).
-- Executed first by tesmira-makedb; parameters.sql and devices.sql fill it.
-- Yes/no columns hold 0 or 1. See README.md for every table and column.

-- Facts about the file itself; the row 'DBVersion' is checked at start-up.
CREATE TABLE _Info (
  Field TEXT NOT NULL PRIMARY KEY,
  Text  TEXT
);

-- One row per DDE parameter number, in ascending order of Parameter.
-- Process NULL means "the channel's own process" (kept in memory as 255).
CREATE TABLE AllParameters (
  Parameter        INTEGER NOT NULL PRIMARY KEY CHECK (Parameter BETWEEN 0 AND 510),
  Name             TEXT NOT NULL,
  LongName         TEXT,
  description      TEXT,
  Process          INTEGER CHECK (Process IS NULL OR Process BETWEEN 0 AND 254),
  FBnr             INTEGER NOT NULL DEFAULT 0 CHECK (FBnr BETWEEN 0 AND 255),
  VarType          TEXT,
  VarType2         TEXT,
  VarLength        INTEGER,
  "Default"        TEXT,
  Min              REAL,
  Max              REAL,
  Read             INTEGER NOT NULL DEFAULT 0,
  Write            INTEGER NOT NULL DEFAULT 0,
  Poll             INTEGER NOT NULL DEFAULT 0,
  Advanced         INTEGER NOT NULL DEFAULT 0,
  Secured          INTEGER NOT NULL DEFAULT 0,
  "Highly secured" INTEGER NOT NULL DEFAULT 0,
  Group0           INTEGER NOT NULL DEFAULT 0,
  Group1           INTEGER,
  Group2           INTEGER,
  Available        INTEGER NOT NULL DEFAULT 1,
  Filter           TEXT,
  -- What the server relies on when it polls and writes a parameter (row 0 is
  -- the bulk-read command item, not a bus parameter):
  -- a known value type; a string is a 'c' with a length (-2: as long as sent)
  CHECK (Parameter = 0 OR IFNULL(lower(trim(VarType)), '') IN ('c', 'i', 'l', 'f')),
  -- only readable parameters are polled
  CHECK (Poll = 0 OR Read = 1),
  -- processes 1..32 are the channels themselves (NULL means "the channel's own
  -- process"); 121 and 122 are reached through 113 and 118
  CHECK (Process IS NULL OR Process = 0 OR (Process > 32 AND Process NOT IN (121, 122))),
  -- a written number is checked against Min..Max, so it needs a range
  CHECK (Write = 0 OR (lower(trim(VarType)) = 'c' AND IFNULL(VarLength, 0) <> 0) OR IFNULL(Min, 0) < IFNULL(Max, 0)),
  -- every parameter sits in a group of the parameter list
  CHECK (Parameter = 0 OR Group0 > 0)
);
CREATE UNIQUE INDEX AllParametersName ON AllParameters (Name COLLATE NOCASE);
-- No two parameters share a bus address (a reply is matched by its address).
CREATE UNIQUE INDEX AllParametersAddress ON AllParameters (IFNULL(Process, 255), FBnr) WHERE Parameter > 0;

-- Texts for the coded values of a parameter. Filter is not empty for
-- bit-coded parameters, whose values are combinations of the listed bits.
CREATE TABLE ParValue (
  Parameter   INTEGER NOT NULL REFERENCES AllParameters (Parameter),
  Value       INTEGER NOT NULL,
  Description TEXT,
  Filter      TEXT,
  PRIMARY KEY (Parameter, Value)
);

-- Value texts joined with the parameter names, for the value list window.
CREATE VIEW qryParValue AS
  SELECT p.Parameter AS Nr, p.Name AS Name, v.Filter AS Filter, v.Value AS Value,
         v.Description AS Description, v.Parameter AS parameter
  FROM ParValue v JOIN AllParameters p ON p.Parameter = v.Parameter
  ORDER BY v.Parameter, v.Value;

-- The device table of this installation: one row per channel, row n (in
-- rowid order) belongs to channel n. Filled by the system scan.
CREATE TABLE NetDevPar (
  Dev_ID     INTEGER,
  Dev_Name   TEXT,
  Dev_Ver    TEXT,
  Dev_Nodenr INTEGER,
  Dev_Proc   INTEGER,
  Dev_Chan   INTEGER,
  Dev_Memo   TEXT,
  Polling    INTEGER NOT NULL DEFAULT 1,
  Modify     INTEGER NOT NULL DEFAULT 0
);

-- Copy of some settings for other programs that read them; one row, written
-- by the server, never read back by it.
CREATE TABLE Commport (
  InterfaceName        TEXT,
  Baud                 INTEGER,
  Shake                INTEGER,
  ParChain             INTEGER,
  ProcChain            INTEGER,
  PollTime             INTEGER,
  RTPInterval          INTEGER,
  PollBatch            INTEGER,
  SystemLNA            INTEGER,
  Retrynr              INTEGER,
  ParScan              INTEGER,
  TrimTrailingSpaces   INTEGER,
  TrimCRLF             INTEGER,
  PopUpErr             INTEGER,
  PopUpPollWatchdog    INTEGER,
  SuppressCompatErrors INTEGER,
  IndirPollDisable     INTEGER
);
INSERT INTO Commport VALUES ('COM1', 38400, 67, 1, 1, 100, 25, 10, 3, 0, 1, 1, 1, 1, 1, 1, 1);

-- Staging tables for FlowDevices (see devices.sql); dropped by tesmira-makedb.
CREATE TABLE _DeviceTypes (
  ID            TEXT NOT NULL PRIMARY KEY,
  DEV_TYPE      TEXT NOT NULL,
  Dev_Name      TEXT,
  Dev_Channels  INTEGER,
  Dev_Functions INTEGER
);
CREATE TABLE _ParamSets (SetName TEXT NOT NULL, First INTEGER NOT NULL, Last INTEGER NOT NULL);
CREATE TABLE _DeviceSets (ID INTEGER NOT NULL, SetName TEXT NOT NULL);
