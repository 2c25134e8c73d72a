#include "frmNetwork.h"

#include "bus/Communication.h"
#include "bus/clsComSoraDLL.h"
#include "config/DeviceTable.h"
#include "config/SystemScan.h"
#include "core/Server.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/LogCategory.h"
#include "ui/frmMain.h"

#include "Debug.h"
#include "Prompt.h"
#include "sora32.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cmath>

namespace tesmira {
namespace {

const char* const kModule = "frmNetwork";
const QString kCRLF = QStringLiteral("\r\n");
constexpr int kHighestNewAddress = 123;
const QString kEmptyNewModule = QString(17, QLatin1Char(' '));

QString messageTitle() { return Server::title() + QStringLiteral(" message"); }

}

// ---- rules without widgets ----------------------------------------------------

QString PercentToRaw(const QString& percent)
{
  return QString::number(MessageEngine::NumericValue(percent.trimmed()) * 320.0, 'g', 12);
}

QString RawToPercent(const QString& reply)
{
  return QString::number(MessageEngine::NumericValue(reply.trimmed()) / 320.0, 'f', 1);
}

int ParseNewNodeAddress(const QString& answer)
{
  if (answer.isEmpty())
    return 0;
  bool ok = false;
  const double v = MessageEngine::NumericValue(answer, &ok);
  if (!ok || answer.size() > 3 || v != std::floor(v) || v < 1 || v > kHighestNewAddress)
    return -1;
  return int(v);
}

NodeMovePlan FindNodeNeighbours(const std::vector<ChannelNode>& channels, int oldNode, int newNode)
{
  NodeMovePlan p;
  for (const ChannelNode& c : channels) {
    const int n = c.node;
    if (n == oldNode)
      continue;
    if (n < oldNode && n > p.P0) {
      p.P0 = n;
      p.P0Channel = c.channel;
    }
    if (n > oldNode && n < p.N0)
      p.N0 = n;
    if (n < newNode && n > p.P1) {
      p.P1 = n;
      p.P1Channel = c.channel;
    }
    if (n > newNode && n < p.N1)
      p.N1 = n;
  }
  return p;
}

void PlanNeighbourRewrite(NodeMovePlan& p, int oldNode, int newNode,
                          const std::function<int(int16_t, int, int16_t)>& read)
{
  Q_UNUSED(oldNode);
  // The module below the old place hands the bus on past the gap it leaves.
  if (p.P0 > 0 && p.P0 < 124 && p.N0 > 0 && p.N0 < 124) {
    const int a = read(p.P0Channel, p.P0, 5);
    const int b = a > 0 ? read(0, p.N0, 2) : 0;
    if (!(a > 0 && a <= 124 && b == p.N0))
      p.differs = true;
    else if (a < b) {
      if (newNode >= b)
        p.p0Next = b;
      else if (a < newNode)
        p.p0Next = newNode;
    }
  }
  // The module below the new place must reach it.
  if (p.P1 > 0 && p.P1 < 124) {
    const int c = read(p.P1Channel, p.P1, 5);
    int d = 0, e = 0;
    if (c > 0) {
      d = read(p.P1Channel, p.P1, 4);
      e = p.N1 != 255 ? read(0, p.N1, 2) : 255;
    }
    if (!(c > 0 && c <= 126 && e == p.N1))
      p.differs = true;
    else {
      if (c < newNode)
        p.p1Next = newNode;
      p.p1Last = d == 0 || d > newNode;
    }
  }
}

// ---- the window -----------------------------------------------------------------

frmNetwork::frmNetwork(Server& server, QWidget* owner) : QWidget(owner, Qt::Window), s(server)
{
  setObjectName("frmNetwork");
  setWindowTitle("SORANET configuration");
  resize(780, 470);

  outFlowDevices = new QTreeWidget(this);
  outFlowDevices->setObjectName("outFlowDevices");
  outFlowDevices->setHeaderHidden(true);
  outFlowDevices->setRootIsDecorated(true);
  outFlowDevices->setMinimumWidth(380);

  auto lineEdit = [this](const char* name, bool readOnly) {
    auto* e = new QLineEdit(this);
    e->setObjectName(name);
    e->setReadOnly(readOnly);
    return e;
  };
  txtNode = lineEdit("txtNode", true);
  txtProc = lineEdit("txtProc", true);
  txtDMemo = lineEdit("txtDMemo", false);
  chkPoll = new QCheckBox("Poll", this);
  chkPoll->setObjectName("chkPoll");
  cmdChange = new QPushButton("Change", this);
  cmdChange->setObjectName("cmdChange");
  txtMeasure = lineEdit("txtMeasure", true);
  txtSetpoint = lineEdit("txtSetpoint", false);
  cmdTrend = new QPushButton("Trend", this);
  cmdTrend->setObjectName("cmdTrend");
  txtNewModule = lineEdit("txtNewModule", true);
  txtNewModule->setText(kEmptyNewModule);
  cmdNew = new QPushButton("Search", this);
  cmdNew->setObjectName("cmdNew");
  cmdAdd = new QPushButton("Add", this);
  cmdAdd->setObjectName("cmdAddModule");
  cmdCheckBusConfig = new QPushButton("Check bus configuration", this);
  cmdCheckBusConfig->setObjectName("cmdCheckBusConfig");
  cmdClose = new QPushButton("Close", this);
  cmdClose->setObjectName("cmdClose");
  lblStatus = new QLabel(this);
  lblStatus->setObjectName("lblStatus");
  lblStatus->setWordWrap(true);

  auto* info = new QGroupBox("Device information", this);
  auto* ig = new QGridLayout(info);
  ig->addWidget(new QLabel("Node:", info), 0, 0);
  ig->addWidget(txtNode, 0, 1);
  ig->addWidget(new QLabel("Process:", info), 0, 2);
  ig->addWidget(txtProc, 0, 3);
  ig->addWidget(new QLabel("Memo:", info), 1, 0);
  ig->addWidget(txtDMemo, 1, 1, 1, 3);
  ig->addWidget(chkPoll, 2, 1);
  ig->addWidget(cmdChange, 2, 3);

  auto* test = new QGroupBox("Operation test ", this);
  auto* tg = new QGridLayout(test);
  tg->addWidget(new QLabel("Measure:", test), 0, 0);
  tg->addWidget(txtMeasure, 0, 1);
  tg->addWidget(new QLabel("Setpoint:", test), 1, 0);
  tg->addWidget(txtSetpoint, 1, 1);
  tg->addWidget(cmdTrend, 1, 2);

  auto* fresh = new QGroupBox("New module at SORANET ", this);
  auto* ng = new QGridLayout(fresh);
  ng->addWidget(txtNewModule, 0, 0, 1, 2);
  ng->addWidget(cmdNew, 1, 0);
  ng->addWidget(cmdAdd, 1, 1);
  ng->addWidget(cmdCheckBusConfig, 2, 0, 1, 2);

  auto* right = new QVBoxLayout;
  right->addWidget(info);
  right->addWidget(test);
  right->addWidget(fresh);
  right->addWidget(lblStatus);
  right->addStretch(1);
  auto* closeRow = new QHBoxLayout;
  closeRow->addStretch(1);
  closeRow->addWidget(cmdClose);
  right->addLayout(closeRow);
  auto* outer = new QHBoxLayout(this);
  outer->addWidget(outFlowDevices, 1);
  outer->addLayout(right);

  tmrReadOutAndControl.setInterval(500);
  connect(&tmrReadOutAndControl, &QTimer::timeout, this, &frmNetwork::tmrReadOutAndControl_Timer);
  // A line picked by mouse or keys is selected; the view making its first
  // line current when it gets the focus picks nothing.
  connect(outFlowDevices, &QTreeWidget::itemSelectionChanged, this, [this] { PrintInfo(); });
  // A press on the line that is selected already winks its instrument again.
  connect(outFlowDevices, &QTreeWidget::itemPressed, this, [this](QTreeWidgetItem* item) {
    if (item == m_pressedOnCurrent)
      PrintInfo();
  });
  outFlowDevices->viewport()->installEventFilter(this);
  connect(txtDMemo, &QLineEdit::editingFinished, this, &frmNetwork::txtDMemo_LostFocus);
  connect(chkPoll, &QCheckBox::clicked, this, &frmNetwork::chkPoll_Click);
  connect(txtSetpoint, &QLineEdit::textEdited, this, [this] { m_setpointChannel = CurrentChannel; });
  connect(txtSetpoint, &QLineEdit::editingFinished, this, &frmNetwork::txtSetpoint_LostFocus);
  connect(cmdChange, &QPushButton::clicked, this, &frmNetwork::cmdChange_Click);
  connect(cmdNew, &QPushButton::clicked, this, &frmNetwork::cmdNew_Click);
  connect(cmdAdd, &QPushButton::clicked, this, &frmNetwork::cmdAddModule);
  connect(cmdCheckBusConfig, &QPushButton::clicked, this, &frmNetwork::cmdCheckBusConfig_Click);
  connect(cmdClose, &QPushButton::clicked, this, &frmNetwork::cmdClose_Click);
  connect(cmdTrend, &QPushButton::clicked, this, [this] {
    if (frmMain* main = frmMain::of(s))
      main->ShowTrend(CurrentChannel);
  });
  for (QWidget* w : std::initializer_list<QWidget*>{outFlowDevices, txtDMemo, chkPoll, txtSetpoint})
    w->installEventFilter(this);
  // The server is asked to stop (window closed, signal): a wait for a moved
  // module ends at once so that the shut-down can run.
  if (auto* m = qobject_cast<frmMain*>(owner))
    connect(m, &frmMain::closeRequested, this, [this] { m_stopping = true; });
}

frmNetwork::~frmNetwork() { tmrReadOutAndControl.stop(); }

void frmNetwork::showEvent(QShowEvent* e)
{
  QWidget::showEvent(e);
  Form_Activate();
}

void frmNetwork::closeEvent(QCloseEvent* e)
{
  // An operation in progress owns the bus and the window until it ends.
  if (m_busy) {
    e->ignore();
    return;
  }
  // Clean-up: the read-out stops, the picked instrument stops winking and a
  // module found but not added is forgotten (it stays in install mode).
  tmrReadOutAndControl.stop();
  if (CurrentChannel > 0)
    InstrumentStopWink(CurrentChannel);
  CurrentChannel = 0;
  txtNewModule->setText(kEmptyNewModule);
  cmdAdd->setEnabled(false);
  QWidget::closeEvent(e);
}

bool frmNetwork::eventFilter(QObject* watched, QEvent* event)
{
  if (watched == outFlowDevices->viewport() && event->type() == QEvent::MouseButtonPress) {
    auto* me = static_cast<QMouseEvent*>(event);
    QTreeWidgetItem* at = outFlowDevices->itemAt(me->position().toPoint());
    m_pressedOnCurrent = at && at == outFlowDevices->currentItem() && at->isSelected() ? at : nullptr;
  }
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      // Enter moves on as Tab does; on the outline it also picks the line.
      if (watched == outFlowDevices)
        PrintInfo();
      QMetaObject::invokeMethod(this, [this] { focusNextChild(); }, Qt::QueuedConnection);
      return !qobject_cast<QLineEdit*>(watched); // line edits still see their Enter
    }
  }
  return QWidget::eventFilter(watched, event);
}

