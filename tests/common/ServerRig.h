#pragma once
// A server set up as the program does up to the point where the scan would
// reconcile the device table: database and scheduler ready, the session open
// on an interface, and a channel model filled from the library's
// configuration read (every channel present and polled, offering what its
// device type offers). The engine tests and the polling benchmarks use it.

#include "bus/clsComSoraDLL.h"
#include "core/Server.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "sora32.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>

namespace serverrig {

// Copies the default database from binDir to dbFile; false when it is missing.
inline bool installDatabase(const QString& binDir, const QString& dbFile)
{
  QDir().mkpath(QFileInfo(dbFile).path());
  return QFile::copy(binDir + "/Tesmira.mdb", dbFile);
}

// Loads the database, readies the scheduler and, when asked, registers the
// link service; returns an error text, empty on success.
inline QString startServices(tesmira::Server& s, bool linkService = false)
{
  if (!s.session)
    s.session = std::make_unique<tesmira::clsComSoraDLL>();
  QString e = s.db->InitDB();
  if (e.isEmpty())
    e = s.db->LoadParameterTable();
  if (e.isEmpty() && !s.poll->ClassInitialize().isEmpty())
    e = "scheduler";
  if (e.isEmpty() && linkService && !s.dde->registerService(&e))
    e = "link service: " + e;
  return e;
}

// Opens the communication on interfaceName and lets the library read the
// configuration up to highestNode; returns an error text, empty on success.
inline QString openLine(tesmira::Server& s, const QString& interfaceName, int baud, uint8_t highestNode)
{
  QString e;
  if (s.session->ConfigureCommunication(interfaceName, baud, true, true, e) != 0)
    return "configure: " + e;
  const int16_t r = s.session->StartCommunication();
  if (r != 0 && r != 24)
    return QStringLiteral("open: %1").arg(r);
  s.state.CommOpen = true;
  s.state.InterfaceNode = 1;
  s.engine->ResetForOpen();
  if (sora32::ReadSystemConfig(highestNode) != 0)
    return "configuration read failed";
  return {};
}

// Makes parameter p of a channel offered (or not), as the reconciliation does.
inline void offer(tesmira::Server& s, int channel, int p, bool on = true)
{
  tesmira::ChannelModel& m = s.channels;
  m.ParAvailable[size_t(channel)][size_t(p)] = on;
  m.ParRetryCount[size_t(channel)][size_t(p)] = s.cfg.RetryNetworkAccess + 1;
  m.ParVarType[size_t(channel)][size_t(p)] = s.db->ParameterTable[size_t(p)].VarType[0];
}

// Fills the channel model from the library; onParameter(channel, record,
// parameter) is told of every parameter a channel offers.
inline void fillChannelModel(tesmira::Server& s,
                             const std::function<void(int, const tesmira::ChannelRec&, int16_t)>& onParameter = {})
{
  tesmira::ChannelModel& m = s.channels;
  m.MaxChannel = m.DBChannelCount = m.ChannelCount = sora32::GetMaxChannel();
  m.ChannelTable.assign(size_t(m.ChannelCount) + 1, tesmira::ChannelRec{});
  m.ChanNodeProc.assign(size_t(m.ChannelCount) + 1, {0, 0});
  m.resizeParameterTables(m.ChannelCount, s.db->MaxParNr);
  for (int c = 1; c <= m.ChannelCount; ++c) {
    uint8_t node = 0, proc = 0;
    sora32::GetNodeProc(int16_t(c), node, proc);
    tesmira::ChannelRec& r = m.ChannelTable[size_t(c)];
    r.Dev_Nodenr = node;
    r.Dev_Proc = proc;
    r.Dev_ID = sora32::GetModuleType(node);
    m.ChanNodeProc[size_t(c)] = {int16_t(node), int16_t(proc)};
    r.ModulePresent = r.Polling = r.DirectAccess = true;
    QList<int16_t> offered;
    s.db->AvailableParams(s.db->DBPath, r.Dev_ID, offered);
    for (int16_t p : offered) {
      if (p <= 0 || p > s.db->MaxParNr)
        continue;
      offer(s, c, p);
      if (onParameter)
        onParameter(c, r, p);
    }
  }
}

}
