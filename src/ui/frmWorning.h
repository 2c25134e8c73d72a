#pragma once
#include <QDialog>
#include <QPixmap>
#include <QTimer>

class QLabel;
class QProgressBar;

namespace tesmira {

class Server;

// The busy window: information text, progress bar and an eight-frame
// animation that runs backwards (7, 6, ..., 0, 7, ...). Shown only when the
// server was started with /B and without /Q. Esc asks long operations to
// stop.
class frmWorning : public QDialog {
  Q_OBJECT
public:
  explicit frmWorning(Server& server, QWidget* parent = nullptr);
  ~frmWorning() override;

  QLabel* lblInfo;
  QProgressBar* pgbProgress;
  QLabel* imgStart;
  QLabel* imgBusy;
  QLabel* lblReset;
  QTimer tmrBusy;

  // Frame shown next; tests follow the sequence through it.
  int frame() const { return m_frame; }
  bool animating() const { return m_animating; }
  // Sets the reset field; any change stops the animation.
  void setReset(const QString& text);

public slots:
  void tmrBusy_Timer();

protected:
  void keyPressEvent(QKeyEvent* e) override;

private:
  Server& m_server;
  QPixmap m_picBusy;
  int m_frame = 7;
  int m_trayFrame = 0;
  bool m_animating = true;
};

}
