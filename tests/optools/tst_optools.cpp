// The operator tools driven as an operator drives them, from the main
// window's menus of a whole server in this process: the server on a
// pseudo-terminal to the virtual bus, the scan run, polling on. The test
// form's two frames, link copy and paste, its rows kept between openings;
// the speed test and last node address prompts; the service log.
#include "ServerRig.h"

#include "log/Logger.h"
#include "ui/ServiceLog.h"
#include "ui/frmTest.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

using namespace tesmira;

namespace {

void choose(QComboBox* cbo, int number, bool channel)
{
  for (int i = 0; i < cbo->count(); ++i)
    if ((channel ? ChannelOfEntry(cbo->itemText(i)) : ParameterOfEntry(cbo->itemText(i))) == number) {
      cbo->setCurrentIndex(i);
      return;
    }
  QFAIL(qPrintable(QString("no entry %1 in %2").arg(number).arg(cbo->objectName())));
}

int setpointOnBus(soranetsim::Bus& bus)
{
  soraproto::Value v;
  return bus.peek(4, 1, 1, v) ? int(v.number()) : -1; // channel 3: the controller at node 4
}

}

class TestOpTools : public QObject {
  Q_OBJECT
  serverrig::Rig p;
  frmTest* form = nullptr;

private slots:
  void initTestCase()
  {
    // Reads of a silent node give up after a quarter second (enough for a
    // loaded machine to answer the others in time).
    qputenv("TESMIRA_SORA32_TIMEOUT_MS", "250");
    qputenv("TESMIRA_SORA32_RETRIES", "0");
    const QString e = p.start(460800);
    QVERIFY2(e.isEmpty(), qPrintable(e));
    QCOMPARE(p.s->channels.MaxChannel, int16_t(8));
  }

  void testFormOpens()
  {
    QVERIFY(p.menu("mnuTest"));
    form = qobject_cast<frmTest*>(p.s->main->forms.value("frmTest").data());
    QVERIFY(form && form->isVisible());
    QCOMPARE(form->windowTitle(), QString("Test form"));
    QCOMPARE(p.s->fields.value("Status"), QString("Test communication"));
    QCOMPARE(form->rowsFB[0].cboChannel->itemText(2), QString("Ch: 3, node 4, process 1"));
    QCOMPARE(form->rowsDDE[0].cboParameter->itemText(0), QString("0: poll parameters"));
  }

  // Both frames on the controller's setpoint: the same value read, and a
  // write through either reaches the instrument and shows in the other.
  void busAndDdeRows_data()
  {
    QTest::addColumn<bool>("throughBus");
    QTest::addColumn<QString>("value");
    QTest::newRow("bus write") << true << "12800";
    QTest::newRow("DDE write") << false << "16000";
  }
  void busAndDdeRows()
  {
    QFETCH(bool, throughBus);
    QFETCH(QString, value);
    frmTest::Row& fb = form->rowsFB[0];
    frmTest::Row& dde = form->rowsDDE[0];
    for (frmTest::Row* r : {&fb, &dde}) {
      choose(r->cboChannel, 3, true);
      choose(r->cboParameter, 9, false);
    }
    fb.cmdRead->click();
    dde.cmdRead->click();
    QVERIFY(!fb.txtRead->text().isEmpty());
    QCOMPARE(dde.txtRead->text(), fb.txtRead->text());

    frmTest::Row& writer = throughBus ? fb : dde;
    frmTest::Row& other = throughBus ? dde : fb;
    writer.txtWrite->setText(value);
    writer.cmdWrite->click();
    QTRY_COMPARE(setpointOnBus(*p.bus), value.toInt());
    QTRY_COMPARE_WITH_TIMEOUT((other.cmdRead->click(), other.txtRead->text()), value, 5000);
  }

