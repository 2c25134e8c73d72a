// The line writer: routing of categories to console and log file, the line
// layouts, the console pane limit, the log file (new, appended, replaced,
// failing), the menus and stored options, and the debug log.
#include "LoggerWorld.h"

#include <Prompt.h>

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

using namespace tesmira;
using support::Prompt;

class TestLogger : public QObject {
  Q_OBJECT

  std::unique_ptr<LoggerWorld> w;
  Logger* log = nullptr;
  support::ScriptedPrompt m_prompt;

  // Opens path as the log file through the dialog, answering the
  // Replace/Append question (when it comes) with answer.
  void openLog(const QString& path, Prompt::Answer answer = Prompt::AnswerNo, bool serviceLog = false)
  {
    m_prompt.files << path;
    m_prompt.answers << answer;
    QCOMPARE(log->OpenLogFile(serviceLog), int16_t(0));
    QVERIFY(log->logFileOpen());
    m_prompt.answers.clear();
  }

  // What the operator was asked, one "icon buttons: text" per question.
  static QString box(int icon, int buttons, const QString& text)
  {
    return QStringLiteral("%1 %2: %3").arg(icon).arg(buttons).arg(text);
  }
  QStringList asked() const
  {
    QStringList out;
    for (const auto& a : m_prompt.asked)
      out << box(a.icon, a.buttons, a.text);
    return out;
  }

private slots:
  void init()
  {
    w = std::make_unique<LoggerWorld>();
    log = w->log.get();
    m_prompt = support::ScriptedPrompt();
    support::setPrompt(&m_prompt);
  }

  void cleanup()
  {
    support::setPrompt(nullptr);
    w.reset();
  }

  // Every category against every combination of the four options, with and
  // without a log file. The expectation is the routing table read column by
  // column, not the writer's own sequence of steps.
  void routingTable()
  {
    const QString path = w->file("route.log");
    for (int open = 0; open < 2; ++open) {
      if (open)
        openLog(path);
      for (int opts = 0; opts < 16; ++opts) {
        log->EchoAll = opts & 1;
        log->EchoErr = opts & 2;
        log->EchoLinkPokes = opts & 4;
        log->LogErrorsOnly = opts & 8;
        for (int cat : {0, 1, 2, 3, 4, 5, 6, 9, -1}) {
          const bool errOrWarn = cat == Error || cat == Warn;
          const bool wantConsole = log->EchoAll || cat == Init || cat == Debug || (errOrWarn && log->EchoErr)
                                   || (cat == Write && log->EchoLinkPokes);
          const bool wantFile = open && (errOrWarn || !log->LogErrorsOnly);
          const QString text = QStringLiteral("line %1/%2/%3").arg(open).arg(opts).arg(cat);
          w->pane.clear();
          const qint64 before = QFileInfo(path).size();
          log->LogMessage(cat, text);
          const QString expected = Logger::CategoryName(cat) + '\t' + text;
          // The text first, so that a failure shows which case it was.
          QCOMPARE(std::tuple(text, w->pane.toPlainText(), LoggerWorld::read(path).mid(before)),
                   std::tuple(text, wantConsole ? expected : QString(),
                              wantFile ? (expected + "\r\n").toUtf8() : QByteArray()));
        }
      }
      log->CloseLogFile();
    }
    QCOMPARE(Logger::CategoryName(9), QStringLiteral("Msg"));
  }

