// One link-layer server pushes hot-advise values of one item to ten clients
// over the Unix socket: throughput and push latency of the link layer alone
// (see AdviseLoad.h for the phases and options).
//
//   bench_advise [--runs R] [--clients C] [--burst N] [--rate V] [--seconds S]

#include "AdviseLoad.h"
#include "Server.h"

#include <QTemporaryDir>

int main(int argc, char** argv)
{
  QCoreApplication app(argc, argv);
  adviseload::Options o;
  if (!adviseload::parseOptions(app.arguments(), o))
    return 2;

  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  ddeml::Server server;
  QString err;
  if (!server.registerService("BenchAdvise", &err)) {
    std::fprintf(stderr, "%s\n", qPrintable(err));
    return 1;
  }
  server.addTopic("C(1)");
  server.createItem("C(1)", "P(8)", "0");
  adviseload::runAll("hot advise", [&](const QString& v) { server.setItem("C(1)", "P(8)", v); }, "BenchAdvise", o);
  return 0;
}
