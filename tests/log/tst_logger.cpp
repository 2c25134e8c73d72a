// The line writer: routing of categories to console and log file, the line
// layouts, the console pane limit, opening/closing the log file and the
// failure path of a log file that cannot be written.
#include "core/Configuration.h"
#include "log/Logger.h"

#include <Debug.h>
#include <Folder.h>
#include <Prompt.h>
#include <Setting.h>

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <unistd.h>

using namespace tesmira;
using support::Prompt;

namespace {
QByteArray readAll(const QString& path)
{
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
}

class TestLogger : public QObject {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> m_home;
  std::unique_ptr<support::Folder> m_folder;
  std::unique_ptr<support::Setting> m_setting;
  std::unique_ptr<support::Debug> m_debug;
  Configuration m_cfg;
  std::unique_ptr<Logger> m_log;
  std::unique_ptr<QPlainTextEdit> m_pane;
  support::ScriptedPrompt m_prompt;

  // Opens path as the log file through the dialog, answering the
  // Replace/Append question (when it comes) with answer.
  void openLog(const QString& path, Prompt::Answer answer = Prompt::AnswerNo)
  {
    m_prompt.files << path;
    m_prompt.answers << answer;
    QCOMPARE(m_log->OpenLogFile(false), int16_t(0));
    QVERIFY(m_log->logFileOpen());
    m_prompt.answers.clear();
  }

private slots:
  void init()
  {
    m_home = std::make_unique<QTemporaryDir>();
    qputenv("TESMIRA_HOME", m_home->path().toLocal8Bit());
    m_folder = std::make_unique<support::Folder>();
    m_folder->ClassInitialize(m_home->path(), "Tesmira");
    m_setting = std::make_unique<support::Setting>();
    QCOMPARE(m_setting->ClassInitialize(m_folder.get()), QString());
    m_debug = std::make_unique<support::Debug>();
    QCOMPARE(m_debug->ClassInitialize(m_setting.get()), QString());
    m_cfg = Configuration();
    m_cfg.LogFormat = 0;
    m_log = std::make_unique<Logger>(m_setting.get(), m_debug.get(), m_cfg);
    m_pane = std::make_unique<QPlainTextEdit>();
    m_log->setConsole(m_pane.get());
    m_prompt = support::ScriptedPrompt();
    support::setPrompt(&m_prompt);
  }

  void cleanup()
  {
    support::setPrompt(nullptr);
    m_log.reset();
    m_pane.reset();
    m_debug.reset();
    m_setting.reset();
    m_home.reset();
  }

  // Every category against every combination of the four options, with and
  // without a log file. The expectation is the routing table read column by
  // column, not the writer's own sequence of steps.
  void routingTable()
  {
    const QString path = m_home->filePath("route.log");
    for (int open = 0; open < 2; ++open) {
      if (open)
        openLog(path);
      for (int opts = 0; opts < 16; ++opts) {
        m_log->EchoAll = opts & 1;
        m_log->EchoErr = opts & 2;
        m_log->EchoLinkPokes = opts & 4;
        m_log->LogErrorsOnly = opts & 8;
        for (int cat : {0, 1, 2, 3, 4, 5, 6, 9, -1}) {
          const bool errOrWarn = cat == Error || cat == Warn;
          const bool wantConsole = m_log->EchoAll || cat == Init || cat == Debug || (errOrWarn && m_log->EchoErr)
                                   || (cat == Write && m_log->EchoLinkPokes);
          const bool wantFile = open && (errOrWarn || !m_log->LogErrorsOnly);
          const QString text = QStringLiteral("line %1/%2/%3").arg(open).arg(opts).arg(cat);
          m_pane->clear();
          const qint64 before = QFileInfo(path).size();
          const quint64 formatted = m_log->linesFormatted();
          m_log->LogMessage(cat, text);
          const QString ctx = QStringLiteral("category %1 options %2 file %3").arg(cat).arg(opts).arg(open);
          const QString expected = Logger::CategoryName(cat) + '\t' + text;
          QVERIFY2(m_pane->toPlainText() == (wantConsole ? expected : QString()), qPrintable(ctx));
          const QByteArray file = readAll(path);
          QVERIFY2(QFileInfo(path).size() - before == (wantFile ? expected.size() + 2 : 0), qPrintable(ctx));
          if (wantFile)
            QVERIFY2(file.endsWith((expected + "\r\n").toUtf8()), qPrintable(ctx));
          // A line nobody takes is not formatted at all.
          QCOMPARE(m_log->linesFormatted() - formatted, quint64(wantConsole || wantFile ? 1 : 0));
        }
      }
      m_log->CloseLogFile();
    }
    QCOMPARE(Logger::CategoryName(9), QStringLiteral("Msg"));
  }