  void parameterText()
  {
    const QString pad20(20, ' ');
    struct Case {
      int category, channel, parameter;
      QString name;
      QVariant value;
      QString extra, expected;
    } cases[] = {
        {3, 1, 8, "Measure", " 12.5 ", "x", "Ch001   P008   Measure              \t Val: 12.5 x"},
        {3, 12, 5, "", "1", "", "Ch012   P005    " + pad20 + "\t Val: 1 "},
        {3, 1234, 510, "A", 7, "e", "Ch1234   P510   A" + pad20 + "\t Val: 7 e"},
        // Names of 21 characters and more are shortened around "...", 20 are padded.
        {3, 1, 1, "Setpoint slope in sec", "v", "", "Ch001   P001   Setpo... slope in sec\t Val: v "},
        {3, 1, 1, "Setpoint slope in se", "v", "", "Ch001   P001   Setpoint slope in se \t Val: v "},
        {3, 2, 9, "N", "", "extra", "Ch002   P009   N" + pad20 + "\t extra"},
        {3, 2, 9, "N", "   ", "", "Ch002   P009   N" + pad20 + "\t "},
        {4, 2, 9, "N", "", "poke", "Ch002   P009   N" + pad20 + "\t Val:  poke"},
        {1, -5, 0, "N", QVariant(), "m", "Ch-005   P000   N" + pad20 + "\t m"},
    };
    // (As a whole line on the console: valuesCannotForgeLines.)
    for (const Case& c : cases)
      QCOMPARE(Logger::ParameterText(c.category, c.channel, c.parameter, c.name, c.value, c.extra), c.expected);
  }

  void timePrefix()
  {
    // Formats 0 to 7 (4 is hundredths alone), then 9 (only the low three
    // bits count).
    const QDateTime at(QDate(2024, 3, 5), QTime(7, 8, 9, 456));
    const QStringList expected = {"", "2024-03-05 ", "07:08:09 ", "2024-03-05 07:08:09 ", "", "2024-03-05 ",
                                  "07:08:09.46 ", "2024-03-05 07:08:09.46 ", "2024-03-05 "};
    for (int format = 0; format < 9; ++format)
      QCOMPARE(Logger::TimePrefix(format == 8 ? 9 : format, at), expected[format]);
    // Hundredths are rounded as shown: 9.996 s is ...10.00, shown as "00".
    QCOMPARE(Logger::TimePrefix(6, QDateTime(at.date(), QTime(0, 0, 9, 996))), QStringLiteral("00:00:09.00 "));
    // The format is read at each line, so a change applies at once.
    w->cfg.LogFormat = 2;
    log->LogMessage(Init, "now");
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d Init\tnow$").match(w->pane.toPlainText()).hasMatch());
  }

  void consoleLimit()
  {
    // Below 16384 characters nothing is cut; at or above, the pane keeps its
    // last 12288 characters before the new line is added. A line break
    // counts two (CR LF); a cut that ends in a break drops it.
    const QString full = QByteArray("abcdefghijklmnopqrstuvwxyz").repeated(770).left(20000);
    const QString a(8000, 'a');
    const QList<QPair<QString, QString>> cases = {
        {full.left(16383), full.left(16383)},
        {full.left(16384), full.left(16384).right(12288)},
        {full, full.right(12288)},
        {a + '\n' + QString(8382, 'b'), a.left(3904) + '\n' + QString(8382, 'b')},
        {a + '\n' + QString(12287, 'b'), QString(12287, 'b')},
    };
    for (const auto& [before, kept] : cases) {
      w->pane.setPlainText(before);
      log->Write2Console("new line");
      QCOMPARE(w->pane.toPlainText(), kept + "\nnew line");
    }
  }

  // A new file asks nothing; an existing one is replaced (Yes) or appended
  // to (No). The system overview goes in without prefix.
  void logFile()
  {
    const QString path = w->file("old.log");
    const struct {
      bool serviceLog, existing;
      Prompt::Answer answer;
      const char *title, *before;
    } rows[] = {
        {true, false, Prompt::AnswerNo, "Create/Open Service Log File", ""},
        {false, true, Prompt::AnswerNo, "Create/Open Log File", "earlier line\r\n"},
        {false, true, Prompt::AnswerYes, "Create/Open Log File", ""},
    };
    for (const auto& r : rows) {
      QFile f(path);
      f.remove();
      if (r.existing && (!f.open(QIODevice::WriteOnly) || f.write("earlier line\r\n") < 0))
        QFAIL("cannot write the earlier file");
      f.close();
      m_prompt = support::ScriptedPrompt();
      openLog(path, r.answer, r.serviceLog);
      QCOMPARE(m_prompt.fileTitles, QStringList{r.title});
      const QString replace = "Replace existing file (Yes) or Append (No) - " + path + "?";
      QCOMPARE(asked(), r.existing ? QStringList{box(Prompt::Question, Prompt::YesNo, replace)} : QStringList());
      log->LogMessage(Error, "after");
      log->LogMessage(Init, "Overview\r\nline two", false);
      log->CloseLogFile();
      QCOMPARE(LoggerWorld::read(path), r.before + QByteArray("Error\tafter\r\nOverview\r\nline two\r\n"));
    }
    // The folder of the chosen file is where the next dialog starts.
    QCOMPARE(w->setting.GetUserSetting("Directories", "DataDir"), QFileInfo(path).absolutePath());
  }