void frmNetwork::setStatus(const QString& text) { lblStatus->setText(text); }

void frmNetwork::Form_Activate()
{
  support::Trace t(s.debug(), kModule, "Form_Activate");
  if (m_busy)
    return;
  if (!s.state.CommOpen && !s.state.SimulationOn) {
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    return;
  }
  // The line the operator picked, not Qt's keyboard cursor: the outline
  // makes its first line current when it gets the focus, and re-opening
  // must not pick (and wink) a line nobody chose.
  QList<QTreeWidgetItem*> flat;
  for (QTreeWidgetItemIterator it(outFlowDevices); *it; ++it)
    flat << *it;
  const QList<QTreeWidgetItem*> picked = outFlowDevices->selectedItems();
  const int remembered = picked.isEmpty() ? -1 : int(flat.indexOf(picked.first()));
  tmrReadOutAndControl.setInterval(500);
  tmrReadOutAndControl.start();
  CurrentChannel = 0;
  txtNode->setEnabled(false);
  txtProc->setEnabled(false);
  txtDMemo->setEnabled(false);
  chkPoll->setEnabled(false);
  cmdChange->setEnabled(false);
  cmdAdd->setEnabled(false);
  cmdNew->setEnabled(s.state.CommOpen);
  cmdCheckBusConfig->setEnabled(s.state.CommOpen);
  fill_list();
  ProcessOutline();
  selectLine(remembered);
}

