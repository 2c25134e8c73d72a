#include "frmTest.h"

#include "core/Server.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Setting.h"

#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace tesmira {
namespace {

const QString kSection = QStringLiteral("TestForm");
const char* kModule = "frmTest";
// The main window's message field (a status field without a server item).
const QString kMessageField = QStringLiteral("lblMessage");

}

// ---- rules without a window ---------------------------------------------------

QString LinkText(int channel, int parameter)
{
  return Server::title() + QStringLiteral("|C(%1)!P(%2)").arg(channel).arg(parameter);
}

bool ParseLinkText(const QString& text, int& channel, int& parameter)
{
  if (!text.contains(QLatin1Char('!')))
    return false;
  static const QRegularExpression c(QStringLiteral("C\\(\\s*(\\d+)\\s*\\)"), QRegularExpression::CaseInsensitiveOption);
  static const QRegularExpression p(QStringLiteral("P\\(\\s*(\\d+)\\s*\\)"), QRegularExpression::CaseInsensitiveOption);
  const auto mc = c.match(text), mp = p.match(text);
  if (!mc.hasMatch() || !mp.hasMatch())
    return false;
  channel = mc.captured(1).toInt();
  parameter = mp.captured(1).toInt();
  return true;
}

QString ChannelEntry(int channel, int node, int process)
{
  return QStringLiteral("Ch: %1, node %2, process %3").arg(channel).arg(node).arg(process);
}

int ChannelOfEntry(const QString& entry)
{
  const int from = entry.indexOf(QLatin1String("Ch: "));
  if (from < 0)
    return -1;
  bool ok = false;
  const int channel = entry.mid(from + 4).section(QLatin1Char(','), 0, 0).trimmed().toInt(&ok);
  return ok ? channel : -1;
}

QString ParameterEntry(int parameter, const QString& name) { return QString::number(parameter) + ": " + name; }

int ParameterOfEntry(const QString& entry)
{
  bool ok = false;
  const int parameter = entry.section(QLatin1Char(':'), 0, 0).trimmed().toInt(&ok);
  return ok && entry.contains(QLatin1Char(':')) ? parameter : -1;
}

// ---- window --------------------------------------------------------------------

frmTest::frmTest(Server& server, QWidget* owner) : QWidget(owner, Qt::Window), s(server)
{
  setObjectName("frmTest");
  setWindowTitle("Test form");
  auto* outer = new QVBoxLayout(this);

  const auto frame = [&](const QString& caption, QGridLayout*& grid, QPushButton*& plus, QPushButton*& minus,
                         const QString& suffix) {
    auto* box = new QGroupBox(caption, this);
    auto* v = new QVBoxLayout(box);
    grid = new QGridLayout;
    grid->setHorizontalSpacing(6);
    const QStringList heads = {"Channel", "Parameter", "Read value", "", "Write value", ""};
    for (int i = 0; i < heads.size(); ++i)
      grid->addWidget(new QLabel(heads[i], box), 0, i);
    grid->setColumnStretch(1, 1);
    v->addLayout(grid);
    auto* buttons = new QHBoxLayout;
    plus = new QPushButton("+", box);
    minus = new QPushButton("-", box);
    plus->setObjectName("cmdPlus" + suffix);
    minus->setObjectName("cmdMin" + suffix);
    for (QPushButton* b : {plus, minus}) {
      b->setFixedWidth(32);
      buttons->addWidget(b);
    }
    buttons->addStretch(1);
    v->addLayout(buttons);
    outer->addWidget(box);
    return buttons;
  };
  frame("Test SORANET", m_gridFB, cmdPlusFB, cmdMinFB, "FB");
  QHBoxLayout* ddeButtons = frame("Test DDE", m_gridDDE, cmdPlusDDE, cmdMinDDE, "DDE");
  cmdCopy = new QPushButton("Copy link", this);
  cmdPaste = new QPushButton("Paste", this);
  cmdCopy->setObjectName("cmdCopy");
  cmdPaste->setObjectName("cmdPaste");
  ddeButtons->addWidget(cmdCopy);
  ddeButtons->addWidget(cmdPaste);

  auto* options = new QHBoxLayout;
  chkUpdateParameters = new QCheckBox("Poll read parameters", this);
  chkUpdateParameters->setObjectName("chkUpdateParameters");
  chkPollingDisabled = new QCheckBox("Disable standard polling", this);
  chkPollingDisabled->setObjectName("chkPollingDisabled");
  chkShortNames = new QCheckBox("Short names", this);
  chkShortNames->setObjectName("chkShortNames");
  lblBusy = new QLabel("DLL busy", this);
  lblBusy->setObjectName("lblBusy");
  lblBusy->setStyleSheet("color: #b00000; font-weight: bold");
  lblBusy->setVisible(false);
  options->addWidget(chkUpdateParameters);
  options->addWidget(chkPollingDisabled);
  options->addWidget(chkShortNames);
  options->addStretch(1);
  options->addWidget(lblBusy);
  outer->addLayout(options);
  outer->addStretch(1);

  connect(cmdPlusFB, &QPushButton::clicked, this, &frmTest::cmdPlusFB_Click);
  connect(cmdMinFB, &QPushButton::clicked, this, &frmTest::cmdMinFB_Click);
  connect(cmdPlusDDE, &QPushButton::clicked, this, &frmTest::cmdPlusDDE_Click);
  connect(cmdMinDDE, &QPushButton::clicked, this, &frmTest::cmdMinDDE_Click);
  connect(cmdCopy, &QPushButton::clicked, this, &frmTest::cmdCopy_Click);
  connect(cmdPaste, &QPushButton::clicked, this, &frmTest::cmdPaste_Click);
  connect(chkUpdateParameters, &QCheckBox::toggled, this, [this](bool on) {
    if (on)
      tmrUpdate.start();
    else
      tmrUpdate.stop();
  });
  connect(chkPollingDisabled, &QCheckBox::toggled, this, [this](bool on) {
    if (!s.poll)
      return;
    if (on)
      s.poll->StopPolling();
    else
      s.poll->StartPolling();
  });
  connect(chkShortNames, &QCheckBox::toggled, this, [this] {
    for (bool bus : {true, false})
      for (Row& r : bus ? rowsFB : rowsDDE) {
        const int p = ParameterOfEntry(r.cboParameter->currentText());
        fillParameters(r, bus);
        select(r.cboParameter, p, false);
      }
  });
  tmrUpdate.setInterval(1000);
  connect(&tmrUpdate, &QTimer::timeout, this, &frmTest::tmrUpdate_Timer);
  tmrShowMessage.setInterval(3000);
  tmrShowMessage.setSingleShot(true);
  connect(&tmrShowMessage, &QTimer::timeout, this, [this] { s.fields.set(kMessageField, QString()); });
  resize(820, 420);
}

