#include "log/Logger.h"
#include "core/Configuration.h"

#include <Debug.h>
#include <Paths.h>
#include <Prompt.h>
#include <Setting.h>

#include <QDateTime>
#include <QFileInfo>
#include <cstdio>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

namespace tesmira {
namespace {

const QString kMenuSection = QStringLiteral("Menu Settings");
const QString kOptionsSection = QStringLiteral("Options");
const QString kSystemColour = QStringLiteral("system");

// Colours of the console cycle, as B*65536 + G*256 + R.
constexpr int kRed = 255;
constexpr int kGreen = 65280;
constexpr int kYellow = 65535;
constexpr int kBlue = 16711680;
constexpr int kWhite = 16777215;
constexpr int kBlack = 0;
constexpr int kNavy = 8388608;
constexpr int kSystem = -1;

const char* const kModule = "Logger";

// A number with at least three digits, the sign in front of the zeros.
QString threeDigits(int n)
{
  const QString digits = QString::number(n < 0 ? -qint64(n) : qint64(n)).rightJustified(3, '0');
  return n < 0 ? '-' + digits : digits;
}

bool readBool(support::Setting* s, const QString& section, const QString& key)
{
  bool ok = false;
  const bool v = support::Setting::toBool(s->GetUserSetting(section, key, QStringLiteral("False")), &ok);
  return ok && v;
}

// A stored colour: "system" (or anything unreadable) is the platform colour,
// otherwise a hexadecimal colour number without prefix.
int readColour(support::Setting* s, const QString& key, support::Debug* debug)
{
  const QString text = s->GetUserSetting(kOptionsSection, key, kSystemColour).trimmed();
  if (text.compare(kSystemColour, Qt::CaseInsensitive) == 0)
    return kSystem;
  bool ok = false;
  const uint v = text.toUInt(&ok, 16);
  if (ok && v <= 0xFFFFFFu)
    return int(v);
  if (debug)
    debug->LogMsg(QStringLiteral("Error"),
                  QStringLiteral("Console colour %1 = '%2' is not a colour number; the system colour is used")
                      .arg(key, text));
  return kSystem;
}

QString colourText(int colour)
{
  return colour == kSystem ? kSystemColour : QString::number(colour, 16).toUpper();
}

}

Logger::Logger(support::Setting* setting, support::Debug* debug, const Configuration& cfg, QObject* parent)
    : QObject(parent), m_setting(setting), m_debug(debug), m_cfg(cfg)
{
  if (m_debug)
    m_debug->LogClassInit(QStringLiteral("Logger"));
}

Logger::~Logger()
{
  if (m_file.isOpen())
    m_file.close();
  if (m_debug)
    m_debug->LogClassTerm(QStringLiteral("Logger"));
}

// ---- line writers -----------------------------------------------------------

QString Logger::CategoryName(int category)
{
  switch (category) {
  case Init: return QStringLiteral("Init");
  case Error: return QStringLiteral("Error");
  case Warn: return QStringLiteral("Warn");
  case Read: return QStringLiteral("Read");
  case Write: return QStringLiteral("Write");
  case Debug: return QStringLiteral("Debug");
  default: return QStringLiteral("Msg");
  }
}

// Bit 0 date, bit 1 time, bit 2 hundredths (only with the time). The
// hundredths are those of the seconds since midnight shown with two decimals
// (so rounded), followed by a blank.
QString Logger::TimePrefix(int logFormat, const QDateTime& now)
{
  switch (logFormat & 7) {
  case 1:
  case 5: return now.toString(QStringLiteral("yyyy-MM-dd "));
  case 2: return now.toString(QStringLiteral("HH:mm:ss "));
  case 3: return now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss "));
  case 6:
  case 7: {
    const int centis = ((now.time().msecsSinceStartOfDay() + 5) / 10) % 100;
    const QString hundredths = QString::number(centis).rightJustified(2, '0') + ' ';
    return now.toString((logFormat & 7) == 7 ? QStringLiteral("yyyy-MM-dd HH:mm:ss") : QStringLiteral("HH:mm:ss"))
           + '.' + hundredths;
  }
  default: return {};
  }
}

// An empty value (nothing but blanks counts as empty) leaves out the " Val: "
// part, except on Write lines, where an empty poke is worth seeing as such.
QString Logger::ParameterText(int category, int channel, int parameter, const QString& name,
                              const QVariant& value, const QString& extra)
{
  QString shownName = name;
  if (shownName.size() >= 21)
    shownName = shownName.left(5) + QStringLiteral("...") + shownName.right(13);
  else
    shownName = shownName.leftJustified(21, ' ');

  QString text;
  text.reserve(64 + extra.size());
  text += QStringLiteral("Ch") + threeDigits(channel);
  text += QStringLiteral("   P") + threeDigits(parameter);
  text += QStringLiteral("   ") + shownName;
  text += '\t';
  const QString v = value.toString().trimmed();
  if (!v.isEmpty() || category == Write)
    text += QStringLiteral(" Val: ") + v;
  text += ' ';
  text += extra;
  return text;
}

void Logger::LogMessage(int category, const QString& text, bool prefix)
{
  // Routing first, from flags alone: a line that no target takes costs no
  // formatting at all.
  bool toConsole, toFile, toStderr;
  route(category, toConsole, toFile, toStderr);
  if (!toConsole && !toFile && !toStderr)
    return;

  try {
    // Headless, Error and Warn lines are printed to standard error instead
    // of standard output.
    const bool toStdout = toConsole && m_mirror && !toStderr;
    const bool toPane = toConsole && m_console;
    const int priority = journalPriority(category);
    if (!prefix) {
      if (toStderr)
        writeStream(stderr, text, priority, m_stderrJournal);
      if (toStdout)
        writeStream(stdout, text, priority, m_stdoutJournal);
      if (toPane)
        m_console->appendLine(text);
      if (toFile)
        Write2Logfile(text);
      return;
    }
    ++m_formatted;
    // Values in the text (pokes, names read from instruments) may hold line
    // breaks: shown escaped, so that every line starts with its prefix.
    const QString body = CategoryName(category) + '\t' + support::Debug::oneLine(text);
    // The time prefix only for targets that do not stamp lines themselves.
    const bool stamped = toFile || toPane || (toStderr && !m_stderrJournal) || (toStdout && !m_stdoutJournal);
    const QString line = stamped ? TimePrefix(m_cfg.LogFormat, QDateTime::currentDateTime()) + body : QString();
    if (toStderr)
      writeStream(stderr, m_stderrJournal ? body : line, priority, m_stderrJournal);
    if (toStdout)
      writeStream(stdout, m_stdoutJournal ? body : line, priority, m_stdoutJournal);
    if (toPane)
      m_console->appendLine(line);
    if (toFile)
      Write2Logfile(line);
  } catch (const std::exception& e) {
    DebugLogError(support::Debug::FormatError(0, QString::fromLocal8Bit(e.what()), QStringLiteral("Logger"),
                                              QStringLiteral("LogMessage"), QStringLiteral("Tesmira")));
  }
}

void Logger::LogParameter(int category, int channel, int parameter, const QString& name, const QVariant& value,
                          const QString& extra)
{
  if (!wouldLog(category))
    return;
  LogMessage(category, ParameterText(category, channel, parameter, name, value, extra), true);
}

void Logger::Write2Console(const QString& text)
{
  if (m_mirror)
    writeStream(stdout, text, journalPriority(Msg), m_stdoutJournal);
  if (m_console)
    m_console->appendLine(text);
}

// ---- standard streams ---------------------------------------------------------

void Logger::setMirrorToStdout(bool on)
{
  m_mirror = on;
  m_stdoutJournal = on && isJournalStream(STDOUT_FILENO);
  m_stderrJournal = on && isJournalStream(STDERR_FILENO);
}

int Logger::journalPriority(int category)
{
  switch (category) {
  case Error: return 3; // LOG_ERR
  case Warn: return 4;  // LOG_WARNING
  default: return 6;    // LOG_INFO
  }
}

bool Logger::isJournalStream(int fd)
{
  const QByteArray named = qgetenv("JOURNAL_STREAM");
  const int colon = named.indexOf(':');
  if (colon <= 0)
    return false;
  bool devOk = false, inodeOk = false;
  const qulonglong dev = named.left(colon).toULongLong(&devOk);
  const qulonglong inode = named.mid(colon + 1).toULongLong(&inodeOk);
  struct stat st = {};
  return devOk && inodeOk && ::fstat(fd, &st) == 0 && qulonglong(st.st_dev) == dev && qulonglong(st.st_ino) == inode;
}

// The journal splits its stream at line breaks and reads a priority at the
// start of each line, so every line of a text gets it.
void Logger::writeStream(std::FILE* stream, const QString& text, int priority, bool journal)
{
  QByteArray bytes;
  if (!journal) {
    bytes = text.toLocal8Bit() + '\n';
  } else {
    const QByteArray mark = '<' + QByteArray::number(priority) + '>';
    for (QByteArray line : text.toLocal8Bit().split('\n')) {
      if (line.endsWith('\r'))
        line.chop(1);
      bytes += mark + line + '\n';
    }
  }
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
  std::fflush(stream);
}

// The file takes the text in the locale's encoding, Linux's counterpart of the
// system code page (UTF-8 on current systems; plain ASCII lines, which nearly
// all are, come out byte for byte the same in any of them). The file is
// unbuffered, so each line reaches the system at once and a failure (full
// disk, removed medium) is seen at the line that caused it.
void Logger::Write2Logfile(const QString& text)
{
  if (!m_file.isOpen())
    return;
  const QByteArray bytes = text.toLocal8Bit() + "\r\n";
  for (;;) {
    m_file.unsetError();
    if (m_file.write(bytes) == bytes.size())
      return;
    const auto answer = support::prompt().MsgBox(m_file.errorString(), support::Prompt::RetryCancel,
                                                 support::Prompt::Critical, {}, support::Prompt::AnswerCancel);
    if (answer != support::Prompt::AnswerRetry)
      return;
  }
}

// ---- log file ---------------------------------------------------------------

// The box shows the system's description of the error; the debug log also
// names the file.
int16_t Logger::reportOpenError(const QString& path, const QString& description, int number)
{
  support::prompt().MsgBox(description, support::Prompt::Ok, support::Prompt::Exclamation);
  DebugLogError("Log file " + path + ": " + description);
  return int16_t(number ? number : QFileDevice::OpenError);
}

int16_t Logger::OpenLogFile(bool serviceLog, const QString& headlessPath)
{
  support::Trace trace(m_debug, kModule, "OpenLogFile");
  QString folder = m_setting ? m_setting->GetUserSetting(QStringLiteral("Directories"), QStringLiteral("DataDir"))
                             : QString();
  // Without a stored folder the dialog starts in the user's personal folder.
  if (folder.isEmpty())
    folder = support::Paths::personalDir();
  QString path;
  const QString title = serviceLog ? QStringLiteral("Create/Open Service Log File")
                                   : QStringLiteral("Create/Open Log File");
  if (!support::prompt().FileDialog(title, QStringLiteral("Log Files (*.log)|*.log|All Files (*.*)|*.*"),
                                    folder, path, headlessPath)
      || path.isEmpty())
    return kDialogCancelled;

  return openLogPath(path, true);
}

int16_t Logger::OpenLogFileAt(const QString& path) { return openLogPath(path, false); }

QString Logger::ReopenLogFile()
{
  if (!m_file.isOpen())
    return {};
  const QString path = m_file.fileName();
  m_file.close();
  QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
  if (!QFileInfo::exists(path) || QFileInfo(path).isFile())
    mode |= QIODevice::Append;
  if (m_file.open(mode))
    return {};
  const QString error = QStringLiteral("The log file %1 cannot be opened again: %2").arg(path, m_file.errorString());
  m_file.unsetError();
  CloseLogFile();
  return error;
}

int16_t Logger::openLogPath(const QString& path, bool askReplace)
{
  // One log file at a time: a new one replaces the one open.
  if (m_file.isOpen())
    CloseLogFile();

  QFileInfo info(path);
  if (askReplace && info.exists()) {
    // Without an operator the answer is No: appending loses nothing.
    const auto answer = support::prompt().MsgBox(
        QStringLiteral("Replace existing file (Yes) or Append (No) - ") + path + QStringLiteral("?"),
        support::Prompt::YesNo, support::Prompt::Question, {}, support::Prompt::AnswerNo);
    // Only a plain file is deleted; a device or pipe chosen as log target
    // cannot be replaced and is written to as it is.
    if (answer == support::Prompt::AnswerYes && info.isFile()) {
      QFile old(path);
      if (!old.remove())
        return reportOpenError(path, old.errorString(), old.error());
    }
  }

  // A plain file is appended to; a device or pipe has no end to seek to.
  QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
  if (!info.exists() || info.isFile())
    mode |= QIODevice::Append;
  m_file.setFileName(path);
  if (!m_file.open(mode)) {
    const int number = m_file.error();
    const QString description = m_file.errorString();
    m_file.unsetError();
    // A file the operator just chose is known to the reader of the box; a
    // file named in the settings or on the command line is named.
    const QString text = askReplace ? description : "The log file " + path + " cannot be opened: " + description;
    return reportOpenError(path, text, number);
  }

  emit optionsChanged();
  // The next dialog starts where this one ended.
  if (m_setting)
    m_setting->SaveUserSetting(QStringLiteral("Directories"), QStringLiteral("DataDir"),
                               QFileInfo(path).absolutePath());
  return 0;
}

void Logger::CloseLogFile()
{
  support::Trace trace(m_debug, kModule, "CloseLogFile");
  if (m_file.isOpen())
    m_file.close();
  emit optionsChanged();
}

// ---- debug component ----------------------------------------------------------

void Logger::DebugLogInfo(const QString& text)
{
  if (m_debug)
    m_debug->LogMsg(QStringLiteral("Info"), text);
}

void Logger::DebugLogError(const QString& text)
{
  if (m_debug)
    m_debug->LogMsg(QStringLiteral("Error"), text);
}

// ---- console and options ----------------------------------------------------------

void Logger::setConsole(ConsoleSink* console)
{
  m_console = console;
  applyConsoleColours();
}

void Logger::syncMenus() { emit optionsChanged(); }

void Logger::setEchoAll(bool on)
{
  EchoAll = on;
  syncMenus();
}

void Logger::setEchoErr(bool on)
{
  EchoErr = on;
  syncMenus();
}

void Logger::setEchoLinkPokes(bool on)
{
  EchoLinkPokes = on;
  syncMenus();
}

void Logger::setLogErrorsOnly(bool on)
{
  LogErrorsOnly = on;
  syncMenus();
}

void Logger::mnuOpenLog_Click() { OpenLogFile(false); }
void Logger::mnuCloseLog_Click() { CloseLogFile(); }
void Logger::mnuLogErrorsOnly_Click() { setLogErrorsOnly(!LogErrorsOnly); }
void Logger::mnuEchoAll_Click() { setEchoAll(!EchoAll); }
void Logger::mnuEchoErr_Click() { setEchoErr(!EchoErr); }
void Logger::mnuEchoLinkPokes_Click() { setEchoLinkPokes(!EchoLinkPokes); }

void Logger::RetrieveMenuSettings()
{
  support::Trace trace(m_debug, kModule, "RetrieveMenuSettings");
  if (!m_setting)
    return;
  EchoAll = readBool(m_setting, kMenuSection, QStringLiteral("EchoAll"));
  EchoErr = readBool(m_setting, kMenuSection, QStringLiteral("EchoErr"));
  EchoLinkPokes = readBool(m_setting, kMenuSection, QStringLiteral("EchoLinkPokes"));
  LogErrorsOnly = readBool(m_setting, kMenuSection, QStringLiteral("LogErrorsOnly"));
  syncMenus();
  m_back = readColour(m_setting, QStringLiteral("ColorBack"), m_debug);
  m_fore = readColour(m_setting, QStringLiteral("ColorFore"), m_debug);
  applyConsoleColours();
}

void Logger::StoreCurrentMenuSettings()
{
  support::Trace trace(m_debug, kModule, "StoreCurrentMenuSettings");
  if (!m_setting)
    return;
  m_setting->SaveUserSetting(kMenuSection, QStringLiteral("EchoAll"), support::Setting::boolText(EchoAll));
  m_setting->SaveUserSetting(kMenuSection, QStringLiteral("EchoErr"), support::Setting::boolText(EchoErr));
  m_setting->SaveUserSetting(kMenuSection, QStringLiteral("EchoLinkPokes"),
                             support::Setting::boolText(EchoLinkPokes));
  m_setting->SaveUserSetting(kMenuSection, QStringLiteral("LogErrorsOnly"),
                             support::Setting::boolText(LogErrorsOnly));
  m_setting->SaveUserSetting(kOptionsSection, QStringLiteral("ColorBack"), colourText(m_back));
  m_setting->SaveUserSetting(kOptionsSection, QStringLiteral("ColorFore"), colourText(m_fore));
}

// ---- console colours ------------------------------------------------------------

void Logger::cycleConsoleColours()
{
  support::Trace trace(m_debug, kModule, "cycleConsoleColours");
  struct Step {
    int back, newBack, newFore;
  };
  static const Step cycle[] = {
      {kSystem, kRed, kYellow}, {kRed, kGreen, kRed},     {kGreen, kYellow, kBlue}, {kYellow, kWhite, kBlack},
      {kWhite, kBlack, kWhite}, {kBlack, kNavy, kYellow}, {kNavy, kSystem, kSystem},
  };
  for (const Step& s : cycle) {
    if (s.back == m_back) {
      m_back = s.newBack;
      m_fore = s.newFore;
      applyConsoleColours();
      break;
    }
  }
  LogMessage(Init, QStringLiteral("Console colours changed (double-click the console to change them again)"));
}

void Logger::applyConsoleColours()
{
  if (m_console)
    m_console->setColours(m_back, m_fore);
}

}