  // A file that cannot be opened or written: the system's description in a
  // box, nothing lost for the caller, the logger goes on.
  void fileErrors()
  {
    // Cancelled dialog: an error number, nothing changes.
    m_prompt.files << QString();
    QCOMPARE(log->OpenLogFile(false), Logger::kDialogCancelled);
    // A file that cannot be created: the description in an exclamation box,
    // a non-zero number.
    m_prompt.files << w->file("no/such/folder/x.log");
    QVERIFY(log->OpenLogFile(false) != 0);
    QVERIFY(!log->logFileOpen());
    QCOMPARE(asked(), QStringList{box(Prompt::Exclamation, Prompt::Ok, "No such file or directory")});
    QVERIFY(log->openLogEnabled() && !log->closeLogEnabled());

    // A log file on a full device: every line asks Retry/Cancel with the
    // critical icon; Retry writes the line again, Cancel drops it.
    if (!QFileInfo("/dev/full").isWritable())
      QSKIP("/dev/full is not available");
    openLog("/dev/full", Prompt::AnswerNo);
    m_prompt.asked.clear(); // the Replace/Append question
    m_prompt.answers = {Prompt::AnswerRetry, Prompt::AnswerCancel};
    log->LogMessage(Init, "lost line");
    QCOMPARE(asked(), QStringList(2, box(Prompt::Critical, Prompt::RetryCancel, "No space left on device")));
    // The next line asks again; with no operator the answer is Cancel.
    log->LogMessage(Error, "second lost line");
    QCOMPARE(std::tuple(int(m_prompt.asked.size()), m_prompt.asked.last().answer), std::tuple(3, Prompt::AnswerCancel));
    QVERIFY(log->logFileOpen());
    QVERIFY(w->pane.toPlainText().endsWith("Init\tlost line"));
  }

