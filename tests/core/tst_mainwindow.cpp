#include "TestHome.h"

#include "bus/ErrorMessages.h"
#include "core/Server.h"
#include "log/Logger.h"
#include "ui/frmMain.h"
#include "ui/frmWorning.h"

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QtTest>

using namespace tesmira;

class TestMainWindow : public QObject {
  Q_OBJECT

  struct Fixture {
    TestHome home;
    Server s;
    frmMain* w = nullptr;
    explicit Fixture(const std::function<void(Options&)>& opts = {})
    {
      s.createGeneral(".");
      if (opts)
        opts(s.options);
      s.createServices();
      w = new frmMain(s);
    }
    ~Fixture() { delete w; }
  };

private slots:
  void menuCaptions()
  {
    Fixture f;
    const QStringList expected = {
      "&Open log file...", "&Close log file", "&Log errors only", "&Service log ", "E&xit",
      "&Open communication", "&Close communication", "Communication &settings...", "Test Lumbra", "Spee&d test",
      "&Reset errors", "&Echo all info ", "Ec&ho errors", "Echo client &linkpokes", "Check &SORANET configuration",
      "&Configuration", "&View modules/parameters", "Read all &parameters", "&Test SORANET and DDE",
      "&Last node address", "Copy configuration to clip&board", "&Poll time", "S&ettings", "&Simulate", "&Trend",
      "&About", "&Parameter list", "Parameter &value list"};
    QStringList captions;
    for (QAction* top : f.w->menuBar()->actions())
      for (QAction* a : top->menu()->actions())
        if (!a->isSeparator())
          captions << a->text();
    QCOMPARE(captions, expected);
    QStringList tops;
    for (QAction* top : f.w->menuBar()->actions())
      tops << top->text();
    QCOMPARE(tops, QStringList({"&File", "&Communication", "SORANET", "&Server", "&Info"}));
    // Functions the server does not offer yet cannot be switched on.
    for (QAction* a : f.w->menus())
      if (!a->property("available").toBool()) {
        f.w->enableMenu(a->objectName(), true);
        QVERIFY2(!a->isEnabled(), qPrintable(a->objectName()));
      }
    f.w->enableMenu("mnuResetErrors", true);
    QVERIFY(f.w->menu("mnuResetErrors")->isEnabled());
  }

  void comStatus()
  {
    Fixture f;
    f.w->SetComStatus("Idle");
    f.w->SetComStatus("Service log");
    QCOMPARE(f.s.fields.value("Status"), QString("Service log"));
    QCOMPARE(f.s.fields.value("ComStatus"), QString("Idle"));
    QCOMPARE(f.w->panel2(), QString("Idle"));
    for (const QString& state : frmMain::ComStates()) {
      f.w->SetComStatus(state);
      QCOMPARE(f.s.fields.value("ComStatus"), state);
      QCOMPARE(f.w->panel2(), state);
      QCOMPARE(f.w->field("ComStatus")->text(), state);
    }
    f.w->SetComStatus("normal polling"); // states compare exactly
    QCOMPARE(f.s.fields.value("ComStatus"), QString("Communication open"));
  }

  void busyProgressAndTray()
  {
    Fixture f;
    f.w->setWindowTitle("Caption");
    for (int i = 0; i < 50; ++i)
      f.w->ShowBusy("Adding topics to server", 2);
    QCOMPARE(f.w->busyProgress(), 100);
    f.w->ShowBusy("Adding topics to server", 2); // 102 > 100.4 wraps
    QCOMPARE(f.w->busyProgress(), 0);
    f.w->ShowBusy("x", 100.4);
    QCOMPARE(f.w->busyProgress(), 100);
    f.w->ShowBusy("x", 0); // no step: no advance
    QCOMPARE(f.w->busyProgress(), 100);
    QCOMPARE(f.w->panel1(), QString("x"));

    // Tray frames alternate 102/103 with the busy text as tooltip.
    QList<int> resources;
    for (int i = 0; i < 4; ++i) {
      f.w->ShowBusy("Stopping polling process", 15);
      resources << f.w->trayResource();
    }
    QCOMPARE(resources, QList<int>({103, 102, 103, 102}));
    QCOMPARE(f.w->trayToolTip(), QString("Stopping polling process"));
    QVERIFY(!f.w->busyWindow()); // only with /B

    f.w->HideBusy();
    QCOMPARE(f.w->panel1(), QString("Ready"));
    QCOMPARE(f.w->busyProgress(), 0);
    QCOMPARE(f.w->trayResource(), 101);
    QCOMPARE(f.w->trayToolTip(), QString("Caption"));
  }

  void busyWindow()
  {
    {
      Fixture quiet([](Options& o) { o.OptBusyWindow = o.OptQuiet = true; });
      quiet.w->ShowBusy("Reading all parameters", 5);
      QVERIFY(!quiet.w->busyWindow());
    }
    Fixture f([](Options& o) { o.OptBusyWindow = true; });
    f.w->ShowBusy("Reading all parameters", 5);
    frmWorning* b = f.w->busyWindow();
    QVERIFY(b && b->isVisible());
    QCOMPARE(b->lblInfo->text(), QString("Reading all parameters"));
    QCOMPARE(b->pgbProgress->value(), 5);
    QVERIFY(b->tmrBusy.isActive());
    QCOMPARE(b->tmrBusy.interval(), 100);
    QList<int> frames;
    for (int i = 0; i < 9; ++i) {
      frames << b->frame();
      b->tmrBusy_Timer();
    }
    QCOMPARE(frames, QList<int>({7, 6, 5, 4, 3, 2, 1, 0, 7}));
    QVERIFY(!b->imgStart->isVisible());
    QTest::keyClick(b, Qt::Key_Escape);
    QVERIFY(f.s.state.EscPressed);
    b->setReset("1");
    QVERIFY(!b->animating());
    f.w->HideBusy();
    QVERIFY(!b->isVisible());
    QVERIFY(!b->tmrBusy.isActive());
  }

  void escAndResetErrors()
  {
    Fixture f;
    f.w->show();
    QTest::keyClick(f.w, Qt::Key_Escape);
    QVERIFY(f.s.state.EscPressed);

    f.s.log->Write2Console("a line");
    f.s.state.NotReady = false;
    f.s.errors->HandleErrorMessage(25, 0, 0, false, "");
    QCOMPARE(f.s.fields.value("lblError"), QString("1"));
    QCOMPARE(f.w->field("lblError")->text(), QString("1"));
    f.w->menu("mnuResetErrors")->trigger();
    QVERIFY(f.w->txtTerm()->toPlainText().isEmpty());
    QCOMPARE(f.s.fields.value("lblError"), QString("0"));
    QCOMPARE(f.s.errors->ErrorCount, 0L);
  }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
