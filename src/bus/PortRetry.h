#pragma once
#include <QObject>
#include <QString>
#include <QTimer>

class QFileSystemWatcher;

namespace tesmira {

class Server;

// Tries the bus's port again and again while it cannot be used: after a
// failed opening (at start with /O, the server item OpenCom, the menu) and
// after the open bus was lost, when ReopenAfterLoss is on. A USB adapter
// plugged in later, a device server that comes up later or permissions
// granted later are so found without an operator.
//
// The pauses between tries start at 1 s and double up to 30 s. A device path
// is watched as well: when it appears or its permissions change it is tried
// at once. A try is a trial open of the port, beside everything else; only
// once that succeeds is the communication opened in full (after the lost one
// was closed in order), with the configuration check and polling. The
// reason is said (an Error line) once per change, not once per try. Nothing
// here waits: between tries the event loop runs, and link requests keep
// being answered.
//
// Closing the communication (StopCommunication: the menu, OpenCom 0),
// simulation mode and a stop request end the tries.
class PortRetry : public QObject {
  Q_OBJECT
public:
  // The server's one, created on first use; find returns null until then.
  static PortRetry& of(Server& s);
  static PortRetry* find(const Server& s);

  // Starts the tries from the first pause. reason is why the port cannot be
  // used, already said to the operator.
  void start(const QString& reason);
  void stop();
  bool active() const { return m_active; }
  // Why the port could not be used at the last try.
  QString reason() const { return m_reason; }
  // The pause before the coming try.
  int pauseMs() const { return m_pauseMs; }
  // What the bus is doing while the tries go on: "Waiting for NAME: REASON;
  // next try in N s" after a failed opening, "Polling failure on NAME:
  // REASON; next try in N s" while a lost bus is still open.
  QString describe() const;

  static constexpr int kFirstPauseMs = 1000;
  static constexpr int kLongestPauseMs = 30000;
  // A watched path that changed is tried after this short delay, so that a
  // burst of changes (a device node created, then its permissions set)
  // makes one try.
  static constexpr int kSettleMs = 200;

signals:
  // The state, the reason or the pause changed.
  void changed();

private:
  explicit PortRetry(Server& s);
  void tryPort(bool scheduled);
  void waitAgain(const QString& reason);
  void watch();
  QString interfaceName() const;

  Server& m_s;
  bool m_active = false;
  bool m_trying = false;
  QString m_reason;
  int m_pauseMs = kFirstPauseMs;
  QTimer m_next;   // the scheduled try
  QTimer m_settle; // a try after a watched path changed
  QFileSystemWatcher* m_watcher = nullptr;
};

}