  // Menu options and console colours come from and go back to the user
  // settings; Echo all info greys out the two echo options it includes; a
  // double-click steps the colours through their cycle; the menus are told
  // of every change. (Which menu items each state offers: tst_mainwindow.)
  void storedOptionsAndColours()
  {
    QSignalSpy told(log, &Logger::optionsChanged);
    support::Setting& s = w->setting;
    s.SaveUserSetting("Menu Settings", "EchoAll", "True");
    s.SaveUserSetting("Options", "ColorBack", "FF0000");
    s.SaveUserSetting("Options", "ColorFore", "ffff");
    log->RetrieveMenuSettings();
    QVERIFY(log->EchoAll && !log->EchoErr && !log->echoErrEnabled() && !log->echoLinkPokesEnabled());
    QCOMPARE(told.count(), 1);
    // Stored as B*65536 + G*256 + R.
    QCOMPARE(QList({w->pane.palette().color(QPalette::Base), w->pane.palette().color(QPalette::Text)}),
             QList({QColor(0, 0, 255), QColor(255, 255, 0)}));
    log->mnuEchoAll_Click();
    log->mnuEchoErr_Click();
    log->mnuEchoLinkPokes_Click();
    log->mnuLogErrorsOnly_Click();
    QVERIFY(!log->EchoAll && log->EchoErr && log->EchoLinkPokes && log->LogErrorsOnly && log->echoLinkPokesEnabled());
    QCOMPARE(told.count(), 5);
    log->cycleConsoleColours(); // blue is not in the cycle: unchanged
    log->StoreCurrentMenuSettings();
    QStringList stored;
    for (const char* key : {"EchoAll", "EchoErr", "EchoLinkPokes", "LogErrorsOnly"})
      stored << s.GetUserSetting("Menu Settings", key);
    QCOMPARE(stored << s.GetUserSetting("Options", "ColorBack") << s.GetUserSetting("Options", "ColorFore"),
             QStringList({"False", "True", "True", "True", "FF0000", "FFFF"}));

    // Unreadable colours fall back to the system colours, where the cycle starts.
    s.SaveUserSetting("Options", "ColorBack", "pink");
    log->RetrieveMenuSettings();
    const QColor systemBase = w->pane.palette().color(QPalette::Base);
    const int cycle[][2] = {{255, 65535}, {65280, 255},      {65535, 16711680}, {16777215, 0},
                            {0, 16777215}, {8388608, 65535}, {-1, -1}};
    for (const auto& e : cycle) {
      w->pane.clear();
      log->cycleConsoleColours();
      QCOMPARE(QList({log->consoleBack(), log->consoleFore()}), QList({e[0], e[1]}));
      QVERIFY(w->pane.toPlainText().startsWith("Init\t"));
    }
    QCOMPARE(w->pane.palette().color(QPalette::Base), systemBase);
    log->StoreCurrentMenuSettings();
    QCOMPARE(s.GetUserSetting("Options", "ColorBack"), QStringLiteral("system"));
  }

  // A value with line breaks or other control characters cannot start a
  // line of its own, in the console, the log file or debug.log.
  void valuesCannotForgeLines()
  {
    openLog(w->file("forge.log"));
    log->EchoAll = true;
    const QString forged = "8000\n2026-12-06 02:00:00 Init\tServer is active";
    const QList<QPair<QString, QString>> cases = {
        {forged, "8000\\n2026-12-06 02:00:00 Init\tServer is active"},
        {"a\rb\r\nc", "a\\rb\\r\\nc"},
        {QString("x\x01\x1b[2Jy\x7f") + QChar(0x85) + QChar(0x2028) + "z", "x\\x01\\x1B[2Jy\\x7F\\x85\\u2028z"},
    };
    for (const auto& [value, shown] : cases) {
      w->pane.clear();
      log->LogParameter(Write, 3, 33, "Free text", value, "poke");
      w->debug.LogMsg("Info", "poked " + value);
      QCOMPARE(w->pane.toPlainText(), Logger::ParameterText(Write, 3, 33, "Free text", shown, "poke").prepend("Write\t"));
    }
    for (const QByteArray& file : {LoggerWorld::read(w->file("forge.log")), w->debugLog()}) {
      for (const QByteArray& line : file.split('\n'))
        QVERIFY2(line.isEmpty() || line.startsWith("Write\t") || line.startsWith("20"), line.constData());
      QVERIFY(file.contains("8000\\n2026-12-06"));
    }
    // The pane keeps no undo history of the lines it shows.
    QVERIFY(!w->pane.document()->isUndoRedoEnabled());
  }

  // debug.log moves aside at its size limit while the program runs; three
  // files at most are kept.
  void debugLogRotates()
  {
    w->debug.setMaxSize(2000);
    for (int i = 0; i < 200; ++i)
      w->debug.LogMsg("Info", QStringLiteral("line %1 ").arg(i) + QString(40, 'x'));
    const QString path = w->debug.fileName();
    QVERIFY(QFileInfo(path).size() <= 2000 && QFileInfo::exists(path + ".2") && !QFileInfo::exists(path + ".3"));
    QVERIFY(LoggerWorld::read(path).contains("line 199 "));
    QVERIFY(QFileInfo(path + ".1").size() > 2000 - 80 && QFileInfo(path + ".1").size() <= 2080);
  }
};

QTEST_MAIN(TestLogger)
#include "tst_logger.moc"
