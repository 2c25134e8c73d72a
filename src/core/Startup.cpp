#include "Startup.h"

#include "CommandLine.h"
#include "Server.h"
#include "Settings.h"
#include "clsGeneral.h"
#include "bus/Communication.h"
#include "bus/ErrorMessages.h"
#include "bus/clsComSoraDLL.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/ServerTopic.h"
#include "mqtt/MqttBridge.h"
#include "engine/frmPollTime.h"
#include "log/LogCategory.h"
#include "log/Logger.h"
#include "operator/Simulation.h"

#include "Debug.h"
#include "Paths.h"
#include "Prompt.h"
#include "Setting.h"
#include "sora32.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLockFile>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>
#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <sys/socket.h>
#include <unistd.h>
#ifdef TESMIRA_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace tesmira {
namespace {

// Stop signals. The handlers exist from the first line of Main: a signal
// only writes a byte to a socket pair, which the main thread reads once its
// event loop runs and turns into a stop request (RequestStop). A second
// signal at least 10 s after the first (TESMIRA_FORCE_STOP_AFTER seconds
// when set, for tests and service managers with a shorter patience) no
// longer waits for the orderly shut-down: the handler removes the link
// socket and the lock file itself and ends the process at once.
int g_signalFd[2] = {-1, -1};
volatile sig_atomic_t g_stopSignals = 0;
timespec g_firstStop = {};
char g_quickSocket[512] = {};
char g_quickLock[512] = {};
time_t g_forceAfterSeconds = 10;

void onSignal(int sig)
{
  const int saved = errno;
  if (sig == SIGHUP) {
    // Not a stop: the log file is reopened (after logrotate moved it).
    const char h = 'H';
    [[maybe_unused]] ssize_t n = ::write(g_signalFd[1], &h, 1);
    errno = saved;
    return;
  }
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (g_stopSignals == 0) {
    g_firstStop = now;
  } else if (now.tv_sec - g_firstStop.tv_sec >= g_forceAfterSeconds) {
    if (g_quickSocket[0])
      ::unlink(g_quickSocket);
    if (g_quickLock[0])
      ::unlink(g_quickLock);
    ::_exit(1);
  }
  g_stopSignals = g_stopSignals + 1;
  const char c = 'S';
  [[maybe_unused]] ssize_t n = ::write(g_signalFd[1], &c, 1);
  errno = saved;
}

void installSignalHandlers()
{
  bool ok = false;
  const int forceAfter = qEnvironmentVariableIntValue("TESMIRA_FORCE_STOP_AFTER", &ok);
  if (ok && forceAfter >= 0)
    g_forceAfterSeconds = forceAfter;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_signalFd) != 0)
    g_signalFd[0] = g_signalFd[1] = -1;
  struct sigaction sa = {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
}

// Tells the service manager (systemd, Type=notify) how the server stands;
// nothing happens when it was not started by one.
void notifyServiceManager(const char* state)
{
#ifdef TESMIRA_HAVE_SYSTEMD
  sd_notify(0, state);
#else
  (void)state;
#endif
}

// The parameter log a headless server keeps without a dialog: --log=FILE on
// the command line, else program.ini [Log] File=. Opened appending.
void OpenStartupLog(Server& s, const QString& fromCommandLine)
{
  QString path = fromCommandLine;
  if (path.isEmpty() && s.setting())
    path = s.setting()->GetProgramSetting(QStringLiteral("Log"), QStringLiteral("File"), QString()).trimmed();
  if (path.isEmpty() || !s.log)
    return;
  if (s.log->OpenLogFileAt(path) == 0)
    s.LogMessage(Init, QStringLiteral("Log file %1 opened").arg(s.log->logFileName()));
}

void ReopenLog(Server& s)
{
  if (!s.log || !s.log->logFileOpen())
    return;
  const QString error = s.log->ReopenLogFile();
  s.LogMessage(error.isEmpty() ? Init : Error,
               error.isEmpty() ? QStringLiteral("Log file %1 opened again").arg(s.log->logFileName()) : error);
}

// Paths the forced exit removes; copied while it is safe to do so.
void setQuickExitPath(char (&target)[512], const QString& path)
{
  const QByteArray p = QFile::encodeName(path);
  if (size_t(p.size()) >= sizeof target)
    return;
  std::memcpy(target, p.constData(), size_t(p.size()));
  target[p.size()] = 0;
}

