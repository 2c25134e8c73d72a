#pragma once
#include <QString>
#include <memory>

namespace support {
class Folder;
class Setting;
class Debug;
}

namespace tesmira {

// General services: the version texts and the settings and debug components.
// Created first at start-up and released last.
class clsGeneral {
public:
  // Version numbers and comment come from the build; tests pass their own.
  clsGeneral(const QString& programFolder, const QString& programTitle);
  clsGeneral(const QString& programFolder, const QString& programTitle, int major, int minor,
             int revision, const QString& comment);
  ~clsGeneral();

  QString sVersion() const { return m_sVersion; }
  QString sFullVersion() const { return m_sFullVersion; }
  support::Debug* oDebug() const { return m_debug.get(); }
  void setODebug(std::unique_ptr<support::Debug> debug);
  support::Setting* oSetting() const { return m_setting.get(); }
  support::Folder* oFolder() const { return m_folder.get(); }
  QString sError() const { return m_sError; }

  static QString makeVersion(int major, int minor, const QString& comment);
  static QString makeFullVersion(int major, int minor, int revision, const QString& comment);

private:
  void construct(const QString& programFolder, const QString& programTitle);

  QString m_sVersion;
  QString m_sFullVersion;
  QString m_sError;
  std::unique_ptr<support::Folder> m_folder;
  std::unique_ptr<support::Setting> m_setting;
  std::unique_ptr<support::Debug> m_debug;
};

}
