#pragma once
#include <QDialog>
#include <cstdint>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace tesmira {

class Server;

// The retry count as the retry field takes it from typed text: a number is
// clamped to 0..9 and shown again (rewrite true); any other text counts as 0
// and stays as typed (rewrite false).
int16_t RetryCountFromText(const QString& text, bool& rewrite);

// "System settings": the server-behaviour keys of section "Settings". OK
// makes them effective in memory at once, saves them in the common settings
// and mirrors them into the Commport table; Cancel changes nothing.
class frmSystem : public QDialog {
  Q_OBJECT
public:
  explicit frmSystem(Server& server, QWidget* owner = nullptr);

  QCheckBox* chkPollOnInit;
  QCheckBox* chkIndirectPoll;
  QCheckBox* chkSuppressCompatErrors;
  QCheckBox* chkHideAdvancedParameters;
  QCheckBox* chkTrimTrailingSpaces;
  QCheckBox* chkTrimCRLF;
  QCheckBox* chkRemoveUnavailParams;
  QCheckBox* chkPollUnavailParams;
  QCheckBox* chkIgnoreDBrestrictions;
  QCheckBox* chkChangeMmTimer;
  QCheckBox* chkLogDate;
  QCheckBox* chkLogTime;
  QCheckBox* chkLogMsec;
  QLineEdit* txtNrOfRetries;
  QToolButton* updNrOfRetriesUp;
  QToolButton* updNrOfRetriesDown;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;

  int16_t retries() const { return m_retries; }

  void cmdOK_Click();
  void cmdCancel_Click();

protected:
  void showEvent(QShowEvent* e) override;

private:
  void Form_Activate();
  void showRetries();
  void txtNrOfRetries_Change();

  Server& s;
  int16_t m_retries = 0;
};

}
