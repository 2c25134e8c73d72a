#include "frmTestLumbra.h"

#include "bus/Communication.h"
#include "bus/ErrorMessages.h"
#include "bus/clsComSoraDLL.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "core/Startup.h"
#include "dde/DdeServer.h"

#include "Debug.h"
#include "Prompt.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tesmira {

QString CheckByteText(const QString& text, const QString& what, uint8_t& value)
{
  bool ok = false;
  const uint8_t v = IsNumeric(text) ? ToByte(text, &ok) : 0;
  if (!ok)
    return what + " must be numeric (0-255).";
  value = v;
  return {};
}

frmTestLumbra::frmTestLumbra(Server& server, QWidget* owner) : QDialog(owner), s(server)
{
  setObjectName("frmTestLumbra");
  setWindowTitle("Test Lumbra");
  const auto field = [this](const char* name, const char* what) {
    auto* t = new QLineEdit(this);
    t->setObjectName(QString::fromLatin1(name));
    // The field's tag: the text that names it in a validation message.
    t->setProperty("tag", QString::fromLatin1(what));
    return t;
  };
  txtNode = field("txtNode", "Node");
  txtProcess = field("txtProcess", "Process");
  txtParameter = field("txtParameter", "Parameter");
  cboType = new QComboBox(this);
  cboType->setObjectName("cboType");
  cboType->addItems({"Byte/Char", "Integer", "Float", "Long", "String"});
  txtLength = field("txtLength", "Length");
  txtValue = field("txtValue", "Value");
  txtReponse = field("txtReponse", "Response");
  txtReponse->setReadOnly(true);
  txtNode->setText("3");
  txtProcess->setText("1");
  txtParameter->setText("0");
  cboType->setCurrentIndex(1);
  txtLength->setText("0");

  auto* frame = new QGroupBox("Test communication", this);
  auto* form = new QFormLayout(frame);
  form->addRow("Node:", txtNode);
  form->addRow("Process:", txtProcess);
  form->addRow("Parameter:", txtParameter);
  form->addRow("Type:", cboType);
  form->addRow("Length:", txtLength);
  form->addRow("Value:", txtValue);
  form->addRow("Reponse:", txtReponse);

  const auto button = [this](const char* name, const char* caption) {
    auto* b = new QPushButton(QString::fromLatin1(caption), this);
    b->setObjectName(QString::fromLatin1(name));
    return b;
  };
  cmdRead = button("cmdRead", "Read");
  cmdWrite = button("cmdWrite", "Write");
  cmdClose = button("cmdClose", "Close");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdRead);
  buttons->addWidget(cmdWrite);
  buttons->addStretch(1);
  buttons->addWidget(cmdClose);
  auto* outer = new QVBoxLayout(this);
  outer->addWidget(frame);
  outer->addLayout(buttons);

  connect(cmdRead, &QPushButton::clicked, this, [this] { cmdRead_Click(); });
  connect(cmdWrite, &QPushButton::clicked, this, [this] { cmdWrite_Click(); });
  connect(cmdClose, &QPushButton::clicked, this, [this] { cmdClose_Click(); });
}

QString frmTestLumbra::cmdRead_Click() { return send(false); }
QString frmTestLumbra::cmdWrite_Click() { return send(true); }

