#pragma once
// The whole server as the program starts it with /O, in this process: main
// window, link service, database, a line to the virtual bus (default
// scenario) on a pseudo-terminal, the scan run and polling on. The
// operator's answers come from `prompt`. Window tests and the operator
// benchmarks start from it; link with soranetsim.

#include "ServerRig.h"
#include "TestHome.h"

#include "bus.h"
#include "paramdb.h"
#include "server.h"

#include "core/Startup.h"
#include "ui/frmMain.h"

#include "Prompt.h"

#include <QAction>

namespace serverrig {

struct Program {
  TestHome home;
  support::ScriptedPrompt prompt;
  std::shared_ptr<soranetsim::Bus> bus = std::make_shared<soranetsim::Bus>();
  std::unique_ptr<soranetsim::Server> sim;
  std::unique_ptr<tesmira::Server> s;
  QJsonObject scenario; // empty: the default scenario

  // Returns an error text, empty once the communication is open.
  QString start(int baud)
  {
    support::setPrompt(&prompt);
    if (!installDatabase(qEnvironmentVariable("TESMIRA_BIN_DIR"), home.defaultDatabase()))
      return "no database";
    soranetsim::ParamDb pdb;
    QString e = pdb.load(home.defaultDatabase());
    if (e.isEmpty())
      e = bus->loadScenario(scenario.isEmpty() ? soranetsim::Bus::defaultScenario() : scenario, pdb);
    sim = std::make_unique<soranetsim::Server>(bus);
    const QString pty = e.isEmpty() ? sim->startPty(home.file("bus"), &e) : QString();
    if (pty.isEmpty())
      return "pty: " + e;
    QFile ini(home.file("common.ini"));
    if (!ini.open(QIODevice::WriteOnly))
      return "common.ini";
    ini.write(QStringLiteral("[Communication]\nInterfaceName=%1\nBaudrate=%2\n"
                             "[Settings]\nPollParametersOnInit=False\n")
                .arg(pty)
                .arg(baud)
                .toUtf8());
    ini.close();
    s = std::make_unique<tesmira::Server>();
    s->createGeneral(".");
    s->options.OptOpenCom = true;
    s->options.TrayIconEnabled = false;
    s->createServices();
    auto* w = new tesmira::frmMain(*s);
    w->Form_Load();
    if (w->bCancel)
      return w->sError;
    e = tesmira::Start(*s);
    return e.isEmpty() && s->state.CommOpen ? e : "not open: " + e;
  }
  ~Program()
  {
    if (s && s->main) {
      tesmira::UnloadMain(*s);
      delete s->main;
    }
    s.reset();
    sim.reset();
    support::setPrompt(nullptr);
  }
  // Chooses a menu item as the operator does; false when it is disabled.
  bool menu(const char* name)
  {
    QAction* a = s->main->menu(name);
    if (!a || !a->isEnabled())
      return false;
    a->trigger();
    return true;
  }
  QStringList titlesAsked() const
  {
    QStringList t;
    for (const auto& a : prompt.asked)
      t << a.title;
    return t;
  }
};

}