void frmNetwork::selectLine(int index)
{
  int i = 0;
  for (QTreeWidgetItemIterator it(outFlowDevices); *it; ++it, ++i)
    if (i == index) {
      outFlowDevices->setCurrentItem(*it);
      return;
    }
}

void frmNetwork::fill_list()
{
  const QSignalBlocker block(outFlowDevices);
  outFlowDevices->clear();
  const ChannelModel& cm = s.channels;
  const int interfaceNode = s.state.CommOpen ? GetInterfaceNode() : s.state.InterfaceNode;
  QHash<int, QTreeWidgetItem*> firstOfNode; // node -> the module's first line
  QHash<int, int> linesOfNode;
  for (int c = 1; c <= cm.ChannelCount && c < int(cm.ChannelTable.size()); ++c) {
    const ChannelRec& r = cm.ChannelTable[size_t(c)];
    DeviceTypeRec type;
    if (s.devices && r.Dev_ID >= 0 && r.Dev_ID < int(s.devices->DeviceTypeTable.size()))
      type = s.devices->DeviceTypeTable[size_t(r.Dev_ID)];
    const QString ver = r.Dev_Ver.trimmed();
    const qsizetype sn = ver.indexOf(QLatin1String("SN"));
    QString line = QStringLiteral("Ch: %1, %2").arg(r.Dev_Chan).arg(sn >= 0 ? ver.mid(sn) : ver);
    const QString code = type.DEV_TYPE.trimmed();
    if (!code.isEmpty())
      line += QStringLiteral(", ") + code;
    line += QStringLiteral(", node %1").arg(r.Dev_Nodenr);
    const int node = r.Dev_Nodenr;
    QTreeWidgetItem* first = firstOfNode.value(node);
    const bool further = first && node > 0;
    const int index = ++linesOfNode[node]; // 1 for the module's first channel
    switch (type.Dev_Functions) {
    case 1:
      if (!further)
        line += QStringLiteral(" (interface)");
      else if (index <= std::max<int>(1, type.Dev_Channels))
        line += QStringLiteral(" (real-time scan channel)");
      break;
    case 2:
      if (!further)
        line += QStringLiteral(" (analog instrument)");
      break;
    case 3: line += QStringLiteral(" (operator)"); break;
    case 4:
      if (further)
        line += r.Dev_ID == 5 ? (r.Dev_Proc < 20 ? QStringLiteral(" (counter)") : QStringLiteral(" (alarm)"))
                              : QStringLiteral(" (operator)");
      break;
    case 0:
    case 5:
      if (node == interfaceNode)
        line += QStringLiteral(" (local Tesmira)");
      break;
    default: break;
    }
    if (r.IsIfiChannel)
      line += QStringLiteral(" (IFI)");
    auto* item = further ? new QTreeWidgetItem(first, {line}) : new QTreeWidgetItem(outFlowDevices, {line});
    item->setData(0, Qt::UserRole, c);
    if (!further)
      firstOfNode.insert(node, item);
  }
}