frmTest::~frmTest() = default;

QString frmTest::parameterName(int parameter) const
{
  if (parameter == 0)
    return QStringLiteral("poll parameters");
  if (!s.db || parameter < 0 || parameter >= int(s.db->ParameterTable.size()))
    return {};
  const ParameterDef& d = s.db->ParameterTable[size_t(parameter)];
  return chkShortNames->isChecked() || d.LongName.trimmed().isEmpty() ? d.Name.trimmed() : d.LongName.trimmed();
}

void frmTest::fillChannels(QComboBox* cbo) const
{
  cbo->clear();
  for (int c = 1; c <= s.channels.MaxChannel; ++c)
    if (const ChannelRec* r = s.channels.channel(c))
      cbo->addItem(ChannelEntry(c, r->Dev_Nodenr, r->Dev_Proc));
}

void frmTest::fillParameters(Row& row, bool bus)
{
  const QSignalBlocker block(row.cboParameter);
  row.cboParameter->clear();
  const int c = ChannelOfEntry(row.cboChannel->currentText());
  // The command item is a DDE item only: it starts a bulk read of the channel.
  if (!bus)
    row.cboParameter->addItem(ParameterEntry(0, parameterName(0)));
  const int maxPar = s.db ? s.db->MaxParNr : 0;
  for (int p = 1; p <= maxPar; ++p)
    if (s.channels.available(c, p) && !parameterName(p).isEmpty())
      row.cboParameter->addItem(ParameterEntry(p, parameterName(p)));
}

void frmTest::select(QComboBox* cbo, int number, bool channel)
{
  for (int i = 0; i < cbo->count(); ++i)
    if ((channel ? ChannelOfEntry(cbo->itemText(i)) : ParameterOfEntry(cbo->itemText(i))) == number) {
      cbo->setCurrentIndex(i);
      return;
    }
}

