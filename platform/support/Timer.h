#pragma once
#include <QObject>
#include <QTimer>

namespace support {

// The timer component: an interval timer that raises `timer` on the thread
// that owns it (the main thread for all server code) at every interval
// while started. It offers what the polling scheduler needs of a timer
// object: interval, a second numeric property, start and stop. The second
// property is kept so that callers can set it as they always have; it has no
// effect on this timer.
//
// Setting the interval of a running timer restarts its period, so a handler
// that re-arms itself at 1 ms gets its next tick 1 ms after it returns.
class Timer : public QObject {
  Q_OBJECT
public:
  explicit Timer(QObject* parent = nullptr);

  int interval() const { return m_timer.interval(); }
  void setInterval(int ms);

  // Accepted and ignored (the scheduler sets it to 5 before starting).
  int secondProperty() const { return m_second; }
  void setSecondProperty(int value) { m_second = value; }

  void start();
  void stop();
  bool isActive() const { return m_timer.isActive(); }

  // Number of ticks raised since creation (diagnostics and tests).
  quint64 ticks() const { return m_ticks; }

signals:
  void timer();

private:
  QTimer m_timer;
  int m_second = 0;
  quint64 m_ticks = 0;
};

}
