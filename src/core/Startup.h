#pragma once
#include <QString>
#include <cstdint>

namespace tesmira {

class Server;

// The process entry: start-up sequence, serving, ordered shut-down. Returns
// the process exit code (0 after an orderly shut-down, 1 after a start-up
// error).
int Main(int argc, char** argv);

// Automatic actions after a successful load: load the parameter table, then
// simulation, opening the communication or the first-use instructions, then
// the client program.
QString Start(Server& s);

// Creates the secondary windows in their fixed order; the polling-timer
// window's initialisation result becomes the error.
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
