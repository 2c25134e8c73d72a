#pragma once
#include <QDateTime>
#include <QString>

namespace tesmira {

class Server;

// The service log and the system overview: a snapshot of the installation
// for a support case. The overview names the server, library and database
// versions and every module on the bus; the service log is that overview
// followed by the current value of every readable parameter of every
// channel, in one file.

// The program's string resources: 101 the product title (also the first
// line of the support contact), 102 the rest of the support contact.
QString ResourceString(int id);

// The system overview text (lines separated by CR LF, the module rows each
// ending with CR LF), as of now.
QString SystemOverviewText(const Server& s, const QDateTime& now);

// Where the service log goes when no operator can choose a file: the
// folder Tesmira32 of the common data folder, named after the moment,
// e.g. .../Tesmira32/ServiceLog-20261206-143005.log.
QString DefaultServiceLogPath(const QDateTime& now);

// Writes the service log: asks for the file ("Create/Open Service Log
// File"), writes the overview, reads every readable parameter of every
// channel into it with all log options opened up, closes the file, tells
// the operator where to send it and puts the options back. A cancelled
// file choice ends it at once with nothing changed.
void Servicelog(Server& s);

// The File menu's "&Service log ": outstanding messages finished, the
// status "Service log", the service log, polling started again.
void mnuServiceLog_Click(Server& s);

}