void frmTest::addRow(bool bus)
{
  QList<Row>& rows = bus ? rowsFB : rowsDDE;
  QGridLayout* grid = bus ? m_gridFB : m_gridDDE;
  QWidget* parent = grid->parentWidget();
  const QString suffix = bus ? QStringLiteral("FB") : QStringLiteral("DDE");
  const int index = int(rows.size());
  Row r;
  r.cboChannel = new QComboBox(parent);
  r.cboParameter = new QComboBox(parent);
  r.txtRead = new QLineEdit(parent);
  r.cmdRead = new QPushButton("Read", parent);
  r.txtWrite = new QLineEdit(parent);
  r.cmdWrite = new QPushButton("Write", parent);
  r.cboChannel->setMinimumWidth(190);
  r.cboParameter->setMinimumWidth(200);
  r.txtRead->setReadOnly(true);
  r.txtRead->setMinimumWidth(130);
  r.txtWrite->setMinimumWidth(110);
  const QList<QWidget*> widgets = {r.cboChannel, r.cboParameter, r.txtRead, r.cmdRead, r.txtWrite, r.cmdWrite};
  const QStringList names = {"cboChannel", "cboParameter", "txtRead", "cmdRead", "txtWrite", "cmdWrite"};
  for (int i = 0; i < widgets.size(); ++i) {
    widgets[i]->setObjectName(names[i] + suffix + QString::number(index));
    grid->addWidget(widgets[i], index + 1, i);
  }
  fillChannels(r.cboChannel);
  rows.append(r);
  fillParameters(rows.last(), bus);

  const auto use = [this, bus, index] {
    if (!bus)
      currentDDE = index;
  };
  connect(r.cboChannel, &QComboBox::currentIndexChanged, this, [this, bus, index, use] {
    use();
    Row& row = (bus ? rowsFB : rowsDDE)[index];
    fillParameters(row, bus);
  });
  connect(r.cboParameter, &QComboBox::currentIndexChanged, this, [this, bus, index, use] {
    use();
    if (m_loaded && !m_readOnOpenOnly)
      bus ? cmdReadFB_Click(index) : cmdReadDDE_Click(index);
  });
  connect(r.cmdRead, &QPushButton::clicked, this, [this, bus, index, use] {
    use();
    bus ? cmdReadFB_Click(index) : cmdReadDDE_Click(index);
  });
  connect(r.cmdWrite, &QPushButton::clicked, this, [this, bus, index, use] {
    use();
    bus ? cmdWriteFB_Click(index) : cmdWriteDDE_Click(index);
  });
}

void frmTest::removeRow(bool bus)
{
  QList<Row>& rows = bus ? rowsFB : rowsDDE;
  if (rows.size() <= 1)
    return;
  const Row r = rows.takeLast();
  for (QWidget* w : QList<QWidget*>{r.cboChannel, r.cboParameter, r.txtRead, r.cmdRead, r.txtWrite, r.cmdWrite})
    delete w;
  currentDDE = qMin(currentDDE, int(rowsDDE.size()) - 1);
}

void frmTest::setButtonsEnabled(bool on)
{
  for (QPushButton* b : {cmdPlusFB, cmdMinFB, cmdPlusDDE, cmdMinDDE})
    b->setEnabled(on);
}

void frmTest::cmdPlusFB_Click()
{
  setButtonsEnabled(false);
  addRow(true);
  setButtonsEnabled(true);
}
void frmTest::cmdMinFB_Click() { removeRow(true); }
void frmTest::cmdPlusDDE_Click()
{
  setButtonsEnabled(false);
  addRow(false);
  setButtonsEnabled(true);
}
void frmTest::cmdMinDDE_Click() { removeRow(false); }

bool frmTest::Form_Load()
{
  support::Trace trace(s.debug(), kModule, "Form_Load");
  if (!s.state.CommOpen && !s.state.SimulationOn) {
    close();
    return false;
  }
  m_loaded = false;
  setButtonsEnabled(false);
  support::Setting* st = s.setting();
  const auto get = [st](const QString& key, const QString& def) {
    return st ? st->GetLocalSetting(kSection, key, def) : def;
  };
  const auto flag = [&](const QString& key, const QString& def) {
    return support::Setting::toBool(get(key, def), nullptr);
  };
  const int nrFB = qBound(1, get("NrOfRowsFB", "1").toInt(), 20);
  const int nrDDE = qBound(1, get("NrOfRowsDDE", "1").toInt(), 20);
  const bool pollRead = flag("ShowPollReadParameters", "False");
  {
    const QSignalBlocker block(chkShortNames);
    chkShortNames->setChecked(flag("ShortNames", "False"));
  }
  m_readOnOpenOnly = flag("ReadOnOpenOnly", "False");
  if (s.engine)
    s.engine->HandlePendingMsg();

  for (bool bus : {true, false}) {
    while (!(bus ? rowsFB : rowsDDE).isEmpty()) {
      const Row r = (bus ? rowsFB : rowsDDE).takeLast();
      for (QWidget* w : QList<QWidget*>{r.cboChannel, r.cboParameter, r.txtRead, r.cmdRead, r.txtWrite, r.cmdWrite})
        delete w;
    }
    const QString suffix = bus ? QStringLiteral("FB") : QStringLiteral("DDE");
    for (int i = 0; i < (bus ? nrFB : nrDDE); ++i) {
      addRow(bus);
      Row& r = (bus ? rowsFB : rowsDDE)[i];
      select(r.cboChannel, get("Chan" + suffix + QString::number(i), "1").toInt(), true);
      select(r.cboParameter, get("Parm" + suffix + QString::number(i), "8").toInt(), false);
      r.txtWrite->setText(get("Value" + suffix + QString::number(i), ""));
    }
  }
  currentDDE = 0;
  show();
  for (int i = 0; i < rowsFB.size(); ++i)
    cmdReadFB_Click(i);
  for (int i = 0; i < rowsDDE.size(); ++i)
    cmdReadDDE_Click(i);
  chkUpdateParameters->setChecked(pollRead);
  if (chkPollingDisabled->isChecked() && s.poll)
    s.poll->StopPolling();
  m_loaded = true;
  setButtonsEnabled(true);
  return true;
}

