#include "clsGeneral.h"

#include "Debug.h"
#include "Folder.h"
#include "Setting.h"

#include <exception>

#ifndef TESMIRA_VERSION_MAJOR
#define TESMIRA_VERSION_MAJOR 1
#define TESMIRA_VERSION_MINOR 0
#define TESMIRA_VERSION_REVISION 0
#define TESMIRA_VERSION_COMMENT ""
#endif

namespace tesmira {
namespace {
QString appendComment(QString text, const QString& comment)
{
  if (comment.isEmpty())
    return text;
  return comment.size() == 1 ? text + comment : text + ' ' + comment;
}
}

QString clsGeneral::makeVersion(int major, int minor, const QString& comment)
{
  // "V" + major.minor with the minor as two digits: 4.86 -> V4.86, 1.5 -> V1.05.
  return appendComment(QStringLiteral("V%1.%2").arg(major).arg(minor, 2, 10, QChar('0')), comment);
}

QString clsGeneral::makeFullVersion(int major, int minor, int revision, const QString& comment)
{
  return appendComment(QStringLiteral("%1.%2.0.%3").arg(major).arg(minor).arg(revision), comment);
}

clsGeneral::clsGeneral(const QString& programFolder, const QString& programTitle)
  : clsGeneral(programFolder, programTitle, TESMIRA_VERSION_MAJOR, TESMIRA_VERSION_MINOR,
               TESMIRA_VERSION_REVISION, QStringLiteral(TESMIRA_VERSION_COMMENT))
{
}

clsGeneral::clsGeneral(const QString& programFolder, const QString& programTitle, int major, int minor,
                       int revision, const QString& comment)
{
  m_sVersion = makeVersion(major, minor, comment);
  m_sFullVersion = makeFullVersion(major, minor, revision, comment);
  construct(programFolder, programTitle);
}

void clsGeneral::construct(const QString& programFolder, const QString& programTitle)
{
  // Each component's initialisation result replaces the previous one, so
  // the text that survives is the last component's; a component that cannot
  // be created stops the construction with the standard error block, naming
  // the library the component lives in.
  const char* library = "libtesmira_support (settings)";
  try {
    m_folder = std::make_unique<support::Folder>();
    m_sError = m_folder->ClassInitialize(programFolder, programTitle);
    m_setting = std::make_unique<support::Setting>();
    m_sError = m_setting->ClassInitialize(m_folder.get());
    library = "libtesmira_support (debug)";
    m_debug = std::make_unique<support::Debug>();
    m_sError = m_debug->ClassInitialize(m_setting.get());
  } catch (const std::exception& e) {
    m_sError = QStringLiteral("Error Information:\r\nNumber:\t\t%1\r\nModule:\t\tclsGeneral\r\n"
                              "Procedure:\tClass_Initialize\r\nSource:\t\t%2\r\nLibrary:\t\t%3")
                 .arg(429).arg(QString::fromLocal8Bit(e.what()), QString::fromLatin1(library));
  }
}

void clsGeneral::setODebug(std::unique_ptr<support::Debug> debug) { m_debug = std::move(debug); }

clsGeneral::~clsGeneral()
{
  // Release order: file helper (none here), setting, folder, debug component.
  m_setting.reset();
  m_folder.reset();
  m_debug.reset();
}

}
