#pragma once
// The server in this process, on the virtual bus behind a pseudo-terminal,
// with clients on real sockets. The free functions set a server up as the
// program does, step by step (the benchmarks use them). `Rig` holds a server,
// the bus and the private world around them, and starts either the whole
// program as /O does (`start`: main window, scan, polling) or the pieces a
// test needs (`startServer`, `openBus`, `serve`).

#include "TestHome.h"

#include "../ddeml/LinkTestUtil.h"

#include "bus/clsComSoraDLL.h"
#include "core/Server.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/frmTopic.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"
#include "ui/frmMain.h"

#include "Client.h"
#include "Prompt.h"
#include "bus.h"
#include "paramdb.h"
#include "server.h"
#include "sora32.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <functional>

namespace serverrig {

using linktest::inThread;
using linktest::waitFor;

// Copies the default database from binDir to dbFile; false when it is missing.
inline bool installDatabase(const QString& binDir, const QString& dbFile)
{
  QDir().mkpath(QFileInfo(dbFile).path());
  return QFile::copy(binDir + "/Tesmira.mdb", dbFile) &&
         QFile::setPermissions(dbFile, QFile::ReadOwner | QFile::WriteOwner);
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

// Fills the channel model from the library (every channel present and
// polled, offering what its device type offers); onParameter(channel,
// record, parameter) is told of every parameter a channel offers.
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

// Interface on node 1, a meter, a controller and a four-channel module.
inline QJsonObject smallScenario()
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

// Client calls block, so they run on a worker thread while the server's
// event loop turns here. The requested text, or "!topic" / "!item" for the
// refusal.
inline QString got(const QString& topic, const QString& item)
{
  return inThread([&] {
    ddeml::Client c;
    QString v;
    if (c.connect("Tesmira", topic, 3000) && c.request(item, &v, 3000))
      return v;
    const ddeml::ClientError e = c.error();
    return QString(e == ddeml::ClientError::NoTopic ? "!topic" : e == ddeml::ClientError::NoItem ? "!item" : "!other");
  });
}

// "" when the poke was taken, else the reason the client was given.
inline QString poke(const QString& topic, const QString& item, const QByteArray& value)
{
  return inThread([&] {
    ddeml::Client c;
    if (c.connect("Tesmira", topic, 3000) && c.poke(item, value, 5000))
      return QString();
    return c.error() == ddeml::ClientError::PokeFailed ? c.errorString() : QStringLiteral("!no poke");
  });
}

struct Rig {
  TestHome home;
  support::ScriptedPrompt prompt;
  std::shared_ptr<soranetsim::Bus> bus = std::make_shared<soranetsim::Bus>();
  std::unique_ptr<soranetsim::Server> sim;
  std::unique_ptr<tesmira::Server> s;
  QJsonObject scenario; // empty: the default scenario
  QString pty, logPath, failure; // pty: the link to the bus's pseudo-terminal
  // The interface name of the bus: a COM port mapped to the link (only
  // devices are interface names).
  static QString line() { return QStringLiteral("COM9"); }

  Rig() { support::setPrompt(&prompt); }
  ~Rig()
  {
    if (tesmira::frmMain* w = s ? tesmira::frmMain::of(*s) : nullptr) {
      tesmira::UnloadMain(*s);
      delete w;
    } else if (s && s->poll) {
      s->poll->StopPollingTimers();
      sora32::CloseCommunication();
    }
    s.reset();
    sim.reset();
    support::setPrompt(nullptr);
  }

  // The whole server as the program starts it with /O on `scenario` at
  // baud: main window, link service, the scan run and polling on. Returns an
  // error text, empty once the communication is open.
  QString start(int baud)
  {
    if (!installDatabase(qEnvironmentVariable("TESMIRA_BIN_DIR"), home.defaultDatabase()) || !startBus())
      return failure.isEmpty() ? "no database" : failure;
    const QString e = load(QStringLiteral("[Communication]\nInterfaceName=%1\nBaudrate=%2\n"
                                          "[Settings]\nPollParametersOnInit=False\n")
                             .arg(line())
                             .arg(baud)
                             .toUtf8(),
                           {}, [](tesmira::Options& o) {
                             o.OptOpenCom = true;
                             o.TrayIconEnabled = false;
                           });
    return e.isEmpty() && s->state.CommOpen ? e : "not open: " + e;
  }

  // The whole program as it starts on these settings files: main window
  // with its secondary windows, link service, Start run. Returns the error
  // that would end start-up, empty when it serves.
  QString load(const QByteArray& common, const QByteArray& program = {},
               const std::function<void(tesmira::Options&)>& options = {})
  {
    if (!QFileInfo::exists(home.defaultDatabase()))
      installDatabase(qEnvironmentVariable("TESMIRA_BIN_DIR"), home.defaultDatabase());
    for (const auto& [name, text] : {std::pair{"common.ini", common}, std::pair{"program.ini", program}}) {
      QFile f(home.file(name));
      if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
        return name;
    }
    s = std::make_unique<tesmira::Server>();
    s->createGeneral(".");
    if (options)
      options(s->options);
    s->createServices();
    auto* w = new tesmira::frmMain(*s);
    w->Form_Load();
    return w->bCancel ? w->sError : tesmira::Start(*s);
  }
  // The main window load made; null before.
  tesmira::frmMain* main() const { return s ? tesmira::frmMain::of(*s) : nullptr; }
  template <typename T> T* form(const char* name) { return qobject_cast<T*>(main()->forms.value(name).data()); }

  // The server with its database and scheduler, no line open; with `link`
  // the single-instance check takes the service name.
  bool startServer(bool link = false)
  {
    if (!installDatabase(qEnvironmentVariable("TESMIRA_BIN_DIR"), home.defaultDatabase()))
      return fail("no database in " + qEnvironmentVariable("TESMIRA_BIN_DIR"));
    s = std::make_unique<tesmira::Server>();
    s->createGeneral(".");
    s->createServices();
    QString e = startServices(*s);
    if (e.isEmpty() && link && (!tesmira::CheckServer(*s).isEmpty() || !s->dde->registered()))
      e = "the link service was not registered";
    return e.isEmpty() || fail(e);
  }

  // The line open on the bus (the small scenario unless one is set), the
  // channel model filled from the configuration read without the device
  // table's reconciliation (so each test decides flags such as
  // ModulePresent), the channel topics made, the server ready.
  bool openBus(int baud = 460800)
  {
    if (scenario.isEmpty())
      scenario = smallScenario();
    if (!startBus())
      return false;
    const QString e = openLine(*s, line(), baud, 10);
    if (!e.isEmpty())
      return fail(e);
    fillChannelModel(*s);
    s->dde->AddTopicScr(s->channels.ChannelCount);
    s->state.NotReady = false;
    return true;
  }

  // A serving server: link service, line open, a log file taking every line.
  bool serve() { return startServer(true) && openBus() && openLog(); }

  bool openLog()
  {
    logPath = home.file("server.log");
    prompt.files << logPath;
    return s->log->OpenLogFile(false) == 0 || fail("the log file did not open");
  }
  QString logText() const
  {
    QFile f(logPath);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }
  QStringList logLines() const { return logText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts); }
  // Lines written since mark (the number of lines at some earlier moment).
  QStringList logSince(int mark) const { return logLines().mid(mark); }
  int logMark() const { return int(logLines().size()); }
  // "Ch003   P009": the channel and parameter columns of a parameter line.
  static QString column(int channel, int parameter)
  {
    return QStringLiteral("Ch%1   P%2").arg(channel, 3, 10, QLatin1Char('0')).arg(parameter, 3, 10, QLatin1Char('0'));
  }
  // Parameters of the Read lines of a channel among lines, in order.
  static QList<int> readParameters(const QStringList& lines, int channel)
  {
    QList<int> out;
    const QRegularExpression re(QStringLiteral("Read\tCh%1   P(\\d{3})").arg(channel, 3, 10, QLatin1Char('0')));
    for (const QString& l : lines)
      if (auto m = re.match(l); m.hasMatch())
        out << m.captured(1).toInt();
    return out;
  }

  // The channel of a node's process, or of the first module of a device
  // type (proc < 0); 0 when none.
  int channelOf(int node, int proc) const
  {
    const auto& t = s->channels.ChannelTable;
    for (size_t c = 1; c < t.size(); ++c)
      if (proc < 0 ? t[c].Dev_ID == node : t[c].Dev_Nodenr == node && t[c].Dev_Proc == proc)
        return int(c);
    return 0;
  }
  QString item(int channel, int p) const
  {
    tesmira::frmTopic* t = s->dde->topic(int16_t(channel));
    return t ? t->item(int16_t(p)) : QString();
  }
  void offer(int channel, int p, bool on = true) { serverrig::offer(*s, channel, p, on); }
  // Reads one parameter of a channel and waits for its reply.
  QString readWait(int channel, int p)
  {
    const tesmira::ChannelRec& r = s->channels.ChannelTable[size_t(channel)];
    return s->engine->Read_from_Soranet_direct(r.Dev_Nodenr, r.Dev_Proc, int16_t(channel), int16_t(p));
  }
  // Processes replies until cond holds or ms pass.
  template <typename F> bool until(F cond, int ms = 3000)
  {
    return waitFor([&] {
      s->engine->HandleBusMessages();
      return cond();
    }, ms);
  }

  // Chooses a menu item as the operator does; false when it is disabled.
  bool menu(const char* name)
  {
    QAction* a = main()->menu(name);
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

  bool fail(const QString& why)
  {
    failure = why;
    return false;
  }

  // The virtual bus on `scenario` behind a pseudo-terminal (`pty`); needs
  // the database file.
  bool startBus()
  {
    soranetsim::ParamDb pdb;
    QString e = pdb.load(home.defaultDatabase());
    if (e.isEmpty())
      e = bus->loadScenario(scenario.isEmpty() ? soranetsim::Bus::defaultScenario() : scenario, pdb);
    if (!e.isEmpty())
      return fail(e);
    sim = std::make_unique<soranetsim::Server>(bus);
    // The server is given the link, never the terminal itself (see
    // processrig::Bus).
    if (sim->startPty(home.file("bus"), &e).isEmpty() || !e.isEmpty())
      return fail("pty: " + e);
    pty = home.file("bus");
    qputenv("TESMIRA_COM9", pty.toLocal8Bit());
    return true;
  }
};

}