void frmNetwork::ProcessOutline()
{
  for (QTreeWidgetItemIterator it(outFlowDevices); *it; ++it)
    if ((*it)->childCount() > 0)
      (*it)->setExpanded(true);
}

void frmNetwork::PrintInfo()
{
  support::Trace t(s.debug(), kModule, "PrintInfo");
  QTreeWidgetItem* item = outFlowDevices->currentItem();
  const QString text = item ? item->text(0) : QString();
  int16_t channel = 0;
  if (text.startsWith(QLatin1String("Ch: "))) {
    QString number = text.mid(4).section(QLatin1Char(' '), 0, 0);
    if (number.endsWith(QLatin1Char(',')))
      number.chop(1);
    channel = int16_t(number.toInt());
  }
  const ChannelModel& cm = s.channels;
  auto nodeOf = [&](int16_t c) { return cm.channel(c) ? int(cm.channel(c)->Dev_Nodenr) : 0; };
  if (channel != CurrentChannel) {
    txtMeasure->clear();
    txtSetpoint->clear();
    if (CurrentChannel > 0 && nodeOf(CurrentChannel) > 0)
      InstrumentStopWink(CurrentChannel);
    CurrentChannel = channel;
    Fill_Dev_Info(CurrentChannel);
  }
  if (CurrentChannel > 0 && nodeOf(CurrentChannel) > 0)
    InstrumentStartWink(CurrentChannel);
}

void frmNetwork::Fill_Dev_Info(int16_t channel)
{
  if (channel >= 1 && channel <= s.channels.ChannelCount && s.channels.channel(channel)) {
    const ChannelRec& r = *s.channels.channel(channel);
    txtNode->setText(QString::number(r.Dev_Nodenr));
    txtProc->setText(QString::number(r.Dev_Proc));
    QString memo = r.Dev_Memo.left(64); // kept padded to 64; shown without the padding
    while (memo.endsWith(QLatin1Char(' ')))
      memo.chop(1);
    txtDMemo->setText(memo);
    chkPoll->setChecked(r.Polling);
    for (QWidget* w : std::initializer_list<QWidget*>{txtNode, txtProc, txtDMemo, chkPoll, cmdChange})
      w->setEnabled(true);
  } else {
    txtNode->clear();
    txtProc->clear();
    txtDMemo->clear();
  }
}

void frmNetwork::InstrumentStartWink(int16_t channel)
{
  const ChannelRec* r = s.channels.channel(channel);
  if (r && r->Dev_Nodenr != 0 && s.session && s.dde)
    s.session->SendMessageWriteRequest(r->Dev_Nodenr, 0, 0, 4, 0, QStringLiteral("9"), s.dde->MakeRequestTag(0));
}

void frmNetwork::InstrumentStopWink(int16_t channel)
{
  const ChannelRec* r = s.channels.channel(channel);
  if (r && r->Dev_Nodenr != 0 && s.session && s.dde)
    s.session->SendMessageWriteRequest(r->Dev_Nodenr, 0, 0, 4, 0, QStringLiteral("0"), s.dde->MakeRequestTag(0));
}