// Turns the signal bytes into stop requests on the main thread.
void watchSignals(QObject* owner, Server& s)
{
  if (g_signalFd[0] < 0)
    return;
  auto* notifier = new QSocketNotifier(g_signalFd[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [&s] {
    char buf[16];
    bool stop = false, hangup = false;
    ssize_t n;
    while ((n = ::read(g_signalFd[0], buf, sizeof buf)) > 0)
      for (ssize_t i = 0; i < n; ++i)
        (buf[i] == 'H' ? hangup : stop) = true;
    if (hangup)
      ReopenLog(s);
    if (stop)
      RequestStop(s);
  });
}

// The offscreen platform warns about window operations it cannot carry out
// (raise, size hints); in headless mode they are noise on standard error.
QtMessageHandler g_defaultHandler = nullptr;
void headlessMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
  if (type == QtWarningMsg && message.startsWith(QLatin1String("This plugin does not support")))
    return;
  if (g_defaultHandler)
    g_defaultHandler(type, context, message);
}

bool displayAvailable()
{
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// The --help text after the usage lines.
const char* kHelp =
  "\n"
  "Tesmira makes the instruments on a Soranet fieldbus available to client\n"
  "programs on this computer (service \"Tesmira\", topics C(1), C(2), ..., items\n"
  "P(8), ...; see tesmira-dde).\n"
  "\n"
  "  /O      open the communication at start\n"
  "  /S      start in simulation mode (wins over /O)\n"
  "  /D      update the device table from the bus without asking\n"
  "  /NT     no tray icon\n"
  "  /B      show the busy window during lengthy operations\n"
  "  /R      allow removing unavailable parameters\n"
  "  /Q      quiet: no busy window\n"
  "  8352    extra columns in the parameter list\n"
  "  client  program started once the server is ready (quote a path with blanks)\n"
  "  --log FILE, --log=FILE\n"
  "          open the parameter log FILE at start, appending (also\n"
  "          program.ini [Log] File=); SIGHUP opens it again (logrotate)\n"
  "  -h, --help     this text\n"
  "  -V, --version  the version\n"
  "\n"
  "Options are not case-sensitive; any other option starting with a dash is a\n"
  "usage error (exit code 2). tesmirad is the server without windows; tesmira\n"
  "shows its main window when there is a display and runs like tesmirad\n"
  "without one: console lines go to standard output, questions are answered\n"
  "by policy.\n"
  "Files: settings in $TESMIRA_HOME or ~/.config/Tesmira, database in\n"
  "$TESMIRA_HOME/data/Tesmira32 or ~/.local/share/Tesmira32, logs in\n"
  "$TESMIRA_HOME/logs or ~/.local/state/Tesmira.\n";
}

QStringList FirstUseInstructions()
{
  return {
    "To start serving client applications with the Tesmira server:",
    "1. Connect an instrument to a COM port of the PC via its RS232 connector (respect hook-up!) or via an "
    "RS232/SORANET interface (straight cable).",
    "2. From the menu Communication click Communication settings... and select the COM port to which the "
    "instrument is connected.",
    "3. From the menu Communication click Open communication to open the communication.",
    "4. Wait for the DDE server to scan the connected (SORANET) system until the message: Server is active and "
    "ready for any client."};
}

int32_t WaitWithMessages(uint32_t ms)
{
  if (ms == 0xFFFFFFFFu) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return 0;
  }
  // Events are processed until the deadline: timers, sockets and the window
  // keep being served while the caller waits. The wait does not depend on
  // the application's event loop (which ends when the server is asked to
  // stop, and after which a nested loop would return at once): its own timer
  // wakes it, and the timer goes with it when it returns.
  const QDeadlineTimer deadline(std::chrono::milliseconds{ms}, Qt::PreciseTimer);
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  QEventLoop loop;
  while (!deadline.hasExpired()) {
    if (!wake.isActive())
      wake.start(std::chrono::milliseconds{std::max<qint64>(1, deadline.remainingTime())});
    loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return 258;
}

void RequestStop(Server& s)
{
  if (s.state.StopRequested)
    return;
  s.state.StopRequested = true;
  s.LogMessage(Init, QStringLiteral("Server is asked to stop"));
  // Ends the application's event loop (once the operations nested in it have
  // unwound) and every dialog's loop; the shut-down follows in Main. (Not
  // quit(): that asks the windows to close, and the main window only closes
  // through this request.)
  QCoreApplication::exit(0);
}

