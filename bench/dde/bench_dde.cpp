// The server's publication path under load: Change_dde_item (trimming, the
// Read log line's routing, the item change) pushes every value of C(1)!P(8)
// to ten clients with hot advise links over the service's Unix socket (see
// AdviseLoad.h for the phases and options).
//
//   bench_dde [--runs R] [--clients C] [--burst N] [--rate V] [--seconds S]

#include "AdviseLoad.h"

#include "core/Server.h"
#include "core/Startup.h"
#include "dde/DdeServer.h"

#include <QApplication>
#include <QTemporaryDir>

int main(int argc, char** argv)
{
  QTemporaryDir home;
  qputenv("TESMIRA_HOME", home.path().toLocal8Bit());
  qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  adviseload::Options o;
  if (!adviseload::parseOptions(app.arguments(), o))
    return 2;

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
  adviseload::runAll("Change_dde_item -> hot advise", [&](const QString& v) { s.dde->Change_dde_item(1, 8, v); },
                     "Tesmira", o);
  return 0;
}
