// The server's publication path under load: Change_dde_item (trimming, the
// Read log line's routing, the item change) pushes every value of C(1)!P(8)
// to ten clients with hot advise links over the service's Unix socket. Each
// value is the time it was published, so every client measures the push
// latency of every value.
//
//   burst: values published as fast as the server loop can; prints the
//          delivered values per second in total.
//   paced: values published at a fixed rate (default 5,000 per second, i.e.
//          50,000 deliveries per second to ten clients); prints the median
//          and 99th-percentile push latency.
//
//   bench_dde [--runs R] [--clients C] [--burst N] [--rate V] [--seconds S]

#include "core/Server.h"
#include "core/Startup.h"
#include "dde/DdeServer.h"

#include "Client.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <vector>

namespace {

qint64 nowNs()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
    .count();
}

struct ClientStats {
  qint64 received = 0;
  qint64 lastNs = 0;
  std::vector<qint64> latenciesNs;
  bool ok = true;
};

struct PhaseResult {
  double valuesPerSecond = 0, medianUs = 0, p99Us = 0;
  qint64 delivered = 0;
};

ClientStats runClient(std::atomic<int>* ready)
{
  ClientStats st;
  ddeml::Client c;
  ddeml::AdviseEvent ev;
  if (!c.connect("Tesmira", "C(1)") || !c.advise("P(8)", ddeml::AdviseMode::Hot) || !c.nextAdvise(&ev, 5000)) {
    st.ok = false;
    ++*ready;
    return st;
  }
  ++*ready;
  st.latenciesNs.reserve(1 << 20);
  while (c.nextAdvise(&ev, 10000)) {
    if (ev.value == "END")
      break;
    const qint64 now = nowNs();
    st.latenciesNs.push_back(now - ev.value.toLongLong());
    st.lastNs = now;
    ++st.received;
  }
  return st;
}

void spin(const std::function<bool()>& done)
{
  while (!done())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

PhaseResult runPhase(tesmira::DdeServer& dde, int clients, bool paced, qint64 count, double rate)
{
  std::atomic<int> ready{0};
  std::vector<std::future<ClientStats>> futures;
  for (int i = 0; i < clients; ++i)
    futures.push_back(std::async(std::launch::async, runClient, &ready));
  spin([&] { return ready == clients; });

  const qint64 start = nowNs();
  qint64 sent = 0;
  while (sent < count) {
    qint64 due = count;
    if (paced)
      due = std::min<qint64>(count, qint64((nowNs() - start) * rate / 1e9) + 1);
    for (int k = 0; sent < due && k < 64; ++k, ++sent)
      dde.Change_dde_item(1, 8, QString::number(nowNs()));
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  dde.Change_dde_item(1, 8, "END");
  spin([&] {
    for (auto& f : futures)
      if (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return false;
    return true;
  });

  PhaseResult r;
  std::vector<qint64> all;
  qint64 lastNs = start;
  for (auto& f : futures) {
    ClientStats st = f.get();
    if (!st.ok)
      std::fprintf(stderr, "a client could not connect\n");
    r.delivered += st.received;
    lastNs = std::max(lastNs, st.lastNs);
    all.insert(all.end(), st.latenciesNs.begin(), st.latenciesNs.end());
  }
  const double seconds = (lastNs - start) / 1e9;
  r.valuesPerSecond = seconds > 0 ? r.delivered / seconds : 0;
  if (!all.empty()) {
    std::sort(all.begin(), all.end());
    r.medianUs = all[all.size() / 2] / 1e3;
    r.p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)] / 1e3;
  }
  if (r.delivered != count * clients)
    std::fprintf(stderr, "lost values: %lld of %lld delivered\n", (long long)r.delivered,
                 (long long)(count * clients));
  return r;
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}

int main(int argc, char** argv)
{
  QTemporaryDir home;
  qputenv("TESMIRA_HOME", home.path().toLocal8Bit());
  qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  int runs = 5, clients = 10;
  qint64 burst = 50000;
  double rate = 5000, seconds = 2;
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    const double v = args[i + 1].toDouble();
    if (args[i] == "--runs") runs = int(v);
    else if (args[i] == "--clients") clients = int(v);
    else if (args[i] == "--burst") burst = qint64(v);
    else if (args[i] == "--rate") rate = v;
    else if (args[i] == "--seconds") seconds = v;
    else {
      std::fprintf(stderr, "unknown option %s\n", qPrintable(args[i]));
      return 2;
    }
  }

  tesmira::Server s;
  s.createGeneral(".");
  s.createServices();
  const QString error = tesmira::CheckServer(s);
  if (!error.isEmpty() || !s.dde->registered()) {
    std::fprintf(stderr, "the service could not be registered: %s\n", qPrintable(error));
    return 1;
  }
  // One channel offering parameter 8; no log file, as in normal serving.
  s.channels.MaxChannel = s.channels.ChannelCount = 1;
  s.channels.ChannelTable.assign(2, tesmira::ChannelRec{});
  s.channels.resizeParameterTables(1, 8);
  s.channels.ParAvailable[1][8] = 1;
  s.dde->AddTopicScr(1);
  s.dde->TopicTable[1]->createItem(8, "0");

  std::printf("Change_dde_item -> hot advise, 1 server -> %d clients over Unix sockets\n", clients);
  std::vector<double> burstRate, pacedRate, pacedMedian, pacedP99;
  for (int r = 0; r < runs; ++r) {
    const PhaseResult b = runPhase(*s.dde, clients, false, burst, 0);
    const PhaseResult p = runPhase(*s.dde, clients, true, qint64(rate * seconds), rate);
    std::printf("run %d: burst %.0f values/s (median latency %.1f us) | paced %.0f values/s, median latency "
                "%.1f us, p99 %.1f us\n",
                r + 1, b.valuesPerSecond, b.medianUs, p.valuesPerSecond, p.medianUs, p.p99Us);
    burstRate.push_back(b.valuesPerSecond);
    pacedRate.push_back(p.valuesPerSecond);
    pacedMedian.push_back(p.medianUs);
    pacedP99.push_back(p.p99Us);
  }
  std::printf("median of %d runs: burst %.0f values/s in total; at %.0f values/s in total the median push "
              "latency is %.1f us (p99 %.1f us)\n",
              runs, median(burstRate), rate * clients, median(pacedMedian), median(pacedP99));
  std::printf("target: >= 50000 values/s in total, median latency < 1000 us: %s\n",
              median(burstRate) >= 50000 && median(pacedRate) >= 0.95 * rate * clients && median(pacedMedian) < 1000
                ? "met"
                : "NOT met");
  return 0;
}