void StopPolling(Server& s)
{
  if (s.StopPollingHook)
    s.StopPollingHook();
}

void StopPollingTimers(Server& s)
{
  if (s.StopPollingTimersHook)
    s.StopPollingTimersHook();
}

const QStringList& SecondaryWindowNames()
{
  // Messages reach the operator as message boxes (a prompt policy when
  // headless) and the console pane, never through a window of their own, so
  // the order starts with the module list.
  static const QStringList names = {"frmNetwork", "frmParmList", "frmParmVal", "frmPollTime",
                                    "frmSystem", "frmTest", "frmTestLumbra", "frmViewDeviceParam",
                                    "frmWorning"};
  return names;
}

QString CreateForms(Server& s)
{
  QString error;
  for (const QString& name : SecondaryWindowNames()) {
    if (!error.isEmpty())
      break;
    const bool made = s.view().CreateForm(name);
    if (made && s.debug())
      s.debug()->LogClassInit(name);
    // The polling scheduler stands behind the polling-timer window, with or
    // without the window; its initialisation result becomes the error.
    if (name == QLatin1String("frmPollTime") && s.poll)
      error = s.poll->ClassInitialize();
  }
  return error;
}

QString TerminateForms(Server& s)
{
  for (const QString& name : SecondaryWindowNames())
    if (s.view().DestroyForm(name) && s.debug())
      s.debug()->LogClassTerm(name);
  return {};
}

QString CheckServer(Server& s)
{
  const QString running = "There is already an instance of " + Server::title() +
                          " running.\r\nRunning this server application twice is not allowed, this instance will "
                          "be closed.";
  // Once this server holds the name, nobody else can; asking would only
  // ask ourselves.
  if (s.dde && s.dde->registered())
    return {};
  const QString status = Request(QStringLiteral("Server"), QStringLiteral("Status"));
  if (!status.isEmpty() && status != QLatin1String("n/a"))
    return running;
  // No other server answered: take the service name. A live server that
  // holds it without answering (busy beyond the request's time-out) is
  // another instance as well.
  if (!s.dde)
    return {};
  QString error;
  bool inUse = false;
  if (s.dde->registerService(&error, &inUse))
    return {};
  return inUse ? running : "The link service " + Server::title() + " cannot be registered: " + error;
}

QString CreateSession(Server& s)
{
  if (!s.session)
    return QStringLiteral("The communication library cannot be opened.");
  const QString error = s.session->ClassInitialize(s.debug());
  s.iAppId = s.session->iAppId();
  return error;
}

QString StartProgram(Server& s, const QString& path)
{
  // Paths on Linux are case-sensitive: start the argument as it was typed,
  // while messages show it as the command line evaluation keeps it.
  const QString program = s.options.ClientProgram == path && !s.options.ClientProgramAsTyped.isEmpty()
                            ? s.options.ClientProgramAsTyped
                            : path;
  qint64 pid = 0;
  if (!QProcess::startDetached(program, {}, QString(), &pid) || pid <= 0)
    return "The program " + path + " is not found.\r\nPlease check the command line parameters.";
  return {};
}

