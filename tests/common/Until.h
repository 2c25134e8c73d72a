#pragma once
// Waiting in tests that drive another process: a condition polled until it
// holds or a deadline passes, and a free TCP port on 127.0.0.1.
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>

template <typename F> bool until(F cond, int ms = 10000)
{
  QDeadlineTimer dl(ms);
  while (!cond()) {
    if (dl.hasExpired())
      return false;
    QThread::msleep(10);
  }
  return true;
}

inline quint16 freePort()
{
  QTcpServer s;
  s.listen(QHostAddress::LocalHost, 0);
  return s.serverPort();
}
