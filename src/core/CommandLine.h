#pragma once
#include "Options.h"

#include <QString>
#include <QStringList>

namespace tesmira {

// Splits a command line into upper-cased tokens: blanks separate, a pair of
// double quotes keeps blanks inside one token (an unclosed quote runs to the
// end; an empty pair gives an empty token).
// asTyped, when given, receives the same tokens in their original case.
void SplitCommandLine(const QString& line, QChar separator, int16_t& count, QStringList& tokens,
                      QStringList* asTyped = nullptr);

// Fills the option record from the command line; returns the empty text or
// the usage error.
QString EvaluateCommandLine(const QString& commandLine, Options& options);

// The dash options of both programs, taken before anything starts:
// -h/--help (also /?), -V/--version, --log FILE and --log=FILE. Any other
// argument that starts with a dash is a usage error, never a client
// program. The first help, version or error met decides; the other
// arguments (the /X options and the client program) go on, in their order,
// to EvaluateCommandLine.
struct DashOptions {
  enum Action { Serve, Help, Version, UsageError };
  Action action = Serve;
  QString logPath;   // --log's file; empty when not given
  QString error;     // the usage error, e.g. "unknown option '-x'"
  QStringList rest;
};
DashOptions ParseDashOptions(const QStringList& arguments);

// The usage lines of a program ("tesmira" or "tesmirad"), the first lines
// of its --help text and what a usage error prints after the error.
QString UsageLines(const QString& program);

// Joins argv (without the program name) back into one command line, quoting
// arguments that hold blanks, so that "a b" stays one argument.
QString JoinArguments(const QStringList& arguments);

}
