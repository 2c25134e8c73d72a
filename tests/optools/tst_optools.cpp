// The operator tools driven as an operator drives them, from the main
// window's menus of a whole server in this process: the server on a
// pseudo-terminal to the virtual bus, the scan run, polling on. The test
// form's two frames, link copy and paste, its rows kept between openings;
// the speed test and last node address prompts; the service log.
#include "ServerRig.h"

#include "log/Logger.h"
#include "operator/ServiceLog.h"
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

  // The test form as the Test menu opens it (each case opens it itself, so
  // a case runs alone too).
  bool openForm()
  {
    if (!p.main() || !p.menu("mnuTest"))
      return false;
    form = qobject_cast<frmTest*>(p.main()->forms.value("frmTest").data());
    return form && form->isVisible();
  }

private slots:
  void initTestCase()
  {
    const QString e = p.start(460800);
    QVERIFY2(e.isEmpty(), qPrintable(e));
    QCOMPARE(p.s->channels.MaxChannel, int16_t(8));
  }

  // The form opened says so in the status; both frames on the controller's
  // setpoint: the same value read, and a write through either reaches the
  // instrument and shows in the other.
  void busAndDdeRows()
  {
    QVERIFY(openForm());
    QCOMPARE(std::tuple(p.s->fields.value("Status"), form->rowsFB[0].cboChannel->itemText(2),
                        form->rowsDDE[0].cboParameter->itemText(0)),
             std::tuple(QString("Test communication"), QString("Ch: 3, node 4, process 1"), QString("0: poll parameters")));
    frmTest::Row& fb = form->rowsFB[0];
    frmTest::Row& dde = form->rowsDDE[0];
    for (frmTest::Row* r : {&fb, &dde}) {
      choose(r->cboChannel, 3, true);
      choose(r->cboParameter, 9, false);
    }
    for (const auto& [writer, other, value] : {std::tuple{&fb, &dde, QString("12800")}, {&dde, &fb, "16000"}}) {
      fb.cmdRead->click();
      dde.cmdRead->click();
      QVERIFY(!fb.txtRead->text().isEmpty());
      QCOMPARE(dde.txtRead->text(), fb.txtRead->text());
      writer->txtWrite->setText(value);
      writer->cmdWrite->click();
      QTRY_COMPARE(setpointOnBus(*p.bus), value.toInt());
      QTRY_COMPARE_WITH_TIMEOUT((other->cmdRead->click(), other->txtRead->text()), value, 5000);
    }
    // A read through a topic that is missing makes it, items and all.
    p.s->dde->TopicTable[3].reset();
    dde.cmdRead->click();
    QVERIFY(p.s->dde->topic(3) && p.s->dde->topic(3)->hasItem(9));
  }

  // Copy puts the row's link on the clipboard; paste takes a link from it
  // into the row, or says there is none, in the main window's message
  // field. The message goes after a while.
  void copyAndPasteLink()
  {
    QVERIFY(openForm());
    frmTest::Row& dde = form->rowsDDE[0];
    const std::tuple<QString, int, QString> table[] = {
      {"", 3, "Tesmira, channel 3, parameter 8: "},
      {"Tesmira|C(4)!P(8)", 4, "DDE-link: Tesmira|C(4)!P(8)\npasted from clipboard.\nInfo: "},
      {"plain text", 4, "No DDE-link info available on clipboard!"}};
    for (const auto& [clipboard, channel, message] : table) {
      if (clipboard.isEmpty()) {
        choose(dde.cboChannel, 3, true);
        choose(dde.cboParameter, 8, false);
        form->cmdCopy->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), QString("Tesmira|C(3)!P(8)"));
      } else {
        QGuiApplication::clipboard()->setText(clipboard);
        form->cmdPaste->click();
      }
      QCOMPARE(std::pair(ChannelOfEntry(dde.cboChannel->currentText()),
                         ParameterOfEntry(dde.cboParameter->currentText())),
               std::pair(channel, 8));
      const QLabel* shown = p.main()->field("lblMessage");
      QVERIFY(shown);
      QCOMPARE(shown->window(), static_cast<QWidget*>(p.main()));
      QVERIFY2(shown->text().startsWith(message), qPrintable(shown->text()));
      QTRY_VERIFY_WITH_TIMEOUT(shown->text().isEmpty(), 5000);
    }
  }

  void rowsKeptBetweenOpenings()
  {
    QVERIFY(openForm());
    const qsizetype fbRows = form->rowsFB.size(), ddeRows = form->rowsDDE.size();
    QVERIFY(fbRows >= 1 && ddeRows >= 1);
    form->cmdPlusFB->click();
    form->cmdPlusDDE->click();
    form->cmdPlusDDE->click();
    const qsizetype fb = fbRows, dde = ddeRows + 1; // the rows just added
    choose(form->rowsFB[fb].cboChannel, 2, true);
    choose(form->rowsFB[fb].cboParameter, 8, false);
    form->rowsFB[fb].txtWrite->setText("77");
    choose(form->rowsDDE[dde].cboChannel, 5, true);
    form->close();
    QVERIFY(p.menu("mnuTest"));
    const frmTest::Row& kept = form->rowsFB[fb];
    QCOMPARE(std::tuple(form->rowsFB.size(), form->rowsDDE.size(), kept.cboChannel->currentText(),
                        ParameterOfEntry(kept.cboParameter->currentText()), kept.txtWrite->text(),
                        ChannelOfEntry(form->rowsDDE[dde].cboChannel->currentText())),
             std::tuple(fbRows + 1, ddeRows + 2, QString("Ch: 2, node 3, process 1"), 8, QString("77"), 5));
    QVERIFY(!kept.txtRead->text().isEmpty()); // read once on opening
    form->close();
  }

  void lastNodeAddress()
  {
    p.prompt.asked.clear();
    p.prompt.texts = {"125", "0", "abc", "1000", "7"};
    p.prompt.answers = {support::Prompt::AnswerYes}; // scan again with it
    QVERIFY(p.menu("mnuLNA"));
    QCOMPARE(p.titlesAsked(), QStringList(5, "Last Node Address") << "Tesmira");
    QCOMPARE(p.prompt.asked[0].text, QString("Enter a value from 1 to 124 for the highest node address in your SORANET "
                                             "system.\r\n(The real actual system highest node address value is set "
                                             "as default.)"));
    QCOMPARE(p.prompt.asked.last().text, QString("Check SORANET configuration?"));
    QVERIFY(p.main()->txtTerm()->toPlainText().contains("Highest node address is manually set to 7"));
    QCOMPARE(std::pair(p.s->fields.value("ComStatus"), p.s->channels.ManualLNA),
             std::pair(QString("Normal polling"), uint8_t(7)));
    // The default (the scan's result, now 7) unchanged changes nothing and
    // asks nothing more.
    p.s->channels.ManualLNA = 0;
    p.prompt.asked.clear();
    p.prompt.texts = {QString::number(p.s->cfg.SystemLNA)};
    QVERIFY(p.menu("mnuLNA"));
    QCOMPARE(std::pair(p.prompt.asked.size(), p.s->channels.ManualLNA), std::pair(qsizetype(1), uint8_t(0)));
  }

  // The channel is asked again until it names one of the bus; an instrument
  // that refuses every read stops each round at its eleventh failure and
  // says so; a cancelled prompt reads nothing. (Failures come as refusals,
  // not silence: a healthy read on a loaded machine then never counts as
  // one, and the library keeps its own patient time-outs.)
  void speedTest()
  {
    // Channel 8's module refuses every read, of its own process and of its
    // module-wide process 0.
    const ChannelRec& failing = p.s->channels.ChannelTable[8];
    soranetsim::Faults refusing;
    for (int fb = 0; fb < 256; ++fb)
      for (int proc : {0, int(failing.Dev_Proc)})
        refusing.forcedStatus[soranetsim::Faults::key(failing.Dev_Nodenr, proc, fb)] = 10;
    const QString counts = "Speed performance reading pna = \\d+ messages/second, communication failed %1 times.\r\n"
                           "Speed performance reading measure = \\d+ messages/second, communication failed %1 times.";
    const std::tuple<QStringList, bool, QString> table[] = {
      {{"0", "9", "2.5", "3.0"}, false, counts.arg(0)},
      {{"8"}, true, counts.arg(11) + "\r\n\r\nMaximum amount of errors reached in this test!"},
      {QStringList{}, false, QString()}};
    for (const auto& [answers, refused, result] : table) {
      p.bus->setFaults(refused ? refusing : soranetsim::Faults{});
      p.prompt.asked.clear();
      p.prompt.texts = answers;
      QStringList statuses;
      const auto watch = connect(&p.s->fields, &StatusFields::changed, this, [&](const QString& n, const QString& t) {
        if (n == "Status")
          statuses << t;
      });
      QVERIFY(p.menu("mnuComSpeedTest"));
      disconnect(watch);
      p.bus->setFaults({});
      QStringList expected(qMax(1, int(answers.size())), "Communication speed test settings");
      if (!result.isEmpty())
        expected << "Communication speed test";
      QCOMPARE(p.titlesAsked(), expected);
      QVERIFY(p.prompt.asked[0].text.startsWith("Enter a value from 1 to 8 for the channel number\r\n"));
      QVERIFY2(result.isEmpty() || QRegularExpression("^" + result + "$").match(p.prompt.asked.last().text).hasMatch(),
               qPrintable(p.prompt.asked.last().text));
      QVERIFY(statuses.contains("Speed test"));
    }
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
    QVERIFY(log.LogErrorsOnly && !log.EchoAll && !log.logFileOpen()); // as they were
    QCOMPARE(p.titlesAsked(), QStringList{"Service data logging"});
    QVERIFY(p.prompt.asked[0].text.endsWith(ResourceString(101) + "\r\n" + ResourceString(102)));
    QVERIFY(p.main()->menu("mnuServiceLog")->isEnabled());

    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(f.readAll());
    // The time without a zone; the library's version within its 9 characters.
    QVERIFY2(QRegularExpression("^Tesmira SORANET DDE-server\r\nDate: [^\r]+ Time: \\d\\d?:\\d\\d:\\d\\d( [AP]M)?\r\n\r\n"
                                "Tesmira \\S+\r\nSORANET.DLL 1\\.0\\.0\r\n")
               .match(text)
               .hasMatch(),
             qPrintable(text.left(120)));
    QVERIFY(text.contains("\r\nchan node proc id module number                   description\r\n"
                          "001  001  001  01 IFI-232 SN IF0000001"));
    int reads = 0;
    QStringList notRead;
    for (int c = 1; c <= 8; ++c)
      for (int par = 1; par <= p.s->db->MaxParNr; ++par) {
        if (!p.s->channels.available(c, par) || !p.s->db->ParameterTable[size_t(par)].Read)
          continue;
        ++reads;
        const QString line = QString("Ch%1   P%2").arg(c, 3, 10, QChar('0')).arg(par, 3, 10, QChar('0'));
        if (!text.contains("Read\t" + line))
          notRead << line;
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
