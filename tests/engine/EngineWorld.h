#pragma once
// A server with a real parameter database, a real communication session and
// a virtual bus behind a pseudo-terminal: the engine and the scheduler work
// against it exactly as in the program. The channel model is filled from the
// library's configuration read (what the scan does), without the device
// table reconciliation, so each test decides flags such as ModulePresent.
#include "TestHome.h"

#include "Prompt.h"
#include "bus/ErrorMessages.h"
#include "bus/clsComSoraDLL.h"
#include "core/Server.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/frmTopic.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"

#include "bus.h"
#include "paramdb.h"
#include "server.h"
#include "sora32.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace enginetest {

// Interface on node 1, a meter, a controller and a four-channel module.
inline QJsonObject scenario()
{
  return QJsonDocument::fromJson(R"({"baud": 38400, "changeDelayMs": 0, "timeConstantMs": 0, "seed": 1, "modules": [
    {"node": 1, "type": 1, "number": "M00000001", "channels": [1]},
    {"node": 3, "type": 3, "number": "M00000003", "channels": [1]},
    {"node": 4, "type": 4, "number": "M00000004", "channels": [1]},
    {"node": 6, "type": 7, "number": "M00000006", "channels": [1, 2, 3, 4]}]})").object();
}

// Library timing that keeps fault tests short; must be set before the
// library's first call in the process.
inline void fastLibrary()
{
  qputenv("TESMIRA_SORA32_TIMEOUT_MS", "100");
  qputenv("TESMIRA_SORA32_RETRIES", "1");
}

class World {
public:
  TestHome home;
  support::ScriptedPrompt prompt;
  std::unique_ptr<tesmira::Server> server;
  std::shared_ptr<soranetsim::Bus> bus;
  std::unique_ptr<soranetsim::Server> sim;
  QString pty;
  QString failure;

  tesmira::Server& s() { return *server; }
  tesmira::MessageEngine& engine() { return *server->engine; }

  World() { support::setPrompt(&prompt); }
  ~World()
  {
    if (server && server->poll)
      server->poll->StopPollingTimers();
    sora32::CloseCommunication();
    server.reset();
    sim.reset();
    support::setPrompt(nullptr);
  }

  // Builds the server and opens the line to the virtual bus. False with
  // `failure` set when something is missing.
  bool start() { return startServer() && openBus(); }

  // The server with its database and scheduler, no line open.
  bool startServer()
  {
    const QString source = qEnvironmentVariable("TESMIRA_BIN_DIR") + "/Tesmira.mdb";
    QDir().mkpath(QFileInfo(home.defaultDatabase()).path());
    if (!QFile::copy(source, home.defaultDatabase()))
      return fail("no database at " + source);
    server = std::make_unique<tesmira::Server>();
    server->createGeneral(".");
    server->createServices();
    if (!server->session)
      server->session = std::make_unique<tesmira::clsComSoraDLL>();
    QString e = server->db->InitDB();
    if (e.isEmpty())
      e = server->db->LoadParameterTable();
    if (!e.isEmpty())
      return fail(e);
    if (!server->poll->ClassInitialize().isEmpty())
      return fail("scheduler");
    return true;
  }

  bool openBus()
  {
    QString e;
    soranetsim::ParamDb pdb;
    if (!(e = pdb.load(home.defaultDatabase())).isEmpty())
      return fail(e);
    bus = std::make_shared<soranetsim::Bus>();
    if (!(e = bus->loadScenario(scenario(), pdb)).isEmpty())
      return fail(e);
    sim = std::make_unique<soranetsim::Server>(bus);
    pty = sim->startPty(home.file("bus"), &e);
    if (pty.isEmpty())
      return fail(e);
    if (server->session->ConfigureCommunication(pty, 460800, true, true, e) != 0)
      return fail(e);
    const int16_t r = server->session->StartCommunication();
    if (r != 0 && r != 24)
      return fail(QStringLiteral("open: %1").arg(r));
    server->state.CommOpen = true;
    server->state.InterfaceNode = 1;
    server->engine->ResetForOpen();
    if (sora32::ReadSystemConfig(10) != 0)
      return fail("configuration read");
    fillChannels();
    server->state.NotReady = false;
    return true;
  }

  // The channel model from the library: node, process and device type per
  // channel, all present and polled, offering what their device type offers.
  void fillChannels()
  {
    tesmira::Server& sv = *server;
    tesmira::ChannelModel& m = sv.channels;
    m.MaxChannel = m.DBChannelCount = m.ChannelCount = sora32::GetMaxChannel();
    m.ChannelTable.assign(size_t(m.ChannelCount) + 1, tesmira::ChannelRec{});
    m.ChanNodeProc.assign(size_t(m.ChannelCount) + 1, {0, 0});
    m.resizeParameterTables(m.ChannelCount, sv.db->MaxParNr);
    for (int c = 1; c <= m.ChannelCount; ++c) {
      uint8_t node = 0, proc = 0;
      sora32::GetNodeProc(int16_t(c), node, proc);
      tesmira::ChannelRec& r = m.ChannelTable[size_t(c)];
      r.Dev_Nodenr = node;
      r.Dev_Proc = proc;
      r.Dev_ID = sora32::GetModuleType(node);
      r.ModulePresent = r.Polling = true;
      r.DirectAccess = true;
      m.ChanNodeProc[size_t(c)] = {int16_t(node), int16_t(proc)};
      QList<int16_t> offered;
      sv.db->AvailableParams(sv.db->DBPath, r.Dev_ID, offered);
      for (int16_t p : offered)
        if (p > 0 && p <= sv.db->MaxParNr)
          offer(c, p);
    }
    sv.dde->AddTopicScr(m.ChannelCount);
  }

  void offer(int channel, int p, bool on = true)
  {
    tesmira::ChannelModel& m = server->channels;
    m.ParAvailable[size_t(channel)][size_t(p)] = on;
    m.ParRetryCount[size_t(channel)][size_t(p)] = server->cfg.RetryNetworkAccess + 1;
    m.ParVarType[size_t(channel)][size_t(p)] = server->db->ParameterTable[size_t(p)].VarType[0];
  }

  // Channel of a node's process (0 when none).
  int channelOf(int node, int proc) const
  {
    const auto& t = server->channels.ChannelTable;
    for (size_t c = 1; c < t.size(); ++c)
      if (t[c].Dev_Nodenr == node && t[c].Dev_Proc == proc)
        return int(c);
    return 0;
  }

  QString item(int channel, int p) const
  {
    tesmira::frmTopic* t = server->dde->topic(int16_t(channel));
    return t ? t->item(int16_t(p)) : QString();
  }

  // Processes replies until cond holds or ms pass.
  template <typename F> bool until(F cond, int ms = 3000)
  {
    QDeadlineTimer dl(ms);
    while (!cond()) {
      if (dl.hasExpired())
        return false;
      server->engine->HandleBusMessages();
      QTest::qWait(2);
    }
    return true;
  }

  // Reads one parameter of a channel and waits for its reply.
  QString readWait(int channel, int p)
  {
    const tesmira::ChannelRec& r = server->channels.ChannelTable[size_t(channel)];
    return server->engine->Read_from_Soranet_direct(r.Dev_Nodenr, r.Dev_Proc, int16_t(channel), int16_t(p));
  }

  bool fail(const QString& why)
  {
    failure = why;
    return false;
  }
};

}