void frmNetwork::txtDMemo_LostFocus()
{
  if (CurrentChannel < 1 || !s.devices || !txtDMemo->isEnabled())
    return;
  s.devices->SetChanMemo(CurrentChannel, txtDMemo->text());
}

void frmNetwork::chkPoll_Click()
{
  if (CurrentChannel < 1 || !s.devices)
    return;
  s.devices->SetChanPolled(CurrentChannel, chkPoll->isChecked());
}

void frmNetwork::txtSetpoint_LostFocus()
{
  const ChannelRec* r = s.channels.channel(CurrentChannel);
  if (!r || !s.db || !s.engine || CurrentChannel < 1)
    return;
  const int16_t setpoint = s.db->ParNrSetpoint;
  if (!s.channels.available(CurrentChannel, setpoint) || m_setpointChannel != CurrentChannel ||
      !r->ModulePresent || s.state.SimulationOn || txtSetpoint->text().trimmed().isEmpty())
    return;
  s.engine->Write_to_Soranet_direct(r->Dev_Nodenr, r->Dev_Proc, CurrentChannel, setpoint,
                                    PercentToRaw(txtSetpoint->text()));
}

void frmNetwork::tmrReadOutAndControl_Timer()
{
  if (m_busy || !s.engine || !s.db)
    return;
  tmrReadOutAndControl.stop();
  QCoreApplication::processEvents();
  const ChannelRec* r = s.channels.channel(CurrentChannel);
  const int node = r ? r->Dev_Nodenr : 0, process = r ? r->Dev_Proc : 0;
  s.engine->HandlePendingMsg();
  if (node > 0 && CurrentChannel >= 1 && !s.state.SimulationOn) {
    const int16_t channel = CurrentChannel;
    auto readOut = [&](int16_t parameter) {
      const ChannelRec* now = s.channels.channel(channel);
      if (!now || !now->ModulePresent || !s.channels.available(channel, parameter))
        return QStringLiteral("n/a");
      return RawToPercent(s.engine->Read_from_Soranet_direct(uint8_t(node), uint8_t(process), channel, parameter));
    };
    txtMeasure->setText(readOut(s.db->ParNrMeasure));
    if (!txtSetpoint->hasFocus() && CurrentChannel == channel)
      txtSetpoint->setText(readOut(s.db->ParNrSetpoint));
  } else {
    txtMeasure->setText(QStringLiteral("n/a"));
    txtSetpoint->setText(QStringLiteral("n/a"));
  }
  if (isVisible() && !m_busy)
    tmrReadOutAndControl.start();
}

// ---- node address change ----------------------------------------------------------

