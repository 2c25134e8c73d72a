#pragma once
#include "core/Startup.h"
#include "GuiPrompt.h"

namespace tesmira {

// The windowed program's front: a QApplication, Qt dialogs for the
// operator, and the main window as the server's view.
class WindowFront : public ProgramFront {
public:
  std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv) override;
  bool interactive() const override;
  support::Prompt& prompt() override { return m_prompt; }
  void openMainWindow(Server& s) override;
  void closeMainWindow(Server& s) override;

private:
  support::GuiPrompt m_prompt;
};

}
