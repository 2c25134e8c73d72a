#pragma once
#include "Prompt.h"

namespace support {

// Qt dialogs, for a server with a display and an operator in front of it.
class GuiPrompt : public Prompt {
protected:
  Answer ask(const QString& text, Buttons buttons, Icon icon, const QString& title, Answer headless) override;
  bool askFile(const QString& title, const QString& filter, const QString& startFolder, QString& path,
               const QString& headlessPath) override;
  bool askText(const QString& text, const QString& title, const QString& def, QString& value) override;
};

}
