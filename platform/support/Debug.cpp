#include "Debug.h"
#include "Paths.h"
#include "Setting.h"

#include <QDateTime>
#include <QFileInfo>

namespace support {
namespace {
// The debug log is kept below this size: when it grows past it at start-up
// the old file is moved to debug.log.1.
constexpr qint64 kMaxLogSize = 4 * 1024 * 1024;
}

Debug::~Debug() { m_file.close(); }

QString Debug::ClassInitialize(Setting* setting)
{
  if (setting)
    m_trace = setting->GetProgramSetting("Debug", "Trace", "False").compare("True", Qt::CaseInsensitive) == 0;
  if (!qEnvironmentVariableIsEmpty("TESMIRA_TRACE"))
    m_trace = true;
  const QString dir = Paths::logDir();
  if (!Paths::ensureDir(dir))
    return QStringLiteral("The log folder '%1' cannot be created.").arg(dir);
  const QString path = dir + "/debug.log";
  if (QFile::exists(path) && QFileInfo(path).size() > kMaxLogSize) {
    QFile::remove(path + ".1");
    QFile::rename(path, path + ".1");
  }
  m_file.setFileName(path);
  if (!m_file.open(QIODevice::Append | QIODevice::Text))
    return QStringLiteral("The debug log '%1' cannot be opened: %2").arg(path, m_file.errorString());
  return {};
}

void Debug::write(const QString& line)
{
  if (!m_file.isOpen())
    return;
  // A full disk or a removed file must not disturb the program: the line is
  // dropped.
  m_file.write((QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss.zzz ") + line + '\n').toUtf8());
  m_file.flush();
}

int Debug::pushSlow(const char* module, const char* procedure)
{
  m_stack.append(QString::fromLatin1(module) + '.' + QString::fromLatin1(procedure));
  write(QStringLiteral("Trace\t%1> %2").arg(QString(m_stack.size(), ' '), m_stack.last()));
  return int(m_stack.size());
}

void Debug::popSlow(int handle)
{
  if (handle <= 0 || handle > m_stack.size())
    return;
  write(QStringLiteral("Trace\t%1< %2").arg(QString(handle, ' '), m_stack.at(handle - 1)));
  m_stack.resize(handle - 1);
}

void Debug::LogClassInit(const QString& name)
{
  m_classes.append(name);
  if (m_trace)
    write("Class\tinit " + name);
}

void Debug::LogClassTerm(const QString& name)
{
  m_classes.removeOne(name);
  if (m_trace)
    write("Class\tterm " + name);
}

void Debug::LogMsg(const QString& level, const QString& text)
{
  write(level + '\t' + text);
}

QString Debug::FormatError(long number, const QString& description, const QString& module,
                           const QString& procedure, const QString& source, const QString& library)
{
  QString s = "Error Information:\r\n";
  s += "Number:\t\t" + QString::number(number) + "\r\n";
  s += "Description:\t" + description + "\r\n";
  s += "Module:\t\t" + module + "\r\n";
  s += "Procedure:\t" + procedure + "\r\n";
  s += "Source:\t\t" + source;
  if (!library.isEmpty())
    s += "\r\nLibrary:\t\t" + library;
  return s;
}

}