void frmTest::SaveSettings()
{
  support::Setting* st = s.setting();
  if (!st)
    return;
  st->SaveLocalSetting(kSection, "NrOfRowsFB", QString::number(rowsFB.size()));
  st->SaveLocalSetting(kSection, "NrOfRowsDDE", QString::number(rowsDDE.size()));
  st->SaveLocalSetting(kSection, "ShowPollReadParameters", support::Setting::boolText(chkUpdateParameters->isChecked()));
  st->SaveLocalSetting(kSection, "ShortNames", support::Setting::boolText(chkShortNames->isChecked()));
  st->SaveLocalSetting(kSection, "ReadOnOpenOnly", support::Setting::boolText(m_readOnOpenOnly));
  for (bool bus : {true, false}) {
    const QString suffix = bus ? QStringLiteral("FB") : QStringLiteral("DDE");
    const QList<Row>& rows = bus ? rowsFB : rowsDDE;
    for (int i = 0; i < rows.size(); ++i) {
      st->SaveLocalSetting(kSection, "Chan" + suffix + QString::number(i),
                           QString::number(ChannelOfEntry(rows[i].cboChannel->currentText())));
      st->SaveLocalSetting(kSection, "Parm" + suffix + QString::number(i),
                           QString::number(ParameterOfEntry(rows[i].cboParameter->currentText())));
      st->SaveLocalSetting(kSection, "Value" + suffix + QString::number(i), rows[i].txtWrite->text());
    }
  }
}

void frmTest::closeEvent(QCloseEvent* e)
{
  tmrUpdate.stop();
  if (m_loaded) {
    SaveSettings();
    // Polling the form switched off comes back when the form goes (not
    // when the server is shutting down and the communication is closed).
    const QSignalBlocker block(chkPollingDisabled);
    if (chkPollingDisabled->isChecked() && s.poll && s.state.CommOpen)
      s.poll->StartPolling();
    chkPollingDisabled->setChecked(false);
  }
  m_loaded = false;
  QWidget::closeEvent(e);
}

bool frmTest::rowTarget(const Row& row, int& channel, int& parameter) const
{
  channel = ChannelOfEntry(row.cboChannel->currentText());
  parameter = ParameterOfEntry(row.cboParameter->currentText());
  return s.channels.channel(channel) && channel >= 1;
}

void frmTest::cmdReadFB_Click(int i)
{
  if (i < 0 || i >= rowsFB.size() || !s.state.CommOpen || !s.engine || !s.db)
    return;
  int c = 0, p = 0;
  if (!rowTarget(rowsFB[i], c, p) || p < 1 || p > s.db->MaxParNr || !s.channels.available(c, p))
    return;
  lblBusy->setVisible(true);
  const ChannelRec r = *s.channels.channel(c);
  QString value;
  for (int attempt = 0; attempt <= s.cfg.RetryNetworkAccess; ++attempt) {
    value = s.engine->Read_from_Soranet_direct(r.Dev_Nodenr, r.Dev_Proc, int16_t(c), int16_t(p));
    if (value != QLatin1String("?") && value != QLatin1String("n/a"))
      break;
  }
  // The window may have lost the row while the read waited.
  if (i < rowsFB.size())
    rowsFB[i].txtRead->setText(value);
  lblBusy->setVisible(false);
}

