#pragma once
#include <QList>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tesmira {

class Server;

// ---- rules of the test form that need no window ------------------------------
// The link text a client pastes: "Tesmira|C(3)!P(8)".
QString LinkText(int channel, int parameter);
// Channel and parameter of a link text: the numbers inside "C(" ... ")" and
// "P(" ... ")". False when the text has no "!" or either number is missing.
bool ParseLinkText(const QString& text, int& channel, int& parameter);
// Channel list entry "Ch: 3, node 4, process 1" and its channel number.
QString ChannelEntry(int channel, int node, int process);
int ChannelOfEntry(const QString& entry);
// Parameter list entry "8: measure" and its number (the text before ':';
// -1 when that is no number).
QString ParameterEntry(int parameter, const QString& name);
int ParameterOfEntry(const QString& entry);

// The test window ("Test form"): the frame "Test SORANET" reads and writes
// parameters straight on the bus, the frame "Test DDE" reads and writes the
// same parameters through the server's own items, as a client sees them.
// It also hands out the link text a client needs ("Copy link") and takes
// one back ("Paste"). Rows, choices and write values are kept in the local
// settings, section "TestForm".
class frmTest : public QWidget {
  Q_OBJECT
public:
  struct Row {
    QComboBox* cboChannel = nullptr;
    QComboBox* cboParameter = nullptr;
    QLineEdit* txtRead = nullptr;
    QPushButton* cmdRead = nullptr;
    QLineEdit* txtWrite = nullptr;
    QPushButton* cmdWrite = nullptr;
  };

  explicit frmTest(Server& s, QWidget* owner = nullptr);
  ~frmTest() override;

  // Opens the window: closes it again at once when the communication is
  // closed and simulation is off; otherwise builds and restores the rows
  // from the settings, reads each once and applies the two check boxes.
  // False when it did not open.
  bool Form_Load();

  // Row handlers (index from 0).
  void cmdReadFB_Click(int row);
  void cmdWriteFB_Click(int row);
  void cmdReadDDE_Click(int row);
  void cmdWriteDDE_Click(int row);
  void cmdPlusFB_Click();
  void cmdMinFB_Click();
  void cmdPlusDDE_Click();
  void cmdMinDDE_Click();
  void cmdCopy_Click();
  void cmdPaste_Click();
  void tmrUpdate_Timer();

  QList<Row> rowsFB, rowsDDE;
  QCheckBox* chkUpdateParameters = nullptr;
  QCheckBox* chkPollingDisabled = nullptr;
  QCheckBox* chkShortNames = nullptr;
  QLabel* lblBusy = nullptr;
  QPushButton *cmdPlusFB = nullptr, *cmdMinFB = nullptr, *cmdPlusDDE = nullptr, *cmdMinDDE = nullptr;
  QPushButton *cmdCopy = nullptr, *cmdPaste = nullptr;
  QTimer tmrUpdate;
  QTimer tmrShowMessage;
  // The DDE row Copy link and Paste work on: the one last used.
  int currentDDE = 0;

protected:
  void closeEvent(QCloseEvent* e) override;

private:
  void addRow(bool bus);
  void removeRow(bool bus);
  void fillChannels(QComboBox* cbo) const;
  void fillParameters(Row& row, bool bus);
  void select(QComboBox* cbo, int number, bool channel);
  bool rowTarget(const Row& row, int& channel, int& parameter) const;
  void showMessage(const QString& text);
  void setButtonsEnabled(bool on);
  void SaveSettings();
  QString parameterName(int parameter) const;

  Server& s;
  QGridLayout* m_gridFB = nullptr;
  QGridLayout* m_gridDDE = nullptr;
  bool m_loaded = false;
  bool m_readOnOpenOnly = false;
};

}