void frmNetwork::cmdChange_Click()
{
  support::Trace t(s.debug(), kModule, "cmdChange_Click");
  if (!s.state.CommOpen || !s.engine || m_busy)
    return;
  const ChannelRec* sel = s.channels.channel(CurrentChannel);
  if (!sel || CurrentChannel < 1)
    return;
  m_busy = true;
  setEnabled(false);
  tmrReadOutAndControl.stop();
  MessageEngine& e = *s.engine;
  support::Prompt& ask = support::prompt();
  e.HandleOutstandingMsg();
  const int oldNode = sel->Dev_Nodenr;
  const int16_t channel = CurrentChannel;
  const uint8_t process = sel->Dev_Proc;
  const QString app = Server::title();
  auto number = [](const QString& reply) { return int(MessageEngine::NumericValue(reply.trimmed())); };
  bool rescan = false;

  [&] {
    int newNode = -1;
    while (newNode < 0) {
      QString answer;
      if (!ask.InputBox("Enter a new node address for the module on node " + QString::number(oldNode) + "." + kCRLF +
                          "The new address must be in the range from 1 to " + QString::number(kHighestNewAddress) +
                          "." + kCRLF + "Please make sure the new address is free." + kCRLF + kCRLF +
                          "Note: for other fieldbusses than SORANET, this is NOT the fieldbus address!",
                        "Change node address", QString::number(oldNode), answer))
        answer.clear();
      newNode = ParseNewNodeAddress(answer);
    }
    if (newNode == 0)
      return;
    const QString n = QString::number(newNode);
    for (int i = 0; i < 2; ++i)
      if (e.Read_from_Soranet_direct(uint8_t(newNode), 0, 0, 2).trimmed() == n) {
        ask.MsgBox("The new node address " + n + " is occupied already." + kCRLF +
                     "Please try another address or remove module on wanted address.",
                   support::Prompt::Ok, support::Prompt::Exclamation, app + " warning");
        return;
      }
    if (ask.MsgBox("The module will get new node address " + n + ".", support::Prompt::OkCancel,
                   support::Prompt::Question, messageTitle()) != support::Prompt::AnswerOk)
      return;

    std::vector<ChannelNode> nodes;
    for (int c = 1; c <= s.channels.MaxChannel; ++c)
      if (const ChannelRec* r = s.channels.channel(c))
        nodes.push_back({int16_t(c), r->Dev_Nodenr});
    NodeMovePlan plan = FindNodeNeighbours(nodes, oldNode, newNode);
    auto procOf = [&](int16_t c) { return s.channels.channel(c) ? s.channels.channel(c)->Dev_Proc : uint8_t(0); };
    PlanNeighbourRewrite(plan, oldNode, newNode, [&](int16_t c, int node, int16_t parameter) {
      return number(e.Read_from_Soranet_direct(uint8_t(node), c ? procOf(c) : 0, c, parameter));
    });
    if (plan.differs) {
      ask.MsgBox("The system configuration in memory differs from the actual system configuration."
                 " The actual system cannot be analyzed to determine if next and/or last node addresses of other "
                 "modules need to be changed."
                 " Continuing may result in the system not being able to find all modules again." +
                   kCRLF + "The node address cannot be changed. Please close and open the communication and try again.",
                 support::Prompt::Ok, support::Prompt::Critical, messageTitle());
      return;
    }
    bool rewrite = false;
    if (plan.neighboursChange()) {
      QString text = app + " has determined that the following addresses of other modules need to be changed:" + kCRLF;
      for (const auto& [changes, c] : {std::pair{plan.p0Next >= 0, plan.P0Channel}, {plan.p1Next >= 0, plan.P1Channel}})
        if (changes)
          text += "- LNA of Ch: " + QString::number(c) + ", " +
                  (s.channels.channel(c) ? s.channels.channel(c)->Dev_Name : QString()) + kCRLF;
      text += kCRLF + "Continuing without changing the addresses may result in the system not being able to find all "
                      "modules again." + kCRLF + "Change these addresses?";
      rewrite = ask.MsgBox(text, support::Prompt::YesNo, support::Prompt::Exclamation, messageTitle()) ==
                support::Prompt::AnswerYes;
    }
    const QString second = e.Read_from_Soranet_direct(uint8_t(oldNode), process, channel, 3);
    if (second == QLatin1String("?")) {
      rescan = ask.MsgBox("No module found on node address " + QString::number(oldNode) +
                            ". Unable to change the node address." + kCRLF + "Check SORANET system configuration?",
                          support::Prompt::YesNo, support::Prompt::Question, messageTitle()) ==
               support::Prompt::AnswerYes;
      return;
    }
    setStatus(app + " is writing new node addresses.");
    const uint8_t target = oldNode == s.state.InterfaceNode && !s.state.InterfaceAcquisition ? 128 : uint8_t(oldNode);
    auto write = [&](uint8_t node, int16_t c, int16_t parameter, const QString& value) {
      e.Write_to_Soranet_direct(node, c ? procOf(c) : 0, c, parameter, value);
    };
    write(target, channel, 7, "73");
    write(target, channel, 2, n);
    const int secondValue = number(second);
    if (secondValue != 0 && secondValue != 127)
      write(target, channel, 3, second.trimmed());
    write(target, channel, 5, QString::number(plan.N1 == 255 ? newNode + 2 : plan.N1));
    write(target, channel, 4, QString::number(newNode + 1));
    if (rewrite) {
      if (plan.p0Next >= 0) {
        write(uint8_t(plan.P0), plan.P0Channel, 7, "73");
        write(uint8_t(plan.P0), plan.P0Channel, 5, QString::number(plan.p0Next));
        write(uint8_t(plan.P0), plan.P0Channel, 7, "82");
      }
      if (plan.p1Next >= 0 || plan.p1Last) {
        write(uint8_t(plan.P1), plan.P1Channel, 7, "73");
        if (plan.p1Next >= 0)
          write(uint8_t(plan.P1), plan.P1Channel, 5, QString::number(plan.p1Next));
        write(uint8_t(plan.P1), plan.P1Channel, 7, "82");
      }
    }
    s.state.SuppressErrors = true;
    write(target, channel, 7, "82");
    if (target == 128)
      write(target, channel, 7, "82");
    s.state.SuppressErrors = false;

    // The module answers at its new address once it has reset.
    const qint64 limit = qint64(newNode) * 2 + 40;
    const qint64 start = QDateTime::currentSecsSinceEpoch();
    qint64 lastTry = -1;
    bool answered = false, normal = false;
    s.state.EscPressed = false;
    for (;;) {
      WaitWithMessages(50);
      const qint64 elapsed = QDateTime::currentSecsSinceEpoch() - start;
      setStatus(app + " is looking for module on new node address " + n + "." + kCRLF + "Remaining time: " +
                QString::number(std::max<qint64>(0, limit - elapsed)) + " seconds.");
      if (elapsed != lastTry) {
        lastTry = elapsed;
        s.state.SuppressErrors = true;
        QVariant v;
        if (e.read_direct(v, uint8_t(newNode), 0, 1, 0, 0) == 0 && v.toInt() == newNode) {
          answered = true;
          normal = e.read_direct(v, uint8_t(newNode), 0, 10, 0, 0) == 0 && v.toInt() == 82;
        }
        s.state.SuppressErrors = false;
      }
      if (normal || elapsed > limit || s.state.EscPressed || m_stopping)
        break;
    }
    if (m_stopping)
      return;
    s.state.EscPressed = false;
    if (!normal)
      e.Write_to_Soranet_direct(uint8_t(newNode), process, channel, 7, "82");
    if (answered) {
      if (oldNode == s.state.InterfaceNode)
        s.state.InterfaceNode = newNode;
      rescan = ask.MsgBox("The module was correctly set to new node address " + n + "." + kCRLF +
                            "Check SORANET system configuration?",
                          support::Prompt::YesNo, support::Prompt::Question, messageTitle()) ==
               support::Prompt::AnswerYes;
      if (!rescan)
        for (ChannelRec& r : s.channels.ChannelTable)
          if (r.Dev_Chan == channel)
            r.Dev_Nodenr = uint8_t(newNode);
    } else {
      rescan = ask.MsgBox("The module is not found on new node address " + n + "." + kCRLF +
                            "The module may have failed to install on the SORANET or its address cannot (yet) be "
                            "found by any other module in the system." + kCRLF +
                            "Please verify the module and/or try again." + kCRLF + kCRLF +
                            "Check SORANET system configuration?",
                          support::Prompt::YesNo, support::Prompt::Critical, messageTitle()) ==
               support::Prompt::AnswerYes;
    }
  }();

  setStatus({});
  if (rescan) {
    RestartCommunication(s);
    m_busy = false;
    setEnabled(true);
    Form_Activate();
  } else {
    // Polling was brought to rest for the change; the server goes on serving.
    if (s.poll && !m_stopping)
      s.poll->StartPolling();
    m_busy = false;
    setEnabled(true);
    Fill_Dev_Info(CurrentChannel);
  }
  tmrReadOutAndControl.start();
}

