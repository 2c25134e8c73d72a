// Polling throughput seen by a client: the server polls 120 channels with
// 10 polled parameters each on the in-process virtual bus ("SIM", pacing
// off), and one hot-advise client holding links to all 1200 items counts the
// values it receives. Prints the delivered values per second, the replies
// per second the engine took from the library, the full polling cycles
// per second, and the processor time the server's thread (engine, topics,
// link layer) spent per delivered value. The virtual bus runs on the
// library's I/O thread, never on the server's: its time (with the
// library's framing) is printed apart. The load is bench/common/PolledBus.h.
//
//   bench_engine [--seconds S] [--polltime MS] [--batch N]

#include "PolledBus.h"
#include "Client.h"
#include "Prompt.h"

#include <QApplication>

#include <poll.h>

#include <atomic>
#include <future>
#include <vector>

using namespace tesmira;

namespace {

struct ClientResult {
  bool ok = true;
  QString error;
  qint64 received = 0;
};

// One client with a conversation per topic and hot links to the polled
// items. Counts the values pushed until stop is set.
ClientResult runClient(const QList<int16_t>& items, int channelFrom, int channelTo, std::atomic<int>* ready,
                       std::atomic<bool>* counting, std::atomic<bool>* stop)
{
  ClientResult r;
  std::vector<std::unique_ptr<ddeml::Client>> links;
  for (int c = channelFrom; c <= channelTo; ++c) {
    auto link = std::make_unique<ddeml::Client>();
    if (!link->connect(QStringLiteral("Tesmira"), QStringLiteral("C(%1)").arg(c))) {
      r.ok = false;
      r.error = link->errorString();
      break;
    }
    for (int16_t p : items)
      if (!link->advise(QStringLiteral("P(%1)").arg(p), ddeml::AdviseMode::Hot)) {
        r.ok = false;
        r.error = link->errorString();
      }
    links.push_back(std::move(link));
  }
  ++*ready;
  // Wait on all conversations at once; drain the ones with data.
  std::vector<pollfd> fds;
  for (auto& link : links)
    fds.push_back({link->socketDescriptor(), POLLIN, 0});
  ddeml::AdviseEvent ev;
  while (!stop->load()) {
    if (::poll(fds.data(), nfds_t(fds.size()), 20) <= 0)
      continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN))
        continue;
      while (links[i]->nextAdvise(&ev, 0))
        if (counting->load())
          ++r.received;
    }
  }
  return r;
}

}

int main(int argc, char** argv)
{
  const polledbus::Options o = polledbus::options(argc, argv);
  TestHome home;
  polledbus::prepare(home);
  QApplication app(argc, argv);
  support::HeadlessPrompt prompt;
  support::setPrompt(&prompt);

  Server s;
  const QList<int16_t> polled = polledbus::open(s, home, "bench_engine");
  if (polled.isEmpty())
    return 1;
  ChannelModel& m = s.channels;

  // Channel 1 is the interface; the controllers are channels 2..121.
  std::atomic<int> ready{0};
  std::atomic<bool> counting{false}, stop{false};
  auto client = std::async(std::launch::async, runClient, polled, 2, int(m.ChannelCount), &ready, &counting, &stop);
  polledbus::spin([&] { return ready.load() == 1; }, 60000);

  qint64 polls = 0;
  QObject::connect(s.poll.get(), &frmPollTime::channelPolled, [&](int16_t) { ++polls; });
  polledbus::startPolling(s, o);
  const qint64 pollsBefore = polls;
  long replies = 0;
  const long rxBefore = s.state.RxCount;
  counting = true;
  const polledbus::CpuSpan cpu;
  QElapsedTimer t;
  t.start();
  long rxSeen = rxBefore;
  // RxCount is reset at the end of each cycle; sum its increases, sampled
  // by a timer while the event loop runs as the program's does.
  QTimer sampler;
  sampler.setTimerType(Qt::PreciseTimer);
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    const long now = s.state.RxCount;
    replies += now >= rxSeen ? now - rxSeen : now;
    rxSeen = now;
  });
  sampler.start(2);
  polledbus::run(int(o.seconds * 1000));
  sampler.stop();
  counting = false;
  const double elapsed = t.elapsed() / 1000.0;
  const double serverCpu = cpu.threadSeconds(), ioCpu = cpu.ioSeconds();
  const qint64 channelPolls = polls - pollsBefore;
  s.poll->StopPolling();
  stop = true;
  polledbus::spin([&] { return client.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
  const ClientResult r = client.get();
  if (!r.ok) {
    std::fprintf(stderr, "bench_engine: client: %s\n", qPrintable(r.error));
    return 1;
  }

  QStringList names;
  for (int16_t p : polled)
    names << QString::number(p);
  std::printf("bench_engine: %d channels x %d polled parameters (%s), in-process bus, pacing off,"
              " Polltime %d ms, PollBatch %d, %.1f s\n",
              int(m.MaxChannel) - 1, int(polled.size()), qPrintable(names.join(',')), o.polltime, o.batch, elapsed);
  std::printf("  values delivered to the hot-advise client: %.0f /s (target >= 20000)\n",
              r.received / elapsed);
  std::printf("  replies taken and published by the engine:  %.0f /s\n", replies / elapsed);
  std::printf("  full polling cycles:                       %.1f /s\n",
              channelPolls / double(m.MaxChannel) / elapsed);
  std::printf("  library I/O thread with the virtual bus:   %.0f %% of a core\n", 100 * ioCpu / elapsed);
  std::printf("  server thread: %.0f %% of a core, %.1f us per value\n", 100 * serverCpu / elapsed,
              r.received ? 1e6 * serverCpu / double(r.received) : 0.0);
  sora32::CloseCommunication();
  return 0;
}