QString frmTestLumbra::send(bool write)
{
  support::Trace trace(s.debug(), "frmTestLumbra", write ? "cmdWrite_Click" : "cmdRead_Click");
  cmdRead->setEnabled(false);
  cmdWrite->setEnabled(false);
  QString error = EnsureCommunication();
  uint8_t node = 0, process = 0, parameter = 0, type = 0, length = 0;
  QVariant value;
  if (error.isEmpty())
    error = ReadInputs(node, process, parameter, type, length, value);
  if (error.isEmpty()) {
    m_tag = s.dde ? s.dde->MakeRequestTag(0) : 0;
    const int16_t code = write ? s.session->SendMessageWriteRequest(node, process, parameter, type, length, value, m_tag)
                               : s.session->SendMessageReadRequest(node, process, parameter, type, length, m_tag);
    // A request that was not even queued (a value that does not suit the
    // type, no line) gets no answer: its own code says why.
    if (code != 0) {
      txtReponse->setText(QString::number(code));
      if (s.errors && !s.errors->HandleErrorMessage(code, 0, 0, write, {}).isEmpty())
        error = ErrorMessages::ErrorText(code);
    } else {
      error = WaitForAnswer();
    }
  }
  if (!error.isEmpty())
    support::prompt().MsgBox(error, support::Prompt::Ok, support::Prompt::Critical, windowTitle());
  cmdRead->setEnabled(true);
  cmdWrite->setEnabled(true);
  return error;
}

QString frmTestLumbra::EnsureCommunication()
{
  if (!s.state.CommOpen) {
    s.state.RawTestActive = true;
    const QString error = StartCommunication(s);
    m_openedHere = s.state.CommOpen;
    s.state.RawTestActive = m_openedHere;
    if (error.isEmpty())
      s.SetComStatus("Communication open");
    return error;
  }
  if (!m_openedHere)
    return QStringLiteral("Please close the communication first.");
  return {};
}

QString frmTestLumbra::CheckByteField(QLineEdit* field, uint8_t& value)
{
  const QString error = CheckByteText(field->text(), field->property("tag").toString(), value);
  if (!error.isEmpty())
    field->setFocus();
  return error;
}

QString frmTestLumbra::ReadInputs(uint8_t& node, uint8_t& process, uint8_t& parameter, uint8_t& type,
                                  uint8_t& length, QVariant& value)
{
  QString error = CheckByteField(txtNode, node);
  if (error.isEmpty())
    error = CheckByteField(txtProcess, process);
  if (error.isEmpty())
    error = CheckByteField(txtParameter, parameter);
  if (!error.isEmpty())
    return error;
  type = uint8_t(std::max(0, cboType->currentIndex()));
  length = 0;
  if (type == 4) {
    error = CheckByteField(txtLength, length);
    if (!error.isEmpty())
      return error;
  }
  const QString text = txtValue->text();
  if (type == 4)
    value = text;
  else if (IsNumeric(text))
    value = type == 2 ? QVariant(text.trimmed().toFloat()) : QVariant(text.trimmed().toDouble());
  else
    value = QVariant();
  return {};
}

QString frmTestLumbra::WaitForAnswer()
{
  uint8_t kind = 0, status = 0, node = 0, process = 0, parameter = 0, type = 0, length = 0;
  QVariant value;
  int16_t code = 30;
  bool answered = false;
  for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
    int16_t tag = m_tag;
    code = s.session->CheckMessageReceived(kind, status, node, process, parameter, type, length, value, tag);
    txtReponse->setText(QString::number(code));
    WaitWithMessages(25);
    answered = code != 30 && tag == m_tag;
  }
  if (answered) {
    if (kind == 1)
      txtValue->setText(value.toString());
    txtReponse->setText(QString::number(status));
  }
  const int16_t failure = code != 0 ? code : answered ? int16_t(status) : int16_t(0);
  if (failure == 0 || !s.errors)
    return {};
  // The error handler logs and counts it; the operator reads the message.
  return s.errors->HandleErrorMessage(failure, 0, 0, kind == 0, {}).isEmpty() ? QString()
                                                                             : ErrorMessages::ErrorText(failure);
}

void frmTestLumbra::cmdClose_Click()
{
  if (m_openedHere) {
    StopCommunication(s);
    m_openedHere = s.state.RawTestActive = s.state.CommOpen;
  }
  hide();
}

void frmTestLumbra::closeEvent(QCloseEvent* e)
{
  // Closing the window is the Close button: a communication opened here is
  // not left open without its window.
  cmdClose_Click();
  QDialog::closeEvent(e);
}

}
