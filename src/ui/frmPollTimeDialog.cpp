#include "frmPollTimeDialog.h"

#include "WindowParts.h"

#include "frmMain.h"
#include "core/Server.h"
#include "core/Settings.h"

#include "Debug.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tesmira {

frmPollTimeDialog::frmPollTimeDialog(Server& server, QWidget* owner) : QDialog(owner), s(server)
{
  setObjectName("frmPollTime");
  setWindowTitle("Poll time ");
  setModal(true);
  const auto field = [this](const char* name, const char* tip) {
    auto* t = new QLineEdit(this);
    t->setObjectName(QString::fromLatin1(name));
    t->setToolTip(QString::fromLatin1(tip));
    t->setMaximumWidth(90);
    return t;
  };
  txtPollTime = field("txtPollTime", "Poll time used to poll parameters marked as Poll");
  txtPollBatch = field("txtPollBatch", "Number of channels to be polled at a time");
  txtRTPInterval =
    field("txtRTPInterval", "Poll time used to poll the real time channels of a RS232/SORANET interface");
  const auto label = [this](const char* name, const char* text) {
    auto* l = new QLabel(QString::fromLatin1(text), this);
    l->setObjectName(QString::fromLatin1(name));
    return l;
  };
  auto* form = new QFormLayout;
  form->addRow(label("lblPollTime", "Poll time:"), txtPollTime);
  form->addRow(label("lblPollBatch", "Batch of channels:"), txtPollBatch);
  form->addRow(label("lblRTPollTime", "Real-time poll time:"), txtRTPInterval);

  auto* outer = new QVBoxLayout(this);
  outer->addLayout(form);
  outer->addLayout(OkCancelRow(this, cmdOK, cmdCancel));

  connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
  connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
}

void frmPollTimeDialog::showEvent(QShowEvent* e)
{
  txtPollTime->setText(s.fields.value("PollTime"));
  txtPollBatch->setText(s.fields.value("PollBatch"));
  txtRTPInterval->setText(s.fields.value("RTPInterval"));
  QDialog::showEvent(e);
}

void frmPollTimeDialog::cmdOK_Click()
{
  support::Trace trace(s.debug(), "frmPollTime", "cmdOK_Click");
  QString text = txtPollTime->text();
  SetPollTime(s, text);
  txtPollTime->setText(text);
  text = txtPollBatch->text();
  SetPollBatch(s, text);
  txtPollBatch->setText(text);
  text = txtRTPInterval->text();
  SetRealtimePollTime(s, text);
  txtRTPInterval->setText(text);
  // The main window's fields show the settings now in force: a clamped
  // number as the dialog shows it, the unchanged value for text that was no
  // number (the fields are also the server items PollTime, PollBatch and
  // RTPInterval, which must not show an operator's typing error).
  s.fields.set("PollTime", QString::number(s.cfg.Polltime));
  s.fields.set("PollBatch", QString::number(s.cfg.PollBatch));
  s.fields.set("RTPInterval", QString::number(s.cfg.RealtimePollTime));
  cmdCancel_Click();
}

void frmPollTimeDialog::cmdCancel_Click()
{
  hide();
  if (frmMain* main = frmMain::of(s); main && !main->isMinimized())
    main->raise();
}

}
