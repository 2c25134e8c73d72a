// The main window on a server built as the program builds it: the texts of
// every window with the exact menu captions, which items are offered in each state of the server, the
// communication states, the busy display, Esc, Reset errors and the
// windows the shut-down unloads.
#include "ServerRig.h"

#include "bus/ErrorMessages.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"
#include "operator/ServiceLog.h"
#include "operator/Simulation.h"
#include "ui/frmTestLumbra.h"
#include "ui/frmWorning.h"

#include "Debug.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QAbstractButton>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
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

// Every text a window shows before it holds data: titles, labels, buttons,
// group titles, menus and their items, list choices, column headings and tips, one line each as
// "window/object kind: text". Widgets without a name are numbered by kind.
QStringList windowTexts(QWidget* top, const QString& window, const QList<QWidget*>& others = {})
{
  QStringList out;
  QHash<QString, int> unnamed;
  const auto add = [&](QObject* o, const char* kind, const QString& text) {
    if (!text.trimmed().isEmpty())
      out << QString("%1/%2 %3: %4").arg(window, o->objectName(), kind, QString(text).replace('\n', "\\n"));
  };
  add(top, "title", top->windowTitle());
  for (QWidget* c : top->findChildren<QWidget*>()) {
    QWidget* up = c;
    while (up && up != top && !others.contains(up))
      up = up->parentWidget();
    if (up != top)
      continue; // another window's, listed under its own name
    if (c->objectName().isEmpty() || c->objectName().startsWith("qt_"))
      c->setObjectName(QString("%1#%2").arg(c->metaObject()->className()).arg(unnamed[c->metaObject()->className()]++));
    if (auto* l = qobject_cast<QLabel*>(c))
      add(c, "label", l->text());
    else if (auto* b = qobject_cast<QAbstractButton*>(c))
      add(c, "button", b->text());
    else if (auto* g = qobject_cast<QGroupBox*>(c))
      add(c, "group", g->title());
    else if (auto* e = qobject_cast<QLineEdit*>(c))
      add(c, "hint", e->placeholderText());
    if (auto* box = qobject_cast<QComboBox*>(c); box && box->objectName() != "cboInterface")
      for (int i = 0; i < box->count(); ++i)
        add(c, "choice", box->itemText(i));
    if (auto* m = qobject_cast<QMenu*>(c)) {
      add(c, "menu", m->title());
      for (QAction* a : m->actions())
        add(c, "item", a->text());
    }
    if (auto* t = qobject_cast<QTabWidget*>(c))
      for (int i = 0; i < t->count(); ++i)
        add(c, "tab", t->tabText(i));
    if (auto* v = qobject_cast<QTableWidget*>(c))
      for (int i = 0; i < v->columnCount(); ++i)
        add(c, "column", v->horizontalHeaderItem(i) ? v->horizontalHeaderItem(i)->text() : QString());
    if (auto* v = qobject_cast<QTreeWidget*>(c))
      for (int i = 0; i < v->columnCount(); ++i)
        add(c, "column", v->headerItem()->text(i));
    add(c, "tip", c->toolTip());
  }
  return out;
}

}

class TestMainWindow : public QObject {
  Q_OBJECT
private slots:
  // The texts of every window, as shipped (tests/core/window-texts.txt; set
  // TESMIRA_WRITE_TEXTS=1 to write that file anew after a deliberate change,
  // and read its diff before committing it).
  void windowTextsAsShipped()
  {
    serverrig::Rig r;
    QCOMPARE(r.load("[Communication]\nInterfaceName=SIM\n"), QString());
    for (const char* menu : {"mnuComSettings", "mnuTrend"})
      r.main()->menu(menu)->trigger();
    QStringList names = r.main()->forms.keys();
    names.sort();
    QList<QWidget*> forms;
    for (const QString& name : names)
      forms << r.main()->forms.value(name);
    QStringList shown = windowTexts(r.main(), "frmMain", forms);
    for (const QString& name : names)
      shown += windowTexts(r.main()->forms.value(name), name);
    QFile golden(qEnvironmentVariable("TESMIRA_SOURCE_DIR") + "/tests/core/window-texts.txt");
    if (qEnvironmentVariableIsSet("TESMIRA_WRITE_TEXTS")) {
      QVERIFY(golden.open(QIODevice::WriteOnly));
      golden.write((shown.join('\n') + '\n').toUtf8());
      golden.close();
    }
    QVERIFY2(golden.open(QIODevice::ReadOnly), qPrintable(golden.fileName()));
    const QStringList shipped = QString::fromUtf8(golden.readAll()).split('\n', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < std::max(shown.size(), shipped.size()); ++i)
      QCOMPARE(shown.value(i), shipped.value(i));
  }

  // The items offered in each state the operator can bring the server to
  // (every item not listed is enabled), and the communication state shown.
  // (The exact captions: windowTextsAsShipped.)
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
    QCOMPARE(r.s->debug()->liveClasses().count("frmWorning"), 1);
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
    QCOMPARE(r.s->debug()->liveClasses().count("frmWorning"), 0);
    delete w;
  }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
