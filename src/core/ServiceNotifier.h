#pragma once
#include <QObject>
#include <QString>
#include <QTimer>

namespace tesmira {

class Server;

// Tells the service manager (systemd, a Type=notify service) the truth about
// the server: READY=1 once the link layer serves clients, STATUS= whenever
// what the bus does changes (the status fields, the tries of a port that
// cannot be opened), WATCHDOG=1 from the event loop at half the interval the
// manager asks for (WATCHDOG_USEC), STOPPING=1 on shut-down. Without a
// manager (no NOTIFY_SOCKET) nothing is sent and nothing is composed.
class ServiceNotifier : public QObject {
  Q_OBJECT
public:
  explicit ServiceNotifier(Server& s, QObject* parent = nullptr);

  // The link layer serves: READY=1 with the current status.
  void ready();
  // The server shuts down: STOPPING=1.
  void stopping();

  // What STATUS= says now, for example "Normal polling on /dev/ttyUSB0, 8
  // channels", "Waiting for /dev/ttyUSB0: no such device; next try in 8 s",
  // "Polling failure on tcp:10.0.0.5:4001: connection refused".
  static QString statusText(const Server& s);

private:
  void update();
  void send(const QString& message);

  Server& m_s;
  bool m_enabled = false;
  QString m_sent; // the last STATUS= text sent
  QTimer m_watchdog;
};

}
