#pragma once
// A server with a real parameter database, a real communication session and
// a virtual bus behind a pseudo-terminal: the engine and the scheduler work
// against it exactly as in the program. The channel model is filled from the
// library's configuration read (what the scan does), without the device
// table reconciliation, so each test decides flags such as ModulePresent.
#include "ServerRig.h"
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
    if (!serverrig::installDatabase(qEnvironmentVariable("TESMIRA_BIN_DIR"), home.defaultDatabase()))
      return fail("no database in " + qEnvironmentVariable("TESMIRA_BIN_DIR"));
    server = std::make_unique<tesmira::Server>();
    server->createGeneral(".");
    server->createServices();
    const QString e = serverrig::startServices(*server);
    return e.isEmpty() || fail(e);
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
    if (!(e = serverrig::openLine(*server, pty, 460800, 10)).isEmpty())
      return fail(e);
    serverrig::fillChannelModel(*server);
    server->dde->AddTopicScr(server->channels.ChannelCount);
    server->state.NotReady = false;
    return true;
  }

  void offer(int channel, int p, bool on = true) { serverrig::offer(*server, channel, p, on); }

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
