#pragma once
// The writes a network client sends (an MQTT /set, an HTTP PUT), carried out
// one after the other in the order they came. A poke may wait for the
// instrument in a nested event loop, during which more writes arrive: they
// join the queue instead of starting a second, nested run, so one write that
// waits holds the following ones. The run starts on the next turn of the
// event loop, outside the callback that received the write.

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>
#include <utility>

namespace tesmira {

template <typename W>
class WriteQueue {
public:
  // carryOut handles one write; the owner (the queue's holder) may be gone
  // when it returns, which ends the run.
  WriteQueue(QObject* owner, std::function<void(const W&)> carryOut)
    : m_owner(owner), m_carryOut(std::move(carryOut))
  {
  }

  void add(W w)
  {
    m_writes.append(std::move(w));
    if (m_writes.size() == 1)
      QMetaObject::invokeMethod(m_owner, [this] { run(); }, Qt::QueuedConnection);
  }

private:
  void run()
  {
    if (m_running)
      return;
    m_running = true;
    const QPointer<QObject> alive(m_owner);
    while (!m_writes.isEmpty()) {
      const W w = m_writes.takeFirst();
      m_carryOut(w);
      if (!alive)
        return;
    }
    m_running = false;
  }

  QObject* m_owner;
  std::function<void(const W&)> m_carryOut;
  QList<W> m_writes;
  bool m_running = false;
};

}
