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
// systemd's directory variables hold a colon-separated list when a unit
// names several folders; the first is ours.
QString systemdDir(const char* name) { return env(name).section(QLatin1Char(':'), 0, 0); }
}

QString settingsDir()
{
  if (!home().isEmpty())
    return home();
  const QString configuration = systemdDir("CONFIGURATION_DIRECTORY");
  if (configuration.isEmpty())
    return xdg("XDG_CONFIG_HOME", "/.config") + "/Tesmira";
  const QString state = systemdDir("STATE_DIRECTORY");
  return state.isEmpty() ? configuration : state + "/settings";
}

QString settingsDefaultsDir()
{
  if (!home().isEmpty())
    return {};
  const QString configuration = systemdDir("CONFIGURATION_DIRECTORY");
  return configuration == settingsDir() ? QString() : configuration;
}

QString commonDataDir()
{
  if (!home().isEmpty())
    return home() + "/data";
  const QString state = systemdDir("STATE_DIRECTORY");
  return state.isEmpty() ? xdg("XDG_DATA_HOME", "/.local/share") : state;
}

QString logDir()
{
  if (!home().isEmpty())
    return home() + "/logs";
  const QString state = systemdDir("STATE_DIRECTORY");
  return state.isEmpty() ? xdg("XDG_STATE_HOME", "/.local/state") + "/Tesmira" : state;
}

QString personalDir() { return QDir::homePath(); }

QString runtimeDir()
{
  for (const QString& v : {env("TESMIRA_RUNTIME_DIR"), systemdDir("RUNTIME_DIRECTORY"), env("XDG_RUNTIME_DIR")})
    if (!v.isEmpty())
      return v;
  return QStringLiteral("/tmp/tesmira-runtime-%1").arg(getuid());
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
  if (dir.exists())
    return true;
  if (!dir.mkpath("."))
    return false;
  if (privateMode)
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return true;
}
}
