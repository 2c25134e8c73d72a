#include "Folder.h"
#include "Paths.h"

namespace support {

QString Folder::ClassInitialize(const QString& programFolder, const QString& programTitle)
{
  m_programFolder = programFolder;
  m_programTitle = programTitle;
  const QString dir = Paths::settingsDir();
  if (!Paths::ensureDir(dir))
    return QStringLiteral("The settings folder '%1' cannot be created.").arg(dir);
  return {};
}

QString Folder::GetCommonData(QString& path) const
{
  const QString dir = Paths::commonDataDir();
  path = dir.endsWith('/') ? dir : dir + '/';
  return {};
}

QString Folder::GetPersonal(QString& path) const
{
  const QString dir = Paths::personalDir();
  path = dir.endsWith('/') ? dir : dir + '/';
  return {};
}

}
