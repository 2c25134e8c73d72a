#pragma once
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

class QCoreApplication;

namespace support {
class Prompt;
}

namespace tesmira {

class Server;

// What the windowed program puts in front of the server (src/ui fills it):
// the application object with its display, the operator's dialogs and the
// main window. The daemon has none.
class ProgramFront {
public:
  virtual ~ProgramFront() = default;
  // The application object for a display (made only when there is one).
  virtual std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv) = 0;
  // Whether an operator sees the windows and answers the dialogs (not on
  // the offscreen platform); asked once the application exists.
  virtual bool interactive() const = 0;
  // The dialogs of an interactive program.
  virtual support::Prompt& prompt() = 0;
  // Makes the main window once the services exist; the window becomes the
  // server's view and asks the server to stop when it is closed.
  virtual void openMainWindow(Server& s) = 0;
  // After the ordered shut-down: the main window goes.
  virtual void closeMainWindow(Server& s) = 0;
};

// The process entry: command line, start-up sequence, serving, ordered
// shut-down. Without a front (tesmirad), or without a display, the server
// runs headless on a QCoreApplication: console lines to standard output,
// prompts answered by policy, no window. program names the program in the
// usage texts. Returns the process exit code: 0 after --help, --version or
// an orderly shut-down, 1 after a start-up error, 2 after a usage error.
int Main(int argc, char** argv, const char* program, ProgramFront* front);

// The main window's load step without the window: services, single
// instance, database, session, port settings, version fields; the view
// shows the window parts (menus, placement, splash). Returns the start-up
// error (sError; bCancel is its being non-empty).
QString Form_Load(Server& s);

// The secondary windows' names in the order CreateForms makes them.
const QStringList& SecondaryWindowNames();

// Automatic actions after a successful load: load the parameter table, then
// simulation, opening the communication or the first-use instructions, then
// the client program.
QString Start(Server& s);

// Creates the secondary windows (through the view; none without one) in
// their fixed order; the polling scheduler's ClassInitialize, run at the
// polling-timer window's place, gives the error.
QString CreateForms(Server& s);
QString TerminateForms(Server& s);

// Asks a running instance for its Status item through the link layer; a
// non-empty answer other than "n/a" means one is serving.
QString CheckServer(Server& s);

// Creates the communication session (the library's application id).
QString CreateSession(Server& s);

// Starts the client program without waiting.
QString StartProgram(Server& s, const QString& path);

// Ordered shut-down of the services (the main window's unload step).
void CleanUp(Server& s);
// The whole unload: CleanUp, window settings, session, debug registration.
// Runs with or without a main window.
void UnloadMain(Server& s);

// Polling control, filled in by the scheduler; no-ops until it exists.
void StopPolling(Server& s);
void StopPollingTimers(Server& s);

// A pause of ms milliseconds during which events keep being processed
// (timers, client requests, the window). Returns 258 after the time-out.
// ms = 0xFFFFFFFF waits for the next event instead.
int32_t WaitWithMessages(uint32_t ms);

// Asks the server to end (a stop signal, closing the main window, the -9
// command): recorded in StopRequested, which lengthy operations check as they
// check EscPressed; the application's event loop ends once they have
// unwound, and Main runs the ordered shut-down once.
void RequestStop(Server& s);

// The five lines written to the console when the server starts with
// nothing to do.
QStringList FirstUseInstructions();

}
