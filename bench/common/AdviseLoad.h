#pragma once
// Hot-advise load shared by bench_advise (the link layer alone) and
// bench_dde (the server's publication path): one item, C(1)!P(8), is set
// over and over, each value being the time it was set, and every client
// measures the push latency of every value it receives.
//
//   burst: values set as fast as the server loop can; delivered values per
//          second in total.
//   paced: values set at a fixed rate for a few seconds; the median and
//          99th-percentile push latency.
//
// Options: --runs R --clients C --burst N --rate V --seconds S.

#include "Client.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <vector>

namespace adviseload {

inline qint64 nowNs()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
    .count();
}

struct Options {
  int runs = 5, clients = 10;
  qint64 burst = 50000;
  double rate = 5000, seconds = 2;
};

// Reads the options; false (after saying why) on an unknown one.
inline bool parseOptions(const QStringList& args, Options& o)
{
  for (int i = 1; i + 1 < args.size(); i += 2) {
    const double v = args[i + 1].toDouble();
    if (args[i] == "--runs") o.runs = int(v);
    else if (args[i] == "--clients") o.clients = int(v);
    else if (args[i] == "--burst") o.burst = qint64(v);
    else if (args[i] == "--rate") o.rate = v;
    else if (args[i] == "--seconds") o.seconds = v;
    else {
      std::fprintf(stderr, "unknown option %s\n", qPrintable(args[i]));
      return false;
    }
  }
  return true;
}

struct ClientStats {
  qint64 received = 0, lastNs = 0;
  std::vector<qint64> latenciesNs;
  bool ok = true;
};

struct PhaseResult {
  double valuesPerSecond = 0, medianUs = 0, p99Us = 0;
  qint64 delivered = 0;
};

// Reads hot-advise data until the value "END".
inline ClientStats runClient(QString service, std::atomic<int>* ready)
{
  ClientStats st;
  ddeml::Client c;
  ddeml::AdviseEvent ev;
  if (!c.connect(service, "C(1)") || !c.advise("P(8)", ddeml::AdviseMode::Hot) || !c.nextAdvise(&ev, 5000)) {
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

inline void spin(const std::function<bool()>& done)
{
  while (!done())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

using Setter = std::function<void(const QString&)>;

inline PhaseResult runPhase(const Setter& set, const QString& service, int clients, bool paced, qint64 count,
                            double rate)
{
  std::atomic<int> ready{0};
  std::vector<std::future<ClientStats>> futures;
  for (int i = 0; i < clients; ++i)
    futures.push_back(std::async(std::launch::async, runClient, service, &ready));
  spin([&] { return ready == clients; });

  const qint64 start = nowNs();
  qint64 sent = 0;
  while (sent < count) {
    qint64 due = count;
    if (paced)
      due = std::min<qint64>(count, qint64((nowNs() - start) * rate / 1e9) + 1);
    // Set what is due (at most a small batch), then let the loop write.
    for (int k = 0; sent < due && k < 64; ++k, ++sent)
      set(QString::number(nowNs()));
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  set("END");
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

inline double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Runs both phases o.runs times and prints each run and the medians.
inline void runAll(const char* title, const Setter& set, const QString& service, const Options& o)
{
  std::printf("%s, 1 server -> %d clients over Unix sockets\n", title, o.clients);
  std::vector<double> burstRate, pacedRate, pacedMedian, pacedP99;
  for (int r = 0; r < o.runs; ++r) {
    const PhaseResult b = runPhase(set, service, o.clients, false, o.burst, 0);
    const PhaseResult p = runPhase(set, service, o.clients, true, qint64(o.rate * o.seconds), o.rate);
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
              o.runs, median(burstRate), o.rate * o.clients, median(pacedMedian), median(pacedP99));
  std::printf("target: >= 50000 values/s in total, median latency < 1000 us: %s\n",
              median(burstRate) >= 50000 && median(pacedRate) >= 0.95 * o.rate * o.clients &&
                  median(pacedMedian) < 1000
                ? "met"
                : "NOT met");
}

}
