// The settings dialogs, the raw protocol test and the database views, driven
// as an operator would: a server built as the program builds it (settings
// files, database file, main window with its secondary windows), the
// in-process virtual bus or soranet-sim on a pseudo-terminal, scripted
// answers to message boxes.
#include "RowCompare.h"
#include "ServerRig.h"
#include "Shipped.h"

#include "bus/Communication.h"
#include "ui/frmConfigScrn.h"
#include "ui/frmParmVal.h"
#include "ui/frmPollTimeDialog.h"
#include "ui/frmSystem.h"
#include "ui/frmTestLumbra.h"
#include "ui/frmViewDeviceParam.h"

#include "ui/GuiPrompt.h"
#include "Timer.h"
#include "transports.h"

#include <QAction>
#include <QCheckBox>
#include <QToolButton>
#include <QComboBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QTableWidget>
#include <QtTest>

using namespace tesmira;
using support::Prompt;

namespace {

// The whole program on settings files written by the test.
struct Rig : serverrig::Rig {
  frmMain* w = nullptr;
  QString error; // why the program did not load; each test checks it first
  explicit Rig(const QByteArray& common = {}, const QByteArray& program = {})
  {
    error = load(common, program);
    w = error.isEmpty() ? main() : nullptr;
  }
  QVariant commport(const QString& column) const
  {
    QSqlQuery q(s->db->TheDatabase);
    return q.exec("SELECT " + column + " FROM Commport") && q.next() ? q.value(0) : QVariant();
  }
  QString common(const QString& key) const { return QSettings(home.file("common.ini"), QSettings::IniFormat).value(key).toString(); }
  // The communication settings dialog, opened from its menu.
  frmConfigScrn* configScreen()
  {
    w->menu("mnuComSettings")->trigger();
    return form<frmConfigScrn>("frmConfigScrn");
  }
};

// A Rig named r loaded from the settings given; the test fails when the
// program did not load.
#define RIG(r, ...) \
  Rig r{__VA_ARGS__}; \
  QVERIFY2(r.error.isEmpty(), qPrintable(r.error))

void type(QLineEdit* field, const QString& text)
{
  field->clear();
  QTest::keyClicks(field, text);
}

}

class TestDialogs : public QObject {
  Q_OBJECT
private slots:
  void initTestCase() { qputenv("TESMIRA_SIM_PACING", "0"); }

