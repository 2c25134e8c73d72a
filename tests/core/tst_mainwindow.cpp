// The main window on a server built as the program builds it: the texts of
// every window with the exact menu captions, which items are offered in each state of the server, the
// communication states, the busy display, Esc, Reset errors and the
// windows the shut-down unloads.
#include "ServerRig.h"
#include "WindowDump.h"

#include "bus/ErrorMessages.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"
#include "operator/ServiceLog.h"
#include "operator/Simulation.h"
#include "ui/frmConfigScrn.h"
#include "ui/frmNetwork.h"
#include "ui/frmParmList.h"
#include "ui/frmTest.h"
#include "ui/frmTestLumbra.h"
#include "ui/frmTrend.h"
#include "ui/frmViewDeviceParam.h"
#include "ui/frmWorning.h"

#include "Debug.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QAbstractButton>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace tesmira;

namespace {

// Runs onFile when a file is asked for: the moment a service log is being
// written.
class FileWatch : public support::ScriptedPrompt {
public:
  std::function<void()> onFile;

protected:
  bool askFile(const QString& title, const QString& filter, const QString& start, QString& path,
               const QString& headless) override
  {
    if (onFile)
      onFile();
    return ScriptedPrompt::askFile(title, filter, start, path, headless);
  }
};

// A window's dump with what changes from run to run (clock times, dates,
// the test's own folders) replaced by fixed words.
QStringList shown(QWidget* w, const serverrig::Rig& r)
{
  static const QRegularExpression time("\\d\\d:\\d\\d:\\d\\d(\\.\\d+)?"),
      date("\\d{4}-\\d\\d-\\d\\d|\\d\\d[-/]\\d\\d[-/]\\d{4}");
  return windowdump::dump(w, [&](QString l) {
    static const QRegularExpression replies("(lblAmount [^\"]*)\"\\d+\"");
    return l.replace(r.home.path(), "<home>").replace(replies, "\\1<replies>").replace(time, "<time>").replace(date, "<date>");
  });
}

}