// ---- new modules --------------------------------------------------------------------

int16_t frmNetwork::writeNode0(uint8_t parameter, uint8_t type, int value)
{
  if (!s.session || !s.dde || !s.engine)
    return 14;
  const int16_t tag = s.dde->MakeRequestTag(0);
  const int16_t sent = s.session->SendMessageWriteRequest(0, 0, parameter, type, 0, QVariant(value), tag);
  if (sent != 0)
    return sent;
  QString text;
  int16_t error = 0;
  return s.engine->WaitForReply(tag, 4, text, error) ? error : int16_t(12);
}

bool frmNetwork::readNode0Config(int values[6])
{
  for (int attempt = 0; attempt <= s.cfg.RetryNetworkAccess; ++attempt) {
    bool all = true;
    for (uint8_t p = 1; p <= 5 && all; ++p) {
      QVariant v;
      all = s.engine->read_direct(v, 0, 0, p, 0, 0) == 0;
      values[p] = v.toInt();
    }
    if (all)
      return true;
  }
  return false;
}

void frmNetwork::endOperation()
{
  s.HideBusy();
  if (s.poll)
    s.poll->StartPolling();
  m_busy = false;
  tmrReadOutAndControl.start();
}

void frmNetwork::cmdNew_Click()
{
  support::Trace t(s.debug(), kModule, "cmdNew_Click");
  if (!s.state.CommOpen || !s.engine || m_busy)
    return;
  m_busy = true;
  cmdNew->setEnabled(false);
  tmrReadOutAndControl.stop();
  MessageEngine& e = *s.engine;
  e.HandleOutstandingMsg();
  s.ShowBusy("Looking for new node", 20);
  const int tries = s.cfg.RetryNetworkAccess + 1;
  auto readUntil = [&](uint8_t parameter, int wanted) {
    int16_t error = 0;
    for (int i = 0; i < tries; ++i) {
      QVariant v;
      error = e.read_direct(v, 0, 0, parameter, 0, 0);
      if (error == 0 && v.toInt() == wanted)
        return std::pair{true, error};
    }
    return std::pair{false, error};
  };
  const bool atZero = readUntil(1, 0).first;
  const bool installing = atZero && readUntil(3, 1).second == 0;
  txtNewModule->setText(kEmptyNewModule);
  if (!installing) {
    support::prompt().MsgBox(
      "There was no new module found to be installed." + kCRLF +
        "To install a new module, handle as described in the user manual." + kCRLF + kCRLF +
        "General procedure for adding a new module to the SORANET:" + kCRLF +
        "- Force module in SORANET install-mode." + kCRLF + "    (Module will get node address 0.)" + kCRLF +
        "    (Be sure to install one module at the same time.)" + kCRLF +
        "- Try to find the new module, press the Search key." + kCRLF +
        "- Press the Add key to add the new module to the SORANET." + kCRLF +
        "    (Module will become active on its new node address.)" + kCRLF + kCRLF +
        "Note: Don't forget to remove the initialisation cable/connector.",
      support::Prompt::Ok, support::Prompt::Exclamation);
  } else {
    QString ident = QStringLiteral("?");
    int id = 0;
    for (int i = 0; i < tries; ++i) {
      const QString text = e.Read_from_Soranet_direct(0, 0, 0, 1);
      if (text != QLatin1String("?") && !text.isEmpty() && text.at(0) != QLatin1Char(' ')) {
        ident = text;
        id = text.at(0).unicode();
        break;
      }
    }
    QString code;
    if (s.devices)
      for (size_t i = 1; i < s.devices->DeviceTypeTable.size(); ++i)
        if (s.devices->DeviceTypeTable[i].ID == id)
          code = s.devices->DeviceTypeTable[i].DEV_TYPE;
    txtNewModule->setText(code.leftJustified(7, QLatin1Char(' '), true) + "," +
                          ident.leftJustified(25, QLatin1Char(' '), true));
    cmdAdd->setEnabled(true);
  }
  cmdNew->setEnabled(true);
  endOperation();
}

