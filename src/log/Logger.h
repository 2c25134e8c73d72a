#pragma once
#include "log/ConsoleSink.h"
#include "log/LogCategory.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <cstdio>

class QDateTime;

namespace support {
class Setting;
class Debug;
}

namespace tesmira {

struct Configuration;

// The one line writer of the server. Every report goes through LogMessage,
// which sends the line to the console (the main window's pane, standard
// output headless), the log file, both or neither, by the line's category,
// the four echo/log options and whether a log file is open; headless, Error
// and Warn lines go to standard error (see setMirrorToStdout). LogParameter
// formats the frequent channel/parameter/value lines.
//
// Lines look like: time prefix (by LogFormat) + category name + TAB + text.
// A stream that is the journal gets no time prefix (the journal stamps every
// line itself) but the line's syslog priority in front: "<3>" Error, "<4>"
// Warn, "<6>" every other line.
// Routing is decided from flags alone before any text is built, so a line
// nobody takes costs a few comparisons; polled values produce one such call
// each.
//
// Runs on the main thread only. Nothing here throws to the caller: file
// errors are asked about (Retry/Cancel) or returned as numbers.
class Logger : public QObject {
  Q_OBJECT
public:
  Logger(support::Setting* setting, support::Debug* debug, const Configuration& cfg,
         QObject* parent = nullptr);
  ~Logger() override;

  // The four operator options. Change them through the menu handlers (or
  // RetrieveMenuSettings) so the menus follow (optionsChanged); a direct
  // assignment is honoured by the next line but leaves the menus as they
  // were until syncMenus() is called.
  bool EchoAll = false;       // every line also goes to the console
  bool EchoErr = false;       // Error and Warn lines go to the console
  bool EchoLinkPokes = false; // Write lines go to the console
  bool LogErrorsOnly = false; // the log file takes only Error and Warn lines

  // Writes one line; control characters in text are shown escaped
  // (Debug::oneLine), so no value can start a line of its own. prefix false
  // writes text as it is (no time, no category, line breaks kept), as the
  // service log does for the system overview; such a caller escapes the
  // values in it.
  void LogMessage(int category, const QString& text, bool prefix = true);

  // Writes a channel/parameter line: "Ch001   P008   <name, 21 wide>\t Val: <value> <extra>".
  void LogParameter(int category, int channel, int parameter, const QString& name,
                    const QVariant& value, const QString& extra);

  // True when a line of this category would go anywhere now. LogMessage and
  // LogParameter test this first; callers that build costly texts may too.
  bool wouldLog(int category) const
  {
    bool toConsole, toFile, toStderr;
    route(category, toConsole, toFile, toStderr);
    return toConsole || toFile || toStderr;
  }

  // Appends one line to the console (and the stdout mirror).
  void Write2Console(const QString& text);
  // Appends text + CR LF to the open log file; asks Retry/Cancel on failure.
  void Write2Logfile(const QString& text);

  // Asks for a file and opens it as the log file (appending, or replacing
  // when the operator says so). Returns 0 on success, else an error number:
  // kDialogCancelled when no file was chosen, otherwise the file error
  // (QFileDevice::FileError) of the failed delete or open. headlessPath is
  // the file taken when no operator can choose (see support::Prompt).
  int16_t OpenLogFile(bool serviceLog, const QString& headlessPath = {});
  // Opens path as the log file without a dialog, appending (a headless
  // server's log named in program.ini or on the command line). Returns 0 or
  // the error number, as OpenLogFile; the error is reported as there.
  int16_t OpenLogFileAt(const QString& path);
  // Closes and opens the log file again under its name (after logrotate has
  // moved it away). Returns the empty text, or why it could not be opened
  // again; the log file is then closed.
  QString ReopenLogFile();
  void CloseLogFile();
  bool logFileOpen() const { return m_file.isOpen(); }
  // Path of the open log file; empty when none is open.
  QString logFileName() const { return m_file.isOpen() ? m_file.fileName() : QString(); }

  // Hand a message to the debug component at level "Info" / "Error".
  void DebugLogInfo(const QString& text);
  void DebugLogError(const QString& text);

  // The console (null: console lines only go to the stdout mirror). The
  // sink's owner unsets it before the sink goes.
  void setConsole(ConsoleSink* console);
  ConsoleSink* console() const { return m_console; }
  // Headless output, for an operator who reads the streams (a terminal, the
  // journal of a service): every console line is also printed to standard
  // output, and Error and Warn lines go to standard error whatever the echo
  // options say (which keep governing the console), instead of standard
  // output, so that a journal taking both streams gets each line once.
  // Whether a stream is the journal (JOURNAL_STREAM names its device and
  // inode) is found out here, once.
  void setMirrorToStdout(bool on);

