// Fieldbus error codes: the message table, the quiet rules, counting,
// logging and publishing on the server's error items.
#include "LoggerWorld.h"
#include "RowCompare.h"
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

  // Each code's message, reported (with no channel) and the text returned
  // ("n/a" for the codes that say the parameter is not there).
  void table()
  {
    const char* const texts[] = {
        "This process is claimed by another application and cannot be operated by your PC-application",
        "No such command possible for this module", "No such process at this module",
        "No such parameter at this process", "Type of parameter sent differs from type on module",
        "Wrong value for this parameter or not accepted", "No communication activity on SORANET detected",
        "Start character serial communication failed", "Serial communication failed",
        "Memory on SORANET module failed", "Wrong SORANET node number",
        "General communication error with SORANET (DLL retries expired)", "This parameter value can only be read",
        "There is no communication between PC and SORANET",
        "No/bad communication between PC and RS232-interface module",
        "Not enough memory in your PC for communication structure", "This parameter value can only be send",
        "SORANET system configuration is unknown", "SORANET system reached maximum size",
        "You need another type of interface for this option", "Error building device control block for serial port",
        "Open communication went wrong", "Communication status error",
        "Interface tries to start communication (alone in system)", "Time out on receiving a message",
        "No ':' on start of message", "Error in first digit", "Buffer overflow in interface module",
        "Buffer overflow in SORANET.DLL", "Requested answer not found", "Closing communication error",
        "Other application performs action", "Requested message has not been send", "Error in received data",
        "No event present in real-time channel on interface module", "Module not available on SORANET",
        "Tesmira not ready to communicate with SORANET", "Parameter not correctly in Tesmira database",
        "Requested parameter value not received", "There are too many messages to be handled in the DLL",
        "There are some unhandled/unremoved messages in the DLL", "Buffer overflow in SORANET module",
        "Timeout on polling parameters", "Parameter unavailable"};
    const QList<int> notThere = {3, 4, 5, 6, 13, 17, 36};
    QList<int> codes{45, 99, 32767, -1, -32768};
    for (int code = 1; code <= 44; ++code)
      codes << code;
    w->cfg.SuppressCompatibilityErrors = false;
    for (int code : codes) {
      const QByteArray row = "code " + QByteArray::number(code);
      const QString message = code >= 1 && code <= 44 ? texts[code - 1] : "Unknown error occured";
      ROW_COMPARE(row, ErrorMessages::ErrorText(code), message);
      w->pane.clear();
      ROW_COMPARE(row, m_err->HandleErrorMessage(int16_t(code), 0, 0, false, ""), QString(notThere.contains(code) ? "n/a" : "?"));
      ROW_COMPARE(row, console(), "Error\tIn message to node-process\t" + message);
    }
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

  // Which codes stay quiet under which conditions. published: "-" nothing,
  // "" the message, else that text.
  void quietRules()
  {
    struct Case {
      QByteArray name;
      int code, parameter;
      bool write, notReady, rawTest, compat;
      int devId, hold;
      bool reported;
      QString published;
      bool suppress = false, noTopics = false;
    };
    QList<Case> cases = {
        // Success is published as "0", nothing reported. Early returns:
        // nothing reported or published.
        {"success", 0, 8, false, false, false, false, 0, 0, false, "0"},
        {"1 on P189", 1, 189, false, false, false, false, 0, 0, false, "-"},
        {"1 on P188", 1, 188, false, false, false, false, 0, 0, true, ""},
        {"22 writing P27", 22, 27, true, false, false, false, 0, 0, false, "-"},
        {"22 writing P28", 22, 28, true, false, false, false, 0, 0, true, ""},
        {"39 while polling is held", 39, 8, false, false, false, false, 0, 2, false, "-"},
        {"39", 39, 8, false, false, false, false, 0, 0, true, ""},
        // 3: compatibility on reads, or not ready (raw test does not matter).
        // 4: not ready without raw test, or compatibility on reads.
        {"3 read, compatibility", 3, 8, false, false, false, true, 0, 0, false, "0"},
        {"3 written, compatibility", 3, 8, true, false, false, true, 0, 0, true, ""},
        {"3 not ready, raw test", 3, 8, true, true, true, false, 0, 0, false, "-"},
        {"4 not ready", 4, 8, true, true, false, false, 0, 0, false, "-"},
        {"4 not ready, raw test", 4, 8, true, true, true, false, 0, 0, true, "-"},
        {"4 read, compatibility", 4, 8, false, false, false, true, 0, 0, false, "0"},
        // 34: compatibility and an older device type. 44: compatibility on
        // reads only.
        {"34 device 15", 34, 8, false, false, false, true, 15, 0, true, ""},
        {"34 device 20", 34, 8, false, false, false, true, 20, 0, true, ""},
        {"34 no compatibility", 34, 8, false, false, false, false, 5, 0, true, ""},
        {"44 read, compatibility", 44, 8, false, false, false, true, 0, 0, false, "0"},
        {"44 written, compatibility", 44, 8, true, false, false, true, 0, 0, true, ""},
        {"44 no compatibility", 44, 8, false, false, false, false, 0, 0, true, ""},
        // Others are reported even while not ready (but not published then).
        // SuppressErrors silences everything; without topics nothing is
        // published.
        {"12 not ready", 12, 8, false, true, false, true, 0, 0, true, "-"},
        {"32767", 32767, 8, false, false, false, true, 0, 0, true, ""},
        {"success, suppressed", 0, 8, false, false, false, false, 0, 0, false, "-", true},
        {"36 suppressed", 36, 8, false, false, false, false, 0, 0, false, "-", true},
        {"7 without topics", 7, 0, false, false, false, false, 0, 0, true, "-", false, true}};
    // 5, 6, 17: not ready without raw test.
    for (int c : {5, 6, 17}) {
      const QByteArray n = QByteArray::number(c);
      cases << Case{n + " not ready", c, 8, false, true, false, true, 0, 0, false, "-"}
            << Case{n + " not ready, raw test", c, 8, false, true, true, true, 0, 0, true, "-"}
            << Case{n + " ready", c, 8, false, false, false, true, 0, 0, true, ""};
    }
    for (int dev : {5, 16, 17, 18, 19})
      cases << Case{"34 written, device " + QByteArray::number(dev), 34, 8, true, false, false, true, dev, 0, false, "0"};

    for (const Case& c : cases) {
      cleanup();
      init();
      m_state.NotReady = c.notReady;
      m_state.RawTestActive = c.rawTest;
      m_state.bExtendPolling = c.hold;
      m_state.SuppressErrors = c.suppress;
      m_state.TopicsCreated = !c.noTopics;
      w->cfg.SuppressCompatibilityErrors = c.compat;
      m_devId = c.devId;
      const QString message = ErrorMessages::ErrorText(c.code);
      // A silenced failure says only that there is no value.
      const QString returned = c.suppress && c.code ? QStringLiteral("?") : ErrorMessages::ErrorReturn(c.code);
      ROW_COMPARE(c.name, m_err->HandleErrorMessage(int16_t(c.code), 2, int16_t(c.parameter), c.write, "x"), returned);
      ROW_COMPARE(c.name, console().isEmpty(), !c.reported);
      ROW_VERIFY(c.name, !c.reported || console().contains(message));
      ROW_VERIFY(c.name, c.code == 0 || w->debugLog().contains(message.toUtf8()) == c.reported);
      ROW_COMPARE(c.name, m_labels.isEmpty(), !c.reported);
      const QString item = QString("%1:%2").arg(c.write ? 2 : 1).arg(c.published.isEmpty() ? message : c.published);
      ROW_COMPARE(c.name, m_published, c.published == "-" ? QStringList() : QStringList{item});
    }
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