  // Without a pane or stdout mirror, console-only lines are not even built.
  void noConsoleTargetDropsConsoleLines()
  {
    m_log->setConsole(nullptr);
    m_log->LogMessage(Init, "nowhere");
    m_log->LogParameter(Debug, 1, 8, "Measure", 1.5, "");
    QCOMPARE(m_log->linesFormatted(), quint64(0));
  }

  void parameterText_data()
  {
    QTest::addColumn<int>("category");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("extra");
    QTest::addColumn<QString>("expected");
    const QString name21 = "Setpoint slope in sec"; // exactly 21 characters
    const QString name20 = "Setpoint slope in se";
    QTest::newRow("read value") << 3 << 1 << 8 << "Measure" << QVariant(" 12.5 ") << "x"
                                << "Ch001   P008   Measure              \t Val: 12.5 x";
    QTest::newRow("channel 12 param 5") << 3 << 12 << 5 << "" << QVariant("1") << ""
                                        << "Ch012   P005   " + QString(21, ' ') + "\t Val: 1 ";
    QTest::newRow("channel 1234") << 3 << 1234 << 510 << "A" << QVariant(7) << "e"
                                   << "Ch1234   P510   A" + QString(20, ' ') + "\t Val: 7 e";
    QTest::newRow("21 chars shortened") << 3 << 1 << 1 << name21 << QVariant("v") << ""
                                        << "Ch001   P001   Setpo... slope in sec\t Val: v ";
    QTest::newRow("long name shortened") << 3 << 1 << 1 << "Capacity unit type name (extended)" << QVariant("v") << ""
                                         << "Ch001   P001   Capac...me (extended)\t Val: v ";
    QTest::newRow("20 chars padded") << 3 << 1 << 1 << name20 << QVariant("v") << ""
                                     << "Ch001   P001   Setpoint slope in se \t Val: v ";
    QTest::newRow("read empty") << 3 << 2 << 9 << "N" << QVariant("") << "extra"
                                << "Ch002   P009   N" + QString(20, ' ') + "\t extra";
    QTest::newRow("read blanks") << 3 << 2 << 9 << "N" << QVariant("   ") << ""
                                 << "Ch002   P009   N" + QString(20, ' ') + "\t ";
    QTest::newRow("write empty") << 4 << 2 << 9 << "N" << QVariant("") << "poke"
                                 << "Ch002   P009   N" + QString(20, ' ') + "\t Val:  poke";
    QTest::newRow("negative channel") << 1 << -5 << 0 << "N" << QVariant() << "m"
                                      << "Ch-005   P000   N" + QString(20, ' ') + "\t m";
  }

  void parameterText()
  {
    QFETCH(int, category);
    QFETCH(int, channel);
    QFETCH(int, parameter);
    QFETCH(QString, name);
    QFETCH(QVariant, value);
    QFETCH(QString, extra);
    QFETCH(QString, expected);
    QCOMPARE(Logger::ParameterText(category, channel, parameter, name, value, extra), expected);
    // And as a whole line on the console.
    m_log->EchoAll = true;
    m_log->LogParameter(category, channel, parameter, name, value, extra);
    QCOMPARE(m_pane->toPlainText(), Logger::CategoryName(category) + '\t' + expected);
  }

  void timePrefix_data()
  {
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("expected");
    QTest::newRow("0") << 0 << "";
    QTest::newRow("1") << 1 << "2024-03-05 ";
    QTest::newRow("2") << 2 << "07:08:09 ";
    QTest::newRow("3") << 3 << "2024-03-05 07:08:09 ";
    QTest::newRow("4 hundredths alone") << 4 << "";
    QTest::newRow("5") << 5 << "2024-03-05 ";
    QTest::newRow("6") << 6 << "07:08:09.46 ";
    QTest::newRow("7") << 7 << "2024-03-05 07:08:09.46 ";
    QTest::newRow("9 is 1") << 9 << "2024-03-05 ";
    QTest::newRow("15 is 7") << 15 << "2024-03-05 07:08:09.46 ";
    QTest::newRow("-2 is 6") << -2 << "07:08:09.46 ";
  }

  void timePrefix()
  {
    QFETCH(int, format);
    QFETCH(QString, expected);
    const QDateTime now(QDate(2024, 3, 5), QTime(7, 8, 9, 456));
    QCOMPARE(Logger::TimePrefix(format, now), expected);
  }

