#include "frmSystem.h"

#include "WindowParts.h"

#include "core/Server.h"
#include "core/Settings.h"
#include "db/Database.h"
#include "log/LogCategory.h"

#include "Debug.h"
#include "Setting.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace tesmira {

int16_t RetryCountFromText(const QString& text, bool& rewrite)
{
  rewrite = IsNumeric(text);
  if (!rewrite)
    return 0;
  return int16_t(std::nearbyint(std::clamp(text.trimmed().toDouble(), 0.0, 9.0)));
}

frmSystem::frmSystem(Server& server, QWidget* owner) : QDialog(owner), s(server)
{
  setObjectName("frmSystem");
  setWindowTitle("System settings");
  setModal(true);
  const auto box = [this](const char* name, const QString& caption) {
    auto* c = new QCheckBox(caption, this);
    c->setObjectName(QString::fromLatin1(name));
    return c;
  };
  chkPollOnInit = box("chkPollOnInit", "Read all parameters while scanning the configuration");
  chkIndirectPoll = box("chkIndirectPoll", "Indirect polling (re-read parameters that modules report as changed)");
  chkSuppressCompatErrors = box("chkSuppressCompatErrors", "Suppress compatibility errors");
  chkHideAdvancedParameters = box("chkHideAdvancedParameters", "Hide advanced parameters");
  chkTrimTrailingSpaces = box("chkTrimTrailingSpaces", "Trim trailing spaces of values");
  chkTrimCRLF = box("chkTrimCRLF", "Remove CR/LF from poked text");
  chkRemoveUnavailParams = box("chkRemoveUnavailParams", "Remove unavailable parameters");
  chkPollUnavailParams = box("chkPollUnavailParams", "Poll unavailable parameters");
  chkIgnoreDBrestrictions = box("chkIgnoreDBrestrictions", "Ignore database minimum and maximum");
  chkChangeMmTimer = box("chkChangeMmTimer", "Change timer resolution");
  chkLogDate = box("chkLogDate", "Date");
  chkLogTime = box("chkLogTime", "Time");
  chkLogMsec = box("chkLogMsec", "Milliseconds");

  txtNrOfRetries = new QLineEdit(this);
  txtNrOfRetries->setObjectName("txtNrOfRetries");
  txtNrOfRetries->setMaximumWidth(40);
  updNrOfRetriesUp = new QToolButton(this);
  updNrOfRetriesUp->setObjectName("updNrOfRetriesUp");
  updNrOfRetriesUp->setArrowType(Qt::UpArrow);
  updNrOfRetriesDown = new QToolButton(this);
  updNrOfRetriesDown->setObjectName("updNrOfRetriesDown");
  updNrOfRetriesDown->setArrowType(Qt::DownArrow);
  for (QToolButton* b : {updNrOfRetriesUp, updNrOfRetriesDown})
    b->setFixedSize(18, 12);

  auto* behaviour = new QGroupBox("Server behaviour", this);
  auto* bl = new QVBoxLayout(behaviour);
  for (QCheckBox* c : {chkPollOnInit, chkIndirectPoll, chkSuppressCompatErrors, chkHideAdvancedParameters,
                       chkTrimTrailingSpaces, chkTrimCRLF, chkRemoveUnavailParams, chkPollUnavailParams,
                       chkIgnoreDBrestrictions, chkChangeMmTimer})
    bl->addWidget(c);
  auto* retryRow = new QHBoxLayout;
  retryRow->addWidget(new QLabel("Number of retries at network access:", behaviour));
  retryRow->addWidget(txtNrOfRetries);
  auto* upDown = new QVBoxLayout;
  upDown->setSpacing(0);
  upDown->addWidget(updNrOfRetriesUp);
  upDown->addWidget(updNrOfRetriesDown);
  retryRow->addLayout(upDown);
  retryRow->addStretch(1);
  bl->addLayout(retryRow);

  auto* logFormat = new QGroupBox("Time stamp of log lines", this);
  auto* ll = new QHBoxLayout(logFormat);
  for (QCheckBox* c : {chkLogDate, chkLogTime, chkLogMsec})
    ll->addWidget(c);

  auto* outer = new QVBoxLayout(this);
  outer->addWidget(behaviour);
  outer->addWidget(logFormat);
  outer->addLayout(OkCancelRow(this, cmdOK, cmdCancel));

  connect(txtNrOfRetries, &QLineEdit::textEdited, this, [this] { txtNrOfRetries_Change(); });
  connect(updNrOfRetriesUp, &QToolButton::clicked, this, [this] {
    ++m_retries;
    showRetries();
  });
  connect(updNrOfRetriesDown, &QToolButton::clicked, this, [this] {
    --m_retries;
    showRetries();
  });
  connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
  connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
}

void frmSystem::showEvent(QShowEvent* e)
{
  Form_Activate();
  QDialog::showEvent(e);
}

