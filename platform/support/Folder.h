#pragma once
#include <QString>

namespace support {

// The folder service of the settings component: tells the program where the
// common application data and the user's personal files live.
class Folder {
public:
  // Remembers the program folder and title; fails with a text when the
  // settings folder cannot be created.
  QString ClassInitialize(const QString& programFolder, const QString& programTitle);

  // Writes the common application-data folder (with a trailing '/') into
  // path; returns an error text, empty on success.
  QString GetCommonData(QString& path) const;
  // Writes the user's personal folder (with a trailing '/') into path.
  QString GetPersonal(QString& path) const;

  QString programFolder() const { return m_programFolder; }
  QString programTitle() const { return m_programTitle; }

private:
  QString m_programFolder;
  QString m_programTitle;
};

}
