#pragma once
// A server for the polling benchmarks, set up as the program does up to the
// point where the scan would reconcile the device table: private home and
// runtime folders, the default database, the link service, the session open
// on the given interface, and a channel model filled from the library's
// configuration read (every channel present and polled, offering what its
// device type offers).

#include "Paths.h"
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
#include <QTemporaryDir>

#include <functional>

namespace benchserver {

// Before the application object: settings, runtime folder and platform.
inline void prepareEnvironment(const QTemporaryDir& home)
{
  qputenv("TESMIRA_HOME", home.path().toLocal8Bit());
  QDir(home.path()).mkpath("run");
  QFile::setPermissions(home.path() + "/run", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", (home.path() + "/run").toLocal8Bit());
  qputenv("QT_QPA_PLATFORM", "offscreen");
}

// Copies the default database where the server looks for it; returns its path.
inline QString installDatabase(const QTemporaryDir& home)
{
  const QString dbFile = home.path() + "/data/Tesmira32/Tesmira.mdb";
  QDir().mkpath(QFileInfo(dbFile).path());
  QFile::copy(support::Paths::programDir() + "/Tesmira.mdb", dbFile);
  return dbFile;
}

// Loads the database, registers the service and opens the communication on
// interfaceName; returns an error text, empty on success.
inline QString openBus(tesmira::Server& s, const QString& interfaceName, int baud, uint8_t highestNode)
{
  QString e = s.db->InitDB();
  if (e.isEmpty())
    e = s.db->LoadParameterTable();
  if (e.isEmpty())
    e = s.poll->ClassInitialize();
  if (e.isEmpty() && !s.dde->registerService(&e))
    e = "link service: " + e;
  if (e.isEmpty() && s.session->ConfigureCommunication(interfaceName, baud, true, true, e) != 0)
    e = "configure: " + e;
  if (e.isEmpty()) {
    const int16_t r = s.session->StartCommunication();
    if (r != 0 && r != 24)
      e = QStringLiteral("open: %1").arg(r);
  }
  if (e.isEmpty() && sora32::ReadSystemConfig(highestNode) != 0)
    e = "configuration read failed";
  if (!e.isEmpty())
    return e;
  s.state.CommOpen = true;
  s.state.InterfaceNode = 1;
  s.engine->ResetForOpen();
  return {};
}

// Fills the channel model; onParameter(channel record, parameter) is told of
// every parameter a channel offers.
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
      m.ParAvailable[size_t(c)][size_t(p)] = 1;
      m.ParRetryCount[size_t(c)][size_t(p)] = s.cfg.RetryNetworkAccess + 1;
      m.ParVarType[size_t(c)][size_t(p)] = s.db->ParameterTable[size_t(p)].VarType[0];
      if (onParameter)
        onParameter(c, r, p);
    }
  }
}

}