  // The syslog priority of a line of this category: 3 Error, 4 Warn, 6 any
  // other.
  static int journalPriority(int category);
  // Whether the file descriptor is the stream that JOURNAL_STREAM
  // ("device:inode", both decimal) names.
  static bool isJournalStream(int fd);

  // Tells the menus to follow the options and the log file's state
  // (optionsChanged).
  void syncMenus();
  // What the six menu items show: check marks of the four options, and
  // whether each item can be chosen.
  bool echoErrEnabled() const { return !EchoAll; }
  bool echoLinkPokesEnabled() const { return !EchoAll; }
  bool openLogEnabled() const { return !m_file.isOpen(); }
  bool closeLogEnabled() const { return m_file.isOpen(); }

  // Option setters the menus' check marks call (the new state).
  void setEchoAll(bool on);
  void setEchoErr(bool on);
  void setEchoLinkPokes(bool on);
  void setLogErrorsOnly(bool on);

  // Menu handlers, callable directly.
  void mnuOpenLog_Click();
  void mnuCloseLog_Click();
  void mnuLogErrorsOnly_Click();
  void mnuEchoAll_Click();
  void mnuEchoErr_Click();
  void mnuEchoLinkPokes_Click();

  // Echo options and console colours from / to the user settings
  // ("Menu Settings", "Options").
  void RetrieveMenuSettings();
  void StoreCurrentMenuSettings();

  // Steps the console colours through their cycle (the main window calls
  // this on a double-click in the pane) and logs an Init remark.
  void cycleConsoleColours();
  // Current console colours as B*65536 + G*256 + R; -1 means the platform's
  // window (background) or window-text (foreground) colour.
  int consoleBack() const { return m_back; }
  int consoleFore() const { return m_fore; }

  // ---- helpers with no state, used by the writers and by tests ----------
  // The time prefix for LogFormat (only its low three bits count).
  static QString TimePrefix(int logFormat, const QDateTime& now);
  static QString CategoryName(int category);
  // The text LogParameter writes (without time prefix and category).
  static QString ParameterText(int category, int channel, int parameter, const QString& name,
                               const QVariant& value, const QString& extra);

  // Lines that were formatted (prefix, category, text put together) since
  // construction: lets tests and the benchmark see that dropped lines cost
  // no formatting.
  quint64 linesFormatted() const { return m_formatted; }

  // Error number returned by OpenLogFile when the dialog is cancelled.
  static constexpr int16_t kDialogCancelled = 32755;
signals:
  // An option or the log file's state changed: the menus show them anew.
  void optionsChanged();

private:
  // Where a line of this category goes now, from the options alone. A
  // console line without a console or stdout mirror goes nowhere.
  void route(int category, bool& toConsole, bool& toFile, bool& toStderr) const
  {
    toStderr = m_mirror && (category == Error || category == Warn);
    const bool open = m_file.isOpen();
    toConsole = EchoAll;
    toFile = open && !LogErrorsOnly;
    switch (category) {
    case Init:
    case Debug: toConsole = true; break;
    case Error:
    case Warn:
      toConsole = toConsole || EchoErr;
      toFile = toFile || (open && LogErrorsOnly);
      break;
    case Write: toConsole = toConsole || EchoLinkPokes; break;
    default: break;
    }
    toConsole = toConsole && hasConsoleTarget();
  }
  bool hasConsoleTarget() const { return m_mirror || m_console; }
  // Prints text to a standard stream; on the journal each of its lines gets
  // the priority in front.
  static void writeStream(std::FILE* stream, const QString& text, int priority, bool journal);
  void applyConsoleColours();
  int16_t reportOpenError(const QString& path, const QString& description, int number);
  int16_t openLogPath(const QString& path, bool askReplace);

  support::Setting* m_setting;
  support::Debug* m_debug;
  const Configuration& m_cfg;
  QFile m_file;
  ConsoleSink* m_console = nullptr;
  bool m_mirror = false;
  bool m_stdoutJournal = false; // standard output is the journal
  bool m_stderrJournal = false; // standard error is the journal
  int m_back = -1;
  int m_fore = -1;
  quint64 m_formatted = 0;
};

}