void frmSystem::Form_Activate()
{
  const Configuration& c = s.cfg;
  chkRemoveUnavailParams->setEnabled(c.AllowRemoveUnavailableParameters);
  chkPollUnavailParams->setEnabled(c.AllowPollUnavailableParameters);
  m_retries = c.RetryNetworkAccess;
  showRetries();
  chkPollOnInit->setChecked(c.PollParametersOnInit);
  chkIndirectPoll->setChecked(c.IndirectPolling);
  chkSuppressCompatErrors->setChecked(c.SuppressCompatibilityErrors);
  chkHideAdvancedParameters->setChecked(c.HideAdvancedParameters);
  chkTrimTrailingSpaces->setChecked(c.TrimTrailingSpaces);
  chkTrimCRLF->setChecked(c.TrimCRLF);
  chkRemoveUnavailParams->setChecked(c.RemoveUnavailableParameters);
  chkPollUnavailParams->setChecked(c.PollUnavailableParameters);
  chkIgnoreDBrestrictions->setChecked(c.IgnoreDatabaseMinMax);
  chkChangeMmTimer->setChecked(c.ChangeMmTimer);
  chkLogDate->setChecked(c.LogFormat & 1);
  chkLogTime->setChecked(c.LogFormat & 2);
  chkLogMsec->setChecked(c.LogFormat & 4);
}

void frmSystem::showRetries()
{
  m_retries = std::clamp<int16_t>(m_retries, 0, 9);
  const QString text = QString::number(m_retries);
  if (txtNrOfRetries->text() != text)
    txtNrOfRetries->setText(text);
}

void frmSystem::txtNrOfRetries_Change()
{
  bool rewrite = false;
  m_retries = RetryCountFromText(txtNrOfRetries->text(), rewrite);
  if (rewrite)
    showRetries();
}

void frmSystem::cmdOK_Click()
{
  support::Trace trace(s.debug(), "frmSystem", "cmdOK_Click");
  Configuration& c = s.cfg;
  c.RetryNetworkAccess = m_retries;
  c.PollParametersOnInit = chkPollOnInit->isChecked();
  c.IndirectPolling = chkIndirectPoll->isChecked();
  c.SuppressCompatibilityErrors = chkSuppressCompatErrors->isChecked();
  c.HideAdvancedParameters = chkHideAdvancedParameters->isChecked();
  c.TrimTrailingSpaces = chkTrimTrailingSpaces->isChecked();
  c.TrimCRLF = chkTrimCRLF->isChecked();
  c.RemoveUnavailableParameters = chkRemoveUnavailParams->isChecked();
  c.PollUnavailableParameters = chkPollUnavailParams->isChecked();
  c.IgnoreDatabaseMinMax = chkIgnoreDBrestrictions->isChecked();
  c.ChangeMmTimer = chkChangeMmTimer->isChecked();
  c.LogFormat = (chkLogDate->isChecked() ? 1 : 0) + (chkLogTime->isChecked() ? 2 : 0) +
                (chkLogMsec->isChecked() ? 4 : 0);

  if (support::Setting* st = s.setting()) {
    const auto yes = support::Setting::boolText;
    const QList<QPair<const char*, QString>> keys = {
      {"RetryNetworkAccess", QString::number(c.RetryNetworkAccess)},
      {"PollParametersOnInit", yes(c.PollParametersOnInit)},
      {"IndirectPolling", yes(c.IndirectPolling)},
      {"SuppressCompatibilityErrors", yes(c.SuppressCompatibilityErrors)},
      {"HideAdvancedParameters", yes(c.HideAdvancedParameters)},
      {"TrimTrailingSpaces", yes(c.TrimTrailingSpaces)},
      {"TrimCRLF", yes(c.TrimCRLF)},
      {"LogFormat", QString::number(c.LogFormat)},
      {"RemoveUnavailableParameters", yes(c.RemoveUnavailableParameters)},
      {"PollUnavailableParameters", yes(c.PollUnavailableParameters)},
      {"IgnoreDatabaseMinMax", yes(c.IgnoreDatabaseMinMax)},
      {"ChangeMmTimer", yes(c.ChangeMmTimer)}};
    for (const auto& [key, value] : keys)
      st->SaveCommonSetting("Settings", QString::fromLatin1(key), value);
  }
  if (s.db) {
    const QString error = s.db->WriteCommport({{"Retrynr", int(c.RetryNetworkAccess)},
                                               {"ParScan", int(c.PollParametersOnInit)},
                                               {"TrimTrailingSpaces", int(c.TrimTrailingSpaces)},
                                               {"TrimCRLF", int(c.TrimCRLF)},
                                               {"PopUpErr", 0},
                                               {"PopUpPollWatchdog", 0},
                                               {"SuppressCompatErrors", int(c.SuppressCompatibilityErrors)},
                                               {"IndirPollDisable", int(!c.IndirectPolling)}});
    if (!error.isEmpty())
      s.LogMessage(Warn, "The settings are saved; the Commport table was not updated: " + error);
  }
  accept();
}

void frmSystem::cmdCancel_Click() { reject(); }

}
