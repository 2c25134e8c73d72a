// Cost of one polled value's log line: dropped (no log file, echo off)
// versus written to a log file. Prints lines per second for each case and
// how many lines were formatted, which for the dropped case must be 0.
//
//   bench_log [lines]     default 200000
#include "core/Configuration.h"
#include "log/Logger.h"

#include <Debug.h>
#include <Folder.h>
#include <Prompt.h>
#include <Setting.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>

using namespace tesmira;

namespace {
double run(Logger& log, int lines)
{
  QElapsedTimer t;
  t.start();
  for (int i = 0; i < lines; ++i)
    log.LogParameter(Read, 1 + i % 24, 8, QStringLiteral("fMeasure"), QVariant(12.5 + i % 100),
                     QString());
  return double(lines) / (double(t.nsecsElapsed()) / 1e9);
}
}

int main(int argc, char** argv)
{
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int lines = argc > 1 ? std::atoi(argv[1]) : 200000;

  QTemporaryDir home;
  qputenv("TESMIRA_HOME", home.path().toLocal8Bit());
  support::Folder folder;
  folder.ClassInitialize(home.path(), "Tesmira");
  support::Setting setting;
  setting.ClassInitialize(&folder);
  support::Debug debug;
  debug.ClassInitialize(&setting);
  Configuration cfg; // LogFormat 3: date and time on every line
  Logger log(&setting, &debug, cfg);
  support::ScriptedPrompt prompt;
  support::setPrompt(&prompt);

  const double dropped = run(log, lines);
  const quint64 formattedDropped = log.linesFormatted();

  const QString path = home.filePath("bench.log");
  prompt.files << path;
  if (log.OpenLogFile(false) != 0) {
    std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
    return 1;
  }
  const double written = run(log, lines);
  const quint64 formattedWritten = log.linesFormatted() - formattedDropped;
  log.CloseLogFile();

  std::printf("lines per case:          %d\n", lines);
  std::printf("dropped (no file, echo off): %12.0f lines/s, %llu formatted\n", dropped,
              static_cast<unsigned long long>(formattedDropped));
  std::printf("written to log file:         %12.0f lines/s, %llu formatted, %lld bytes\n", written,
              static_cast<unsigned long long>(formattedWritten), static_cast<long long>(QFileInfo(path).size()));
  std::printf("ratio dropped/written:       %12.1f\n", dropped / written);
  support::setPrompt(nullptr);
  return formattedDropped == 0 && formattedWritten == quint64(lines) ? 0 : 1;
}