class TestMainWindow : public QObject {
  Q_OBJECT
private slots:
  // Every window as loaded, and the windows an operator opens while the
  // server polls, as shipped (tests/core/windows/*.txt; set
  // TESMIRA_WRITE_TEXTS=1 to write them anew after a deliberate change, and
  // read their diff before committing them).
  void windowsAsShown()
  {
    // The default bus, its flows following their setpoints at once.
    serverrig::Rig r;
    r.scenario = soranetsim::Bus::defaultScenario();
    r.scenario["timeConstantMs"] = r.scenario["changeDelayMs"] = 0;
    QCOMPARE(r.load("[Communication]\nInterfaceName=COM9\nBaudrate=38400\n"), QString());
    QVERIFY2(r.startBus(), qPrintable(r.failure));
    for (const char* menu : {"mnuComSettings", "mnuTrend"})
      r.main()->menu(menu)->trigger();
    QStringList names = r.main()->forms.keys();
    names.sort();
    // The serial ports are the machine's own.
    QListWidget* ports = r.form<frmConfigScrn>("frmConfigScrn")->lvwInterfaces;
    for (QListWidgetItem* port : ports->findItems("RS232: ", Qt::MatchStartsWith))
      delete port;
    // The windows and the questions asked since the last state, against the
    // state's reviewed copy: empty when they agree.
    const auto check = [&](const QString& state, const QStringList& windows) {
      QStringList all = shown(r.main(), r);
      for (const QString& name : windows)
        all += shown(r.main()->forms.value(name), r);
      for (const auto& q : std::as_const(r.prompt.asked))
        all << QStringLiteral("asked %1 %2 \"%3\": %4").arg(int(q.icon)).arg(int(q.buttons)).arg(q.title, windowdump::oneLine(q.text));
      r.prompt.asked.clear();
      return shipped::differs(all, "tests/core/windows/" + state + ".txt");
    };
    QString diff;
    QVERIFY2((diff = check("loaded", names)).isEmpty(), qPrintable(diff));
    // Polling the virtual bus, with the windows of the bus opened.
    // The settings dialog shows every option at the value in force, here
    // each the other way round.
    const Configuration inForce = r.s->cfg;
    for (bool Configuration::*option :
         {&Configuration::PollParametersOnInit, &Configuration::IndirectPolling, &Configuration::SuppressCompatibilityErrors,
          &Configuration::HideAdvancedParameters, &Configuration::TrimTrailingSpaces, &Configuration::TrimCRLF,
          &Configuration::RemoveUnavailableParameters, &Configuration::PollUnavailableParameters,
          &Configuration::IgnoreDatabaseMinMax, &Configuration::ChangeMmTimer,
          &Configuration::AllowRemoveUnavailableParameters, &Configuration::AllowPollUnavailableParameters})
      r.s->cfg.*option = !(r.s->cfg.*option);
    r.s->cfg.LogFormat = 5;
    r.s->cfg.RetryNetworkAccess = 3;
    for (const char* menu : {"mnuOpenCom", "mnuConfiguration", "mnuShowDevice", "mnuTest", "mnuSettings", "mnuPollTime"})
      r.main()->menu(menu)->trigger();
    QCOMPARE(r.s->fields.value("ComStatus"), QString("Normal polling"));
    diff = check("polling", {"frmNetwork", "frmTest", "frmViewDeviceParam", "frmSystem", "frmPollTime"});
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    for (const char* dialog : {"frmSystem", "frmPollTime"})
      r.main()->forms.value(dialog)->findChild<QPushButton*>("cmdCancel")->click();
    r.s->cfg = inForce;
    // The controller picked in the module list; a second row of each frame
    // of the test window on its setpoint, written through the bus and read
    // through the link; the lists of one device type and of value meanings.
    auto* net = r.form<frmNetwork>("frmNetwork");
    net->outFlowDevices->setCurrentItem(net->outFlowDevices->findItems("Ch: 3,", Qt::MatchStartsWith)[0]);
    auto* test = r.form<frmTest>("frmTest");
    test->cmdPlusFB->click();
    test->cmdPlusDDE->click();
    for (frmTest::Row* row : {&test->rowsFB[1], &test->rowsDDE[1]}) {
      row->cboChannel->setCurrentIndex(row->cboChannel->findText("Ch: 3,", Qt::MatchStartsWith));
      row->cboParameter->setCurrentIndex(row->cboParameter->findText("9: ", Qt::MatchStartsWith));
    }
    test->rowsFB[1].cmdRead->click();
    test->rowsFB[1].txtWrite->setText("16000");
    test->rowsFB[1].cmdWrite->click(); // last on the bus: the busy mark goes after it too
    QTRY_COMPARE((test->rowsDDE[1].cmdRead->click(), test->rowsDDE[1].txtRead->text()), QString("16000"));
    QTRY_COMPARE(net->txtMeasure->text(), QString("50.0"));
    r.form<frmParmList>("frmParmList")->Show(4);
    r.main()->menu("mnuParValueList")->trigger();
    r.main()->menu("mnuAbout")->trigger();
    net->cmdNew->click(); // no module waits to be installed
    net->cmdTrend->click();
    auto* trend = r.form<frmTrend>("frmTrend");
    trend->cboItem->setCurrentIndex(trend->cboItem->findData("P(0)")); // an item of another kind: its name, no unit
    trend->cmdAdd->click();
    // The database viewer: parameters searched for, found and not.
    auto* viewer = r.form<frmViewDeviceParam>("frmViewDeviceParam");
    for (const char* wanted : {"x", "999", "9"}) {
      viewer->txtSearch->setText(wanted);
      viewer->cmdSearch->click();
    }
    diff = check("operated", {"frmNetwork", "frmTest", "frmParmList", "frmParmVal", "frmTrend", "frmViewDeviceParam"});
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    net->cmdClose->click();
    QVERIFY(!net->isVisible());
    // The raw test on the closed line: a node out of range is refused.
    r.main()->menu("mnuClose")->trigger();
    r.main()->menu("mnuTestLumbra")->trigger();
    auto* raw = r.form<frmTestLumbra>("frmTestLumbra");
    raw->txtNode->setText("256");
    QCOMPARE(raw->cmdRead_Click(), QString("Node must be numeric (0-255)."));
    // The whole parameter list with the service columns.
    r.s->options.ServiceColumns = true;
    r.main()->menu("mnuParList")->trigger();
    QVERIFY2((diff = check("raw-test", {"frmTestLumbra", "frmParmList"})).isEmpty(), qPrintable(diff));
  }

