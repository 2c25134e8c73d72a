// One link-layer server pushes hot-advise values of one item to ten clients
// over the Unix socket. Each value carries the time it was set, so every
// client measures the push latency (set -> received) of every value.
//
// Two phases per run:
//   burst: values are set as fast as the server loop can, 10 * N deliveries;
//          prints the delivered values per second in total.
//   paced: values are set at a fixed rate (default 5,000 per second, i.e.
//          50,000 deliveries per second to ten clients) for two seconds;
//          prints the delivered rate and the median and 99th-percentile latency.
// The summary gives the median over the runs.
//
//   bench_advise [--runs R] [--clients C] [--burst N] [--rate V] [--seconds S]

#include "Client.h"
#include "Server.h"

#include <QCoreApplication>
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
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct ClientStats {
    qint64 received = 0;
    qint64 lastNs = 0;
    std::vector<qint64> latenciesNs;
    bool ok = true;
};

struct PhaseResult {
    double valuesPerSecond = 0;
    double medianUs = 0;
    double p99Us = 0;
    qint64 delivered = 0;
};

// Reads hot-advise data until the value "END"; each value is a send time.
ClientStats runClient(std::atomic<int>* ready)
{
    ClientStats st;
    ddeml::Client c;
    if (!c.connect("BenchAdvise", "C(1)") || !c.advise("P(8)", ddeml::AdviseMode::Hot)) {
        st.ok = false;
        ++*ready;
        return st;
    }
    ddeml::AdviseEvent ev;
    c.nextAdvise(&ev, 5000); // the current value
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

PhaseResult runPhase(ddeml::Server& server, int clients, bool paced, qint64 count, double rate)
{
    std::atomic<int> ready {0};
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
        // Set what is due (at most a small batch), then let the loop write.
        for (int k = 0; sent < due && k < 64; ++k, ++sent)
            server.setItem("C(1)", "P(8)", QString::number(nowNs()));
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    server.setItem("C(1)", "P(8)", "END");
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
            fprintf(stderr, "a client could not connect\n");
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
        fprintf(stderr, "lost values: %lld of %lld delivered\n", (long long)r.delivered,
                (long long)(count * clients));
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    int runs = 5, clients = 10;
    qint64 burst = 50000;
    double rate = 5000, seconds = 2;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString& a = args[i];
        const double v = args[i + 1].toDouble();
        if (a == "--runs") runs = int(v);
        else if (a == "--clients") clients = int(v);
        else if (a == "--burst") burst = qint64(v);
        else if (a == "--rate") rate = v;
        else if (a == "--seconds") seconds = v;
        else {
            fprintf(stderr, "unknown option %s\n", qPrintable(a));
            return 2;
        }
    }

    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    ddeml::Server server;
    QString err;
    if (!server.registerService("BenchAdvise", &err)) {
        fprintf(stderr, "%s\n", qPrintable(err));
        return 1;
    }
    server.addTopic("C(1)");
    server.createItem("C(1)", "P(8)", "0");

    printf("hot advise, 1 server -> %d clients over Unix sockets\n", clients);
    std::vector<double> burstRate, burstMedian, pacedRate, pacedMedian, pacedP99;
    for (int r = 0; r < runs; ++r) {
        const PhaseResult b = runPhase(server, clients, false, burst, 0);
        const PhaseResult p = runPhase(server, clients, true, qint64(rate * seconds), rate);
        printf("run %d: burst %.0f values/s (median latency %.1f us) | paced %.0f values/s, "
               "median latency %.1f us, p99 %.1f us\n",
               r + 1, b.valuesPerSecond, b.medianUs, p.valuesPerSecond, p.medianUs, p.p99Us);
        burstRate.push_back(b.valuesPerSecond);
        burstMedian.push_back(b.medianUs);
        pacedRate.push_back(p.valuesPerSecond);
        pacedMedian.push_back(p.medianUs);
        pacedP99.push_back(p.p99Us);
    }
    printf("median of %d runs: burst %.0f values/s in total; at %.0f values/s in total the median "
           "push latency is %.1f us (p99 %.1f us)\n",
           runs, median(burstRate), rate * clients, median(pacedMedian), median(pacedP99));
    printf("target: >= 50000 values/s in total, median latency < 1000 us: %s\n",
           median(burstRate) >= 50000 && median(pacedRate) >= 0.95 * rate * clients
                   && median(pacedMedian) < 1000
               ? "met"
               : "NOT met");
    return 0;
}
