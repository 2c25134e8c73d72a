#pragma once
#include <QDialog>
#include <QVariant>
#include <cstdint>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace tesmira {

class Server;

// The byte-field rule of the raw test: a numeric text in 0..255 gives its
// byte and an empty result; anything else gives what + " must be numeric
// (0-255)." (what identifies the field, e.g. "Node").
QString CheckByteText(const QString& text, const QString& what, uint8_t& value);

// "Test Lumbra": sends one raw read or write to any node, process and bus
// parameter with a chosen value type and shows the answer's value and status
// byte. It bypasses the parameter table, the channels and the link service,
// and opens the communication itself: with a communication that someone
// else opened it refuses to send.
class frmTestLumbra : public QDialog {
  Q_OBJECT
public:
  explicit frmTestLumbra(Server& server, QWidget* owner = nullptr);

  QLineEdit* txtNode;
  QLineEdit* txtProcess;
  QLineEdit* txtParameter;
  QComboBox* cboType;
  QLineEdit* txtLength;
  QLineEdit* txtValue;
  QLineEdit* txtReponse;
  QPushButton* cmdRead;
  QPushButton* cmdWrite;
  QPushButton* cmdClose;

  bool openedHere() const { return m_openedHere; }

  // The buttons' actions; each returns the error text it showed (empty when
  // the message went through).
  QString cmdRead_Click();
  QString cmdWrite_Click();
  void cmdClose_Click();

  QString EnsureCommunication();
  QString ReadInputs(uint8_t& node, uint8_t& process, uint8_t& parameter, uint8_t& type, uint8_t& length,
                     QVariant& value);
  QString CheckByteField(QLineEdit* field, uint8_t& value);
  QString WaitForAnswer();

protected:
  void closeEvent(QCloseEvent* e) override;

private:
  QString send(bool write);

  Server& s;
  bool m_openedHere = false;
  int16_t m_tag = 0;
};

}
