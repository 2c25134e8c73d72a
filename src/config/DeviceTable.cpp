#include "DeviceTable.h"

#include "SystemScan.h"
#include "core/Server.h"
#include "db/Database.h"
#include "engine/MessageEngine.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Prompt.h"
#include "sora32.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>
#include <algorithm>

namespace tesmira {

namespace {

const QString kCRLF = QStringLiteral("\r\n");
const char* const kModule = "modDeviceTable";

// Fixed-width text fields of the channel and device-type records.
QString fixed(const QString& text, int width) { return text.leftJustified(width, QLatin1Char(' '), true); }

QString rtrim(QString text)
{
  while (!text.isEmpty() && text.back() == QLatin1Char(' '))
    text.chop(1);
  return text;
}

// A yes/no column: 0/1, or the texts a hand-edited file may hold.
bool flag(const QVariant& v)
{
  if (v.isNull())
    return false;
  const QString t = v.toString().trimmed();
  if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 ||
      t.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
    return true;
  bool ok = false;
  const double d = t.toDouble(&ok);
  return ok && d != 0;
}

int toInt(const QVariant& v, int def = 0)
{
  bool ok = false;
  const int n = v.toString().trimmed().toInt(&ok);
  return ok ? n : def;
}

// The library's module number of a node: cut at NUL, trailing blanks gone.
QString moduleNumber(uint8_t node)
{
  std::string number;
  sora32::GetModuleNumber(node, number);
  return rtrim(QString::fromLatin1(number.c_str()));
}

QString dbError(const QSqlQuery& q) { return q.lastError().text(); }

} // namespace

DeviceTable::DeviceTable(Server& server) : s(server)
{
  s.InterfaceDisplayOpen = [this] { return ShowInterfaceSettingsOpen(); };
}

QString DeviceTable::DevTypeOf(int id) const
{
  for (size_t i = 1; i < DeviceTypeTable.size(); ++i)
    if (DeviceTypeTable[i].ID == id)
      return DeviceTypeTable[i].DEV_TYPE;
  return {};
}

bool DeviceTable::openDeviceTable(QSqlQuery& q, QString& error)
{
  q.setForwardOnly(false);
  if (!q.exec(QStringLiteral("SELECT rowid, Dev_ID, Dev_Name, Dev_Ver, Dev_Nodenr, Dev_Proc, Dev_Chan, "
                             "Dev_Memo, Polling, Modify FROM NetDevPar ORDER BY rowid"))) {
    error = dbError(q);
    return false;
  }
  return true;
}

QString DeviceTable::LoadDeviceTypes()
{
  support::Trace t(s.debug(), kModule, "LoadDeviceTypes");
  DeviceTypeTable.assign(1, DeviceTypeRec{});
  DeviceTypeCount = 0;
  const int maxPar = s.db ? s.db->MaxParNr : 0;
  DevParAvailable.assign(1, std::vector<uint8_t>(size_t(maxPar) + 2, 0));
  if (!s.db || !s.db->isOpen())
    return QStringLiteral("The database is not open.");

  QSqlQuery q(s.db->TheDatabase);
  q.setForwardOnly(false);
  if (!q.exec(QStringLiteral("SELECT * FROM FlowDevices ORDER BY rowid")))
    return dbError(q);
  DeviceTypeCount = int16_t(Database::RecordCount(q));
  DeviceTypeTable.assign(size_t(DeviceTypeCount) + 1, DeviceTypeRec{});
  DevParAvailable.assign(size_t(DeviceTypeCount) + 1, std::vector<uint8_t>(size_t(maxPar) + 2, 0));

  // Column of each parameter, found by its name without trailing blanks.
  const QSqlRecord rec = q.record();
  std::vector<int> column(size_t(maxPar) + 1, -1);
  for (int p = 1; p <= maxPar; ++p) {
    const QString name = rtrim(s.db->ParameterTable[size_t(p)].Name);
    if (!name.isEmpty())
      column[size_t(p)] = rec.indexOf(name);
  }
  if (DeviceTypeCount == 0)
    return {};
  int n = 1;
  do {
    DeviceTypeRec& d = DeviceTypeTable[size_t(n)];
    d.ID = int16_t(toInt(q.value("ID")));
    d.DEV_TYPE = fixed(q.value("DEV_TYPE").toString(), 7);
    d.Dev_Name = fixed(q.value("Dev_Name").toString(), 30);
    d.Dev_Channels = int16_t(q.value("Dev_Channels").isNull() ? 1 : toInt(q.value("Dev_Channels"), 1));
    d.Dev_Functions = int16_t(toInt(q.value("Dev_Functions")));
    for (int p = 1; p <= maxPar; ++p)
      if (column[size_t(p)] >= 0)
        DevParAvailable[size_t(n)][size_t(p)] = flag(q.value(column[size_t(p)]));
    ++n;
  } while (n <= DeviceTypeCount && q.next());
  return {};
}

bool DeviceTable::ask(const QString& text, const QString& title)
{
  if (s.options.ConfigCheckDisabled)
    return true;
  if (!s.headless)
    s.view().RaiseMain();
  return support::prompt().MsgBox(text, support::Prompt::YesNo, support::Prompt::Question, title) ==
         support::Prompt::AnswerYes;
}

bool DeviceTable::FillNodeInfo(bool& ok, QString& error)
{
  support::Trace t(s.debug(), kModule, "FillNodeInfo");
  ChannelModel& cm = s.channels;
  bool rewritten = false;
  ok = false;
  error = LoadDeviceTypes();
  if (!error.isEmpty())
    return false;

  QSqlQuery rows(s.db->TheDatabase);
  if (!openDeviceTable(rows, error))
    return false;
  cm.DBChannelCount = int16_t(Database::RecordCount(rows));
  if (s.state.SimulationOn) {
    cm.MaxChannel = cm.DBChannelCount;
    cm.ChanNodeProc.resize(size_t(cm.MaxChannel) + 1, {0, 0});
  }
  const int maxPar = s.db->MaxParNr;
  cm.ChannelCount = std::max(cm.MaxChannel, cm.DBChannelCount);
  cm.ChannelTable.assign(size_t(cm.ChannelCount) + 1, ChannelRec{});
  cm.resizeParameterTables(cm.ChannelCount, maxPar);
  if (int(cm.ChanNodeProc.size()) < cm.MaxChannel + 1)
    cm.ChanNodeProc.resize(size_t(cm.MaxChannel) + 1, {0, 0});

  // Unless simulating, compare the bus with the table; the first
  // difference found is put to the operator.
  bool answer = true;
  QString text, title;
  if (!s.state.SimulationOn) {
    if (cm.DBChannelCount != cm.MaxChannel) {
      title = QStringLiteral("Channel amount");
      text = "The number of channels in the database differs from the number of channels on the SORANET." +
             kCRLF + "Number of channels in database: " + QString::number(cm.DBChannelCount) + kCRLF +
             "Number of channels on SORANET: " + QString::number(cm.MaxChannel);
    } else if (cm.DBChannelCount > 0) {
      int n = 1;
      do {
        const uint8_t node = uint8_t(cm.ChanNodeProc[size_t(n)][0]);
        const int type = sora32::GetModuleType(node);
        const QString rowNode = rows.value("Dev_Nodenr").toString().trimmed();
        const QString rowType = rows.value("Dev_ID").toString().trimmed();
        const bool nodeDiffers = type >= 0 && rowNode != QString::number(node);
        const bool typeDiffers = type >= 0 && rowType != QString::number(type);
        const QString busNumber = moduleNumber(node).left(20);
        const QString rowNumber = rows.value("Dev_Ver").toString().left(20);
        const bool numberDiffers = rowNumber.trimmed() != busNumber.trimmed();
        const QString lead = "The module on SORANET, assigned to channel " + QString::number(n);
        if (nodeDiffers) {
          title = QStringLiteral("Module-channel connection");
          text = lead + ", has a different node address than the module in the database." + kCRLF +
                 "Node address in database: " + rows.value("Dev_Nodenr").toString() + kCRLF +
                 "Node address on SORANET: " + QString::number(node);
        } else if (typeDiffers) {
          title = QStringLiteral("Module type");
          text = lead + ", is of a different type than the module in the database." + kCRLF +
                 "Module type in database: " + rtrim(DevTypeOf(toInt(rows.value("Dev_ID"), -1))) + kCRLF +
                 "Module type on SORANET: " + DevTypeOf(type);
        } else if (numberDiffers) {
          title = QStringLiteral("Module number");
          text = lead + ", has a different module number than the module in the database." + kCRLF +
                 "Module number in database: " + fixed(rowNumber, 20) + kCRLF +
                 "Module number on SORANET: " + fixed(busNumber, 20);
        }
        ++n;
      } while (title.isEmpty() && n <= cm.DBChannelCount && rows.next());
    }
  }
  rows.finish();
  if (!title.isEmpty()) {
    answer = ask(text + kCRLF + kCRLF + "The database will be updated. Continue?", title);
    if (answer) {
      error = Load_DB();
      rewritten = true;
      cm.ChannelTable.assign(size_t(cm.DBChannelCount) + 1, ChannelRec{});
    }
  }

  if (error.isEmpty() && answer)
    error = fillChannelModel();
  if (s.options.ConfigCheckDisabled && s.log)
    s.log->LogMessage(Warn, QStringLiteral("Bussystem configuration check has been disabled"));

  s.fields.set("MaxChan", QString::number(cm.MaxChannel));
  s.fields.set("MaxPar", QString::number(maxPar));
  s.fields.set("MaxNode", QString::number(sora32::GetMaxNode()));
  s.fields.set("InterfaceChan", QString::number(sora32::GetChannel(uint8_t(s.state.InterfaceNode), 1)));

  ok = answer && error.isEmpty();
  return rewritten;
}

QString DeviceTable::fillChannelModel()
{
  ChannelModel& cm = s.channels;
  QSqlQuery rows(s.db->TheDatabase);
  QString error;
  if (!openDeviceTable(rows, error))
    return error;
  const long count = Database::RecordCount(rows);
  if (count < cm.DBChannelCount)
    cm.DBChannelCount = int16_t(count);
  if (int(cm.ChannelTable.size()) < cm.DBChannelCount + 1)
    cm.ChannelTable.resize(size_t(cm.DBChannelCount) + 1);
  if (int(cm.ChanNodeProc.size()) < cm.DBChannelCount + 1)
    cm.ChanNodeProc.resize(size_t(cm.DBChannelCount) + 1, {0, 0});
  if (int(cm.ParAvailable.size()) < cm.DBChannelCount + 1) {
    cm.ChannelCount = std::max(cm.ChannelCount, cm.DBChannelCount);
    cm.resizeParameterTables(cm.ChannelCount, s.db->MaxParNr);
  }
  const int maxPar = s.db->MaxParNr;
  const int32_t retries = s.cfg.RetryNetworkAccess + 1;

  for (int n = 1; n <= cm.DBChannelCount; ++n) {
    ChannelRec& c = cm.ChannelTable[size_t(n)];
    c.Dev_ID = int16_t(toInt(rows.value("Dev_ID")));
    c.Dev_Name = fixed(rows.value("Dev_Name").toString(), 7);
    c.Dev_Ver = fixed(rows.value("Dev_Ver").toString(), 20);
    c.Dev_Nodenr = uint8_t(toInt(rows.value("Dev_Nodenr")));
    c.Dev_Proc = uint8_t(toInt(rows.value("Dev_Proc")));
    c.Dev_Chan = uint8_t(toInt(rows.value("Dev_Chan")));
    c.Dev_Memo = fixed(rows.value("Dev_Memo").toString(), 64);
    c.Polling = flag(rows.value("Polling"));
    c.Modify = int16_t(flag(rows.value("Modify")) ? 1 : 0);
    c.DirectAccess = true;
    c.ModulePresent = false;
    c.IsIfiChannel = false;

    cm.ParAvailable[size_t(n)][0] = 1;
    for (int p = 1; p <= maxPar; ++p) {
      const ParameterDef& def = s.db->ParameterTable[size_t(p)];
      cm.ParAvailable[size_t(n)][size_t(p)] = offers(c.Dev_ID, p) && def.Available;
      cm.ParRetryCount[size_t(n)][size_t(p)] = retries;
      cm.ParVarType[size_t(n)][size_t(p)] = def.VarType[0];
    }
    cm.ChanNodeProc[size_t(n)] = {int16_t(c.Dev_Nodenr), int16_t(c.Dev_Proc)};

    if (s.state.SimulationOn)
      c.ModulePresent = true;
    else
      probeModule(int16_t(n));
    if (!rows.next())
      break;
  }
  return {};
}

int16_t DeviceTable::probe(uint8_t node, uint8_t process, uint8_t parameter, uint8_t type, uint8_t length,
                           QVariant& value, bool repeated)
{
  return ScanRead(s, value, node, process, parameter, type, length, repeated);
}

// The probe reads tell whether the module answers and which optional
// features it has: direct access for interface modules (process 0,
// parameter 6) and bus-linked instruments (process 113, parameter 5), the
// modified-parameter indication (process 0, parameter 19) and whether the
// module is reached through an interface channel (process 0, parameter 5).
void DeviceTable::probeModule(int16_t n)
{
  ChannelModel& cm = s.channels;
  ChannelRec& c = cm.ChannelTable[size_t(n)];
  const uint8_t node = c.Dev_Nodenr;
  const int maxPar = s.db->MaxParNr;
  QVariant value;

  if (c.Dev_ID == 1) {
    c.DirectAccess = probe(node, 0, 6, 1, 0, value, false) == 0;
    if (!c.DirectAccess)
      for (int p = 238; p <= maxPar; ++p)
        cm.ParAvailable[size_t(n)][size_t(p)] = 0;
  } else if (c.Dev_ID >= 16 && c.Dev_ID <= 18) {
    if (probe(node, 113, 5, 4, 0, value, false) == 0 && value.toString().mid(1, 1) == QLatin1String("1"))
      c.DirectAccess = false;
  }
  if (offers(c.Dev_ID, 81)) {
    const bool answered = probe(node, 0, 19, 0, 1, value, true) == 0;
    if (answered)
      c.ModulePresent = true;
    c.Modify = int16_t(answered ? 1 : 0);
  } else {
    c.Modify = 0;
  }
  if (probe(node, 0, 5, 0, 1, value, true) == 0) {
    c.ModulePresent = true;
    const int id = value.toInt();
    c.IsIfiChannel = id >= 128 && id <= 254;
  } else {
    c.IsIfiChannel = false;
  }
  if (!c.ModulePresent)
    c.ModulePresent = probe(node, 0, 1, 0, 1, value, true) == 0;
}

QString DeviceTable::Load_DB()
{
  support::Trace t(s.debug(), kModule, "Load_DB");
  ChannelModel& cm = s.channels;
  QSqlDatabase& db = s.db->TheDatabase;
  QSqlQuery rows(db);
  QString error;
  if (!openDeviceTable(rows, error))
    return error;
  cm.DBChannelCount = int16_t(Database::RecordCount(rows));
  // Remember the rows first: the edits below must not disturb the walk.
  struct Row {
    qlonglong rowid;
    QString name, ver;
    int node, proc, chan, id;
  };
  std::vector<Row> existing;
  if (cm.DBChannelCount > 0) {
    do {
      existing.push_back({rows.value(0).toLongLong(), rows.value("Dev_Name").toString(),
                          rows.value("Dev_Ver").toString(), toInt(rows.value("Dev_Nodenr")),
                          toInt(rows.value("Dev_Proc")), toInt(rows.value("Dev_Chan")),
                          toInt(rows.value("Dev_ID"))});
    } while (rows.next());
  }
  rows.finish();
  if (int(cm.ChannelTable.size()) < cm.MaxChannel + 1)
    cm.ChannelTable.resize(size_t(cm.MaxChannel) + 1);
  if (int(cm.ChanNodeProc.size()) < cm.MaxChannel + 1)
    cm.ChanNodeProc.resize(size_t(cm.MaxChannel) + 1, {0, 0});

  const bool tx = db.transaction();
  QSqlQuery w(db);
  auto fail = [&](const QSqlQuery& q) {
    const QString e = dbError(q);
    if (tx)
      db.rollback();
    return e.isEmpty() ? QStringLiteral("The device table could not be written.") : e;
  };
  for (int n = 1; n <= cm.MaxChannel; ++n) {
    const int node = cm.ChanNodeProc[size_t(n)][0];
    const int process = cm.ChanNodeProc[size_t(n)][1];
    ChannelRec& c = cm.ChannelTable[size_t(n)];
    const Row* row = n <= int(existing.size()) ? &existing[size_t(n - 1)] : nullptr;
    const int type = node != 0 ? sora32::GetModuleType(uint8_t(node)) : -1;
    if (node != 0 && type >= 0) {
      c.Dev_Ver = fixed(moduleNumber(uint8_t(node)).left(20), 20);
      c.Dev_ID = int16_t(type);
      c.Dev_Name = DevTypeOf(type);
    } else if (row) {
      // A module whose type the library cannot tell keeps type and name.
      c.Dev_ID = int16_t(row->id);
      c.Dev_Name = fixed(row->name, 7);
    }
    if (row && row->node == node && row->proc == process && row->name.trimmed() == c.Dev_Name.trimmed() &&
        row->chan == n && row->ver.trimmed() == c.Dev_Ver.trimmed())
      continue;
    if (row) {
      w.prepare(QStringLiteral("UPDATE NetDevPar SET Dev_ID=?, Dev_Name=?, Dev_Ver=?, Dev_Nodenr=?, Dev_Proc=?, "
                               "Dev_Chan=?, Dev_Memo=?, Polling=?, Modify=? WHERE rowid=?"));
    } else {
      w.prepare(QStringLiteral("INSERT INTO NetDevPar (Dev_ID, Dev_Name, Dev_Ver, Dev_Nodenr, Dev_Proc, Dev_Chan, "
                               "Dev_Memo, Polling, Modify) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    }
    w.addBindValue(int(c.Dev_ID));
    w.addBindValue(rtrim(c.Dev_Name));
    w.addBindValue(rtrim(c.Dev_Ver));
    w.addBindValue(node);
    w.addBindValue(process);
    w.addBindValue(n);
    w.addBindValue(rtrim(c.Dev_Memo));
    w.addBindValue(1);
    w.addBindValue(int(c.Modify != 0 ? 1 : 0));
    if (row)
      w.addBindValue(row->rowid);
    if (!w.exec())
      return fail(w);
  }
  for (size_t i = size_t(std::max<int>(cm.MaxChannel, 0)); i < existing.size(); ++i) {
    w.prepare(QStringLiteral("DELETE FROM NetDevPar WHERE rowid=?"));
    w.addBindValue(existing[i].rowid);
    if (!w.exec())
      return fail(w);
  }
  if (tx && !db.commit())
    return fail(QSqlQuery(db));
  cm.DBChannelCount = cm.MaxChannel;
  if (s.log)
    s.log->LogMessage(Init, "Database updated, total channels = " + QString::number(cm.DBChannelCount));
  return {};
}

std::vector<int> DeviceTable::StoredNodes()
{
  std::vector<int> nodes;
  if (!s.db)
    return nodes;
  QSqlQuery rows(s.db->TheDatabase);
  QString error;
  if (!openDeviceTable(rows, error))
    return nodes;
  while (rows.next()) {
    const int node = toInt(rows.value("Dev_Nodenr"));
    if (node > 0 && std::find(nodes.begin(), nodes.end(), node) == nodes.end())
      nodes.push_back(node);
  }
  return nodes;
}

void DeviceTable::SetChanPolled(int16_t channel, bool polled)
{
  support::Trace t(s.debug(), kModule, "SetChanPolled");
  ChannelModel& cm = s.channels;
  if (channel < 0 || channel >= int16_t(cm.ChannelTable.size()))
    return;
  ChannelRec& c = cm.ChannelTable[size_t(channel)];
  c.Polling = polled;
  if (!s.db || !s.db->isOpen())
    return;
  QSqlQuery q(s.db->TheDatabase);
  q.prepare(QStringLiteral("UPDATE NetDevPar SET Polling=? WHERE rowid = "
                           "(SELECT rowid FROM NetDevPar WHERE Dev_Chan=? ORDER BY rowid LIMIT 1)"));
  q.addBindValue(c.Polling ? 1 : 0);
  q.addBindValue(int(c.Dev_Chan));
  if (!q.exec() && s.log)
    s.log->DebugLogError("SetChanPolled: " + dbError(q));
}

void DeviceTable::SetChanMemo(int16_t channel, const QString& memo)
{
  support::Trace t(s.debug(), kModule, "SetChanMemo");
  ChannelModel& cm = s.channels;
  if (channel < 0 || channel >= int16_t(cm.ChannelTable.size()))
    return;
  ChannelRec& c = cm.ChannelTable[size_t(channel)];
  c.Dev_Memo = memo.left(64).leftJustified(64, QLatin1Char(' '));
  if (!s.db || !s.db->isOpen())
    return;
  QSqlQuery q(s.db->TheDatabase);
  q.prepare(QStringLiteral("UPDATE NetDevPar SET Dev_Memo=? WHERE rowid = "
                           "(SELECT rowid FROM NetDevPar WHERE Dev_Chan=? ORDER BY rowid LIMIT 1)"));
  q.addBindValue(c.Dev_Memo);
  q.addBindValue(int(channel));
  if (!q.exec() && s.log)
    s.log->DebugLogError("SetChanMemo: " + dbError(q));
}

bool DeviceTable::ShowInterfaceSettingsOpen()
{
  s.state.InterfaceNode = GetInterfaceNode();
  std::string type;
  sora32::GetInterfaceType(type);
  const QString interfaceType = QString::fromLatin1(type.c_str()).left(25);
  const int moduleType = sora32::GetModuleType(uint8_t(s.state.InterfaceNode));
  QString caption = s.ProgramTitle, typeField;
  bool portVisible = true;
  if (interfaceType.startsWith(QLatin1String("COM"))) {
    if (moduleType == 0 || moduleType == 1 || moduleType == 2) {
      typeField = QStringLiteral("RS232");
    } else if (moduleType == 24) {
      caption += QStringLiteral(" Profibus-DP slave interface");
      typeField = QStringLiteral("RS232-ProDP");
    } else if (s.channels.InterfaceIsKdxHost) {
      caption += QStringLiteral(" KDX SORANET host");
      typeField = QStringLiteral("RS232-KDXFh");
    } else {
      caption += QStringLiteral(" KDX");
      typeField = QStringLiteral("RS232-KDX");
    }
  } else {
    typeField = QStringLiteral("PCISA");
    portVisible = false;
  }
  typeField += " at node " + QString::number(s.state.InterfaceNode);
  s.fields.set("Caption", caption);
  s.fields.set("lblInterfaceType", typeField);
  return portVisible;
}

}