  void copyAndPasteLink_data()
  {
    QTest::addColumn<QString>("clipboard");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QString>("message");
    QTest::newRow("own link") << "" << 3 << 8 << "Tesmira, channel 3, parameter 8: ";
    QTest::newRow("pasted") << "Tesmira|C(4)!P(8)" << 4 << 8
                            << "DDE-link: Tesmira|C(4)!P(8)\npasted from clipboard.\nInfo: ";
    QTest::newRow("no link") << "plain text" << 4 << 8 << "No DDE-link info available on clipboard!";
  }
  void copyAndPasteLink()
  {
    QFETCH(QString, clipboard);
    QFETCH(int, channel);
    QFETCH(int, parameter);
    QFETCH(QString, message);
    frmTest::Row& dde = form->rowsDDE[0];
    if (clipboard.isEmpty()) {
      choose(dde.cboChannel, 3, true);
      choose(dde.cboParameter, 8, false);
      form->cmdCopy->click();
      QCOMPARE(QGuiApplication::clipboard()->text(), QString("Tesmira|C(3)!P(8)"));
    } else {
      QGuiApplication::clipboard()->setText(clipboard);
      form->cmdPaste->click();
    }
    QCOMPARE(ChannelOfEntry(dde.cboChannel->currentText()), channel);
    QCOMPARE(ParameterOfEntry(dde.cboParameter->currentText()), parameter);
    QVERIFY2(form->lblMessage->text().startsWith(message), qPrintable(form->lblMessage->text()));
    QTRY_VERIFY_WITH_TIMEOUT(form->lblMessage->text().isEmpty(), 5000);
  }

  void rowsKeptBetweenOpenings()
  {
    form->cmdPlusFB->click();
    form->cmdPlusDDE->click();
    form->cmdPlusDDE->click();
    choose(form->rowsFB[1].cboChannel, 2, true);
    choose(form->rowsFB[1].cboParameter, 8, false);
    form->rowsFB[1].txtWrite->setText("77");
    choose(form->rowsDDE[2].cboChannel, 5, true);
    form->close();
    QVERIFY(p.menu("mnuTest"));
    QCOMPARE(form->rowsFB.size(), 2);
    QCOMPARE(form->rowsDDE.size(), 3);
    QCOMPARE(form->rowsFB[1].cboChannel->currentText(), QString("Ch: 2, node 3, process 1"));
    QCOMPARE(ParameterOfEntry(form->rowsFB[1].cboParameter->currentText()), 8);
    QCOMPARE(form->rowsFB[1].txtWrite->text(), QString("77"));
    QVERIFY(!form->rowsFB[1].txtRead->text().isEmpty()); // read once on opening
    QCOMPARE(ChannelOfEntry(form->rowsDDE[2].cboChannel->currentText()), 5);
    form->close();
  }

  void lastNodeAddress()
  {
    p.prompt.asked.clear();
    p.prompt.texts = {"125", "0", "abc", "1000", "7"};
    p.prompt.answers = {support::Prompt::AnswerYes}; // scan again with it
    QVERIFY(p.menu("mnuLNA"));
    QCOMPARE(p.titlesAsked(), QStringList({"Last Node Address", "Last Node Address", "Last Node Address",
                                           "Last Node Address", "Last Node Address", "Tesmira"}));
    QCOMPARE(p.prompt.asked.last().text, QString("Check SORANET configuration?"));
    QVERIFY(p.s->main->txtTerm()->toPlainText().contains("Highest node address is manually set to 7"));
    QCOMPARE(p.s->fields.value("ComStatus"), QString("Normal polling"));
    QCOMPARE(p.s->channels.ManualLNA, uint8_t(7));
    // The default (the scan's result, now 7) unchanged changes nothing and
    // asks nothing more.
    p.s->channels.ManualLNA = 0;
    p.prompt.asked.clear();
    p.prompt.texts = {QString::number(p.s->cfg.SystemLNA)};
    QVERIFY(p.menu("mnuLNA"));
    QCOMPARE(p.prompt.asked.size(), 1);
    QCOMPARE(p.s->channels.ManualLNA, uint8_t(0));
  }

