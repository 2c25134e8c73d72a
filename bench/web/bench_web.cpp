// Polling throughput through the web access's live values: the server polls
// 120 channels with 10 polled parameters each on the in-process virtual bus
// ("SIM", pacing off) with the web access listening on a free loopback port;
// ten WebSocket clients (their own thread) subscribe to every channel topic
// and count what they get. Prints the values per second published at the
// items and received by the clients (together and the slowest one), and the
// processor time the server's thread (engine, link layer and web access)
// spent per published value. The load is bench/common/PolledBus.h.
// With --stalled N, N further clients subscribe to everything and then stop
// reading (their thread blocks): the values published show whether clients
// that take nothing slow the polling, and the resident memory before and
// after the run that what waits for them stays bounded.
//
//   bench_web [--seconds S] [--polltime MS] [--batch N] [--clients N] [--stalled N]

#include "PolledBus.h"
#include "Prompt.h"
#include "web/WebServer.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QWebSocket>

#include <atomic>
#include <unistd.h>
#include <memory>
#include <vector>

using namespace tesmira;

namespace {

// Resident memory of the process (server and clients), MiB.
double residentMiB()
{
  QFile f(QStringLiteral("/proc/self/statm"));
  if (!f.open(QIODevice::ReadOnly))
    return 0;
  return f.readAll().split(' ').value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The clients, living in their own thread: each counts the values of the
// arrays it receives while counting is on.
struct Clients : QObject {
  std::vector<std::unique_ptr<QWebSocket>> sockets;
  std::vector<std::atomic<qint64>> counts;
  std::atomic<bool> counting{false};
  std::atomic<int> subscribed{0};
  std::atomic<qint64> lastNs{0};

  explicit Clients(int n) : counts(size_t(n)) {}

  void open(quint16 port, const QByteArray& token, const QStringList& topics)
  {
    for (size_t i = 0; i < counts.size(); ++i) {
      auto ws = std::make_unique<QWebSocket>();
      QWebSocket* w = ws.get();
      connect(w, &QWebSocket::connected, this, [this, w, topics] {
        w->sendTextMessage(QJsonDocument(QJsonObject{{"subscribe", QJsonArray::fromStringList(topics)}}).toJson());
        ++subscribed;
      });
      connect(w, &QWebSocket::textMessageReceived, this, [this, i](const QString& text) {
        lastNs = polledbus::nowNs();
        if (counting)
          counts[i] += QJsonDocument::fromJson(text.toUtf8()).array().size();
      });
      QNetworkRequest rq(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/live").arg(port)));
      rq.setRawHeader("Authorization", "Bearer " + token);
      w->open(rq);
      sockets.push_back(std::move(ws));
    }
  }
};

}

int main(int argc, char** argv)
{
  const polledbus::Options o = polledbus::options(argc, argv);
  const int clientCount = int(polledbus::option(argc, argv, "--clients", 10));
  const int stalledCount = int(polledbus::option(argc, argv, "--stalled", 0));
  TestHome home;
  polledbus::prepare(home);
  QApplication app(argc, argv);
  support::HeadlessPrompt prompt;
  support::setPrompt(&prompt);

  Server s;
  const QList<int16_t> polled = polledbus::open(s, home, "bench_web");
  if (polled.isEmpty())
    return 1;
  qint64 published = 0;
  bool stamping = false;
  QObject::connect(&s.dde->link(), &ddeml::Server::itemChanged, [&] {
    if (stamping)
      ++published;
  });
  WebServer web(s, s.dde->link());
  QString error;
  if (!web.start(WebServer::Config{}, &error)) {
    std::fprintf(stderr, "bench_web: %s\n", qPrintable(error));
    return 1;
  }
  QStringList topics;
  for (int c = 1; c < int(s.channels.ChannelTable.size()); ++c)
    topics << QStringLiteral("C(%1)").arg(c);

  QThread thread;
  thread.start();
  Clients clients(clientCount);
  clients.moveToThread(&thread);
  QMetaObject::invokeMethod(&clients, [&] { clients.open(web.port(), web.token(), topics); });
  QThread stalledThread;
  stalledThread.start();
  Clients stalled(stalledCount);
  stalled.moveToThread(&stalledThread);
  QMetaObject::invokeMethod(&stalled, [&] { stalled.open(web.port(), web.token(), topics); });
  polledbus::spin([&] { return clients.subscribed == clientCount && stalled.subscribed == stalledCount; }, 10000);
  // The current values the subscriptions bring are through before polling.
  polledbus::spin([&] {
    const qint64 now = polledbus::nowNs();
    return now - clients.lastNs > 300000000 && (stalledCount == 0 || now - stalled.lastNs > 300000000);
  }, 60000);
  // From here the stalled clients take nothing until the end.
  std::atomic<bool> stalling{true};
  QMetaObject::invokeMethod(&stalled, [&] {
    while (stalling)
      QThread::msleep(10);
  });

  const double residentBefore = residentMiB();
  polledbus::startPolling(s, o);
  stamping = true;
  clients.counting = true;
  const polledbus::CpuSpan span;
  QElapsedTimer t;
  t.start();
  polledbus::run(int(o.seconds * 1000));
  clients.counting = false;
  stamping = false;
  const double elapsed = t.elapsed() / 1000.0;
  const double cpu = span.threadSeconds(), ioCpu = span.ioSeconds();
  const double residentAfter = residentMiB();
  s.poll->StopPolling();
  stalling = false;
  polledbus::run(300);

  qint64 received = 0, slowest = -1;
  for (const auto& c : clients.counts) {
    received += c;
    slowest = slowest < 0 ? c.load() : std::min(slowest, c.load());
  }
  std::printf("bench_web: %d channels x %d polled parameters, in-process bus, pacing off, Polltime %d ms, "
              "PollBatch %d, %d WebSocket clients, %.1f s\n",
              int(s.channels.MaxChannel) - 1, int(polled.size()), o.polltime, o.batch, clientCount, elapsed);
  std::printf("  values published at the items:   %.0f /s\n", published / elapsed);
  std::printf("  values received by the clients:  %.0f /s together, %.0f /s by the slowest\n", received / elapsed,
              slowest / elapsed);
  std::printf("  server thread: %.0f %% of a core, %.1f us per published value\n", 100 * cpu / elapsed,
              published ? 1e6 * cpu / double(published) : 0.0);
  std::printf("  library I/O thread with the virtual bus (not the server's): %.0f %% of a core\n",
              100 * ioCpu / elapsed);
  std::printf("  %d stalled clients; resident memory (clients included): %.0f MiB before polling, %.0f MiB at the end\n",
              stalledCount, residentBefore, residentAfter);
  QMetaObject::invokeMethod(&clients, [&] { clients.sockets.clear(); }, Qt::BlockingQueuedConnection);
  QMetaObject::invokeMethod(&stalled, [&] { stalled.sockets.clear(); }, Qt::BlockingQueuedConnection);
  thread.quit();
  thread.wait();
  stalledThread.quit();
  stalledThread.wait();
  sora32::CloseCommunication();
  return 0;
}
