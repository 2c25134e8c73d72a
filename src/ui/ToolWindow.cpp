#include "ToolWindow.h"

namespace tesmira {

ToolWindow::ToolWindow(const QString& name, QWidget* owner) : QWidget(owner, Qt::Window)
{
  setObjectName(name);
  setWindowTitle(name);
}

}
