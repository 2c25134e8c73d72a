// Fieldbus error codes: the message table, the quiet rules, counting,
// logging and publishing on the server's error items.
#include "LoggerWorld.h"
#include "Shipped.h"
#include "bus/ErrorMessages.h"
#include "core/ProcessState.h"

#include <QtTest>

using namespace tesmira;

class TestErrorMessages : public QObject {
  Q_OBJECT

  std::unique_ptr<LoggerWorld> w;
  ProcessState m_state;
  std::unique_ptr<ErrorMessages> m_err;
  QStringList m_published; // "item:text" as the server topic would show it on P(1) and P(2)
  QStringList m_labels;
  int m_devId = 0;

  QString console() const { return w->pane.toPlainText(); }

private slots:
  void init()
  {
    w = std::make_unique<LoggerWorld>();
    QVERIFY2(w->error.isEmpty(), qPrintable(w->error));
    m_state = ProcessState();
    m_state.NotReady = false;
    m_state.TopicsCreated = true;
    w->log->EchoErr = true; // Error lines show on the console
    m_err = std::make_unique<ErrorMessages>(m_state, w->cfg, *w->log, &w->debug);
    m_published.clear();
    m_labels.clear();
    m_devId = 0;
    m_err->publishError = [this](int item, const QString& text) { m_published << QString("%1:%2").arg(item).arg(text); };
    m_err->showErrorCount = [this](const QString& t) { m_labels.append(t); };
    m_err->channelDevId = [this](int) { return m_devId; };
    m_err->parameterName = [](int p) { return p == 8 ? QStringLiteral("Measure") : QString(); };
  }

  void cleanup()
  {
    m_err.reset();
    w.reset();
  }

  // Every code under every condition that can quiet it, as shipped
  // (tests/bus/error-rules.txt): what the report returns ("?", "n/a" as n,
  // nothing as .), whether it is reported (R: a console line with the
  // message, a debug-log line and a new count on the label, all three or
  // none, else "x"), and what the error item gets (m the message, 0, or
  // - nothing). Then each code's console line without a channel.
  void rules()
  {
    struct Condition {
      const char* name;
      bool write = false, compat = false, notReady = false, rawTest = false;
      int hold = 0, parameter = 8, devId = 0;
      bool suppress = false, noTopics = false;
    };
    const Condition conditions[] = {
        {"read"}, {"write", true}, {"c.read", false, true}, {"c.write", true, true},
        {"nr.read", false, false, true}, {"nr.raw", false, false, true, true}, {"nr.c.raw", false, true, true, true},
        {"held", false, false, false, false, 2}, {"P27w", true, false, false, false, 0, 27},
        {"P28w", true, false, false, false, 0, 28}, {"P188", false, false, false, false, 0, 188},
        {"P189", false, false, false, false, 0, 189}, {"c.dev4", false, true, false, false, 0, 8, 4},
        {"c.dev5", false, true, false, false, 0, 8, 5}, {"c.dev15", false, true, false, false, 0, 8, 15},
        {"c.dev16w", true, true, false, false, 0, 8, 16}, {"c.dev19", false, true, false, false, 0, 8, 19},
        {"c.dev20", false, true, false, false, 0, 8, 20}, {"dev5", false, false, false, false, 0, 8, 5},
        {"supp", false, false, false, false, 0, 8, 0, true}, {"notopic", false, false, false, false, 0, 8, 0, false, true}};
    QList<int> codes{-32768, -1};
    for (int code = 0; code <= 45; ++code)
      codes << code;
    codes << 99 << 32767;
    QString heading = "code     ";
    for (const Condition& c : conditions)
      heading += QStringLiteral(" %1").arg(c.name, -8);
    // Neighbouring codes that behave alike share a row.
    QStringList shown{heading.trimmed()};
    shown += shipped::runs(codes, [&](int code) {
      QString row;
      for (const Condition& c : conditions) {
        cleanup();
        init();
        m_state.NotReady = c.notReady;
        m_state.RawTestActive = c.rawTest;
        m_state.bExtendPolling = c.hold;
        m_state.SuppressErrors = c.suppress;
        m_state.TopicsCreated = !c.noTopics;
        w->cfg.SuppressCompatibilityErrors = c.compat;
        m_devId = c.devId;
        const QString message = ErrorMessages::ErrorText(code);
        const QString returned = m_err->HandleErrorMessage(int16_t(code), 2, int16_t(c.parameter), c.write, "x");
        const bool inConsole = console().contains(message), inDebug = w->debugLog().contains(' ' + message.toUtf8() + " x");
        const QString reported = inConsole && inDebug && m_labels == QStringList{"1"} ? "R"
                                 : !inConsole && !inDebug && m_labels.isEmpty() && console().isEmpty() ? " " : "x";
        const QString item = m_published.isEmpty() ? "-"
                             : m_published == QStringList{QString("%1:%2").arg(c.write ? 2 : 1).arg(message)} ? "m"
                             : m_published == QStringList{QString("%1:0").arg(c.write ? 2 : 1)} ? "0" : "?";
        row += QStringLiteral(" %1").arg((returned == "n/a" ? "n" : returned.isEmpty() ? "." : returned) + reported + item, -8);
      }
      return row.trimmed();
    }, 9);
    // Each code's console line without a channel.
    QStringList lines;
    for (int code : codes) {
      cleanup();
      init();
      w->cfg.SuppressCompatibilityErrors = false;
      m_err->HandleErrorMessage(int16_t(code), 0, 0, false, "");
      lines << QStringLiteral("%1 %2").arg(code).arg(console());
    }
    const QString diff = shipped::differs(shown + lines, "tests/bus/error-rules.txt");
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
  }

  // The lines a report writes: a parameter line for a channel's parameter,
  // the node-process form otherwise; the debug log gets the extra text.
  void parameterLine()
  {
    QCOMPARE(m_err->HandleErrorMessage(36, 3, 8, false, "reading"), QStringLiteral("n/a"));
    QCOMPARE(console(),
             "Error\tCh003   P008   Measure" + QString(14, ' ') + "\t Module not available on SORANET");
    QVERIFY(w->debugLog().contains("Error\t Module not available on SORANET reading"));
    w->pane.clear();
    m_err->HandleErrorMessage(25, 3, 0, true, "");
    QCOMPARE(console(), QStringLiteral("Error\tIn message to node-process\tTime out on receiving a message"));
    QCOMPARE(m_labels, (QStringList{"1", "2"}));
    QCOMPARE(m_published, (QStringList{"1:Module not available on SORANET", "2:Time out on receiving a message"}));
  }

  void counterMaximum()
  {
    w->cfg.SuppressCompatibilityErrors = false;
    m_err->ErrorCount = 9999998;
    for (int i = 0; i < 3; ++i)
      m_err->HandleErrorMessage(44, 0, 0, false, "");
    m_err->ResetErrorCount();
    QCOMPARE(m_labels, (QStringList{"9999999", "maximum", "maximum", "0"}));
  }
};

QTEST_MAIN(TestErrorMessages)
#include "tst_errormessages.moc"
