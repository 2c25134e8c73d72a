// Polling throughput seen by a client: the server polls 120 channels with
// 10 polled parameters each on the in-process virtual bus ("SIM", pacing
// off), and one hot-advise client holding links to all 1200 items counts the
// values it receives. Prints the delivered values per second, the replies
// per second the engine took from the library and the full polling cycles
// per second.
//
//   bench_engine [--seconds S] [--polltime MS] [--batch N]
//
// The server runs as in the program (message engine, scheduler with its
// timers and watchdog, topics on the link layer); only the channel model is
// filled from the library's configuration read instead of the device-table
// reconciliation.

#include "Paths.h"
#include "ServerRig.h"
#include "TestHome.h"
#include "Client.h"
#include "Prompt.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <poll.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <vector>

using namespace tesmira;

namespace {

constexpr int kChannels = 120;
constexpr int kPolled = 10;

QJsonObject scenario()
{
  QJsonArray modules;
  modules.append(QJsonObject{{"node", 1}, {"type", 1}, {"number", "IF0000001"}, {"channels", QJsonArray{1}}});
  for (int i = 0; i < kChannels; ++i)
    modules.append(QJsonObject{{"node", 2 + i},
                               {"type", 4},
                               {"number", QStringLiteral("FC%1").arg(2 + i, 7, 10, QLatin1Char('0'))},
                               {"channels", QJsonArray{1}}});
  // "wobble": every poll reads a new value, so every reply the engine
  // publishes is a change the link layer pushes to the client.
  return QJsonObject{{"baud", 38400}, {"changeDelayMs", 0}, {"timeConstantMs", 800}, {"seed", 1},
                     {"wobble", true}, {"modules", modules}};
}

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

void spin(const std::function<bool()>& done, int ms)
{
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}

int main(int argc, char** argv)
{
  double seconds = 5;
  int polltime = 1, batch = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const QByteArray a = argv[i];
    if (a == "--seconds")
      seconds = atof(argv[i + 1]);
    else if (a == "--polltime")
      polltime = atoi(argv[i + 1]);
    else if (a == "--batch")
      batch = atoi(argv[i + 1]);
  }

  TestHome home;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("TESMIRA_SIM_PACING", "0");
  const QString scen = home.file("scenario.json");
  {
    QFile f(scen);
    f.open(QIODevice::WriteOnly);
    f.write(QJsonDocument(scenario()).toJson());
  }
  qputenv("TESMIRA_SIM_SCENARIO", scen.toLocal8Bit());
  QApplication app(argc, argv);
  support::HeadlessPrompt prompt;
  support::setPrompt(&prompt);

  Server s;
  s.createGeneral(".");
  s.createServices();
  QString e = serverrig::installDatabase(support::Paths::programDir(), home.defaultDatabase())
                  ? serverrig::startServices(s, true)
                  : QStringLiteral("no default database beside the program");
  if (e.isEmpty())
    e = serverrig::openLine(s, "SIM", 38400, 125);
  if (!e.isEmpty()) {
    std::fprintf(stderr, "bench_engine: %s\n", qPrintable(e));
    return 1;
  }

  // Ten readable numeric parameters of the controller's own process (or the
  // channel's process) are the polled ones.
  QList<int16_t> polled;
  for (auto& def : s.db->ParameterTable)
    def.Poll = false;
  serverrig::fillChannelModel(s, [&](int, const ChannelRec& r, int16_t p) {
    const ParameterDef& def = s.db->ParameterTable[size_t(p)];
    if (r.Dev_ID == 4 && polled.size() < kPolled && def.Read && (def.Process == 1 || def.Process == 255) &&
        def.VarType[0] <= 3 && !polled.contains(p))
      polled.append(p);
  });
  for (int16_t p : polled)
    s.db->ParameterTable[size_t(p)].Poll = true;
  ChannelModel& m = s.channels;
  s.dde->AddTopicScr(m.ChannelCount);
  s.state.NotReady = false;

  // Channel 1 is the interface; the controllers are channels 2..121.
  std::atomic<int> ready{0};
  std::atomic<bool> counting{false}, stop{false};
  auto client = std::async(std::launch::async, runClient, polled, 2, int(m.ChannelCount), &ready, &counting, &stop);
  spin([&] { return ready.load() == 1; }, 60000);

  s.cfg.Polltime = polltime;
  s.cfg.PollBatch = batch;
  s.cfg.PendingTimeout = 10;
  qint64 polls = 0;
  QObject::connect(s.poll.get(), &frmPollTime::channelPolled, [&](int16_t) { ++polls; });
  s.poll->StartPolling();
  spin([] { return false; }, 1000); // warm-up
  const qint64 pollsBefore = polls;
  long replies = 0;
  const long rxBefore = s.state.RxCount;
  counting = true;
  QElapsedTimer t;
  t.start();
  long rxSeen = rxBefore;
  // RxCount is reset at the end of each cycle; sum its increases.
  while (t.elapsed() < seconds * 1000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const long now = s.state.RxCount;
    replies += now >= rxSeen ? now - rxSeen : now;
    rxSeen = now;
  }
  counting = false;
  const double elapsed = t.elapsed() / 1000.0;
  const qint64 channelPolls = polls - pollsBefore;
  s.poll->StopPolling();
  stop = true;
  spin([&] { return client.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
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
              int(m.MaxChannel) - 1, int(polled.size()), qPrintable(names.join(',')), polltime, batch, elapsed);
  std::printf("  values delivered to the hot-advise client: %.0f /s (target >= 20000)\n",
              r.received / elapsed);
  std::printf("  replies taken and published by the engine:  %.0f /s\n", replies / elapsed);
  std::printf("  full polling cycles:                       %.1f /s\n",
              channelPolls / double(m.MaxChannel) / elapsed);
  sora32::CloseCommunication();
  return 0;
}
