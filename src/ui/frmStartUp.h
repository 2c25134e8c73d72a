#pragma once
#include <QWidget>

class QLabel;

namespace tesmira {

class Server;

// The splash window shown while the main window loads.
class frmStartUp : public QWidget {
  Q_OBJECT
public:
  frmStartUp(Server& server, QWidget* owner);
  // A picture file in the program folder; empty keeps the drawn splash.
  void setPicture(const QString& file);

private:
  QLabel* m_picture;
};

}
