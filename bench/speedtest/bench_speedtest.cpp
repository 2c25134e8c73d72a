// Speed test benchmark: the whole server in this process on a paced
// 38400-baud pseudo-terminal to the virtual bus runs the operator's speed
// test (Communication > Speed test) on the controller's channel several
// times. Prints the rates the result box reports, their medians, and the
// line's theoretical single-message rate: the speed test sends one read and
// waits for its reply before the next, so one read costs the characters of
// its request plus those of its reply, 10 bit times each.
//
// The library alone on the same line, replies looked for every 0.1 ms, is
// printed last: the floor the speed test stands on.
//
// Run from the build tree: TESMIRA_BIN_DIR=build/bin build/bin/bench_speedtest [runs]
#include "ServerRig.h"

#include "db/Database.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "sora32.h"
#include "soraproto.h"

#include <QElapsedTimer>
#include <QThread>

#include <QApplication>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>

namespace {

// Characters on the wire for one unchained read of a value of this type and
// its reply.
int readChars(uint8_t type)
{
  soraproto::Message rq;
  rq.node = 4;
  rq.cmd = soraproto::CmdRead;
  soraproto::Item it;
  it.param = 1;
  it.type = type;
  it.value = type == soraproto::TByte ? soraproto::Value::ofByte(4) : soraproto::Value::ofInt(1234);
  rq.groups.push_back(soraproto::Group{1, {it}});
  soraproto::Message rp = rq;
  rp.cmd = soraproto::CmdReadReply;
  rp.check = soraproto::frameCheck(soraproto::encodePayload(rq));
  return int(soraproto::encode(rq).size() + soraproto::encode(rp).size());
}

// The floor under the speed test: 100 reads of the controller's setpoint
// straight through the library, each sent when the last reply is taken,
// replies looked for every 0.1 ms. Reads per second.
double libraryAlone(int16_t app)
{
  QElapsedTimer t;
  t.start();
  int done = 0;
  for (int i = 0; i < 100; ++i) {
    if (sora32::ReadInt(app, 0, 4, 1, 1, int16_t(100 + i)) != 0)
      continue;
    QElapsedTimer wait;
    wait.start();
    uint8_t node, proc, param, kind, type;
    int16_t tag = 0;
    while (sora32::CheckReceivedMsg(app, node, proc, param, kind, type, tag) != 0 && wait.elapsed() < 1000)
      QThread::usleep(100);
    sora32::RemoveMsg(app, node, proc, param);
    ++done;
  }
  return done / (t.nsecsElapsed() / 1e9);
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}

int main(int argc, char** argv)
{
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  const int baud = 38400;
  serverrig::Rig p;
  const QString e = p.start(baud);
  if (!e.isEmpty()) {
    std::fprintf(stderr, "server did not start: %s\n", qPrintable(e));
    return 1;
  }
  const auto& table = p.s->db->ParameterTable;
  const struct {
    const char* name;
    int parameter;
  } rounds[] = {{"pna", 2}, {"measure", 8}};
  std::vector<double> seen[2];
  const QRegularExpression rate("reading (\\w+) = (\\d+) messages/second, communication failed (\\d+) times");
  for (int r = 0; r < runs; ++r) {
    p.prompt.asked.clear();
    p.prompt.texts = {"3"};
    if (!p.menu("mnuComSpeedTest") || p.prompt.asked.isEmpty()) {
      std::fprintf(stderr, "speed test not available\n");
      return 1;
    }
    auto it = rate.globalMatch(p.prompt.asked.last().text);
    for (int k = 0; k < 2 && it.hasNext(); ++k) {
      const auto m = it.next();
      seen[k].push_back(m.captured(2).toDouble());
      if (m.captured(3) != "0")
        std::printf("  (%s: %s failed reads)\n", qPrintable(m.captured(1)), qPrintable(m.captured(3)));
    }
  }
  std::printf("speed test, channel 3, %d baud, %d runs of 100 reads per parameter\n", baud, runs);
  std::printf("%-8s %6s %8s %10s %9s %6s   runs\n", "param", "type", "chars", "theory/s", "median/s", "ratio");
  for (int k = 0; k < 2; ++k) {
    const uint8_t type = table[size_t(rounds[k].parameter)].VarType[0];
    const int chars = readChars(type);
    const double theory = baud / (10.0 * chars);
    const double med = median(seen[k]);
    QStringList all;
    for (double v : seen[k])
      all << QString::number(v);
    std::printf("%-8s %6d %8d %10.1f %9.0f %6.2f   %s\n", rounds[k].name, type, chars, theory, med, med / theory,
                qPrintable(all.join(' ')));
  }
  p.s->poll->StopPolling();
  p.s->engine->HandleOutstandingMsg();
  std::vector<double> floor;
  for (int r = 0; r < runs; ++r)
    floor.push_back(libraryAlone(p.s->iAppId));
  std::printf("library alone, setpoint (int): median %.0f reads/s, ratio %.2f\n", median(floor),
              median(floor) / (baud / (10.0 * readChars(soraproto::TInt))));
  return 0;
}