  void hundredthsRoundAsShown()
  {
    // 9.996 s shows as ...10.00 in the seconds since midnight: "00 ".
    QCOMPARE(Logger::TimePrefix(6, QDateTime(QDate(2024, 1, 1), QTime(0, 0, 9, 996))), QStringLiteral("00:00:09.00 "));
    QCOMPARE(Logger::TimePrefix(6, QDateTime(QDate(2024, 1, 1), QTime(0, 0, 9, 4))), QStringLiteral("00:00:09.00 "));
    QCOMPARE(Logger::TimePrefix(6, QDateTime(QDate(2024, 1, 1), QTime(0, 0, 9, 994))), QStringLiteral("00:00:09.99 "));
  }

  // LogFormat is read at each line, so a change in the settings applies at once.
  void formatFollowsConfiguration()
  {
    m_cfg.LogFormat = 4;
    m_log->LogMessage(Init, "plain");
    QCOMPARE(m_pane->toPlainText(), QStringLiteral("Init\tplain"));
    m_pane->clear();
    m_cfg.LogFormat = 3;
    m_log->LogMessage(Debug, "stamped");
    QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d Debug\tstamped$")
                 .match(m_pane->toPlainText())
                 .hasMatch(),
             qPrintable(m_pane->toPlainText()));
    m_pane->clear();
    m_log->LogMessage(Init, "no prefix at all", false);
    QCOMPARE(m_pane->toPlainText(), QStringLiteral("no prefix at all"));
  }

  void consoleLimit()
  {
    m_log->Write2Console("first");
    QCOMPARE(m_pane->toPlainText(), QStringLiteral("first"));
    m_log->Write2Console("second");
    QCOMPARE(m_pane->toPlainText(), QStringLiteral("first\nsecond"));

    // 16383 characters: below the limit, nothing is cut.
    const QString below = QString(16383, 'a');
    m_pane->setPlainText(below);
    m_log->Write2Console("x");
    QCOMPARE(m_pane->toPlainText(), below + "\nx");

    // 16384 characters: at the limit, cut.
    const QString at = QString(16383, 'b') + 'c';
    m_pane->setPlainText(at);
    m_log->Write2Console("y");
    QCOMPARE(m_pane->toPlainText(), at.right(12288) + "\ny");

    // 20000 characters: cut to the last 12288 before the line is added.
    QString full;
    for (int i = 0; i < 20000; ++i)
      full += QChar('a' + i % 26);
    m_pane->setPlainText(full);
    m_log->Write2Console("new line");
    QCOMPARE(m_pane->toPlainText(), full.right(12288) + "\nnew line");

    // Sustained logging stays below the limit plus one line.
    for (int i = 0; i < 3000; ++i)
      m_log->Write2Console(QStringLiteral("line %1 of the sustained run").arg(i));
    QVERIFY(m_pane->document()->characterCount() < Logger::kConsoleLimit + 64);
    QVERIFY(m_pane->toPlainText().endsWith("line 2999 of the sustained run"));
  }

  void appendToExistingFile()
  {
    const QString path = m_home->filePath("old.log");
    {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("earlier line\r\n");
    }
    openLog(path, Prompt::AnswerNo);
    QCOMPARE(m_prompt.fileTitles, QStringList{"Create/Open Log File"});
    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(m_prompt.asked[0].text, "Replace existing file (Yes) or Append (No) - " + path + "?");
    QCOMPARE(m_prompt.asked[0].buttons, Prompt::YesNo);
    QCOMPARE(m_prompt.asked[0].icon, Prompt::Question);
    m_log->LogMessage(Init, "after");
    m_log->CloseLogFile();
    QVERIFY(!m_log->logFileOpen());
    QCOMPARE(readAll(path), QByteArray("earlier line\r\nInit\tafter\r\n"));
    // The folder of the chosen file is where the next dialog starts.
    QCOMPARE(m_setting->GetUserSetting("Directories", "DataDir"), QFileInfo(path).absolutePath());
  }

