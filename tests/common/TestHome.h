#pragma once
#include <QDir>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtGlobal>

// A private world for one test: settings, data, logs and the runtime folder
// (lock file, link-layer sockets) all live in a fresh temporary folder that
// is removed afterwards.
class TestHome {
public:
  TestHome()
  {
    qputenv("TESMIRA_HOME", m_dir.path().toLocal8Bit());
    QDir(m_dir.path()).mkpath("run");
    QFile::setPermissions(runtime(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime().toLocal8Bit());
  }
  QString path() const { return m_dir.path(); }
  QString runtime() const { return m_dir.path() + "/run"; }
  QString file(const QString& name) const { return m_dir.path() + '/' + name; }
  // The default database path below the common data folder.
  QString defaultDatabase() const { return m_dir.path() + "/data/Tesmira32/Tesmira.mdb"; }
  // The environment of a program started in this world, headless.
  QProcessEnvironment environment() const
  {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TESMIRA_HOME", path());
    env.insert("XDG_RUNTIME_DIR", runtime());
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    return env;
  }

private:
  QTemporaryDir m_dir;
};
