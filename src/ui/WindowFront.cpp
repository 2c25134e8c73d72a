#include "WindowFront.h"

#include "frmMain.h"
#include "core/Server.h"

#include <QApplication>

namespace tesmira {

std::unique_ptr<QCoreApplication> WindowFront::makeApplication(int& argc, char** argv)
{
  auto app = std::make_unique<QApplication>(argc, argv);
  // The main window only closes through the ordered shut-down.
  app->setQuitOnLastWindowClosed(false);
  return app;
}

// The offscreen platform shows nothing to anybody: questions are then
// answered by policy and console lines go to standard output.
bool WindowFront::interactive() const
{
  return QGuiApplication::platformName() != QLatin1String("offscreen");
}

void WindowFront::openMainWindow(Server& s)
{
  auto* main = new frmMain(s);
  QObject::connect(main, &frmMain::closeRequested, main, [&s] { RequestStop(s); });
}

void WindowFront::closeMainWindow(Server& s) { delete frmMain::of(s); }

}