  void speedTest_data()
  {
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("result");
    const QString line = "Speed performance reading pna = \\d+ messages/second, communication failed 0 times.\r\n"
                         "Speed performance reading measure = \\d+ messages/second, communication failed 0 times.";
    QTest::newRow("channel asked again") << QStringList{"0", "9", "3"} << false << line;
    QTest::newRow("silent channel") << QStringList{"8"} << true
                                    << ".*failed 11 times\\..*failed 11 times\\.\r\n\r\n"
                                       "Maximum amount of errors reached in this test!";
    QTest::newRow("cancelled") << QStringList{} << false << "";
  }
  void speedTest()
  {
    QFETCH(QStringList, answers);
    QFETCH(bool, silent);
    QFETCH(QString, result);
    soranetsim::Faults f;
    if (silent)
      f.silent = {8};
    p.bus->setFaults(f);
    p.prompt.asked.clear();
    p.prompt.texts = answers;
    QStringList statuses;
    const auto watch = connect(&p.s->fields, &StatusFields::changed, this, [&](const QString& name, const QString& text) {
      if (name == "Status")
        statuses << text;
    });
    QVERIFY(p.menu("mnuComSpeedTest"));
    disconnect(watch);
    p.bus->setFaults({});
    QStringList expected(qMax(1, int(answers.size())), "Communication speed test settings");
    if (!result.isEmpty())
      expected << "Communication speed test";
    QCOMPARE(p.titlesAsked(), expected);
    QVERIFY(p.prompt.asked[0].text.startsWith("Enter a value from 1 to 8 for the channel number\r\n"));
    if (!result.isEmpty())
      QVERIFY2(QRegularExpression("^" + result + "$", QRegularExpression::DotMatchesEverythingOption)
                 .match(p.prompt.asked.last().text)
                 .hasMatch(),
               qPrintable(p.prompt.asked.last().text));
    QVERIFY(statuses.contains("Speed test"));
  }

  // The service log: a cancelled file choice changes nothing; otherwise the
  // overview and a Read line for every readable parameter of every channel,
  // with "Log errors only" on before and after.
  void serviceLog()
  {
    Logger& log = *p.s->log;
    log.LogErrorsOnly = true;
    p.prompt.asked.clear();
    p.prompt.files = {""};
    QVERIFY(p.menu("mnuServiceLog"));
    QCOMPARE(p.prompt.fileTitles.last(), QString("Create/Open Service Log File"));
    QVERIFY(p.prompt.asked.isEmpty());

    const QString file = p.home.file("service.log");
    p.prompt.files = {file};
    QVERIFY(p.menu("mnuServiceLog"));
    QVERIFY(log.LogErrorsOnly);
    QVERIFY(!log.EchoAll);
    QVERIFY(!log.logFileOpen());
    QCOMPARE(p.titlesAsked(), QStringList{"Service data logging"});
    QVERIFY(p.prompt.asked[0].text.endsWith(ResourceString(101) + "\r\n" + ResourceString(102)));
    QVERIFY(p.s->main->menu("mnuServiceLog")->isEnabled());

    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(f.readAll());
    QVERIFY(text.startsWith("Tesmira SORANET DDE-server\r\nDate: "));
    QVERIFY(text.contains("\r\nchan node proc id module number                   description\r\n"
                          "001  001  001  01 IFI-232 SN IF0000001"));
    int reads = 0;
    QStringList notRead;
    for (int c = 1; c <= 8; ++c) {
      for (int par = 1; par <= p.s->db->MaxParNr; ++par) {
        if (!p.s->channels.available(c, par) || !p.s->db->ParameterTable[size_t(par)].Read)
          continue;
        ++reads;
        const QString line = QString("Ch%1   P%2").arg(c, 3, 10, QChar('0')).arg(par, 3, 10, QChar('0'));
        if (!text.contains("Read\t" + line))
          notRead << line;
      }
    }
    QVERIFY(reads > 8 * 10);
    // Every parameter the channel offers, except what the interface refuses:
    // its direct-access word (a suppressed compatibility error) and a
    // real-time value asked in another type (an Error line); and, since the
    // interface acquires for the channels, what its own processes 115..125
    // answer: those processes stand for acquisition and real-time channels.
    QCOMPARE(notRead, QStringList({"Ch001   P025", "Ch001   P033", "Ch001   P034", "Ch001   P100", "Ch001   P101",
                                   "Ch001   P102", "Ch001   P103", "Ch001   P104", "Ch001   P110", "Ch001   P111",
                                   "Ch001   P112", "Ch001   P113", "Ch001   P114", "Ch001   P115", "Ch001   P116",
                                   "Ch001   P180", "Ch001   P189", "Ch001   P194", "Ch001   P195", "Ch001   P196",
                                   "Ch001   P197", "Ch001   P236"}));
    QVERIFY(text.contains("Error\tCh001   P189"));
  }
};

QTEST_MAIN(TestOpTools)
#include "tst_optools.moc"
