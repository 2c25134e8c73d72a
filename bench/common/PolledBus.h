#pragma once
// The polling load shared by bench_engine (to a link client) and bench_mqtt
// (through the MQTT bridge): the server polls 120 channels with 10 polled
// parameters each on the in-process virtual bus ("SIM", pacing off), every
// poll reading a new value.
//
// The server runs as in the program (message engine, scheduler with its
// timers and watchdog, topics on the link layer); only the channel model is
// filled from the library's configuration read instead of the device-table
// reconciliation.
//
// Options common to both: --seconds S --polltime MS --batch N.

#include "Paths.h"
#include "Server.h"
#include "ServerRig.h"
#include "TestHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

namespace polledbus {

constexpr int kChannels = 120;
constexpr int kPolled = 10;

inline qint64 nowNs()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
    .count();
}

// Processor time of the calling thread (user and system).
inline qint64 threadCpuNs()
{
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Processor time of the bus library's I/O thread ("sora32-io"), which with
// the in-process bus also runs the virtual bus: the first field of the
// thread's schedstat, in nanoseconds. 0 when there is no such thread.
inline qint64 ioThreadCpuNs()
{
  const QDir tasks(QStringLiteral("/proc/self/task"));
  for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
    if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != "sora32-io")
      continue;
    QFile stat(tasks.filePath(tid + QStringLiteral("/schedstat")));
    if (stat.open(QIODevice::ReadOnly))
      return stat.readAll().split(' ').value(0).toLongLong();
  }
  return 0;
}

// Processor time spent over a measured span: the server's thread (message
// engine, topics, link layer, bridge) and the library's I/O thread with the
// virtual bus, which the server's figure leaves out.
struct CpuSpan {
  qint64 thread0 = threadCpuNs(), io0 = ioThreadCpuNs();
  double threadSeconds() const { return double(threadCpuNs() - thread0) / 1e9; }
  double ioSeconds() const { return double(ioThreadCpuNs() - io0) / 1e9; }
};

struct Options {
  double seconds = 5;
  int polltime = 1, batch = 10;
};

// The value of "--name V" among the arguments, or fallback.
inline double option(int argc, char** argv, const char* name, double fallback)
{
  for (int i = 1; i + 1 < argc; i += 2)
    if (qstrcmp(argv[i], name) == 0)
      return atof(argv[i + 1]);
  return fallback;
}

inline Options options(int argc, char** argv)
{
  Options o;
  o.seconds = option(argc, argv, "--seconds", o.seconds);
  o.polltime = int(option(argc, argv, "--polltime", o.polltime));
  o.batch = int(option(argc, argv, "--batch", o.batch));
  return o;
}

// The virtual bus's modules: the interface and the controllers. To be
// called before the application object exists (the platform and the bus
// are chosen from the environment).
inline void prepare(const TestHome& home)
{
  QJsonArray modules;
  modules.append(QJsonObject{{"node", 1}, {"type", 1}, {"number", "IF0000001"}, {"channels", QJsonArray{1}}});
  for (int i = 0; i < kChannels; ++i)
    modules.append(QJsonObject{{"node", 2 + i},
                               {"type", 4},
                               {"number", QStringLiteral("FC%1").arg(2 + i, 7, 10, QLatin1Char('0'))},
                               {"channels", QJsonArray{1}}});
  // "wobble": every poll reads a new value, so every reply is a change the
  // server publishes.
  const QJsonObject scenario{{"baud", 38400}, {"changeDelayMs", 0}, {"timeConstantMs", 800}, {"seed", 1},
                             {"wobble", true}, {"modules", modules}};
  const QString file = home.file("scenario.json");
  QFile f(file);
  if (f.open(QIODevice::WriteOnly))
    f.write(QJsonDocument(scenario).toJson());
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("TESMIRA_SIM_PACING", "0");
  qputenv("TESMIRA_SIM_SCENARIO", file.toLocal8Bit());
}

// Starts the services with the link service, opens the bus and marks ten
// readable numeric parameters of the controller's own process (or the
// channel's process) as the polled ones, which it returns. Empty with the
// reason said on stderr when that fails.
inline QList<int16_t> open(tesmira::Server& s, const TestHome& home, const char* bench)
{
  using namespace tesmira;
  s.createGeneral(".");
  s.createServices();
  QString e = serverrig::installDatabase(support::Paths::programDir(), home.defaultDatabase())
                ? serverrig::startServices(s, true)
                : QStringLiteral("no default database beside the program");
  if (e.isEmpty())
    e = serverrig::openLine(s, "SIM", 38400, 125);
  if (!e.isEmpty()) {
    std::fprintf(stderr, "%s: %s\n", bench, qPrintable(e));
    return {};
  }
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
  s.dde->AddTopicScr(s.channels.ChannelCount);
  s.state.NotReady = false;
  return polled;
}

inline void spin(const std::function<bool()>& done, int ms)
{
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Runs the event loop for ms as the program's own loop runs: it sleeps
// until a timer or a socket wakes it, so that the server thread's processor
// time is the server's work, not a spinning wait.
inline void run(int ms)
{
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

// Polling as fast as the options say, then a second of warm-up.
inline void startPolling(tesmira::Server& s, const Options& o)
{
  s.cfg.Polltime = o.polltime;
  s.cfg.PollBatch = o.batch;
  s.cfg.PendingTimeout = 10;
  s.poll->StartPolling();
  run(1000);
}

}
