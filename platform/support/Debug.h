#pragma once
#include <QFile>
#include <QString>
#include <QStringList>

namespace support {

class Setting;

// The debug component: a trace of operations (Push/Pop), registration of
// windows and classes, levelled messages and the standard error block. It
// writes to debug.log in the log folder. Tracing is off unless the program
// setting "Debug"/"Trace" is "True" or TESMIRA_TRACE is set; when it is off,
// Push and Pop cost one branch.
class Debug {
public:
  ~Debug();

  // Opens the debug log; fails with a text when the log folder cannot be
  // created. The component still works without a file (lines are dropped).
  QString ClassInitialize(Setting* setting);

  // Trace entry and exit; Push returns a handle for the matching Pop.
  int Push(const char* module, const char* procedure)
  {
    return m_trace ? pushSlow(module, procedure) : 0;
  }
  void Pop(int handle)
  {
    if (m_trace)
      popSlow(handle);
  }

  void LogClassInit(const QString& name);
  void LogClassTerm(const QString& name);
  void SetParentClass(const QString& name) { m_parent = name; }

  // Levels used by the program: "Info", "Error", "Warning", "Trace".
  void LogMsg(const QString& level, const QString& text);
  void LogInfo(const QString& text) { LogMsg(QStringLiteral("Info"), text); }

  // The standard error block: "Error Information:" with Number, Description,
  // Module, Procedure, Source and (when given) Library lines.
  static QString FormatError(long number, const QString& description, const QString& module,
                             const QString& procedure, const QString& source,
                             const QString& library = {});

  // The text made safe for one log line: CR, LF and other control
  // characters (TAB excepted, it separates fields) become \r, \n and \xNN,
  // Unicode line and paragraph separators \uNNNN. No value can then start
  // a line of its own in a log.
  static QString oneLine(const QString& text);

  // debug.log is moved to debug.log.1 (and .1 to .2, the oldest dropped)
  // when a line takes it past this size; at most three files are kept.
  void setMaxSize(qint64 bytes) { m_maxSize = bytes; }
  static constexpr qint64 kDefaultMaxSize = 4 * 1024 * 1024;
  static constexpr int kKeptFiles = 3;

  bool tracing() const { return m_trace; }
  void setTracing(bool on) { m_trace = on; }
  QString fileName() const { return m_file.fileName(); }
  // Classes registered and not yet terminated, in order of registration.
  const QStringList& liveClasses() const { return m_classes; }

private:
  int pushSlow(const char* module, const char* procedure);
  void popSlow(int handle);
  void write(const QString& line);
  void rotate();

  QFile m_file;
  qint64 m_maxSize = kDefaultMaxSize;
  bool m_trace = false;
  QString m_parent;
  QStringList m_classes;
  QStringList m_stack;
};

// Traces an operation from its construction to the end of its scope.
class Trace {
public:
  Trace(Debug* debug, const char* module, const char* procedure)
    : m_debug(debug), m_handle(debug ? debug->Push(module, procedure) : 0) {}
  ~Trace()
  {
    if (m_debug)
      m_debug->Pop(m_handle);
  }
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

private:
  Debug* m_debug;
  int m_handle;
};

}