QString Form_Load(Server& s)
{
  support::Debug* dbg = s.debug();
  support::Trace trace(dbg, "frmMain", "Form_Load");
  QString error;
  try {
    s.fields.set("ProductName", Server::title());

    // Initial menu state.
    for (const char* n : {"mnuCloseLog", "mnuServiceLog", "mnuClipboard", "mnuClose", "mnuReadAllParameters",
                          "mnuComSpeedTest", "mnuCheckConfig", "mnuShowDevice", "mnuTest"})
      s.enableMenu(n, false);
    if (s.log) {
      s.log->RetrieveMenuSettings();
      s.log->syncMenus();
    }
    s.state.EscPressed = false;
    if (dbg)
      dbg->SetParentClass("frmMain");
    s.fields.set("Caption", s.ProgramTitle);
    s.view().BeginLoad();

    error = CreateForms(s);

    if (error.isEmpty()) {
      s.ShowBusy("Starting", -1);
      s.SetComStatus("Idle");
      if (s.options.TrayIconEnabled)
        s.view().CreateTrayIcon();
      s.state.NotReady = true;
      StopPolling(s);
      s.state.RxCount = 0;
      s.fields.set("lblAmount", "0");
    }
    if (error.isEmpty())
      error = CheckServer(s);
    if (error.isEmpty() && s.db) {
      const QString installed = s.db->InstallDefaultDatabase();
      if (!installed.isEmpty() && s.log)
        s.log->LogMessage(Init, installed, true);
      error = s.db->InitDB();
    }
    if (error.isEmpty())
      error = CreateSession(s);
    if (error.isEmpty()) {
      LoadPortSettings(s);
      s.enableMenu("mnuComSettings", sora32::GetCommunication() == 0);
      s.fields.set("TESMIRAVersion", s.general ? s.general->sVersion() : QString());
      s.fields.set("DatabaseVersion", s.db ? s.db->DBVersion : QString());
      std::string libVersion;
      sora32::GetDLLVersion(libVersion);
      s.fields.set("SORANETDLLVersion", QString::fromStdString(libVersion));
      s.enableMenu("mnuOpenCom", true);
      s.enableMenu("mnuTestLumbra", true);
      s.enableMenu("mnuSimulate", true);
      s.ShowBusy("Ready", -1);
    }
  } catch (const std::exception& e) {
    error = support::Debug::FormatError(440, QString::fromLocal8Bit(e.what()), "frmMain", "Form_Load",
                                        Server::title()) +
            "\r\n\r\nPlease make sure " + Server::title() +
            " has run at least once as administrator (even if the logged on user is an administrator)."
            "\r\nRight-click " + Server::title() + " and choose 'Run as administrator'.";
  }
  s.view().EndLoad();
  return error;
}

QString Start(Server& s)
{
  QString error = s.db ? s.db->LoadParameterTable() : QString();
  if (!error.isEmpty())
    return error;
  // The bridge listens from the start, so the channel topics of an opening
  // or of simulation mode below reach the broker too.
  s.mqtt = MqttBridge::fromSettings(s);
  if (s.options.OptSimulate && s.simulation) {
    // Switching simulation on starts the client program itself.
    s.simulation->mnuSimulate_Click();
    return {};
  } else if (s.options.OptOpenCom) {
    OpenCommunication_Click(s);
  } else if (s.log) {
    for (const QString& line : FirstUseInstructions())
      s.log->Write2Console(line);
  }
  if (!s.options.ClientProgram.isEmpty()) {
    s.ShowBusy("Starting client application", -1);
    error = StartProgram(s, s.options.ClientProgram);
    s.ShowBusy("Ready", -1);
  }
  return error;
}

void CleanUp(Server& s)
{
  support::Trace trace(s.debug(), "frmMain", "CleanUp");
  s.ShowBusy("Preparing program to stop", 50);
  if (s.log)
    s.log->StoreCurrentMenuSettings();
  StopPollingTimers(s);
  if (s.simulation)
    s.simulation->StopTimer();
  if (s.state.CommOpen && !s.state.SimulationOn)
    StopCommunication(s);
  if (s.dde)
    s.dde->DeleteTopicScr();
  if (s.log && s.log->logFileOpen())
    s.log->CloseLogFile();
  if (s.options.TrayIconEnabled)
    s.view().RemoveTrayIcon();
  if (s.db)
    s.db->CloseDB();
  // After the topics have gone (their retained values cleared): "offline".
  s.mqtt.reset();
  TerminateForms(s);
  s.view().CloseOtherWindows();
}

void UnloadMain(Server& s)
{
  CleanUp(s);
  s.view().StoreWindowSettings();
  // Releasing the session closes the library.
  s.session.reset();
  s.iAppId = -1;
  if (s.debug())
    s.debug()->LogClassTerm("frmMain");
}