void frmTest::cmdWriteFB_Click(int i)
{
  if (i < 0 || i >= rowsFB.size() || !s.engine || !s.db)
    return;
  int c = 0, p = 0;
  if (!rowTarget(rowsFB[i], c, p) || p < 1 || p > s.db->MaxParNr)
    return;
  const QString value = rowsFB[i].txtWrite->text().trimmed();
  const QString description = s.db->ValueDescription(p, value);
  if (s.log)
    s.log->LogParameter(Write, c, p, s.db->ParameterTable[size_t(p)].LongName, value,
                        description.isEmpty() ? QString() : QStringLiteral("\t       ") + description);
  lblBusy->setVisible(true);
  const ChannelRec r = *s.channels.channel(c);
  const QString result = s.engine->Write_to_Soranet_direct(r.Dev_Nodenr, r.Dev_Proc, int16_t(c), int16_t(p), value);
  if (i < rowsFB.size())
    rowsFB[i].txtRead->setText(result.isEmpty() ? QStringLiteral("OK") : result);
  lblBusy->setVisible(false);
}

void frmTest::cmdReadDDE_Click(int i)
{
  if (i < 0 || i >= rowsDDE.size() || !s.dde || !s.db || s.state.NotReady)
    return;
  int c = 0, p = 0;
  if (!rowTarget(rowsDDE[i], c, p) || p < 0 || p > s.db->MaxParNr || (p > 0 && !s.channels.available(c, p)))
    return;
  // What a linked client would receive; the topic is made when missing.
  const frmTopic* t = s.dde->topicOrNew(int16_t(c));
  if (t && t->hasItem(int16_t(p)))
    rowsDDE[i].txtRead->setText(t->item(int16_t(p)));
}

void frmTest::cmdWriteDDE_Click(int i)
{
  if (i < 0 || i >= rowsDDE.size() || !s.dde)
    return;
  int c = 0, p = 0;
  if (!rowTarget(rowsDDE[i], c, p) || p < 0)
    return;
  frmTopic* t = s.dde->topic(int16_t(c));
  if (!t || !t->hasItem(int16_t(p)))
    return;
  // What a client's poke does: the item takes the text, then the server
  // handles it (log line, bus write or command). The row shows the item
  // afterwards, or why the write failed.
  const QString value = rowsDDE[i].txtWrite->text();
  t->ChangeItem(int16_t(p), value);
  const QString result = s.dde->P_Change(*t, int16_t(p), value);
  // The write waited: the topics may have been made anew meanwhile.
  const frmTopic* now = s.dde->topic(int16_t(c));
  if (i < rowsDDE.size())
    rowsDDE[i].txtRead->setText(!result.isEmpty() ? result : now ? now->item(int16_t(p)) : QString());
}

void frmTest::tmrUpdate_Timer()
{
  if (s.state.NotReady || lblBusy->isVisible())
    return;
  for (int i = 0; i < rowsFB.size(); ++i)
    cmdReadFB_Click(i);
  for (int i = 0; i < rowsDDE.size(); ++i)
    cmdReadDDE_Click(i);
}

// The message goes to the main window's message field, for a while.
void frmTest::showMessage(const QString& text)
{
  s.fields.set(kMessageField, QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  tmrShowMessage.start();
}

void frmTest::cmdCopy_Click()
{
  if (currentDDE < 0 || currentDDE >= rowsDDE.size())
    return;
  int c = 0, p = 0;
  if (!rowTarget(rowsDDE[currentDDE], c, p) || p < 0)
    return;
  QGuiApplication::clipboard()->setText(LinkText(c, p));
  showMessage(Server::title() + QStringLiteral(", channel %1, parameter %2: ").arg(c).arg(p) + parameterName(p) +
              QStringLiteral("\r\ncopied to clipboard for DDE-link.\r\nUse paste-special in other application."));
}

void frmTest::cmdPaste_Click()
{
  const QString text = QGuiApplication::clipboard()->text();
  int c = 0, p = 0;
  if (!ParseLinkText(text, c, p) || currentDDE < 0 || currentDDE >= rowsDDE.size()) {
    showMessage(QStringLiteral("No DDE-link info available on clipboard!"));
    return;
  }
  Row& r = rowsDDE[currentDDE];
  select(r.cboChannel, c, true);
  select(r.cboParameter, p, false);
  QString message = QStringLiteral("DDE-link: ") + text + QStringLiteral("\r\npasted from clipboard.");
  if (p > 0 && s.db && p < int(s.db->ParameterTable.size()) && !s.db->ParameterTable[size_t(p)].LongName.isEmpty())
    message += QStringLiteral("\r\nInfo: ") + s.db->ParameterTable[size_t(p)].LongName.trimmed();
  showMessage(message);
}

}
