#include "Setting.h"
#include "Folder.h"
#include "Paths.h"

#include <QFileInfo>
#include <QSettings>
#include <cmath>

namespace support {
namespace {
const char* const kFiles[] = {"common.ini", "program.ini", "user.ini", "local.ini"};

// Finds the stored spelling of name among candidates, ignoring case.
QString storedName(const QStringList& candidates, const QString& name)
{
  for (const QString& c : candidates)
    if (c.compare(name, Qt::CaseInsensitive) == 0)
      return c;
  return {};
}
}

Setting::Setting() = default;
Setting::~Setting() = default;

QString Setting::ClassInitialize(Folder*)
{
  const QString dir = Paths::settingsDir();
  if (!Paths::ensureDir(dir))
    return QStringLiteral("The settings folder '%1' cannot be created.").arg(dir);
  const QString defaults = Paths::settingsDefaultsDir();
  for (int i = 0; i < 4; ++i) {
    m_files[i] = std::make_unique<QSettings>(dir + '/' + kFiles[i], QSettings::IniFormat);
    if (!defaults.isEmpty())
      m_defaults[i] = std::make_unique<QSettings>(defaults + '/' + kFiles[i], QSettings::IniFormat);
  }
  QFileInfo info(dir);
  if (!info.isWritable())
    return QStringLiteral("The settings folder '%1' is not writable.").arg(dir);
  return {};
}

QSettings* Setting::file(Scope scope) const { return m_files[static_cast<int>(scope)].get(); }
QSettings* Setting::defaults(Scope scope) const { return m_defaults[static_cast<int>(scope)].get(); }

bool Setting::contains(QSettings* s, const QString& section, const QString& key)
{
  if (!s)
    return false;
  const QString group = storedName(s->childGroups(), section);
  if (group.isEmpty())
    return false;
  s->beginGroup(group);
  const bool found = !storedName(s->childKeys(), key).isEmpty();
  s->endGroup();
  return found;
}

QVariant Setting::value(QSettings* s, const QString& section, const QString& key)
{
  if (!s)
    return {};
  const QString group = storedName(s->childGroups(), section);
  if (group.isEmpty())
    return {};
  s->beginGroup(group);
  const QString stored = storedName(s->childKeys(), key);
  const QVariant v = stored.isEmpty() ? QVariant() : s->value(stored);
  s->endGroup();
  return v;
}

QString Setting::fileName(Scope scope) const
{
  return file(scope) ? file(scope)->fileName() : QString();
}

bool Setting::contains(Scope scope, const QString& section, const QString& key) const
{
  return contains(file(scope), section, key) || contains(defaults(scope), section, key);
}

QString Setting::get(Scope scope, const QString& section, const QString& key, const QString& def) const
{
  QVariant v = value(file(scope), section, key);
  if (!v.isValid())
    v = value(defaults(scope), section, key);
  if (!v.isValid())
    return def;
  // A value holding a comma reads back as a list; join it to keep the text.
  if (v.typeId() == QMetaType::QStringList)
    return v.toStringList().join(',');
  return v.toString();
}

bool Setting::save(Scope scope, const QString& section, const QString& key, const QString& value)
{
  QSettings* s = file(scope);
  if (!s)
    return false;
  // Saving what the defaults already say writes nothing, so a later edit of
  // the defaults is not hidden by a copy saved at shut-down.
  if (!contains(s, section, key) && contains(defaults(scope), section, key) &&
      get(scope, section, key, {}) == value)
    return true;
  QString group = storedName(s->childGroups(), section);
  s->beginGroup(group.isEmpty() ? section : group);
  const QString stored = storedName(s->childKeys(), key);
  if (!stored.isEmpty() && stored != key)
    s->remove(stored);
  s->setValue(key, value);
  s->endGroup();
  s->sync();
  return s->status() == QSettings::NoError;
}

QString Setting::GetCommonSetting(const QString& section, const QString& key, const QString& def) const
{
  return get(Scope::Common, section, key, def);
}
bool Setting::SaveCommonSetting(const QString& section, const QString& key, const QString& value)
{
  return save(Scope::Common, section, key, value);
}
QString Setting::GetProgramSetting(const QString& section, const QString& key, const QString& def) const
{
  return get(Scope::Program, section, key, def);
}
QString Setting::GetUserSetting(const QString& section, const QString& key, const QString& def) const
{
  return get(Scope::User, section, key, def);
}
bool Setting::SaveUserSetting(const QString& section, const QString& key, const QString& value)
{
  return save(Scope::User, section, key, value);
}
QString Setting::GetLocalSetting(const QString& section, const QString& key, const QString& def) const
{
  return get(Scope::Local, section, key, def);
}
bool Setting::SaveLocalSetting(const QString& section, const QString& key, const QString& value)
{
  return save(Scope::Local, section, key, value);
}

bool Setting::toBool(const QString& text, bool* ok)
{
  const QString t = text.trimmed();
  if (ok)
    *ok = true;
  if (t.compare("True", Qt::CaseInsensitive) == 0)
    return true;
  if (t.compare("False", Qt::CaseInsensitive) == 0)
    return false;
  bool numeric = false;
  const double n = t.toDouble(&numeric);
  if (numeric && std::isfinite(n)) // "inf" and "nan" are no numbers here
    return n != 0;
  if (ok)
    *ok = false;
  return false;
}

}
