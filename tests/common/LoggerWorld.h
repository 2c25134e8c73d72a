#pragma once
// A logger on a fresh settings folder, writing its console lines to a pane:
// the set-up shared by the logging and the error-reporting tests. Create one
// per test function; members go down in reverse order (logger first).
#include "TestHome.h"

#include "core/Configuration.h"
#include "log/Logger.h"
#include "ui/ConsolePane.h"

#include <Debug.h>
#include <Folder.h>
#include <Setting.h>

#include <QFile>
#include <memory>

struct LoggerWorld {
  TestHome home;
  support::Folder folder;
  support::Setting setting;
  support::Debug debug;
  tesmira::Configuration cfg;
  tesmira::ConsolePane pane;
  std::unique_ptr<tesmira::Logger> log;
  QString error; // why the settings world could not be made; tests check it first

  LoggerWorld()
  {
    error = folder.ClassInitialize(home.path(), "Tesmira");
    error += setting.ClassInitialize(&folder) + debug.ClassInitialize(&setting);
    cfg.LogFormat = 0;
    log = std::make_unique<tesmira::Logger>(&setting, &debug, cfg);
    log->setConsole(&pane);
  }
  QString file(const QString& name) const { return home.file(name); }
  QByteArray debugLog() const { return read(debug.fileName()); }
  static QByteArray read(const QString& path)
  {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
};
