#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

namespace support::Paths {
namespace {
QString env(const char* name) { return QString::fromLocal8Bit(qgetenv(name)); }
QString home() { return env("TESMIRA_HOME"); }
QString xdg(const char* name, const QString& fallbackBelowHome)
{
  const QString v = env(name);
  return v.isEmpty() ? QDir::homePath() + fallbackBelowHome : v;
}
}

QString settingsDir()
{
  return home().isEmpty() ? xdg("XDG_CONFIG_HOME", "/.config") + "/Tesmira" : home();
}

QString commonDataDir()
{
  return home().isEmpty() ? xdg("XDG_DATA_HOME", "/.local/share") : home() + "/data";
}

QString logDir()
{
  return home().isEmpty() ? xdg("XDG_STATE_HOME", "/.local/state") + "/Tesmira" : home() + "/logs";
}

QString personalDir() { return QDir::homePath(); }

QString runtimeDir()
{
  const QString v = env("XDG_RUNTIME_DIR");
  return v.isEmpty() ? QStringLiteral("/tmp/tesmira-runtime-%1").arg(getuid()) : v;
}

QString programDir()
{
  if (QCoreApplication::instance())
    return QCoreApplication::applicationDirPath();
  return QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath();
}

bool ensureDir(const QString& path, bool privateMode)
{
  QDir dir(path);
  if (!dir.exists() && !dir.mkpath("."))
    return false;
  if (privateMode)
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return true;
}
}
