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

// Joins argv (without the program name) back into one command line, quoting
// arguments that hold blanks, so that "a b" stays one argument.
QString JoinArguments(const QStringList& arguments);

}