  // The windowed questions an operator answers: the message box shows the
  // text (CR LF as line breaks), title, icon and buttons asked for and gives
  // the answer of the button pressed; the text and file questions give what
  // was typed or picked, and nothing when cancelled.
  void windowedQuestions()
  {
    support::GuiPrompt gui;
    QMessageBox* shown = nullptr;
    QString seen;
    QTimer answer;
    std::function<void(QWidget*)> press;
    // The open dialog is answered at every tick until the question returns
    // (an answer given while the dialog is still settling is given again).
    connect(&answer, &QTimer::timeout, this, [&] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->isModal() && qobject_cast<QDialog*>(w)) {
          seen = w->windowTitle();
          shown = qobject_cast<QMessageBox*>(w);
          if (shown)
            seen += '|' + shown->text() + '|' + QString::number(shown->icon()) + '|' +
                    QString::number(shown->standardButtons());
          press(w);
          return;
        }
    });
    const auto answering = [&](const std::function<bool()>& question) {
      answer.start(20);
      const bool result = question();
      answer.stop();
      return result;
    };
    const auto ask = [&](Prompt::Buttons b, Prompt::Icon icon, QMessageBox::StandardButton button) {
      press = [button](QWidget* w) { qobject_cast<QMessageBox*>(w)->button(button)->click(); };
      Prompt::Answer a = Prompt::AnswerOk;
      answering([&] { return (a = gui.MsgBox("Line one\r\nline two", b, icon, "Question title")), true; });
      return a;
    };
    using B = QMessageBox;
    const struct {
      const char* row;
      Prompt::Buttons buttons;
      Prompt::Icon icon;
      B::StandardButton press;
      Prompt::Answer answer;
      int qtIcon;
      B::StandardButtons offered;
    } rows[] = {
        {"ok", Prompt::Ok, Prompt::Critical, B::Ok, Prompt::AnswerOk, B::Critical, B::Ok},
        {"ok cancel", Prompt::OkCancel, Prompt::Question, B::Cancel, Prompt::AnswerCancel, B::Question, B::Ok | B::Cancel},
        {"yes no", Prompt::YesNo, Prompt::Exclamation, B::No, Prompt::AnswerNo, B::Warning, B::Yes | B::No},
        {"yes no cancel", Prompt::YesNoCancel, Prompt::Information, B::Yes, Prompt::AnswerYes, B::Information, B::Yes | B::No | B::Cancel},
        {"retry cancel", Prompt::RetryCancel, Prompt::NoIcon, B::Retry, Prompt::AnswerRetry, B::NoIcon, B::Retry | B::Cancel},
        {"abort", Prompt::AbortRetryIgnore, Prompt::NoIcon, B::Abort, Prompt::AnswerAbort, B::NoIcon, B::Abort | B::Retry | B::Ignore},
        {"ignore", Prompt::AbortRetryIgnore, Prompt::NoIcon, B::Ignore, Prompt::AnswerIgnore, B::NoIcon, B::Abort | B::Retry | B::Ignore}};
    // Without an operator: the answer that lets the server go on serving.
    QList<Prompt::Answer> policy;
    for (Prompt::Buttons b : {Prompt::Ok, Prompt::OkCancel, Prompt::YesNo, Prompt::YesNoCancel, Prompt::RetryCancel,
                              Prompt::AbortRetryIgnore})
      policy << Prompt::headlessAnswer(b);
    QCOMPARE(policy, QList({Prompt::AnswerOk, Prompt::AnswerOk, Prompt::AnswerYes, Prompt::AnswerYes,
                            Prompt::AnswerCancel, Prompt::AnswerIgnore}));
    for (const auto& r : rows) {
      ROW_COMPARE(r.row, ask(r.buttons, r.icon, r.press), r.answer);
      ROW_COMPARE(r.row, seen, QString("Question title|Line one\nline two|%1|%2").arg(r.qtIcon).arg(int(r.offered)));
    }

    QString value = "kept";
    press = [](QWidget* w) { qobject_cast<QInputDialog*>(w)->setTextValue("typed"); qobject_cast<QInputDialog*>(w)->accept(); };
    QVERIFY(answering([&] { return gui.InputBox("Name:", "Text title", "default", value); }));
    QCOMPARE(value, QString("typed"));
    press = [](QWidget* w) { qobject_cast<QDialog*>(w)->reject(); };
    QVERIFY(!answering([&] { return gui.InputBox("Name:", "Text title", "default", value); }));
    QCOMPARE(value, QString("typed"));

    // The file question offers the filters' texts under its title; closed
    // without a choice it gives nothing.
    QStringList filters;
    press = [&](QWidget* w) {
      filters = qobject_cast<QFileDialog*>(w)->nameFilters();
      qobject_cast<QDialog*>(w)->reject();
    };
    QVERIFY(!answering([&] {
      return gui.FileDialog("File title", "Log files (*.log)|*.log|All files (*.*)|*.*", QDir::tempPath(), value);
    }));
    QCOMPARE(value, QString("typed"));
    QCOMPARE(filters, QStringList({"Log files (*.log)", "All files (*.*)"}));
    QCOMPARE(seen, QString("File title"));
  }

  // Loaded values the dialog does not offer select its defaults; without
  // its program option the automatic rate is neither offered nor kept. A
  // stored interface the list does not hold (an unplugged adapter) is shown
  // first and survives OK, even after the list had the focus.
  void communicationSettingsRules()
  {
    RIG(r, "[Communication]\nInterfaceName=/dev/pts/99\nBaudrate=1200\nArbitration=5\nAutoIncreaseBaudrate=True\n");
    frmConfigScrn* d = r.configScreen();
    QVERIFY(d && d->isVisible());
    QVERIFY(d->optBaudrate[3]->isChecked() && d->optArbitration[3]->isChecked());
    QVERIFY(!d->chkAutoIncrease->isVisibleTo(d));
    QVERIFY(d->lvwInterfaces->count() > 1);
    QCOMPARE(d->lvwInterfaces->item(0)->text(), QString("/dev/pts/99 (not present)"));
    QFocusEvent focus(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(d->lvwInterfaces, &focus);
    d->cmdOK->click();
    QCOMPARE(QStringList({r.common("Communication/InterfaceName"), r.commport("InterfaceName").toString(),
                          r.common("Communication/Baudrate"), r.common("Communication/Arbitration"),
                          r.common("Communication/AutoIncreaseBaudrate"), r.commport("Shake").toString()}),
             QStringList({"/dev/pts/99", "/dev/pts/99", "38400", "67", "False", "67"}));
    // Another rate and arbitration, both chainings turned over: each reaches
    // its own key and column.
    d = r.configScreen();
    d->optBaudrate[1]->click();
    d->optArbitration[0]->click();
    const bool process = !d->chkProcChain->isChecked(), parameter = !d->chkParChain->isChecked();
    d->chkProcChain->click();
    d->chkParChain->click();
    d->cmdOK->click();
    const auto yes = [](bool b) { return QString(b ? "True" : "False"); };
    QCOMPARE(QStringList({r.common("Communication/Baudrate"), r.common("Communication/Arbitration"),
                          r.common("Communication/ChainProcess"), r.common("Communication/ChainParameter"),
                          r.commport("Baud").toString(), r.commport("Shake").toString(),
                          r.commport("ProcChain").toString(), r.commport("ParChain").toString()}),
             QStringList({"9600", "1", yes(process), yes(parameter), "9600", "1", QString::number(process),
                          QString::number(parameter)}));
    QCOMPARE(std::tuple(r.s->cfg.Baudrate, int(r.s->cfg.Arbitration), r.s->cfg.ChainProcess, r.s->cfg.ChainParameter),
             std::tuple(9600, 1, process, parameter));
  }

  // The port list of a machine with one USB adapter, one real and one empty
  // built-in port, and a device server; every name opens what it says.
  void portList()
  {
    TestHome home;
    QDir dev(home.file("dev"));
    for (const char* d : {"dev/serial/by-id", "sys/ttyS0", "sys/ttyS1"})
      QDir(home.path()).mkpath(d);
    for (const char* f : {"dev/ttyUSB0", "dev/ttyS0", "dev/ttyS1", "dev/ttyS10", "sys/ttyS0/type", "sys/ttyS1/type"}) {
      QFile file(home.file(f));
      file.open(QIODevice::WriteOnly);
      file.write(QByteArray(f).endsWith("S0/type") ? "4\n" : "0\n");
    }
    QFile::link("../../ttyUSB0", dev.filePath("serial/by-id/usb-Maker_Adapter_A1-if00-port0"));
    const QStringList entries = sora32::portEntries({"tcp:10.0.0.5:4001"}, dev.path(), home.file("sys"));
    const QString byId = dev.filePath("serial/by-id/usb-Maker_Adapter_A1-if00-port0");
    QCOMPARE(entries, QStringList({"RS232: " + byId, "RS232: " + dev.filePath("ttyUSB0"),
                                   "RS232: " + dev.filePath("ttyS0"), "Network: tcp:10.0.0.5:4001", "Virtual: SIM"}));
    QStringList names;
    for (const QString& e : entries)
      names << PortNameOfEntry(InterfaceEntryText(e.toStdString()));
    QCOMPARE(names, QStringList({byId, dev.filePath("ttyUSB0"), dev.filePath("ttyS0"), "tcp:10.0.0.5:4001", "SIM"}));
  }

  // A port chosen in the dialog is what the next opening uses: soranet-sim
  // on a pseudo-terminal behind COM7, chosen, opened and scanned.
  void chosenPortOpensAndScans()
  {
    RIG(r, {}, "[Communication]\nDeviceServers=tcp:127.0.0.1:4001, COM3 rfc2217:127.0.0.1:4002\n");
    QVERIFY2(r.startBus(), qPrintable(r.failure));
    const QString pty = r.pty;
    qputenv("TESMIRA_COM7", pty.toLocal8Bit());
    frmConfigScrn* d = r.configScreen();
    qunsetenv("TESMIRA_COM7");
    QCOMPARE(r.prompt.asked.size(), 1); // COM3 is no device server
    QVERIFY(r.prompt.asked[0].text.endsWith("rfc2217:host:port names: COM3"));
    for (const char* server : {"Network: tcp:127.0.0.1:4001", "Network: rfc2217:127.0.0.1:4002"})
      QCOMPARE(d->lvwInterfaces->findItems(server, Qt::MatchExactly).size(), 1);
    const auto com7 = d->lvwInterfaces->findItems("RS232: COM7", Qt::MatchExactly);
    QCOMPARE(com7.size(), 1);
    d->lvwInterfaces->setCurrentItem(com7[0]);
    d->optBaudrate[7]->click();
    d->cmdOK->click();
    QCOMPARE(QStringList({r.common("Communication/InterfaceName"), r.commport("InterfaceName").toString(),
                          r.commport("Baud").toString(), r.s->fields.value("lblCommPort")}),
             QStringList({"COM7", "COM7", "460800", "COM7  460800,n,8,1,-"}));
    qputenv("TESMIRA_COM7", pty.toLocal8Bit());
    r.w->menu("mnuOpenCom")->trigger();
    qunsetenv("TESMIRA_COM7");
    QCOMPARE(r.s->fields.value("ComStatus"), QString("Normal polling"));
    QCOMPARE(r.s->fields.value("MaxChan"), QString("8"));
  }

  void systemSettingsReachStoreAndServer()
  {
    RIG(r, "[Settings]\nLogFormat=5\nAllowPollUnavailableParameters=False\nIndirectPolling=False\n");
    r.w->menu("mnuSettings")->trigger();
    frmSystem* d = r.form<frmSystem>("frmSystem");
    QVERIFY(d->isVisible());
    QVERIFY(d->chkLogDate->isChecked() && !d->chkLogTime->isChecked() && d->chkLogMsec->isChecked());
    QVERIFY(!d->chkPollUnavailParams->isEnabled());
    for (const auto& [typed, shown] : {std::pair{"x", "x"}, std::pair{"12", "9"}}) {
      type(d->txtNrOfRetries, typed);
      QCOMPARE(d->txtNrOfRetries->text(), QString(shown));
    }
    d->chkIndirectPoll->click();
    d->chkLogTime->click();
    d->cmdOK->click();
    QVERIFY(!d->isVisible());
    QCOMPARE(std::tuple(r.s->cfg.RetryNetworkAccess, r.s->cfg.IndirectPolling, r.s->cfg.LogFormat),
             std::tuple(int16_t(9), true, 7));
    QCOMPARE(QStringList({r.common("Settings/RetryNetworkAccess"), r.common("Settings/IndirectPolling"),
                          r.commport("Retrynr").toString(), r.commport("IndirPollDisable").toString()}),
             QStringList({"9", "True", "9", "0"}));
    // Cancel keeps what is in force; C(0) command -7 shows the dialog again.
    r.s->dde->Rcvd_dde_Cmnd(0, "-7");
    QVERIFY(d->isVisible());
    d->chkIndirectPoll->click();
    d->cmdCancel->click();
    QVERIFY(r.s->cfg.IndirectPolling);

    // Every box turned over and the retries stepped down: each key stores
    // its own box, in the settings file and in the Commport row.
    r.s->dde->Rcvd_dde_Cmnd(0, "-7");
    const QList<QPair<QCheckBox*, const char*>> boxes = {
        {d->chkPollOnInit, "PollParametersOnInit"}, {d->chkIndirectPoll, "IndirectPolling"},
        {d->chkSuppressCompatErrors, "SuppressCompatibilityErrors"},
        {d->chkHideAdvancedParameters, "HideAdvancedParameters"}, {d->chkTrimTrailingSpaces, "TrimTrailingSpaces"},
        {d->chkTrimCRLF, "TrimCRLF"}, {d->chkRemoveUnavailParams, "RemoveUnavailableParameters"},
        {d->chkIgnoreDBrestrictions, "IgnoreDatabaseMinMax"}, {d->chkChangeMmTimer, "ChangeMmTimer"}};
    QStringList expected, stored;
    for (const auto& [box, key] : boxes) {
      box->click();
      expected << QString(key) + (box->isChecked() ? "=True" : "=False");
    }
    d->updNrOfRetriesDown->click();
    d->cmdOK->click();
    for (const auto& [box, key] : boxes)
      stored << QString(key) + '=' + r.common(QString("Settings/") + key);
    QCOMPARE(stored, expected);
    QCOMPARE(r.common("Settings/RetryNetworkAccess"), QString("8"));
    const auto on = [&](int i) { return QString::number(int(boxes[i].first->isChecked())); };
    QCOMPARE(QStringList({r.commport("Retrynr").toString(), r.commport("ParScan").toString(),
                          r.commport("TrimTrailingSpaces").toString(), r.commport("TrimCRLF").toString(),
                          r.commport("SuppressCompatErrors").toString(), r.commport("IndirPollDisable").toString()}),
             QStringList({"8", on(0), on(4), on(5), on(2), QString::number(1 - on(1).toInt())}));
  }

  void pollTimeWhileServing()
  {
    RIG(r, "[Communication]\nInterfaceName=SIM\n");
    r.w->menu("mnuOpenCom")->trigger();
    QCOMPARE(r.s->fields.value("ComStatus"), QString("Normal polling"));
    r.s->dde->Rcvd_dde_Cmnd(0, "-6");
    auto* d = r.form<frmPollTimeDialog>("frmPollTime");
    QVERIFY(d->isVisible());
    type(d->txtPollTime, "0");
    type(d->txtPollBatch, "500");
    type(d->txtRTPInterval, "fast");
    d->cmdOK->click();
    QVERIFY(!d->isVisible());
    QCOMPARE(std::tuple(r.s->cfg.Polltime, r.s->cfg.PollBatch, r.s->cfg.RealtimePollTime), std::tuple(1, 120, 25));
    QCOMPARE(QStringList({r.s->fields.value("RTPInterval"), r.common("Settings/PollBatch"),
                          r.commport("PollTime").toString()}),
             QStringList({"25", "120", "1"}));
    r.w->menu("mnuPollTime")->trigger();
    type(d->txtPollTime, "250");
    d->cmdOK->click();
    // The scheduler takes the new time when it re-arms after a cycle.
    QTRY_COMPARE(r.s->poll->moTimerChan()->interval(), 250);
  }

  void rawTest()
  {
    RIG(r, "[Communication]\nInterfaceName=SIM\n");
    r.w->menu("mnuTestLumbra")->trigger();
    auto* t = r.form<frmTestLumbra>("frmTestLumbra");
    QVERIFY(t->isVisible());
    // Measure of the meter, setpoint of the controller written and read
    // back, a node out of range.
    const struct {
      const char *node, *parameter, *value, *shownValue, *response, *error;
      bool write;
    } cases[] = {{"3", "0", "", "12000", "0", "", false},
                 {"4", "1", "16000", "16000", "0", "", true},
                 {"4", "1", "", "16000", "0", "", false},
                 {"9", "1", "", "", "25", "Time out on receiving a message", false}, // nobody on node 9
                 {"256", "1", "", "", "", "Node must be numeric (0-255).", false}};
    for (const auto& c : cases) {
      type(t->txtNode, c.node);
      type(t->txtProcess, "1");
      type(t->txtParameter, c.parameter);
      t->cboType->setCurrentIndex(1);
      type(t->txtValue, c.value);
      t->txtReponse->clear();
      QCOMPARE(c.write ? t->cmdWrite_Click() : t->cmdRead_Click(), QString(c.error));
      QCOMPARE(t->txtReponse->text(), QString(c.response));
      QCOMPARE(t->txtValue->text(), QString(c.shownValue));
    }
    QVERIFY(r.s->state.RawTestActive);
    t->cmdClose->click();
    QVERIFY(!r.s->state.CommOpen && !r.s->state.RawTestActive);
    r.w->menu("mnuOpenCom")->trigger();
    QCOMPARE(t->cmdRead_Click(), QString("Please close the communication first."));
  }

  // The meanings of coded values, from the database's value list: every
  // row, or all but those of advanced parameters while they are hidden.
  void parameterValueList()
  {
    RIG(r);
    auto* list = r.form<frmParmVal>("frmParmVal");
    QSqlQuery q(r.s->db->TheDatabase);
    QVERIFY(q.exec("SELECT Nr, Name, Filter, Value, Description FROM qryParValue"));
    QStringList all, basic;
    while (q.next()) {
      const QString row = QStringList{q.value(0).toString(), q.value(1).toString().trimmed(), q.value(2).toString(),
                                      q.value(3).toString(), q.value(4).toString().trimmed()}.join('|');
      all << row;
      if (!r.s->db->ParameterTable[size_t(q.value(0).toInt())].Advanced)
        basic << row;
    }
    QVERIFY(!basic.isEmpty() && basic.size() < all.size());
    for (bool hide : {false, true}) {
      r.s->cfg.HideAdvancedParameters = hide;
      r.w->menu("mnuParValueList")->trigger();
      list->Form_Load();
      QStringList shown;
      for (int row = 0; row < list->grdParmVal->rowCount(); ++row) {
        QStringList cells;
        for (int c = 0; c < 5; ++c)
          cells << list->grdParmVal->item(row, c)->text();
        shown << cells.join('|');
      }
      QCOMPARE(shown, hide ? basic : all);
    }
  }

  // What the database viewer makes of the same typed texts in every column
  // of both tables: the stored value or the refusal, as shipped
  // (tests/ui/cell-rules.txt). Neighbouring columns that treat every text
  // alike share a line; each refusal is written out once, where it first
  // appears.
  void viewerCellRules()
  {
    RIG(r);
    const QStringList typed = {"", " ", "X", "-", "true", "maybe", "c", "i", "F", "L", "s", "-3", "-2", "-1", "0", "1", "2.5", "1e-3", "6", "7",
                               "254", "255", "256", "1234567", "12345678", QString(30, 'n'), QString(31, 'n')};
    // A run of one letter as "n*30", to keep the lines readable.
    const auto brief = [](const QString& v) { return v.size() > 8 && v.count(v[0]) == v.size() ? v[0] + QStringLiteral("*%1").arg(v.size()) : v; };
    QStringList shown, said, columns, results, last;
    const auto flush = [&] {
      shown << (columns.size() < 5 ? columns.join(", ")
                                   : QStringLiteral("%1 to %2 (%3 columns)").arg(columns.first(), columns.last()).arg(columns.size()))
            << "  " + last.join(" | ");
    };
    for (const char* table : {"AllParameters", "FlowDevices"})
      for (const CellRule& rule : CellRules(table, r.s->db->TheDatabase.record(table))) {
        results.clear();
        for (const QString& t : typed) {
          QVariant stored;
          QString refusal = CheckCellEdit(rule, t, stored);
          if (refusal.startsWith(rule.column + ": "))
            refusal.replace(0, rule.column.size(), "#");
          if (!refusal.isEmpty() && !said.contains(refusal))
            said << refusal;
          results << (!refusal.isEmpty() ? QStringLiteral("%1!").arg(said.indexOf(refusal) + 1)
                                         : stored.isNull() ? "null" : brief(stored.toString()));
        }
        if (results != last && !columns.isEmpty()) {
          flush();
          columns.clear();
        }
        columns << QString(table) + '.' + rule.column;
        last = results;
      }
    flush();
    QStringList heading;
    for (const QString& t : typed)
      heading << '"' + brief(t) + '"';
    shown.prepend("typed: " + heading.join(" | "));
    for (qsizetype i = 0; i < said.size(); ++i)
      shown << QStringLiteral("%1!: %2").arg(i + 1).arg(said[i]);
    const QString diff = shipped::differs(shown, "tests/ui/cell-rules.txt");
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
  }

  void viewerEditsReachTheFile()
  {
    RIG(r);
    auto* v = r.form<frmViewDeviceParam>("frmViewDeviceParam");
    v->show();
    QSqlTableModel* m = v->datParameters();
    const auto cell = [m](int parameter, const char* column) {
      for (int row = 0; row < m->rowCount(); ++row)
        if (m->data(m->index(row, 0)).toInt() == parameter)
          return m->index(row, m->fieldIndex(column));
      return QModelIndex();
    };
    const auto fileValue = [&r](const char* column) {
      QSqlQuery q(r.s->db->TheDatabase);
      q.exec(QString("SELECT %1 FROM AllParameters WHERE Parameter = 9").arg(column));
      return q.next() ? q.value(0).toString() : QString();
    };
    // The key columns cannot even be edited; the others can.
    QVERIFY(!(m->flags(cell(9, "Name")) & Qt::ItemIsEditable) && (m->flags(cell(9, "FBnr")) & Qt::ItemIsEditable));
    // Refused edits never reach the grid's row.
    for (const auto& [column, text] : {std::pair{"FBnr", "300"}, std::pair{"Read", "maybe"}, std::pair{"Name", "other"}})
      QVERIFY(!m->setData(cell(9, column), text, Qt::EditRole));
    QCOMPARE(r.prompt.asked.size(), 3);
    QVERIFY(r.prompt.asked[0].text.startsWith("FBnr: must be a whole number from 0 to 255."));
    // No keeps the file as it was, Yes writes it.
    for (const Prompt::Answer answer : {Prompt::AnswerNo, Prompt::AnswerYes}) {
      QVERIFY(m->setData(cell(9, "LongName"), "Flow setpoint", Qt::EditRole));
      r.prompt.answers << answer;
      QVERIFY(v->leaveRow(m));
      QCOMPARE(r.prompt.asked.last().title + ": " + r.prompt.asked.last().text,
               QString("Parameter table: Save changes to the database?"));
      QCOMPARE(fileValue("LongName"), answer == Prompt::AnswerYes ? QString("Flow setpoint") : QString("Setpoint"));
    }
    v->close();
    QCOMPARE(r.s->db->ParameterTable[9].LongName, QString("Flow setpoint"));
  }
};

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