int Main(int argc, char** argv, const char* program, ProgramFront* front)
{
  installSignalHandlers();
  QStringList arguments;
  for (int i = 1; i < argc; ++i)
    arguments << QString::fromLocal8Bit(argv[i]);
  const DashOptions dash = ParseDashOptions(arguments);
  const QString usage = UsageLines(QString::fromLatin1(program));
  switch (dash.action) {
  case DashOptions::Help:
    std::fputs(qPrintable(usage + kHelp), stdout);
    return 0;
  case DashOptions::Version:
    std::printf("Tesmira %d.%d.%d%s%s\n", TESMIRA_VERSION_MAJOR, TESMIRA_VERSION_MINOR, TESMIRA_VERSION_REVISION,
                *TESMIRA_VERSION_COMMENT ? " " : "", TESMIRA_VERSION_COMMENT);
    return 0;
  case DashOptions::UsageError:
    std::fprintf(stderr, "%s: %s\n%s", program, qPrintable(dash.error), qPrintable(usage));
    return 2;
  case DashOptions::Serve: break;
  }

  // With a display the front makes the windowed application; otherwise the
  // server runs as the daemon does, with no window at all.
  const bool windowed = front && displayAvailable();
  std::unique_ptr<QCoreApplication> app =
    windowed ? front->makeApplication(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
  app->setApplicationName(Server::title());

  const bool interactive = windowed && front->interactive();
  support::HeadlessPrompt headlessPrompt;
  support::setPrompt(interactive ? &front->prompt() : &headlessPrompt);
  support::Prompt::setDefaultTitle(Server::title());

  Server s;
  watchSignals(app.get(), s);
  s.headless = !interactive;
  if (s.headless)
    g_defaultHandler = qInstallMessageHandler(headlessMessageHandler);

  // 1. General services.
  s.createGeneral(support::Paths::programDir());
  // 2. Command line (the dash options are taken above).
  const QString logPath = dash.logPath;
  QString error = EvaluateCommandLine(JoinArguments(dash.rest), s.options);
  // 3. Previous instance: a lock file in the runtime folder.
  support::Paths::ensureDir(support::Paths::runtimeDir(), true);
  QLockFile lock(support::Paths::runtimeDir() + "/Tesmira.lock");
  lock.setStaleLockTime(0);
  if (lock.tryLock(0))
    setQuickExitPath(g_quickLock, lock.fileName());
  else
    error = "There is already an instance of " + Server::title() + " running.\r\n"
            "Running this server application twice is not allowed, this instance will be closed!";
  // 4. Component errors.
  if (error.isEmpty())
    error = s.general->sError();

  int exitCode = 0;
  bool loaded = false;
  if (error.isEmpty()) {
    if (s.debug())
      s.debug()->LogInfo(Server::title() + ' ' + s.general->sVersion() + ' ' +
                         QLocale::c().toString(QDateTime::currentDateTime(), "dd-MMM-yyyy hh:mm:ss"));
    s.createServices();
    if (s.headless)
      s.log->setMirrorToStdout(true);
    if (windowed)
      front->openMainWindow(s);
    loaded = true;
    error = Form_Load(s);
    if (s.dde && s.dde->registered())
      setQuickExitPath(g_quickSocket, s.dde->socketPath());
    // A stop asked for before this point ends start-up where it stands.
    if (g_stopSignals > 0)
      RequestStop(s);
    if (error.isEmpty() && !s.state.StopRequested) {
      OpenStartupLog(s, logPath);
      error = Start(s);
    }
  }
  if (!error.isEmpty()) {
    if (s.debug())
      s.debug()->LogMsg("Error", error);
    support::prompt().MsgBox(error, support::Prompt::Ok, support::Prompt::Critical, "Tesmira startup error");
    exitCode = 1;
  } else {
    if (g_stopSignals > 0)
      RequestStop(s);
    // A stop request made before the loop runs would be lost by it.
    if (!s.state.StopRequested) {
      notifyServiceManager("READY=1\nSTATUS=Serving clients");
      // Under WatchdogSec= the service manager restarts a server whose event
      // loop stops turning: a sign of life at half the period it asks for.
      QTimer watchdog;
#ifdef TESMIRA_HAVE_SYSTEMD
      uint64_t watchdogUsec = 0;
      if (sd_watchdog_enabled(0, &watchdogUsec) > 0) {
        QObject::connect(&watchdog, &QTimer::timeout, [] { notifyServiceManager("WATCHDOG=1"); });
        watchdog.start(std::chrono::milliseconds(std::max<uint64_t>(watchdogUsec / 2000, 1)));
      }
#endif
      app->exec();
    }
    notifyServiceManager("STOPPING=1");
  }
  if (loaded) {
    UnloadMain(s);
    if (windowed)
      front->closeMainWindow(s);
  }
  support::setPrompt(nullptr);
  return exitCode;
}

}