  void replaceExistingFile()
  {
    const QString path = m_home->filePath("old.log");
    {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly));
      f.write("earlier line\r\n");
    }
    openLog(path, Prompt::AnswerYes);
    m_log->LogMessage(Error, "fresh");
    m_log->CloseLogFile();
    QCOMPARE(readAll(path), QByteArray("Error\tfresh\r\n"));
  }

  void newFileAsksNothing()
  {
    const QString path = m_home->filePath("new.log");
    m_prompt.files << path;
    QCOMPARE(m_log->OpenLogFile(true), int16_t(0));
    QCOMPARE(m_prompt.fileTitles, QStringList{"Create/Open Service Log File"});
    QVERIFY(m_prompt.asked.isEmpty());
    // The system overview is written without prefix.
    m_log->LogMessage(Init, "Overview\r\nline two", false);
    m_log->CloseLogFile();
    QCOMPARE(readAll(path), QByteArray("Overview\r\nline two\r\n"));
  }

  void openFailures()
  {
    QAction open, close;
    m_log->bindMenus({&open, &close, nullptr, nullptr, nullptr, nullptr});
    // Cancelled dialog: an error number, nothing changes.
    m_prompt.files << QString();
    QCOMPARE(m_log->OpenLogFile(false), Logger::kDialogCancelled);
    QVERIFY(!m_log->logFileOpen());
    QVERIFY(open.isEnabled());
    QVERIFY(!close.isEnabled());
    // A file that cannot be created: exclamation box, non-zero number.
    m_prompt.files << m_home->filePath("no/such/folder/x.log");
    const int16_t rc = m_log->OpenLogFile(false);
    QVERIFY(rc != 0);
    QVERIFY(!m_log->logFileOpen());
    QCOMPARE(m_prompt.asked.size(), 1);
    QCOMPARE(m_prompt.asked[0].icon, Prompt::Exclamation);
    QVERIFY(m_prompt.asked[0].text.contains("x.log"));
    QVERIFY(open.isEnabled());
    QVERIFY(!close.isEnabled());
    QVERIFY(m_setting->GetUserSetting("Directories", "DataDir").isEmpty());
    // The logger goes on working.
    m_log->LogMessage(Init, "still here");
    QCOMPARE(m_pane->toPlainText(), QStringLiteral("Init\tstill here"));
  }

  // A log file on a full device: every line asks Retry/Cancel with the
  // critical icon; Retry writes the line again, Cancel drops it, and the
  // caller is never disturbed.
  void failedWriteAnsweredCancel()
  {
    if (!QFileInfo("/dev/full").isWritable())
      QSKIP("/dev/full is not available");
    openLog("/dev/full", Prompt::AnswerNo);
    QCOMPARE(m_prompt.asked.size(), 1); // the Replace/Append question
    m_prompt.asked.clear();
    m_prompt.answers = {Prompt::AnswerRetry, Prompt::AnswerCancel};
    m_log->LogMessage(Init, "lost line");
    QCOMPARE(m_prompt.asked.size(), 2);
    for (const auto& a : m_prompt.asked) {
      QCOMPARE(a.buttons, Prompt::RetryCancel);
      QCOMPARE(a.icon, Prompt::Critical);
      QVERIFY(a.text.contains("/dev/full"));
    }
    // The next line asks again; with no operator the answer is Cancel.
    m_log->LogMessage(Error, "second lost line");
    QCOMPARE(m_prompt.asked.size(), 3);
    QCOMPARE(m_prompt.asked[2].answer, Prompt::AnswerCancel);
    QVERIFY(m_log->logFileOpen());
    QVERIFY(m_pane->toPlainText().endsWith("Init\tlost line"));
    m_log->CloseLogFile();
  }

  void menus()
  {
    QAction open, close, errorsOnly, echoAll, echoErr, echoPokes;
    m_log->bindMenus({&open, &close, &errorsOnly, &echoAll, &echoErr, &echoPokes});
    QVERIFY(echoAll.isCheckable() && !echoAll.isChecked());
    QVERIFY(echoErr.isEnabled() && echoPokes.isEnabled());
    QVERIFY(open.isEnabled() && !close.isEnabled());

    echoAll.trigger();
    QVERIFY(m_log->EchoAll && echoAll.isChecked());
    QVERIFY(!echoErr.isEnabled() && !echoPokes.isEnabled());
    echoAll.trigger();
    QVERIFY(!m_log->EchoAll && !echoAll.isChecked());
    QVERIFY(echoErr.isEnabled() && echoPokes.isEnabled());

    echoErr.trigger();
    QVERIFY(m_log->EchoErr && echoErr.isChecked());
    m_log->mnuEchoErr_Click();
    QVERIFY(!m_log->EchoErr && !echoErr.isChecked());
    echoPokes.trigger();
    QVERIFY(m_log->EchoLinkPokes && echoPokes.isChecked());
    errorsOnly.trigger();
    QVERIFY(m_log->LogErrorsOnly && errorsOnly.isChecked());
    m_log->mnuEchoAll_Click();
    QVERIFY(echoAll.isChecked() && !echoPokes.isEnabled());

    m_prompt.files << m_home->filePath("menu.log");
    open.trigger();
    QVERIFY(m_log->logFileOpen());
    QVERIFY(!open.isEnabled() && close.isEnabled());
    close.trigger();
    QVERIFY(!m_log->logFileOpen());
    QVERIFY(open.isEnabled() && !close.isEnabled());
  }

  void menuSettingsRoundTrip()
  {
    QAction open, close, errorsOnly, echoAll, echoErr, echoPokes;
    m_log->bindMenus({&open, &close, &errorsOnly, &echoAll, &echoErr, &echoPokes});
    m_setting->SaveUserSetting("Menu Settings", "EchoAll", "True");
    m_setting->SaveUserSetting("Menu Settings", "EchoLinkPokes", "True");
    m_setting->SaveUserSetting("Options", "ColorBack", "FF0000");
    m_setting->SaveUserSetting("Options", "ColorFore", "ffff");
    m_log->RetrieveMenuSettings();
    QVERIFY(m_log->EchoAll && !m_log->EchoErr && m_log->EchoLinkPokes && !m_log->LogErrorsOnly);
    QVERIFY(echoAll.isChecked() && echoPokes.isChecked() && !echoErr.isChecked());
    QVERIFY(!echoErr.isEnabled());
    QCOMPARE(m_log->consoleBack(), 0xFF0000);
    QCOMPARE(m_pane->palette().color(QPalette::Base), QColor(0, 0, 255)); // stored as B*65536 + G*256 + R
    QCOMPARE(m_pane->palette().color(QPalette::Text), QColor(255, 255, 0));

    m_log->mnuEchoAll_Click();
    m_log->mnuLogErrorsOnly_Click();
    m_log->cycleConsoleColours(); // blue is not in the cycle: unchanged
    QCOMPARE(m_log->consoleBack(), 0xFF0000);
    m_log->StoreCurrentMenuSettings();
    QCOMPARE(m_setting->GetUserSetting("Menu Settings", "EchoAll"), QStringLiteral("False"));
    QCOMPARE(m_setting->GetUserSetting("Menu Settings", "LogErrorsOnly"), QStringLiteral("True"));
    QCOMPARE(m_setting->GetUserSetting("Menu Settings", "EchoLinkPokes"), QStringLiteral("True"));
    QCOMPARE(m_setting->GetUserSetting("Options", "ColorBack"), QStringLiteral("FF0000"));
    QCOMPARE(m_setting->GetUserSetting("Options", "ColorFore"), QStringLiteral("FFFF"));

    // Unreadable colours fall back to the system colours.
    m_setting->SaveUserSetting("Options", "ColorBack", "pink");
    m_log->RetrieveMenuSettings();
    QCOMPARE(m_log->consoleBack(), -1);
    m_log->StoreCurrentMenuSettings();
    QCOMPARE(m_setting->GetUserSetting("Options", "ColorBack"), QStringLiteral("system"));
  }

  void colourCycle()
  {
    const QColor systemBase = m_pane->palette().color(QPalette::Base);
    const int expected[][2] = {{255, 65535},     {65280, 255}, {65535, 16711680}, {16777215, 0},
                               {0, 16777215}, {8388608, 65535}, {-1, -1}};
    for (const auto& e : expected) {
      m_pane->clear();
      m_log->cycleConsoleColours();
      QCOMPARE(m_log->consoleBack(), e[0]);
      QCOMPARE(m_log->consoleFore(), e[1]);
      if (e[0] >= 0)
        QCOMPARE(m_pane->palette().color(QPalette::Base), Logger::colourFromNumber(e[0]));
      QVERIFY(m_pane->toPlainText().startsWith("Init\t"));
    }
    QCOMPARE(m_pane->palette().color(QPalette::Base), systemBase);
  }

  void stdoutMirror()
  {
    QTemporaryFile capture;
    QVERIFY(capture.open());
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    QVERIFY(saved >= 0);
    QVERIFY(dup2(capture.handle(), STDOUT_FILENO) >= 0);
    m_log->setConsole(nullptr);
    m_log->setMirrorToStdout(true);
    m_log->LogMessage(Init, "to stdout");
    m_log->LogMessage(Read, "not echoed");
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    QCOMPARE(readAll(capture.fileName()), QByteArray("Init\tto stdout\n"));
  }
};

QTEST_MAIN(TestLogger)
#include "tst_logger.moc"
