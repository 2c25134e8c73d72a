// Polling on a real serial line: the server polls the default scenario's
// eight channels through the virtual bus on a pseudo-terminal, paced at
// 38400 baud, with process and parameter chaining on. Prints
//  (1) the values per second the engine takes from the library, against the
//      wire's theoretical maximum for the same poll mix (our frame sizes,
//      the busier direction of the full-duplex line bounds the rate, as
//      bench_wire computes it), and their ratio;
//  (2) the latency from a change on the bus to the hot-advise client: the
//      bench applies a controller setpoint step directly on the bus (the
//      simulated loop follows at once: time constant 1 ms) and times from
//      just before that step to the client's receipt of the first measure
//      value that differs from the settled one. Median and 99th percentile.
//
//   bench_polling [--seconds S] [--changes N] [--polltime MS] [--batch N]
//
// --polltime sets the pause between batches for the throughput part only
// (default 1 ms); the latency part runs with the program's own Polltime.
//
// The server runs as in the program (session, message engine, scheduler with
// its timers, topics on the link layer); the channel model is filled from the
// library's configuration read, as bench_engine and the engine tests do.

#include "Paths.h"
#include "ServerRig.h"
#include "TestHome.h"
#include "Client.h"
#include "Prompt.h"

#include "bus.h"
#include "paramdb.h"
#include "server.h"
#include "soraproto.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <vector>

using namespace tesmira;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBaud = 38400;

void spin(const std::function<bool()>& done, int ms)
{
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// One read the scheduler sends per polling cycle.
struct PolledRead {
  uint8_t node, proc, fb, type, length;
};

// The reads of one full cycle, chosen as frmPollTime::PollChannel chooses
// them: polled parameters the channel offers; 33 and 34 once for channels
// of one node polled one after another.
std::vector<PolledRead> pollMix(Server& s)
{
  std::vector<PolledRead> out;
  const ChannelModel& m = s.channels;
  int lastNode = -1;
  for (int c = 1; c <= m.MaxChannel; ++c) {
    const ChannelRec& r = m.ChannelTable[size_t(c)];
    if (!r.Polling || !r.ModulePresent)
      continue;
    for (int p = 1; p <= s.db->MaxParNr && p < int(s.db->ParameterTable.size()); ++p) {
      const ParameterDef& def = s.db->ParameterTable[size_t(p)];
      if (!(def.Poll || (p == 175 && r.IsIfiChannel)) || !m.available(int16_t(c), int16_t(p)))
        continue;
      if (r.Dev_Nodenr == lastNode && (p == 33 || p == 34))
        continue;
      out.push_back({r.Dev_Nodenr, def.Process == 255 ? r.Dev_Proc : def.Process, def.FBnr, def.VarType[0],
                     def.VarLength});
    }
    lastNode = r.Dev_Nodenr;
  }
  return out;
}

struct WireCost {
  int frames = 0, requestChars = 0, replyChars = 0;
};

// Characters on the wire for one cycle of the mix with ideal chaining: all
// reads of a node in as few messages as the payload limit allows, replies
// carrying the values the bus holds now.
WireCost chainedCost(soranetsim::Bus& bus, const std::vector<PolledRead>& mix)
{
  QMap<int, QMap<int, std::vector<soraproto::Item>>> byNode; // node -> process -> items
  for (const PolledRead& r : mix) {
    soraproto::Item it;
    it.param = r.fb;
    it.type = r.type;
    it.length = r.length;
    if (!bus.peek(r.node, r.proc, r.fb, it.value)) {
      it.value.type = r.type;
      if (r.type == soraproto::TString)
        it.value.s = QByteArray(r.length, 'x');
    }
    byNode[r.node][r.proc].push_back(it);
  }
  WireCost cost;
  for (auto n = byNode.cbegin(); n != byNode.cend(); ++n) {
    soraproto::Message rq;
    rq.node = uint8_t(n.key());
    rq.cmd = soraproto::CmdRead;
    auto flush = [&] {
      if (rq.groups.empty())
        return;
      soraproto::Message rp = rq;
      rp.cmd = soraproto::CmdReadReply;
      rp.check = soraproto::frameCheck(soraproto::encodePayload(rq));
      cost.requestChars += int(soraproto::encode(rq).size());
      cost.replyChars += int(soraproto::encode(rp).size());
      ++cost.frames;
      rq.groups.clear();
    };
    auto fits = [&] {
      soraproto::Message rp = rq;
      rp.cmd = soraproto::CmdReadReply;
      return soraproto::encodePayload(rq).size() <= soraproto::MaxPayload &&
             soraproto::encodePayload(rp).size() <= soraproto::MaxPayload;
    };
    for (auto p = n.value().cbegin(); p != n.value().cend(); ++p)
      for (const soraproto::Item& it : p.value()) {
        if (rq.groups.empty() || rq.groups.back().process != p.key())
          rq.groups.push_back({uint8_t(p.key()), {}});
        rq.groups.back().items.push_back(it);
        if (!fits()) {
          rq.groups.back().items.pop_back();
          if (rq.groups.back().items.empty())
            rq.groups.pop_back();
          flush();
          rq.groups.push_back({uint8_t(p.key()), {it}});
        }
      }
    flush();
  }
  return cost;
}

// Values received by the hot-advise client, with their time of receipt.
struct Received {
  Clock::time_point at;
  QByteArray value;
};

struct Inbox {
  std::mutex lock;
  std::vector<Received> values;
  std::vector<Received> take()
  {
    std::lock_guard<std::mutex> g(lock);
    std::vector<Received> out;
    out.swap(values);
    return out;
  }
};

QString runClient(int channel, int16_t item, Inbox* inbox, std::atomic<bool>* ready, std::atomic<bool>* stop)
{
  ddeml::Client link;
  if (!link.connect(QStringLiteral("Tesmira"), QStringLiteral("C(%1)").arg(channel)) ||
      !link.advise(QStringLiteral("P(%1)").arg(item), ddeml::AdviseMode::Hot)) {
    *ready = true;
    return link.errorString();
  }
  *ready = true;
  ddeml::AdviseEvent ev;
  while (!stop->load())
    if (link.nextAdvise(&ev, 20) && ev.kind == ddeml::AdviseEvent::Kind::Data) {
      const Clock::time_point now = Clock::now();
      std::lock_guard<std::mutex> g(inbox->lock);
      inbox->values.push_back({now, ev.value});
    }
  return {};
}

double percentile(std::vector<double> v, double q)
{
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5));
  return v[i];
}

}

