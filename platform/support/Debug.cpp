#include "Debug.h"
#include "Paths.h"
#include "Setting.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>

namespace support {

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
  m_file.setFileName(path);
  if (QFileInfo(path).size() > m_maxSize)
    rotate();
  else
    m_file.open(QIODevice::Append | QIODevice::Text);
  if (!m_file.isOpen())
    return QStringLiteral("The debug log '%1' cannot be opened: %2").arg(path, m_file.errorString());
  return {};
}

void Debug::rotate()
{
  const QString path = m_file.fileName();
  m_file.close();
  for (int i = kKeptFiles - 1; i >= 1; --i) {
    const QString older = path + '.' + QString::number(i);
    QFile::remove(older);
    QFile::rename(i == 1 ? path : path + '.' + QString::number(i - 1), older);
  }
  m_file.open(QIODevice::Append | QIODevice::Text);
}

QString Debug::oneLine(const QString& text)
{
  auto unsafe = [](char16_t c) {
    return (c < 0x20 && c != '\t') || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029;
  };
  if (std::none_of(text.cbegin(), text.cend(), [&](QChar c) { return unsafe(c.unicode()); }))
    return text;
  QString out;
  out.reserve(text.size() + 16);
  for (QChar qc : text) {
    const char16_t c = qc.unicode();
    if (!unsafe(c))
      out += qc;
    else if (c == '\r')
      out += QLatin1String("\\r");
    else if (c == '\n')
      out += QLatin1String("\\n");
    else if (c < 0x100)
      out += QLatin1String("\\x") + QString::number(uint(c), 16).rightJustified(2, QLatin1Char('0')).toUpper();
    else
      out += QLatin1String("\\u") + QString::number(uint(c), 16).toUpper();
  }
  return out;
}

void Debug::write(const QString& line)
{
  if (!m_file.isOpen())
    return;
  // A full disk or a removed file must not disturb the program: the line is
  // dropped.
  m_file.write((QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss.zzz ") + oneLine(line) + '\n').toUtf8());
  m_file.flush();
  if (m_file.size() > m_maxSize)
    rotate();
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
