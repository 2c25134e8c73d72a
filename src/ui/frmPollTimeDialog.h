#pragma once
#include <QDialog>

class QLineEdit;
class QPushButton;

namespace tesmira {

class Server;

// "Poll time ": the visible half of the polling-timer window frmPollTime, in
// which the operator changes the poll time, the batch of channels per tick
// and the real-time poll time while the server runs. The scheduler half of
// the same window lives in src/engine/frmPollTime.* and has no widgets, so
// the server polls headless and the engine tests build no window; this
// dialog is registered under the window's name "frmPollTime" and reaches
// the scheduler only through the settings it reads at its next re-arm.
class frmPollTimeDialog : public QDialog {
  Q_OBJECT
public:
  explicit frmPollTimeDialog(Server& server, QWidget* owner = nullptr);

  QLineEdit* txtPollTime;
  QLineEdit* txtPollBatch;
  QLineEdit* txtRTPInterval;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;

  void cmdOK_Click();
  void cmdCancel_Click();

protected:
  void showEvent(QShowEvent* e) override;

private:
  Server& s;
};

}
