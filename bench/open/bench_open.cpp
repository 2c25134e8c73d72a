// Open benchmark: the whole server in this process on a paced 38400-baud
// pseudo-terminal to the virtual bus opens the communication (menu Open
// communication: connection, node walk, configuration read, device table,
// initial reads) until it reports "Server is active and ready for any
// client", for the default installation and for one of 30 modules. The
// time is set against the bus time of the messages the bus saw meanwhile:
// every request and reply frame's characters, 10 bit times each. Each run
// closes the communication and opens it again; medians of the runs.
//
// Run from the build tree: TESMIRA_BIN_DIR=build/bin build/bin/bench_open [runs]
#include "ServerRig.h"

#include "bus/Communication.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <algorithm>
#include <cstdio>

namespace {

// The interface at node 1 and 30 single-channel instruments at nodes 3..32.
QJsonObject thirtyModules()
{
  QJsonArray mods{QJsonObject{{"node", 1}, {"type", 1}, {"number", "IF0000001"}, {"channels", QJsonArray{1}}}};
  const int types[] = {3, 4, 6};
  for (int n = 3; n <= 32; ++n)
    mods.append(QJsonObject{{"node", n},
                            {"type", types[n % 3]},
                            {"number", QStringLiteral("MD%1").arg(n, 7, 10, QChar('0'))},
                            {"channels", QJsonArray{1}}});
  return QJsonObject{{"baud", 38400}, {"modules", mods}};
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
  const int baud = 38400;
  const struct {
    const char* name;
    QJsonObject scenario;
  } cases[] = {{"default (5 modules)", {}}, {"30 modules", thirtyModules()}};
  std::printf("open to ready, %d baud, %d runs\n", baud, runs);
  std::printf("%-20s %7s %9s %9s %9s %6s   runs (ms)\n", "scenario", "frames", "chars", "bus ms", "median ms",
              "ratio");
  for (const auto& c : cases) {
    serverrig::Rig p;
    p.scenario = c.scenario;
    const QString e = p.start(baud); // the first opening fills the device table
    if (!e.isEmpty()) {
      std::fprintf(stderr, "server did not start: %s\n", qPrintable(e));
      return 1;
    }
    std::vector<double> took, busMs;
    int frames = 0;
    qint64 chars = 0;
    for (int r = 0; r < runs; ++r) {
      tesmira::CloseCommunication_Click(*p.s);
      const int frames0 = p.bus->requestFrames();
      const qint64 chars0 = p.bus->wireChars();
      QElapsedTimer t;
      t.start();
      tesmira::OpenCommunication_Click(*p.s);
      took.push_back(t.nsecsElapsed() / 1e6);
      frames = p.bus->requestFrames() - frames0;
      chars = p.bus->wireChars() - chars0;
      busMs.push_back(chars * 10.0 * 1000.0 / baud);
      if (p.s->fields.value("ComStatus") != "Normal polling") {
        std::fprintf(stderr, "%s: not ready (%s)\n", c.name, qPrintable(p.s->fields.value("ComStatus")));
        return 1;
      }
    }
    QStringList all;
    for (double v : took)
      all << QString::number(v, 'f', 0);
    std::printf("%-20s %7d %9lld %9.0f %9.0f %6.2f   %s\n", c.name, frames, static_cast<long long>(chars),
                median(busMs), median(took), median(took) / median(busMs), qPrintable(all.join(' ')));
  }
  return 0;
}
