#include "frmMain.h"

#include "Clipboard.h"
#include "ConsolePane.h"
#include "Icons.h"
#include "WindowSettings.h"
#include "frmParmVal.h"
#include "frmPollTimeDialog.h"
#include "frmSystem.h"
#include "frmTestLumbra.h"
#include "frmViewDeviceParam.h"
#include "operator/ServiceLog.h"
#include "operator/Simulation.h"
#include "operator/SpeedTest.h"
#include "frmTest.h"
#include "frmTrend.h"
#include "frmNetwork.h"
#include "frmConfigScrn.h"
#include "frmParmList.h"
#include "frmStartUp.h"
#include "frmWorning.h"
#include "core/Server.h"
#include "core/Startup.h"
#include "core/clsGeneral.h"
#include "bus/Communication.h"
#include "bus/ErrorMessages.h"
#include "db/Database.h"
#include "engine/BulkRead.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Paths.h"
#include "Prompt.h"
#include "Setting.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <cmath>

namespace tesmira {

frmMain* frmMain::of(const Server& s) { return s.hasView() ? dynamic_cast<frmMain*>(&s.view()) : nullptr; }

frmMain::frmMain(Server& server, QWidget* parent) : QMainWindow(parent), m_server(server)
{
  setObjectName("frmMain");
  setWindowIcon(Icons::programIcon(101));
  resize(900, 620);
  buildMenus();
  buildBody();
  connect(&m_server.fields, &StatusFields::changed, this, &frmMain::showField);
  for (const QString& n : m_server.fields.names())
    showField(n, m_server.fields.value(n));
  if (m_server.log) {
    m_server.log->setConsole(m_txtTerm);
    bindLogMenus();
  }
  m_server.setView(this);
}

frmMain::~frmMain()
{
  removeTrayIcon();
  if (m_server.log)
    m_server.log->setConsole(nullptr);
  if (m_server.hasView() && &m_server.view() == this)
    m_server.setView(nullptr);
}

void frmMain::bindLogMenus()
{
  Logger* log = m_server.log.get();
  const std::pair<const char*, void (Logger::*)(bool)> options[] = {
      {"mnuLogErrorsOnly", &Logger::setLogErrorsOnly},
      {"mnuEchoAll", &Logger::setEchoAll},
      {"mnuEchoErr", &Logger::setEchoErr},
      {"mnuEchoLinkPokes", &Logger::setEchoLinkPokes}};
  for (const auto& [name, set] : options)
    if (QAction* a = menu(name)) {
      a->setCheckable(true);
      // Qt has already inverted the check mark when triggered arrives.
      connect(a, &QAction::triggered, log, [log, set = set](bool checked) { (log->*set)(checked); });
    }
  setMenuHandler("mnuOpenLog", [log] { log->mnuOpenLog_Click(); });
  setMenuHandler("mnuCloseLog", [log] { log->mnuCloseLog_Click(); });
  connect(log, &Logger::optionsChanged, this, &frmMain::showLogOptions);
  showLogOptions();
}

void frmMain::showLogOptions()
{
  const Logger* log = m_server.log.get();
  if (!log)
    return;
  setMenuChecked("mnuLogErrorsOnly", log->LogErrorsOnly);
  setMenuChecked("mnuEchoAll", log->EchoAll);
  setMenuChecked("mnuEchoErr", log->EchoErr);
  setMenuChecked("mnuEchoLinkPokes", log->EchoLinkPokes);
  enableMenu("mnuEchoErr", log->echoErrEnabled());
  enableMenu("mnuEchoLinkPokes", log->echoLinkPokesEnabled());
  enableMenu("mnuOpenLog", log->openLogEnabled());
  enableMenu("mnuCloseLog", log->closeLogEnabled());
}

// ---- layout -------------------------------------------------------------------

QAction* frmMain::addItem(QMenu* menu, const QString& name, const QString& caption)
{
  QAction* a = menu->addAction(caption);
  a->setObjectName(name);
  m_actions.insert(name, a);
  return a;
}

void frmMain::buildMenus()
{
  QMenu* file = menuBar()->addMenu("&File");
  addItem(file, "mnuOpenLog", "&Open log file...");
  addItem(file, "mnuCloseLog", "&Close log file");
  addItem(file, "mnuLogErrorsOnly", "&Log errors only");
  addItem(file, "mnuServiceLog", "&Service log ");
  file->addSeparator();
  addItem(file, "mnuExit", "E&xit");

  QMenu* comm = menuBar()->addMenu("&Communication");
  addItem(comm, "mnuOpenCom", "&Open communication");
  addItem(comm, "mnuClose", "&Close communication");
  addItem(comm, "mnuComSettings", "Communication &settings...");
  addItem(comm, "mnuTestLumbra", "Test Lumbra");
  addItem(comm, "mnuComSpeedTest", "Spee&d test");
  addItem(comm, "mnuResetErrors", "&Reset errors");
  comm->addSeparator();
  addItem(comm, "mnuEchoAll", "&Echo all info ");
  addItem(comm, "mnuEchoErr", "Ec&ho errors");
  addItem(comm, "mnuEchoLinkPokes", "Echo client &linkpokes");
  comm->addSeparator();
  addItem(comm, "mnuCheckConfig", "Check &SORANET configuration");

  QMenu* bus = menuBar()->addMenu("SORANET");
  addItem(bus, "mnuConfiguration", "&Configuration");
  addItem(bus, "mnuShowDevice", "&View modules/parameters");
  addItem(bus, "mnuReadAllParameters", "Read all &parameters");
  addItem(bus, "mnuTest", "&Test SORANET and DDE");
  addItem(bus, "mnuLNA", "&Last node address");
  addItem(bus, "mnuClipboard", "Copy configuration to clip&board");

  QMenu* server = menuBar()->addMenu("&Server");
  addItem(server, "mnuPollTime", "&Poll time");
  addItem(server, "mnuSettings", "S&ettings");
  addItem(server, "mnuSimulate", "&Simulate");
  addItem(server, "mnuTrend", "&Trend");

  QMenu* info = menuBar()->addMenu("&Info");
  addItem(info, "mnuAbout", "&About");
  addItem(info, "mnuParList", "&Parameter list");
  addItem(info, "mnuParValueList", "Parameter &value list");

  // The logger's six items are bound to it by bindLogMenus.
  setMenuHandler("mnuExit", [this] { close(); });
  setMenuHandler("mnuResetErrors", [this] { mnuResetErrors_Click(); });
  setMenuHandler("mnuAbout", [this] { mnuAbout_Click(); });
  setMenuHandler("mnuOpenCom", [this] { OpenCommunication_Click(m_server); });
  setMenuHandler("mnuClose", [this] { CloseCommunication_Click(m_server); });
  setMenuHandler("mnuCheckConfig", [this] { CheckConfig_Click(m_server); });
  setMenuHandler("mnuReadAllParameters", [this] { ReadAllParams_Click(m_server); });
  setMenuHandler("mnuServiceLog", [this] { mnuServiceLog_Click(m_server); });
  setMenuHandler("mnuClipboard", [this] { mnuClipboard_Click(m_server); });
  setMenuHandler("mnuComSpeedTest", [this] { mnuComSpeedTest_Click(m_server); });
  setMenuHandler("mnuLNA", [this] { mnuLNA_Click(m_server); });
  setMenuHandler("mnuTest", [this] {
    SetComStatus("Test communication");
    if (auto* f = qobject_cast<frmTest*>(forms.value("frmTest").data()); f && f->Form_Load())
      f->raise();
  });
  setMenuHandler("mnuConfiguration", [this] {
    SetComStatus("Add/show modules");
    if (auto* w = qobject_cast<frmNetwork*>(forms.value("frmNetwork").data())) {
      if (w->isVisible())
        w->Form_Activate();
      w->show();
      w->raise();
      w->activateWindow();
    }
  });
  setMenuHandler("mnuComSettings", [this] {
    // Not one of the windows created at start: made on first use.
    if (!forms.value("frmConfigScrn"))
      forms.insert("frmConfigScrn", new frmConfigScrn(m_server, this));
    showForm("frmConfigScrn", "Set communication");
  });
  setMenuHandler("mnuTestLumbra", [this] { showForm("frmTestLumbra", "Test Lumbra communication"); });
  setMenuHandler("mnuPollTime", [this] { showForm("frmPollTime", "Set polltime"); });
  setMenuHandler("mnuSettings", [this] { showForm("frmSystem", "System settings"); });
  setMenuHandler("mnuShowDevice", [this] { showForm("frmViewDeviceParam", {}); });
  setMenuHandler("mnuParList", [this] {
    if (auto* list = qobject_cast<frmParmList*>(forms.value("frmParmList")))
      list->ShowForm();
  });
  setMenuHandler("mnuParValueList", [this] { showForm("frmParmVal", {}); });
  setMenuHandler("mnuTrend", [this] { ShowTrend(0); });
  m_actions.value("mnuSimulate")->setCheckable(true);
  setMenuHandler("mnuSimulate", [this] {
    if (m_server.simulation)
      m_server.simulation->mnuSimulate_Click();
  });
}

void frmMain::buildBody()
{
  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(6, 6, 6, 6);

  m_imgTop = new QLabel(central);
  m_imgTop->setObjectName("imgTop");
  m_imgTop->setMaximumHeight(133); // 2000 twips at 96 dpi
  m_imgTop->setScaledContents(false);
  m_imgTop->hide();
  outer->addWidget(m_imgTop);

  auto* row = new QHBoxLayout;
  outer->addLayout(row, 1);

  // Status fields: caption on the left, value on the right, grouped.
  auto* side = new QVBoxLayout;
  row->addLayout(side);
  auto makeGroup = [&](const QString& caption,
                       std::initializer_list<std::pair<const char*, const char*>> rows) {
    auto* box = new QGroupBox(caption, central);
    auto* form = new QFormLayout(box);
    form->setLabelAlignment(Qt::AlignRight);
    form->setHorizontalSpacing(10);
    form->setVerticalSpacing(3);
    for (const auto& [name, label] : rows) {
      auto* value = new QLabel(box);
      value->setObjectName(QString::fromLatin1(name));
      value->setTextInteractionFlags(Qt::TextSelectableByMouse);
      value->setMinimumWidth(150);
      value->setFrameShape(QFrame::StyledPanel);
      value->setFrameShadow(QFrame::Sunken);
      auto* caption = new QLabel(QString::fromLatin1(label), box);
      caption->setMinimumWidth(118);
      caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      form->addRow(caption, value);
      m_fieldLabels.insert(QString::fromLatin1(name).toLower(), value);
      if (QLatin1String(name) == QLatin1String("lblCommPort"))
        m_commPortCaption = caption;
    }
    side->addWidget(box);
  };
  makeGroup("Server", {{"Status", "Status:"}, {"ComStatus", "Communication:"}, {"OpenCom", "Open:"}});
  makeGroup("Interface", {{"lblCommPort", "Port:"}, {"lblInterfaceType", "Type:"}, {"MaxChan", "Channels:"},
                          {"MaxNode", "Highest node:"}, {"MaxPar", "Parameters:"}, {"InterfaceChan", "Interface channel:"}});
  makeGroup("Messages", {{"lblAmount", "Replies:"}, {"lblPendingMsg", "Pending:"}, {"lblError", "Errors:"}});
  makeGroup("Polling", {{"PollTime", "Poll time (ms):"}, {"PollBatch", "Channels per tick:"},
                        {"RTPInterval", "Real-time (ms):"}});
  makeGroup("Versions", {{"TESMIRAVersion", "Tesmira:"}, {"DatabaseVersion", "Database:"},
                         {"SORANETDLLVersion", "Library:"}});
  side->addStretch(1);

  m_txtTerm = new ConsolePane(central);
  m_txtTerm->setObjectName("txtTerm");
  m_txtTerm->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QFont mono(QStringLiteral("Monospace"));
  mono.setStyleHint(QFont::TypeWriter);
  mono.setPointSize(9);
  m_txtTerm->setFont(mono);
  m_txtTerm->viewport()->installEventFilter(this);
  row->addWidget(m_txtTerm, 1);

  // The message field: notes of the tools (the test form's link copy and
  // paste), set through the status field "lblMessage".
  auto* message = new QLabel(central);
  message->setObjectName("lblMessage");
  message->setMinimumHeight(3 * message->fontMetrics().height());
  message->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_fieldLabels.insert(QStringLiteral("lblmessage"), message);
  outer->addWidget(message);

  setCentralWidget(central);

  m_panel1 = new QLabel(this);
  m_panel1->setObjectName("staMainPanel1");
  m_panel2 = new QLabel(this);
  m_panel2->setObjectName("staMainPanel2");
  m_panel2->setMinimumWidth(160);
  m_panel2->setFrameShape(QFrame::StyledPanel);
  statusBar()->setObjectName("staMain");
  statusBar()->addWidget(m_panel1, 1);
  statusBar()->addPermanentWidget(m_panel2);
}

void frmMain::showField(const QString& name, const QString& text)
{
  if (name == QLatin1String("Caption")) {
    setWindowTitle(text);
    return;
  }
  if (QLabel* l = m_fieldLabels.value(name.toLower()))
    l->setText(text);
}

void frmMain::setCommPortVisible(bool visible)
{
  if (QLabel* l = field("lblCommPort"))
    l->setVisible(visible);
  if (m_commPortCaption)
    m_commPortCaption->setVisible(visible);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event)
{
  if (watched == m_txtTerm->viewport() && event->type() == QEvent::MouseButtonDblClick && m_server.log) {
    m_server.log->cycleConsoleColours();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---- menus ----------------------------------------------------------------------

void frmMain::enableMenu(const QString& name, bool on)
{
  if (QAction* a = m_actions.value(name))
    a->setEnabled(on);
}

void frmMain::setMenuChecked(const QString& name, bool on)
{
  if (QAction* a = m_actions.value(name))
    a->setChecked(on);
}

QPlainTextEdit* frmMain::txtTerm() const { return m_txtTerm; }

void frmMain::setMenuHandler(const QString& name, std::function<void()> handler)
{
  if (QAction* a = m_actions.value(name))
    connect(a, &QAction::triggered, this, [handler] { handler(); });
}

frmWorning* frmMain::busyWindow() const
{
  return qobject_cast<frmWorning*>(forms.value(QStringLiteral("frmWorning")));
}

void frmMain::ShowTrend(int16_t channel)
{
  // Not one of the windows created at start: Qt Charts costs nothing until
  // the operator asks for a trend.
  auto* trend = qobject_cast<frmTrend*>(forms.value("frmTrend").data());
  if (!trend) {
    trend = new frmTrend(m_server, this);
    forms.insert("frmTrend", trend);
  }
  auto* list = qobject_cast<frmNetwork*>(forms.value("frmNetwork").data());
  if (channel <= 0 && list && list->isVisible())
    channel = list->CurrentChannel;
  if (channel <= 0 && !trend->Traces().empty()) {
    trend->show();
    trend->raise();
    return;
  }
  trend->ShowChannel(channel);
}

void frmMain::showForm(const QString& name, const QString& status)
{
  if (!status.isEmpty())
    SetComStatus(status);
  if (QWidget* w = forms.value(name)) {
    w->show();
    w->raise();
    w->activateWindow();
  }
}

void frmMain::mnuResetErrors_Click()
{
  m_txtTerm->clear();
  if (m_server.errors)
    m_server.errors->ResetErrorCount(); // the status field follows
}

void frmMain::mnuAbout_Click()
{
  support::prompt().MsgBox(
    QStringLiteral("%1\r\n\r\nServer version %2\r\nCommunication library %3\r\nDatabase %4")
      .arg(Server::title(), m_server.fields.value("TESMIRAVersion"), m_server.fields.value("SORANETDLLVersion"),
           m_server.fields.value("DatabaseVersion")),
    support::Prompt::Ok, support::Prompt::Information, "About " + Server::title());
}

// ---- status and busy display ----------------------------------------------------

QString frmMain::panel1() const { return m_panel1->text(); }
QString frmMain::panel2() const { return m_panel2->text(); }

void frmMain::SetComStatus(const QString& text) { m_server.SetComStatus(text); }

void frmMain::ShowComState(const QString& state) { m_panel2->setText(state); }

void frmMain::BeginBusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }

void frmMain::EndBusyCursor() { QGuiApplication::restoreOverrideCursor(); }

void frmMain::Beep() { QApplication::beep(); }

void frmMain::ShowBusy(const QString& text, double step)
{
  m_panel1->setText(text);
  if (step < 0) {
    unsetCursor();
    return;
  }
  setCursor(Qt::WaitCursor);
  const double next = std::nearbyint(m_progress + step);
  m_progress = next > 100.4 ? 0 : int(next);
  frmWorning* busy = busyWindow();
  if (busy)
    busy->pgbProgress->setValue(m_progress);
  if (m_server.options.TrayIconEnabled) {
    m_trayFrame = m_trayFrame == 1 ? 2 : 1;
    m_trayResource = 101 + m_trayFrame;
    m_trayToolTip = text;
    if (m_tray) {
      m_tray->setIcon(Icons::programIcon(m_trayResource));
      m_tray->setToolTip(text);
    }
  }
  if (busy && m_server.options.OptBusyWindow && !m_server.options.OptQuiet) {
    busy->lblInfo->setText(text);
    busy->tmrBusy.start();
    busy->show();
    busy->pgbProgress->setValue(m_progress);
    busy->pgbProgress->setVisible(true);
    busy->pgbProgress->repaint();
  }
}

void frmMain::ResetBusyProgress()
{
  m_progress = 0;
  if (frmWorning* busy = busyWindow())
    busy->pgbProgress->setValue(0);
}

void frmMain::HideBusy()
{
  frmWorning* busy = busyWindow();
  if (m_server.options.OptBusyWindow && busy) {
    busy->tmrBusy.stop();
    busy->hide();
  }
  m_progress = 0;
  if (m_server.options.TrayIconEnabled) {
    m_trayResource = 101;
    m_trayToolTip = windowTitle();
    if (m_tray) {
      m_tray->setIcon(Icons::programIcon(101));
      m_tray->setToolTip(windowTitle());
    }
  }
  unsetCursor();
  ShowBusy("Ready", -1);
}

void frmMain::createTrayIcon()
{
  m_trayCreated = true;
  m_trayResource = 101;
  m_trayToolTip = windowTitle();
  if (!QSystemTrayIcon::isSystemTrayAvailable())
    return;
  m_tray = new QSystemTrayIcon(Icons::programIcon(101), this);
  m_tray->setToolTip(windowTitle());
  connect(m_tray, &QSystemTrayIcon::activated, this, [this] {
    showNormal();
    raise();
    activateWindow();
  });
  m_tray->show();
}

void frmMain::removeTrayIcon()
{
  m_trayCreated = false;
  if (m_tray) {
    m_tray->hide();
    delete m_tray;
    m_tray = nullptr;
  }
}

// ---- events ---------------------------------------------------------------------

void frmMain::keyPressEvent(QKeyEvent* e)
{
  if (e->key() == Qt::Key_Escape) {
    m_server.state.EscPressed = true;
    return;
  }
  QMainWindow::keyPressEvent(e);
}

void frmMain::closeEvent(QCloseEvent* e)
{
  // The window stays until the ordered shut-down has run; Main deletes it.
  e->ignore();
  if (!m_closing) {
    m_closing = true;
    emit closeRequested();
  }
}

// ---- the view's windows ----------------------------------------------------------

namespace {

template <class Window>
QWidget* make(Server& s, QWidget* owner)
{
  return new Window(s, owner);
}

} // namespace

bool frmMain::CreateForm(const QString& name)
{
  using Factory = QWidget* (*)(Server&, QWidget*);
  static const QHash<QString, Factory> factories = {
      {"frmWorning", &make<frmWorning>},
      {"frmTest", &make<frmTest>},
      {"frmNetwork", &make<frmNetwork>},
      {"frmParmList", &make<frmParmList>},
      {"frmParmVal", &make<frmParmVal>},
      {"frmPollTime", &make<frmPollTimeDialog>},
      {"frmSystem", &make<frmSystem>},
      {"frmTestLumbra", &make<frmTestLumbra>},
      {"frmViewDeviceParam", &make<frmViewDeviceParam>},
  };
  const Factory create = factories.value(name);
  if (!create)
    return false;
  forms.insert(name, create(m_server, this));
  return true;
}

bool frmMain::DestroyForm(const QString& name)
{
  QPointer<QWidget> w = forms.take(name);
  if (!w)
    return false;
  w->close();
  delete w;
  return true;
}

void frmMain::ShowForm(const QString& name)
{
  if (QWidget* w = forms.value(name)) {
    w->show();
    w->raise();
  }
}

void frmMain::ShowMain()
{
  showNormal();
  raise();
}

void frmMain::MinimiseMain() { showMinimized(); }

void frmMain::RaiseMain()
{
  raise();
  activateWindow();
}

// Closing asks the server to stop (closeEvent); the window itself stays
// until the ordered shut-down has run.
void frmMain::CloseMain() { close(); }

void frmMain::CloseOtherWindows()
{
  // Every other window still loaded goes, shown or hidden (dialogs made on
  // first use, tool windows), last first. Menus and other pop-ups belong to
  // their windows and go with them.
  QList<QPointer<QWidget>> windows;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w != this && w->windowType() != Qt::Popup && w->windowType() != Qt::ToolTip)
      windows << w;
  for (auto it = windows.crbegin(); it != windows.crend(); ++it)
    if (QWidget* w = *it) {
      w->close();
      delete w;
    }
}

void frmMain::StoreWindowSettings() { StoreCurrentWindowSettings(m_server, this); }

// ---- load step ------------------------------------------------------------------

void frmMain::Form_Load()
{
  sError = tesmira::Form_Load(m_server);
  bCancel = !sError.isEmpty();
}

void frmMain::BeginLoad()
{
  Server& s = m_server;
  support::Debug* dbg = s.debug();
  RetrieveStoredWindowSettings(s, this);
  auto* startUp = new frmStartUp(s, this);
  splash = startUp;
  if (s.setting()) {
    const QString top = s.setting()->GetProgramSetting("Images", "Top");
    if (!top.isEmpty()) {
      QPixmap pm(support::Paths::programDir() + '/' + top);
      if (pm.isNull()) {
        if (dbg)
          dbg->LogMsg("Error", support::Debug::FormatError(53, "File not found: " + top, "frmMain",
                                                           "Form_Load", Server::title()));
      } else {
        m_imgTop->setPixmap(pm.height() > 133 ? pm.scaledToHeight(133, Qt::SmoothTransformation) : pm);
        m_imgTop->show();
      }
    }
    startUp->setPicture(s.setting()->GetProgramSetting("Images", "Splash"));
  }
  setWindowTitle(s.ProgramTitle);
  show();
  repaint();
  startUp->show();
  QApplication::processEvents();
}

void frmMain::EndLoad()
{
  if (splash) {
    splash->close();
    delete splash;
  }
}

}