int main(int argc, char** argv)
{
  double seconds = 10;
  int changes = 60, polltime = 1, batch = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const QByteArray a = argv[i];
    if (a == "--seconds")
      seconds = atof(argv[i + 1]);
    else if (a == "--changes")
      changes = std::max(1, atoi(argv[i + 1]));
    else if (a == "--polltime")
      polltime = atoi(argv[i + 1]);
    else if (a == "--batch")
      batch = atoi(argv[i + 1]);
  }

  TestHome home;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  support::HeadlessPrompt prompt;
  support::setPrompt(&prompt);

  Server s;
  s.createGeneral(".");
  s.createServices();
  const QString dbFile = home.defaultDatabase();
  QString e = serverrig::installDatabase(support::Paths::programDir(), dbFile)
                ? serverrig::startServices(s, true)
                : QStringLiteral("no default database beside the program");

  // The default scenario; its controllers follow a setpoint step within a
  // few milliseconds, so that the change the latency is timed from happens
  // at one known moment.
  soranetsim::ParamDb pdb;
  if (e.isEmpty())
    e = pdb.load(dbFile);
  auto bus = std::make_shared<soranetsim::Bus>();
  QJsonObject scen = soranetsim::Bus::defaultScenario();
  scen["timeConstantMs"] = 0;
  if (e.isEmpty())
    e = bus->loadScenario(scen, pdb);
  soranetsim::Server sim(bus);
  QString pty;
  if (e.isEmpty() && (pty = sim.startPty({}, &e)).isEmpty() && e.isEmpty())
    e = "no pseudo-terminal";
  if (e.isEmpty())
    e = serverrig::openLine(s, pty, kBaud, 10);
  if (!e.isEmpty()) {
    std::fprintf(stderr, "bench_polling: %s\n", qPrintable(e));
    return 1;
  }

  // The database decides which parameters are polled.
  int controller = 0;
  serverrig::fillChannelModel(s, [&](int c, const ChannelRec& r, int16_t) {
    if (r.Dev_ID == 4 && controller == 0)
      controller = c;
  });
  ChannelModel& m = s.channels;
  const int16_t measure = s.db->ParNrMeasure, setpoint = s.db->ParNrSetpoint;
  if (controller == 0 || measure <= 0 || setpoint <= 0 || !s.db->ParameterTable[size_t(measure)].Poll ||
      !m.available(int16_t(controller), measure)) {
    std::fprintf(stderr, "bench_polling: no controller channel with a polled measure in this scenario\n");
    return 1;
  }
  s.dde->AddTopicScr(m.ChannelCount);
  s.state.NotReady = false;
  // Throughput is measured with the pause between batches at `polltime`
  // (1 ms by default: polling as fast as the line takes it); the latency
  // with the program's own setting.
  const int32_t programPolltime = s.cfg.Polltime;
  s.cfg.Polltime = std::max(1, polltime);
  if (batch > 0)
    s.cfg.PollBatch = batch;

  const std::vector<PolledRead> mix = pollMix(s);
  const WireCost cost = chainedCost(*bus, mix);
  const double theory = double(mix.size()) * kBaud / (10.0 * std::max(cost.requestChars, cost.replyChars));

  Inbox inbox;
  std::atomic<bool> ready{false}, stop{false};
  auto client = std::async(std::launch::async, runClient, controller, measure, &inbox, &ready, &stop);
  spin([&] { return ready.load(); }, 10000);

  s.poll->StartPolling();
  spin([] { return false; }, 1500); // warm-up: topics filled, queues in their steady state

  // (1) Throughput. RxCount is reset once a second by the scheduler: sum
  // its increases.
  long replies = 0, rxSeen = s.state.RxCount;
  const int frames0 = bus->requestFrames();
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < seconds * 1000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const long now = s.state.RxCount;
    replies += now >= rxSeen ? now - rxSeen : now;
    rxSeen = now;
  }
  const double elapsed = t.elapsed() / 1000.0;
  const double rate = replies / elapsed;
  const int frames = bus->requestFrames() - frames0;

  // (2) Latency. Alternate the setpoint between 25 % and 75 %; after each
  // change wait until the client's value is settled (no new value for a
  // random 150-400 ms, so the step lands at every phase of the cycle).
  s.cfg.Polltime = programPolltime;
  spin([] { return false; }, 500);
  const ParameterDef& sp = s.db->ParameterTable[size_t(setpoint)];
  const ChannelRec& cr = m.ChannelTable[size_t(controller)];
  auto step = [&](int value) {
    soraproto::Message w;
    w.node = cr.Dev_Nodenr;
    w.cmd = soraproto::CmdWrite;
    soraproto::Item it;
    it.param = sp.FBnr;
    it.type = sp.VarType[0];
    it.value = sp.VarType[0] == soraproto::TFloat ? soraproto::Value::ofFloat(float(value))
                                                   : soraproto::Value::ofInt(int16_t(value));
    it.value.type = sp.VarType[0];
    w.groups.push_back({uint8_t(sp.Process == 255 ? cr.Dev_Proc : sp.Process), {it}});
    bus->handle(soraproto::encodePayload(w));
  };
  QByteArray settled;
  auto settle = [&] {
    const int quiet = 150 + int(QRandomGenerator::global()->bounded(250));
    QElapsedTimer q;
    q.start();
    while (q.elapsed() < quiet) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      const auto got = inbox.take();
      if (!got.empty()) {
        settled = got.back().value;
        q.restart();
      }
    }
  };
  std::vector<double> latencies;
  int missed = 0;
  step(8000);
  settle();
  for (int i = 0; i < changes; ++i) {
    const Clock::time_point t0 = Clock::now();
    step(i % 2 ? 8000 : 24000);
    bool seen = false;
    QElapsedTimer d;
    d.start();
    while (!seen && d.elapsed() < 5000) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      for (const Received& r : inbox.take()) {
        if (!seen && r.value != settled) {
          latencies.push_back(std::chrono::duration<double, std::milli>(r.at - t0).count());
          seen = true;
        }
        settled = r.value;
      }
    }
    if (!seen)
      ++missed;
    settle();
  }

  s.poll->StopPolling();
  stop = true;
  spin([&] { return client.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 5000);
  const QString clientError = client.get();
  sora32::CloseCommunication();
  sim.stop();
  if (!clientError.isEmpty()) {
    std::fprintf(stderr, "bench_polling: client: %s\n", qPrintable(clientError));
    return 1;
  }

  std::printf("bench_polling: default scenario, %d channels, pty %s paced at %d baud, chaining on, PollBatch %d\n"
              "  throughput: Polltime %d ms, %.1f s; latency: Polltime %d ms (the program's setting)\n",
              int(m.MaxChannel), qPrintable(pty), kBaud, int(s.cfg.PollBatch), std::max(1, polltime), elapsed,
              int(programPolltime));
  std::printf("  poll mix: %d reads per cycle; ideal chaining %d frames, %d request / %d reply chars per cycle\n",
              int(mix.size()), cost.frames, cost.requestChars, cost.replyChars);
  std::printf("  %-44s %12s\n", "figure", "value");
  std::printf("  %-44s %12.0f\n", "values/s taken by the engine", rate);
  std::printf("  %-44s %12.0f\n", "theoretical maximum values/s", theory);
  std::printf("  %-44s %12.2f   (target >= 0.80)\n", "share of the wire's maximum", rate / theory);
  std::printf("  %-44s %12.1f\n", "full cycles of the poll mix/s", rate / double(mix.size()));
  std::printf("  %-44s %12.1f   (ideal %.1f)\n", "values per request frame on the bus",
              double(replies) / std::max(1, frames), double(mix.size()) / std::max(1, cost.frames));
  if (latencies.empty()) {
    std::printf("  change to client: no change arrived (%d missed)\n", missed);
    return 1;
  }
  std::printf("  %-44s %12.1f ms\n", "change to client, median", percentile(latencies, 0.5));
  std::printf("  %-44s %12.1f ms\n", "change to client, 99th percentile", percentile(latencies, 0.99));
  std::printf("  %-44s %12d   (%d missed within 5 s)\n", "changes timed", int(latencies.size()), missed);
  std::printf("  (change: setpoint step applied on the bus, channel %d; receipt: first P(%d) value\n"
              "   at the hot-advise client that differs from the settled one)\n",
              controller, int(measure));
  return 0;
}
