#include "frmConfigScrn.h"

#include "WindowParts.h"

#include "core/Server.h"
#include "core/Settings.h"
#include "db/Database.h"
#include "log/LogCategory.h"

#include "Debug.h"
#include "Prompt.h"
#include "Setting.h"
#include "sora32.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QVBoxLayout>

namespace tesmira {
namespace {

const int32_t kRates[8] = {4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800};
const uint8_t kArbitrations[4] = {1, 2, 3, 67};

}

QString InterfaceEntryText(const std::string& name)
{
  QString text;
  for (const char c : name)
    if (c >= 32 && c <= 126)
      text += QLatin1Char(c);
  return text;
}

QString PortNameOfEntry(const QString& entry)
{
  const bool serial = entry.left(5).trimmed() == QLatin1String("RS232");
  return entry.mid(serial ? 7 : 9).trimmed();
}

int32_t RateOfOption(int index) { return kRates[std::clamp(index, 0, 7)]; }

int RateOption(int32_t rate)
{
  for (int i = 0; i < 8; ++i)
    if (kRates[i] == rate)
      return i;
  return 3;
}

uint8_t ArbitrationOfOption(int index) { return kArbitrations[std::clamp(index, 0, 3)]; }

int ArbitrationOption(uint8_t arbitration)
{
  for (int i = 0; i < 4; ++i)
    if (kArbitrations[i] == arbitration)
      return i;
  return 3;
}

QStringList DeviceServerNames(const QString& setting)
{
  static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
  return setting.split(separators, Qt::SkipEmptyParts);
}

frmConfigScrn::frmConfigScrn(Server& server, QWidget* owner) : QDialog(owner), s(server)
{
  setObjectName("frmConfigScrn");
  setWindowTitle("Communication settings");
  setModal(true);

  lvwInterfaces = new QListWidget(this);
  lvwInterfaces->setObjectName("lvwInterfaces");
  lvwInterfaces->setMinimumWidth(380);
  auto* interfaces = new QGroupBox("Interface", this);
  auto* il = new QVBoxLayout(interfaces);
  il->addWidget(lvwInterfaces);

  fraBaudrate = new QGroupBox("Baud rate", this);
  fraBaudrate->setObjectName("fraBaudrate");
  m_rates = new QButtonGroup(this);
  auto* rl = new QGridLayout(fraBaudrate);
  for (int i = 0; i < 8; ++i) {
    optBaudrate[i] = new QRadioButton(QString::number(kRates[i]), fraBaudrate);
    optBaudrate[i]->setObjectName(QStringLiteral("optBaudrate%1").arg(i));
    m_rates->addButton(optBaudrate[i], i);
    rl->addWidget(optBaudrate[i], i % 4, i / 4);
  }

  fraArbitration = new QGroupBox("Arbitration", this);
  fraArbitration->setObjectName("fraArbitration");
  m_arbitrations = new QButtonGroup(this);
  auto* al = new QVBoxLayout(fraArbitration);
  for (int i = 0; i < 4; ++i) {
    const QString caption = i == 3 ? QStringLiteral("67 (default)") : QString::number(kArbitrations[i]);
    optArbitration[i] = new QRadioButton(caption, fraArbitration);
    optArbitration[i]->setObjectName(QStringLiteral("optArbitration%1").arg(i));
    m_arbitrations->addButton(optArbitration[i], i);
    al->addWidget(optArbitration[i]);
  }

  fraChaining = new QGroupBox("Chaining", this);
  fraChaining->setObjectName("fraChaining");
  chkProcChain = new QCheckBox("Process chaining", fraChaining);
  chkProcChain->setObjectName("chkProcChain");
  chkParChain = new QCheckBox("Parameter chaining", fraChaining);
  chkParChain->setObjectName("chkParChain");
  auto* cl = new QVBoxLayout(fraChaining);
  cl->addWidget(chkProcChain);
  cl->addWidget(chkParChain);

  chkAutoIncrease = new QCheckBox("Raise the baud rate while the communication is open", this);
  chkAutoIncrease->setObjectName("chkAutoIncrease");

  auto* right = new QVBoxLayout;
  right->addWidget(fraBaudrate);
  right->addWidget(fraArbitration);
  right->addWidget(fraChaining);
  right->addStretch(1);
  auto* row = new QHBoxLayout;
  row->addWidget(interfaces, 1);
  row->addLayout(right);
  auto* outer = new QVBoxLayout(this);
  outer->addLayout(row, 1);
  outer->addLayout(OkCancelRow(this, cmdOK, cmdCancel, chkAutoIncrease));

  // The interface follows the entry the operator selects. Not the current
  // item: Qt makes the first entry current when the list gets the focus,
  // without selecting it, and that must not replace the stored interface.
  connect(lvwInterfaces, &QListWidget::itemSelectionChanged, this, [this] {
    const QList<QListWidgetItem*> picked = lvwInterfaces->selectedItems();
    if (!picked.isEmpty())
      m_interface = picked.first()->data(Qt::UserRole).toString();
  });
  connect(m_rates, &QButtonGroup::idClicked, this, [this](int i) { m_rate = RateOfOption(i); });
  connect(m_arbitrations, &QButtonGroup::idClicked, this,
          [this](int i) { m_arbitration = QString::number(ArbitrationOfOption(i)); });
  connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
  connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
}

void frmConfigScrn::showEvent(QShowEvent* e)
{
  Form_Load();
  QDialog::showEvent(e);
}

void frmConfigScrn::Form_Load()
{
  support::Trace trace(s.debug(), "frmConfigScrn", "Form_Load");
  const Configuration& c = s.cfg;
  bool ok = false;
  const bool showAuto =
    s.setting() && support::Setting::toBool(s.setting()->GetProgramSetting("Options", "ShowAutoIncreaseBaudrate",
                                                                           "False"),
                                            &ok) &&
    ok;
  chkAutoIncrease->setVisible(showAuto);
  chkAutoIncrease->setChecked(showAuto && c.AutoIncreaseBaudrate);
  chkProcChain->setChecked(c.ChainProcess);
  chkParChain->setChecked(c.ChainParameter);

  m_interface = c.InterfaceName.trimmed();
  listInterfaces();

  const int rate = RateOption(c.Baudrate);
  optBaudrate[rate]->setChecked(true);
  m_rate = RateOfOption(rate);
  const int arbitration = ArbitrationOption(c.Arbitration);
  optArbitration[arbitration]->setChecked(true);
  m_arbitration = QString::number(ArbitrationOfOption(arbitration));
}

// Fills the list from the library. The device servers of the program
// settings are handed to the library first, so an edited program.ini shows
// the next time the dialog opens.
void frmConfigScrn::listInterfaces()
{
  const QSignalBlocker quiet(lvwInterfaces);
  lvwInterfaces->clear();
  if (s.setting()) {
    std::vector<std::string> names, refused;
    for (const QString& n : DeviceServerNames(s.setting()->GetProgramSetting("Communication", "DeviceServers")))
      names.push_back(n.toStdString());
    if (sora32::SetDeviceServers(names, refused) != 0) {
      QStringList bad;
      for (const std::string& r : refused)
        bad << QString::fromStdString(r);
      support::prompt().MsgBox("These serial device servers of " +
                                 s.setting()->fileName(support::Setting::Scope::Program) +
                                 " ([Communication] DeviceServers) are not listed, they are no tcp:host:port "
                                 "or rfc2217:host:port names: " +
                                 bad.join(QStringLiteral(", ")),
                               support::Prompt::Ok, support::Prompt::Exclamation, windowTitle());
    }
  }
  const int16_t n = sora32::GetNrPorts();
  m_interfaceCount = uint8_t(std::clamp<int16_t>(n, 0, 255));
  const QStyle* st = style();
  QListWidgetItem* stored = nullptr;
  for (int16_t i = 0; i < n; ++i) {
    int32_t value = 0;
    std::string name;
    if (sora32::GetPort(i, value, name) > 0) {
      support::prompt().MsgBox("A memory error occured at retrieving interface.", support::Prompt::Ok,
                               support::Prompt::Critical, windowTitle());
      break;
    }
    const QString text = InterfaceEntryText(name);
    const QIcon icon = st->standardIcon(value == 1   ? QStyle::SP_DriveFDIcon
                                        : value == 3 ? QStyle::SP_DriveNetIcon
                                                     : QStyle::SP_ComputerIcon);
    auto* item = new QListWidgetItem(icon, text, lvwInterfaces);
    item->setData(Qt::UserRole, PortNameOfEntry(text));
    if (PortNameOfEntry(text) == m_interface)
      stored = item;
  }
  // A stored interface the library does not list (an unplugged adapter, a
  // pseudo-terminal) is shown first, so the operator sees what is configured
  // and OK keeps it.
  if (!stored && !m_interface.isEmpty()) {
    stored = new QListWidgetItem(st->standardIcon(QStyle::SP_MessageBoxWarning),
                                 m_interface + QStringLiteral(" (not present)"));
    stored->setData(Qt::UserRole, m_interface);
    lvwInterfaces->insertItem(0, stored);
  }
  if (stored)
    lvwInterfaces->setCurrentItem(stored);
}

void frmConfigScrn::cmdOK_Click()
{
  support::Trace trace(s.debug(), "frmConfigScrn", "cmdOK_Click");
  if (s.state.CommOpen) {
    // A client may have opened it while the dialog was up.
    support::prompt().MsgBox("The communication is open. Close it first; the settings are kept in this dialog.",
                             support::Prompt::Ok, support::Prompt::Exclamation, windowTitle());
    return;
  }
  Configuration& c = s.cfg;
  c.InterfaceName = m_interface.trimmed().left(InterfaceNameLength);
  c.Baudrate = m_rate;
  c.Arbitration = uint8_t(m_arbitration.toInt());
  c.ChainProcess = chkProcChain->isChecked();
  c.ChainParameter = chkParChain->isChecked();
  c.AutoIncreaseBaudrate = chkAutoIncrease->isChecked();

  if (support::Setting* st = s.setting()) {
    const auto yes = support::Setting::boolText;
    st->SaveCommonSetting("Communication", "InterfaceName", c.InterfaceName);
    st->SaveCommonSetting("Communication", "Baudrate", QString::number(c.Baudrate));
    st->SaveCommonSetting("Communication", "Arbitration", m_arbitration);
    st->SaveCommonSetting("Communication", "ChainProcess", yes(c.ChainProcess));
    st->SaveCommonSetting("Communication", "ChainParameter", yes(c.ChainParameter));
    st->SaveCommonSetting("Communication", "AutoIncreaseBaudrate", yes(c.AutoIncreaseBaudrate));
  }
  if (s.db) {
    const QString error = s.db->WriteCommport({{"InterfaceName", c.InterfaceName},
                                               {"Baud", QString::number(c.Baudrate)},
                                               {"Shake", m_arbitration},
                                               {"ParChain", int(c.ChainParameter)},
                                               {"ProcChain", int(c.ChainProcess)}});
    if (!error.isEmpty())
      s.LogMessage(Warn, "The settings are saved; the Commport table was not updated: " + error);
  }
  s.SetComStatus("Idle");
  ShowInterfaceSettings(s);
  if (s.ApplyPortSettings)
    s.ApplyPortSettings();
  accept();
}

void frmConfigScrn::cmdCancel_Click() { reject(); }

}
