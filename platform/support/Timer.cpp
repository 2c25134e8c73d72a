#include "Timer.h"

namespace support {

Timer::Timer(QObject* parent) : QObject(parent)
{
  // Short polling intervals (1 ms re-arms, 25 ms real-time polling) need
  // millisecond accuracy rather than the coarse default.
  m_timer.setTimerType(Qt::PreciseTimer);
  connect(&m_timer, &QTimer::timeout, this, [this] {
    ++m_ticks;
    emit timer();
  });
}

void Timer::setInterval(int ms)
{
  // A zero interval would fire on every pass of the event loop; the
  // component's smallest period is one millisecond.
  m_timer.setInterval(ms < 1 ? 1 : ms);
}

void Timer::start() { m_timer.start(); }

void Timer::stop() { m_timer.stop(); }

}