  // The items offered in each state the operator can bring the server to
  // (every item not listed is enabled), and the communication state shown.
  // (The exact captions: windowsAsShown.)
  void menus()
  {
    serverrig::Rig r;
    QCOMPARE(r.load("[Communication]\nInterfaceName=SIM\n"), QString());
    FileWatch watch;
    support::setPrompt(&watch);
    watch.files = {r.home.file("a.log"), ""}; // a log file, then the service log's file cancelled
    // The items whose state (enabled, checked) is as wanted, sorted.
    const auto items = [&r](bool (QAction::*state)() const, bool wanted) {
      QStringList out;
      for (QAction* a : r.main()->menus())
        if ((a->*state)() == wanted)
          out << a->objectName();
      out.sort();
      return out;
    };
    const auto disabled = [&] { return items(&QAction::isEnabled, false); };
    QStringList seen; // the disabled items when a file is asked for
    watch.onFile = [&] { seen = disabled(); };
    const auto edit = [](QStringList l, const QStringList& add, const QStringList& remove) {
      for (const QString& n : remove)
        l.removeAll(n);
      return l + add;
    };
    auto* raw = r.form<frmTestLumbra>("frmTestLumbra");
    const QStringList closed = {"mnuCloseLog", "mnuServiceLog", "mnuClose", "mnuComSpeedTest", "mnuCheckConfig",
                                "mnuShowDevice", "mnuReadAllParameters", "mnuTest", "mnuClipboard"};
    const QStringList busOwned = {"mnuOpenCom", "mnuTestLumbra", "mnuSimulate", "mnuComSettings"};
    const QStringList polling = busOwned + QStringList{"mnuCloseLog"};
    const auto checked = [&] { return items(&QAction::isChecked, true).join(' '); };
    QString overview; // the system overview while polling
    // Steps: menu items chosen, "read"/"close" the raw test's buttons,
    // "echoall"/"simulate" the switches called as a command or /S does,
    // "overview" the overview kept to compare with the one copied
    // (the check marks then follow the server, not the click); the items
    // then disabled, the communication state and the checked items.
    const struct {
      const char* steps;
      QStringList off;
      const char* comStatus;
      const char* checked;
    } rows[] = {{"", closed, "Idle", ""},
                {"mnuEchoAll mnuOpenLog",
                 edit(closed, {"mnuOpenLog", "mnuEchoErr", "mnuEchoLinkPokes"}, {"mnuCloseLog"}), "Idle", "mnuEchoAll"},
                {"echoall mnuCloseLog", closed, "Idle", ""},
                {"mnuSimulate", edit(closed, {"mnuComSettings", "mnuLNA", "mnuOpenCom"}, {"mnuTest"}), "Simulation",
                 "mnuSimulate"},
                {"simulate", closed + QStringList{"mnuConfiguration"}, "Idle", ""},
                {"mnuOpenCom mnuClipboard overview", polling, "Normal polling", ""},
                {"mnuServiceLog", polling + QStringList{"mnuServiceLog"}, "Normal polling", ""}, // while it runs
                {"mnuClose", closed, "Idle", ""},
                {"mnuTestLumbra read", closed + busOwned, "Communication open", ""},
                {"close", closed, "Idle", ""}};
    for (const auto& row : rows) {
      for (const QString& step : QString(row.steps).split(' ', Qt::SkipEmptyParts))
        step == "read"       ? void(raw->cmdRead_Click())
        : step == "close"    ? raw->cmdClose_Click()
        : step == "echoall"  ? r.s->log->mnuEchoAll_Click()
        : step == "simulate" ? r.s->simulation->mnuSimulate_Click()
        : step == "overview" ? void(overview = SystemOverviewText(*r.s, QDateTime::currentDateTime()))
                             : r.main()->menu(step)->trigger();
      // A stopped scheduler reports "Idle" at its watchdog's next tick.
      QTRY_VERIFY_WITH_TIMEOUT(!r.s->poll->stopRequested() || !r.s->poll->tmrWatchdog().isActive(), 10000);
      QStringList off = row.off;
      off.sort();
      QCOMPARE(QByteArray(row.steps) == "mnuServiceLog" ? seen : disabled(), off);
      QVERIFY2(r.s->fields.value("ComStatus") == QLatin1String(row.comStatus), row.steps);
      QVERIFY2(checked() == QLatin1String(row.checked), qPrintable(QString(row.steps) + ": " + checked()));
    }
    // The overview copied while polling (its date line aside).
    QCOMPARE(QGuiApplication::clipboard()->text().section("\r\n", 2), overview.section("\r\n", 2));
    QVERIFY(overview.contains("FC0000004"));
    QVERIFY(r.main()->txtTerm()->toPlainText().contains("System configuration overview copied to clipboard"));
  }