void frmNetwork::cmdAddModule()
{
  support::Trace t(s.debug(), kModule, "cmdAddModule");
  if (!s.state.CommOpen || !s.engine || m_busy)
    return;
  m_busy = true;
  tmrReadOutAndControl.stop();
  s.engine->HandleOutstandingMsg();
  s.ShowBusy("Searching first free node", 0);
  const QString module = txtNewModule->text().trimmed();
  const int tries = s.cfg.RetryNetworkAccess + 1;
  QString error;
  int newNode = 0;
  int values[6] = {};
  if (!readNode0Config(values)) {
    error = "Max retries on Read_Config function for node installation!";
  } else {
    newNode = sora32::FindFirstFreeNode(2);
    writeNode0(10, 1, 73);
    int wanted[6] = {0, newNode, values[2] == values[1] ? newNode : values[2], newNode + 1, values[4], values[5]};
    s.ShowBusy("Node to new address", 0);
    bool written = false;
    for (int attempt = 0; attempt < tries && !written; ++attempt) {
      int16_t last = 0;
      for (uint8_t p = 1; p <= 5; ++p)
        last = writeNode0(p, 0, wanted[p]);
      written = last == 0;
    }
    if (!written) {
      error = "Max retries on Write_Config function for node installation!";
    } else {
      s.ShowBusy("Check new settings", 0);
      int back[6] = {};
      if (!readNode0Config(back))
        error = "Max retries on Read_Config function for node installation!";
      else if (back[1] != wanted[1] || back[2] != wanted[2] || back[4] != wanted[4] || back[5] != wanted[5])
        error = "Failed to read new node adress: " + QString::number(newNode) + "!";
    }
  }
  if (error.isEmpty()) {
    s.ShowBusy("Reset instrument", 0);
    writeNode0(10, 1, 82);
    s.LogMessage(Init, module + " added to actual SORANET system");
    txtNewModule->setText(kEmptyNewModule);
    support::prompt().MsgBox("Node installed!" + kCRLF + "Node number: " + QString::number(newNode) + kCRLF +
                               "Remove initialisation jumper!",
                             support::Prompt::Ok, support::Prompt::Information);
  } else {
    writeNode0(10, 1, 82);
    s.LogMessage(Init, "Installing " + module + " failed");
    txtNewModule->setText(kEmptyNewModule);
    support::prompt().MsgBox("Node installation failed!" + kCRLF + error + kCRLF + "Remove initialisation jumper!",
                             support::Prompt::Ok, support::Prompt::Exclamation);
  }
  cmdAdd->setEnabled(false);
  endOperation();
}

void frmNetwork::cmdCheckBusConfig_Click()
{
  support::Trace t(s.debug(), kModule, "cmdCheckBusConfig_Click");
  // The rescan opens the bus: never while simulating.
  if (m_busy || !s.engine || !s.state.CommOpen || s.state.SimulationOn)
    return;
  m_busy = true;
  tmrReadOutAndControl.stop();
  s.engine->HandleOutstandingMsg();
  RestartCommunication(s);
  s.HideBusy();
  m_busy = false;
  Form_Activate();
  if (s.poll && s.state.CommOpen)
    s.poll->StartPolling();
  tmrReadOutAndControl.start();
}

void frmNetwork::cmdClose_Click() { close(); }

}
