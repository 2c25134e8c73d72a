#pragma once
#include <QWidget>

namespace tesmira {

// A secondary window whose function the server does not offer yet. It keeps
// its place in the creation order and is never shown.
class ToolWindow : public QWidget {
  Q_OBJECT
public:
  ToolWindow(const QString& name, QWidget* owner);
};

}
