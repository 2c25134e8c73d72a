#include "InterfaceTracking.h"

#include "DeviceTable.h"
#include "SystemScan.h"
#include "bus/clsComSoraDLL.h"
#include "core/Server.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/frmTopic.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/LogCategory.h"
#include "log/Logger.h"

#include "Debug.h"
#include "sora32.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <vector>

namespace tesmira {
namespace {

const char* const kModule = "modInterface";

void debugInfo(Server& s, const QString& text)
{
  if (s.log)
    s.log->DebugLogInfo(text);
}

int attemptsOf(const Server& s, bool atLeastRetryPlusOne)
{
  return std::max(1, s.cfg.RetryNetworkAccess + (atLeastRetryPlusOne ? 1 : 0));
}

// A write request without waiting for its reply, repeated while the library
// refuses it, at most attempts times. Returns the last code. With awaited,
// a sent write's reply gets a wait slot there (see awaitReplies).
int16_t sendWrite(Server& s, int attempts, uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                  int value, std::vector<int>* awaited = nullptr)
{
  int16_t code = 14;
  for (int i = 0; i < attempts; ++i) {
    const int16_t tag = s.dde->MakeRequestTag(0);
    code = s.session->SendMessageWriteRequest(node, process, parameter, type, 0, QVariant(value), tag);
    if (code == 0) {
      if (awaited)
        awaited->push_back(s.engine->RegisterWait(tag));
      break;
    }
  }
  return code;
}

// Waits, a second at most, until the replies of the awaited writes are in;
// frees their slots. The writes are only queued when sent: a line closed
// right after them would drop those the interface has not yet taken.
void awaitReplies(Server& s, const std::vector<int>& awaited)
{
  QElapsedTimer clock;
  clock.start();
  const auto allIn = [&] {
    QString value;
    int16_t error = 0;
    return std::all_of(awaited.begin(), awaited.end(),
                       [&](int slot) { return s.engine->GetWaitResult(slot, value, error); });
  };
  while (!allIn() && clock.elapsed() < 1000) {
    WaitWithMessages(2);
    s.engine->HandleBusMessages();
  }
  for (int slot : awaited)
    s.engine->ReleaseWait(slot);
}

// The interface's set-up for acquisition process i: which node and process
// it acquires from and its options; then, for a present module, the read of
// its modified-parameter number and the reset of the module's indication.
// Returns 0 or the code of the write that failed.
int16_t configureProcess(Server& s, int attempts, uint8_t interfaceNode, int16_t i, uint8_t node, uint8_t process,
                         std::vector<int>* awaited = nullptr)
{
  int16_t code = sendWrite(s, attempts, interfaceNode, uint8_t(i), 0, 0, node, awaited);
  if (code == 0)
    code = sendWrite(s, attempts, interfaceNode, uint8_t(i), 1, 0, process, awaited);
  if (code == 0)
    code = sendWrite(s, attempts, interfaceNode, uint8_t(i), 4, 1, 0, awaited);
  const ChannelRec* rec = s.channels.channel(i);
  if (code == 0 && rec && rec->ModulePresent) {
    int16_t tag = 0;
    s.engine->Read_from_Soranet(interfaceNode, uint8_t(i), 0, 27, tag);
    code = sendWrite(s, attempts, rec->Dev_Nodenr, 0, 19, 1, 0, awaited);
  }
  return code;
}

bool ready(const Server& s) { return s.session && s.engine && s.dde; }

}

QString LoadIdentString(Server& s, uint8_t node, int16_t channel)
{
  support::Trace t(s.debug(), kModule, "LoadIdentString");
  QString text;
  const int attempts = s.cfg.RetryNetworkAccess + 1;
  for (int i = 0; i < std::max(1, attempts) && s.engine; ++i) {
    debugInfo(s, QString::number(node) + "Read identstring: ");
    text = s.engine->Read_from_Soranet_direct(node, 0, channel, 1);
    const QString trimmed = text.trimmed();
    if (!trimmed.isEmpty() && trimmed != QLatin1String("?") && trimmed != QLatin1String("n/a"))
      break;
    QCoreApplication::processEvents();
  }
  debugInfo(s, QString::number(node) + "Read identstring: " + " val: " + text);
  return text;
}

void LoadIdentStrings(Server& s)
{
  const ChannelModel& cm = s.channels;
  if (cm.MaxChannel <= 1)
    return;
  for (int16_t c = 1; c <= cm.MaxChannel; ++c)
    if (c < int16_t(cm.ChanNodeProc.size()))
      LoadIdentString(s, uint8_t(cm.ChanNodeProc[size_t(c)][0]), c);
}

void UpdateIdentAfterWink(Server& s, uint8_t node, uint8_t process, int16_t channel)
{
  if (process < 2) {
    int16_t tag = 0;
    if (s.engine)
      s.engine->Read_from_Soranet(node, process, channel, 1, tag);
  } else {
    LoadIdentString(s, node, channel);
  }
}

int16_t InitInterfaceAcquisition(Server& s)
{
  support::Trace t(s.debug(), kModule, "InitInterfaceAcquisition");
  if (!ready(s))
    return 0;
  ChannelModel& cm = s.channels;
  s.engine->HandlePendingMsg();
  s.state.InterfaceNode = GetInterfaceNode();
  const uint8_t ifNode = uint8_t(s.state.InterfaceNode);
  const int type = sora32::GetModuleType(ifNode);
  PollingHold(s, true);
  if (type == 1 || type == 2) {
    const ChannelRec* own = cm.channel(sora32::GetChannel(ifNode, 1));
    s.state.InterfaceAcquisition = !(own && own->DirectAccess);
  } else {
    s.state.InterfaceAcquisition = false;
    if (type == 24)
      s.LogMessage(Init, QStringLiteral("RS232 interface on Profibus-DP slave interface used"));
    else if (cm.InterfaceIsKdxHost)
      s.LogMessage(Init, QStringLiteral("Local RS232 SORANET host interface on instrument used"));
    else
      s.LogMessage(Init, QStringLiteral("Local RS232 interface on instrument used"));
  }
  int16_t result = 0;
  if (s.state.InterfaceAcquisition) {
    const int attempts = attemptsOf(s, false);
    for (int16_t i = 1; i <= cm.MaxChannel; ++i) {
      s.ShowBusy(QStringLiteral("Initializing interface acquisition"), 1);
      const uint8_t node = uint8_t(cm.ChanNodeProc[size_t(i)][0]);
      const int nodeType = sora32::GetModuleType(node);
      if (node == ifNode || nodeType == 1 || nodeType == 2)
        continue;
      const int16_t code =
        configureProcess(s, attempts, ifNode, i, node, uint8_t(cm.ChanNodeProc[size_t(i)][1]));
      if (code != 0)
        result = code;
    }
    s.LogMessage(Init, QStringLiteral("Data acquisition at interface started"));
  }
  s.engine->HandlePendingMsg();
  PollingHold(s, false);
  s.HideBusy();
  return result;
}

int16_t StopInterfaceAcquisition(Server& s)
{
  support::Trace t(s.debug(), kModule, "StopInterfaceAcquisition");
  if (!s.state.InterfaceAcquisition)
    return 0;
  int16_t result = 0;
  if (ready(s)) {
    s.engine->HandlePendingMsgRTP();
    PollingHold(s, true);
    const ChannelModel& cm = s.channels;
    const uint8_t ifNode = uint8_t(s.state.InterfaceNode);
    const int attempts = attemptsOf(s, true);
    std::vector<int> awaited;
    for (int16_t i = 1; ifNode != 0 && i <= cm.MaxChannel; ++i) {
      s.ShowBusy(QStringLiteral("Terminating interface acquisition"), 1);
      const int16_t code = configureProcess(s, attempts, ifNode, i, 0, 0, &awaited);
      if (code != 0)
        result = code;
    }
    // The line closes next: the interface must have taken these writes.
    awaitReplies(s, awaited);
  }
  s.state.InterfaceAcquisition = false;
  s.LogMessage(Init, QStringLiteral("Data acquisition at interface has been ended"));
  if (ready(s)) {
    PollingHold(s, false);
    s.engine->HandlePendingMsg();
  }
  s.HideBusy();
  return result;
}

QString CheckIFIIdentChange(Server& s, int16_t channel, int16_t parameter, const QString& value)
{
  const ChannelRec* rec = s.channels.channel(channel);
  if (parameter != 175 || channel < 1 || !rec || !rec->IsIfiChannel)
    return {};
  bool numeric = false;
  const double v = MessageEngine::NumericValue(value, &numeric);
  if (!numeric)
    return {};
  uint8_t number = uint8_t(int(v) & 0xFF);
  if (number == rec->Dev_ID)
    return {};
  support::Trace t(s.debug(), kModule, "CheckIFIIdentChange");
  const QString prefix = "IFI change on channel " + QString::number(channel) + ", new identnr: ";
  debugInfo(s, prefix + QString::number(number));
  QString error = UpdateIFINodeInfo(s, channel, number);
  if (error.isEmpty()) {
    debugInfo(s, prefix + QString::number(number) + "  update node info>");
    if (frmTopic* topic = s.dde ? s.dde->topicOrNew(channel) : nullptr)
      topic->UpdateIFIParams();
    debugInfo(s, prefix + QString::number(number) + "  update parameters>");
    error = UpdateIFIDB(s, channel);
    debugInfo(s, prefix + QString::number(number) + "  update database>");
  }
  return error;
}

QString UpdateIFINodeInfo(Server& s, int16_t channel, uint8_t& number)
{
  ChannelModel& cm = s.channels;
  if (channel < 1 || channel >= int16_t(cm.ChannelTable.size()) || !s.devices || !s.db)
    return QStringLiteral("UpdateIFINodeInfo: channel ") + QString::number(channel) + " is unknown";
  ChannelRec& c = cm.ChannelTable[size_t(channel)];
  c.Dev_ID = number;
  c.Dev_Name = s.devices->DevTypeOf(number);
  const QString prefix = "IFI change on channel " + QString::number(channel) + ", new identnr: " +
                         QString::number(number);
  QString ident = LoadIdentString(s, c.Dev_Nodenr, channel);
  const qsizetype nul = ident.indexOf(QChar(0));
  if (nul >= 0)
    ident.truncate(nul);
  // The ident string is the device-type character followed by the module
  // number; Dev_Ver holds the module number, as the scan stores it.
  c.Dev_Ver = ident.mid(1).left(20).leftJustified(20, QLatin1Char(' '));
  debugInfo(s, prefix + "  identstring: " + ident.left(20));
  if (ident.isEmpty() || ident.at(0).unicode() != number)
    debugInfo(s, prefix + "  identnrs don't match!");

  c.Modify = 0;
  if (s.devices->offers(number, 81) && s.engine) {
    QVariant v;
    for (int i = 0; i < s.cfg.RetryNetworkAccess + 1; ++i)
      if (s.engine->read_direct(v, c.Dev_Nodenr, 0, 19, 0, 1) == 0) {
        c.Modify = 1;
        break;
      }
  }
  c.DirectAccess = true;
  if (number >= 16 && number <= 18 && s.engine) {
    const QString ext = s.engine->Read_from_Soranet_direct(c.Dev_Nodenr, c.Dev_Proc, channel, 105);
    if (ext.mid(1, 1) == QLatin1String("1"))
      c.DirectAccess = false;
  }
  for (int p = 1; p <= s.db->MaxParNr; ++p) {
    cm.ChanParIfiFlag[size_t(channel)][size_t(p)] = s.devices->offers(number, p) ? 1 : 0;
    cm.ParRetryCount[size_t(channel)][size_t(p)] = s.cfg.RetryNetworkAccess + 1;
  }
  return {};
}

QString UpdateIFIDB(Server& s, int16_t channel)
{
  const ChannelRec* c = s.channels.channel(channel);
  if (!c || !s.db || !s.db->isOpen())
    return QStringLiteral("UpdateIFIDB: the device table is not open");
  QSqlQuery find(s.db->TheDatabase);
  find.prepare(QStringLiteral("SELECT rowid FROM NetDevPar WHERE Dev_Chan = ? ORDER BY rowid LIMIT 1"));
  find.addBindValue(int(channel));
  if (!find.exec())
    return "UpdateIFIDB: " + find.lastError().text();
  if (!find.next())
    return {};
  const qlonglong row = find.value(0).toLongLong();
  find.finish();
  QSqlQuery w(s.db->TheDatabase);
  w.prepare(QStringLiteral("UPDATE NetDevPar SET Dev_ID=?, Dev_Name=?, Dev_Ver=?, Dev_Nodenr=?, Dev_Proc=?, "
                           "Dev_Chan=?, Dev_Memo=?, Polling=?, Modify=? WHERE rowid=?"));
  const auto& np = s.channels.ChanNodeProc;
  const bool known = channel < int16_t(np.size());
  const auto rtrim = [](QString t) {
    while (t.endsWith(QLatin1Char(' ')))
      t.chop(1);
    return t;
  };
  for (const QVariant& v :
       {QVariant(int(c->Dev_ID)), QVariant(rtrim(c->Dev_Name)), QVariant(rtrim(c->Dev_Ver)),
        QVariant(known ? int(np[size_t(channel)][0]) : int(c->Dev_Nodenr)),
        QVariant(known ? int(np[size_t(channel)][1]) : int(c->Dev_Proc)), QVariant(int(channel)),
        QVariant(rtrim(c->Dev_Memo)), QVariant(c->Polling ? 1 : 0), QVariant(c->Modify != 0 ? 1 : 0), QVariant(row)})
    w.addBindValue(v);
  if (!w.exec())
    return "UpdateIFIDB: " + w.lastError().text();
  return {};
}

}
