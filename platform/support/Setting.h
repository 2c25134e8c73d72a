#pragma once
#include <QString>
#include <QVariant>
#include <memory>

class QSettings;

namespace support {

class Folder;

// The settings store: four scopes, each one INI file in the settings folder
// (common.ini, program.ini, user.ini, local.ini). Sections and keys are found
// without regard to case, as the original store did, so a key written as
// "PollTime" is the one read back as "Polltime". Values are texts; booleans
// are the texts "True"/"False".
//
// The program scope is read-only for the program: it holds choices made at
// installation (database path, pictures, options) and is edited by hand.
//
// A system service reads a second set of the four files, the defaults in its
// configuration folder (Paths::settingsDefaultsDir, /etc/tesmira): a key
// missing from the written files is read there. What the server saves goes
// to the written files only, and only when it differs from the defaults.
class Setting {
public:
  enum class Scope { Common, Program, User, Local };

  Setting();
  ~Setting();

  // Opens the four files; fails with a text when the settings folder cannot
  // be written.
  QString ClassInitialize(Folder* folder);

  QString GetCommonSetting(const QString& section, const QString& key, const QString& def) const;
  bool SaveCommonSetting(const QString& section, const QString& key, const QString& value);
  QString GetProgramSetting(const QString& section, const QString& key, const QString& def = {}) const;
  QString GetUserSetting(const QString& section, const QString& key, const QString& def = {}) const;
  bool SaveUserSetting(const QString& section, const QString& key, const QString& value);
  QString GetLocalSetting(const QString& section, const QString& key, const QString& def) const;
  bool SaveLocalSetting(const QString& section, const QString& key, const QString& value);

  // Generic access used by the scope functions above.
  QString get(Scope scope, const QString& section, const QString& key, const QString& def) const;
  bool contains(Scope scope, const QString& section, const QString& key) const;
  bool save(Scope scope, const QString& section, const QString& key, const QString& value);
  QString fileName(Scope scope) const;

  // "True"/"False" as the store keeps booleans.
  static QString boolText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }
  // Converts a stored text to a boolean as the store's readers do: "True",
  // "False" (any case) and whole numbers (non-zero is true). ok is false for
  // any other text.
  static bool toBool(const QString& text, bool* ok);

private:
  QSettings* file(Scope scope) const;
  QSettings* defaults(Scope scope) const;
  static bool contains(QSettings* s, const QString& section, const QString& key);
  static QVariant value(QSettings* s, const QString& section, const QString& key);
  std::unique_ptr<QSettings> m_files[4];
  std::unique_ptr<QSettings> m_defaults[4];
};

}
