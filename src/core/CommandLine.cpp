#include "CommandLine.h"

namespace tesmira {

void SplitCommandLine(const QString& line, QChar separator, int16_t& count, QStringList& tokens,
                      QStringList* asTyped)
{
  QStringList original;
  const int n = int(line.size());
  int p = 0;
  while (p < n) {
    const QChar c = line.at(p);
    if (c == separator) {
      ++p;
      continue;
    }
    if (c == '"') {
      const int close = int(line.indexOf('"', p + 1));
      if (close < 0) {
        original << line.mid(p + 1);
        p = n;
      } else {
        original << line.mid(p + 1, close - p - 1);
        p = close + 1;
      }
      continue;
    }
    const int next = int(line.indexOf(separator, p));
    if (next < 0) {
      original << line.mid(p);
      p = n;
    } else {
      original << line.mid(p, next - p);
      p = next + 1;
    }
  }
  tokens.clear();
  for (const QString& t : original)
    tokens << t.toUpper();
  if (asTyped)
    *asTyped = original;
  count = int16_t(tokens.size());
}

QString EvaluateCommandLine(const QString& commandLine, Options& options)
{
  QString result;
  options.TrayIconEnabled = true;
  int16_t count = 0;
  QStringList tokens, asTyped;
  SplitCommandLine(commandLine.trimmed(), ' ', count, tokens, &asTyped);
  for (int i = 0; i < count; ++i) {
    const QString& t = tokens.at(i);
    // An option is "/" and a word; a token with a further "/" is a Linux
    // path (an absolute client program path), not an option.
    if (t.startsWith('/') && !t.mid(1).contains('/')) {
      if (t == "/O") options.OptOpenCom = true;
      else if (t == "/D") options.ConfigCheckDisabled = true;
      else if (t == "/S") options.OptSimulate = true;
      else if (t == "/NT") options.TrayIconEnabled = false;
      else if (t == "/B") options.OptBusyWindow = true;
      else if (t == "/R") options.OptAllowRemove = true;
      else if (t == "/Q") options.OptQuiet = true;
      // Any other option is ignored without a message.
    } else if (t == "8352") {
      options.ServiceColumns = true;
    } else if (i == count - 1) {
      options.ClientProgram = t;
      options.ClientProgramAsTyped = asTyped.at(i);
    } else {
      result = QStringLiteral("Invalid command line options.\r\n"
                              "Usage: [Path]Tesmira[.exe] [/d | /o | /s] [path][client][.exe]");
    }
  }
  return result;
}

QString JoinArguments(const QStringList& arguments)
{
  QStringList parts;
  for (const QString& a : arguments)
    parts << ((a.contains(' ') || a.isEmpty()) ? '"' + a + '"' : a);
  return parts.join(' ');
}

DashOptions ParseDashOptions(const QStringList& arguments)
{
  DashOptions d;
  for (int i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments.at(i);
    if (a == QLatin1String("--help") || a == QLatin1String("-h") || a == QLatin1String("/?")) {
      d.action = DashOptions::Help;
      return d;
    }
    if (a == QLatin1String("--version") || a == QLatin1String("-V")) {
      d.action = DashOptions::Version;
      return d;
    }
    if (a.startsWith(QLatin1String("--log="))) {
      d.logPath = a.mid(6);
    } else if (a == QLatin1String("--log")) {
      if (i + 1 >= arguments.size()) {
        d.action = DashOptions::UsageError;
        d.error = QStringLiteral("option '--log' needs a file name");
        return d;
      }
      d.logPath = arguments.at(++i);
    } else if (a.startsWith('-')) {
      d.action = DashOptions::UsageError;
      d.error = QStringLiteral("unknown option '%1'").arg(a);
      return d;
    } else {
      d.rest << a;
    }
  }
  return d;
}

QString UsageLines(const QString& program)
{
  return QStringLiteral("Usage: %1 [/O] [/S] [/D] [/NT] [/B] [/R] [/Q] [8352] [--log FILE] [client-program]\n"
                        "       %1 -h | --help | -V | --version\n")
      .arg(program);
}

}