  void statusBusyAndShutDown()
  {
    serverrig::Rig r;
    QCOMPARE(r.load({}, {}, [](Options& o) { o.OptBusyWindow = true; }), QString());
    frmMain* w = r.main();
    // The debug log's register of live objects, in the order they were made.
    QCOMPARE(r.s->debug()->liveClasses(),
             QStringList({"Logger", "frmNetwork", "frmParmList", "frmParmVal", "frmPollTime", "fPollTime", "frmSystem",
                          "frmTest", "frmTestLumbra", "frmViewDeviceParam", "frmWorning", "clsComSoraDLL"}));
    // An activity text changes Status only; states compare exactly.
    for (const char* text : {"Service log", "normal polling"})
      w->SetComStatus(text);
    QCOMPARE(QStringList({r.s->fields.value("Status"), r.s->fields.value("ComStatus"), w->panel2()}),
             QStringList({"normal polling", "Idle", "Idle"}));

    // 51 steps of 2: 100, then 102 is above 100.4 and wraps to 0.
    for (int i = 0; i < 50; ++i)
      w->ShowBusy("Adding topics to server", 2);
    frmWorning* b = w->busyWindow();
    QVERIFY(b->isVisible() && b->tmrBusy.isActive());
    QCOMPARE(b->pgbProgress->value(), 100);
    QCOMPARE(b->lblInfo->text(), QString("Adding topics to server"));
    w->ShowBusy("Adding topics to server", 2);
    QCOMPARE(w->busyProgress(), 0);
    w->ShowBusy("x", 100.4);
    w->ShowBusy("x", 0);
    // The busy text in the first panel and as the tray's tooltip.
    QCOMPARE(std::tuple(w->busyProgress(), w->panel1(), w->trayToolTip()), std::tuple(100, QString("x"), QString("x")));
    for (QWidget* target : {static_cast<QWidget*>(b), static_cast<QWidget*>(w)}) {
      r.s->state.EscPressed = false;
      QTest::keyClick(target, Qt::Key_Escape);
      QVERIFY(r.s->state.EscPressed);
    }
    w->HideBusy();
    QCOMPARE(std::tuple(w->busyProgress(), w->panel1(), w->trayToolTip()),
             std::tuple(0, QString("Ready"), w->windowTitle()));
    QVERIFY(!b->isVisible() && !b->tmrBusy.isActive());
    r.s->options.OptQuiet = true; // /Q keeps the busy window away
    w->ShowBusy("Reading all parameters", 5);
    QVERIFY(!b->isVisible());

    r.s->state.NotReady = false;
    r.s->errors->HandleErrorMessage(25, 0, 0, false, "");
    QCOMPARE(w->field("lblError")->text(), QString("1"));
    w->menu("mnuResetErrors")->trigger();
    QVERIFY(w->txtTerm()->toPlainText().isEmpty());
    QCOMPARE(std::tuple(w->field("lblError")->text(), r.s->errors->ErrorCount), std::tuple(QString("0"), 0L));

    // Shut-down unloads every window, hidden ones too.
    w->menu("mnuComSettings")->trigger();
    w->forms.value("frmConfigScrn")->hide();
    UnloadMain(*r.s);
    for (QWidget* left : QApplication::topLevelWidgets())
      QVERIFY2(left == w || left->windowType() == Qt::Popup, qPrintable(left->objectName()));
    QCOMPARE(r.s->debug()->liveClasses(), QStringList({"Logger", "fPollTime"}));
    delete w;
  }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
