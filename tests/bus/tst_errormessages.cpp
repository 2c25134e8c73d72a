// Fieldbus error codes: the message table, the quiet rules, counting,
// logging and publishing on the server's error items.
#include "bus/ErrorMessages.h"
#include "core/Configuration.h"
#include "core/ProcessState.h"
#include "log/Logger.h"

#include <Debug.h>
#include <Folder.h>
#include <Setting.h>

#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace tesmira;

namespace {
// Records what the server topic would publish; stands where the topic layer
// plugs in its items P(1) and P(2).
struct Published {
  int item;
  QString text;
};
}

class TestErrorMessages : public QObject {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> m_home;
  std::unique_ptr<support::Folder> m_folder;
  std::unique_ptr<support::Setting> m_setting;
  std::unique_ptr<support::Debug> m_debug;
  Configuration m_cfg;
  ProcessState m_state;
  std::unique_ptr<Logger> m_log;
  std::unique_ptr<QPlainTextEdit> m_pane;
  std::unique_ptr<ErrorMessages> m_err;
  QList<Published> m_published;
  QStringList m_labels;
  int m_devId = 0;

  QByteArray debugLog() const
  {
    QFile f(m_debug->fileName());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

private slots:
  void init()
  {
    m_home = std::make_unique<QTemporaryDir>();
    qputenv("TESMIRA_HOME", m_home->path().toLocal8Bit());
    m_folder = std::make_unique<support::Folder>();
    m_folder->ClassInitialize(m_home->path(), "Tesmira");
    m_setting = std::make_unique<support::Setting>();
    m_setting->ClassInitialize(m_folder.get());
    m_debug = std::make_unique<support::Debug>();
    QCOMPARE(m_debug->ClassInitialize(m_setting.get()), QString());
    m_cfg = Configuration();
    m_cfg.LogFormat = 0;
    m_state = ProcessState();
    m_state.NotReady = false;
    m_state.TopicsCreated = true;
    m_log = std::make_unique<Logger>(m_setting.get(), m_debug.get(), m_cfg);
    m_pane = std::make_unique<QPlainTextEdit>();
    m_log->setConsole(m_pane.get());
    m_log->EchoErr = true; // Error lines show on the console
    m_err = std::make_unique<ErrorMessages>(m_state, m_cfg, *m_log, m_debug.get());
    m_published.clear();
    m_labels.clear();
    m_devId = 0;
    m_err->publishError = [this](int item, const QString& text) { m_published.append({item, text}); };
    m_err->showErrorCount = [this](const QString& t) { m_labels.append(t); };
    m_err->channelDevId = [this](int) { return m_devId; };
    m_err->parameterName = [](int p) { return p == 8 ? QStringLiteral("Measure") : QString(); };
  }

  void cleanup()
  {
    m_err.reset();
    m_log.reset();
    m_pane.reset();
    m_debug.reset();
    m_setting.reset();
    m_home.reset();
  }

  void table_data()
  {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("returned");
    const char* rows[][2] = {
        {"This process is claimed by another application and cannot be operated by your PC-application", "?"},
        {"No such command possible for this module", "?"},
        {"No such process at this module", "n/a"},
        {"No such parameter at this process", "n/a"},
        {"Type of parameter sent differs from type on module", "n/a"},
        {"Wrong value for this parameter or not accepted", "n/a"},
        {"No communication activity on SORANET detected", "?"},
        {"Start character serial communication failed", "?"},
        {"Serial communication failed", "?"},
        {"Memory on SORANET module failed", "?"},
        {"Wrong SORANET node number", "?"},
        {"General communication error with SORANET (DLL retries expired)", "?"},
        {"This parameter value can only be read", "n/a"},
        {"There is no communication between PC and SORANET", "?"},
        {"No/bad communication between PC and RS232-interface module", "?"},
        {"Not enough memory in your PC for communication structure", "?"},
        {"This parameter value can only be send", "n/a"},
        {"SORANET system configuration is unknown", "?"},
        {"SORANET system reached maximum size", "?"},
        {"You need another type of interface for this option", "?"},
        {"Error building device control block for serial port", "?"},
        {"Open communication went wrong", "?"},
        {"Communication status error", "?"},
        {"Interface tries to start communication (alone in system)", "?"},
        {"Time out on receiving a message", "?"},
        {"No ':' on start of message", "?"},
        {"Error in first digit", "?"},
        {"Buffer overflow in interface module", "?"},
        {"Buffer overflow in SORANET.DLL", "?"},
        {"Requested answer not found", "?"},
        {"Closing communication error", "?"},
        {"Other application performs action", "?"},
        {"Requested message has not been send", "?"},
        {"Error in received data", "?"},
        {"No event present in real-time channel on interface module", "?"},
        {"Module not available on SORANET", "n/a"},
        {"Tesmira not ready to communicate with SORANET", "?"},
        {"Parameter not correctly in Tesmira database", "?"},
        {"Requested parameter value not received", "?"},
        {"There are too many messages to be handled in the DLL", "?"},
        {"There are some unhandled/unremoved messages in the DLL", "?"},
        {"Buffer overflow in SORANET module", "?"},
        {"Timeout on polling parameters", "?"},
        {"Parameter unavailable", "?"},
    };
    for (int code = 1; code <= 44; ++code)
      QTest::addRow("%d", code) << code << QString(rows[code - 1][0]) << QString(rows[code - 1][1]);
    for (int code : {45, 99, 32767, -1, -32768})
      QTest::addRow("%d", code) << code << QStringLiteral("Unknown error occured") << QStringLiteral("?");
  }

  // Each code reported in full: message on the console (no channel), counted,
  // published on P(1) for a read and P(2) for a write, returned text.
  void table()
  {
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QString, returned);
    QCOMPARE(ErrorMessages::ErrorText(code), message);
    QCOMPARE(ErrorMessages::ErrorReturn(code), returned);
    m_cfg.SuppressCompatibilityErrors = false;
    m_state.bExtendPolling = 0;
    for (bool write : {false, true}) {
      m_pane->clear();
      m_published.clear();
      const long before = m_err->ErrorCount;
      QCOMPARE(m_err->HandleErrorMessage(int16_t(code), 0, 0, write, "ctx"), returned);
      QCOMPARE(m_pane->toPlainText(), "Error\tIn message to node-process\t" + message);
      QCOMPARE(m_err->ErrorCount, before + 1);
      QCOMPARE(m_published.size(), 1);
      QCOMPARE(m_published[0].item, write ? 2 : 1);
      QCOMPARE(m_published[0].text, message);
    }
    QVERIFY(debugLog().contains(("Error\t " + message + " ctx").toUtf8()));
  }

  void successPublishesZero()
  {
    QCOMPARE(ErrorMessages::ErrorReturn(0), QString());
    QCOMPARE(m_err->HandleErrorMessage(0, 3, 8, false, ""), QString());
    QCOMPARE(m_err->HandleErrorMessage(0, 3, 8, true, ""), QString());
    QCOMPARE(m_published.size(), 2);
    QCOMPARE(m_published[0].item, 1);
    QCOMPARE(m_published[0].text, QStringLiteral("0"));
    QCOMPARE(m_published[1].item, 2);
    QCOMPARE(m_published[1].text, QStringLiteral("0"));
    QVERIFY(m_pane->toPlainText().isEmpty());
    QCOMPARE(m_err->ErrorCount, 0L);
    QVERIFY(m_labels.isEmpty());
  }

  void parameterLine()
  {
    QCOMPARE(m_err->HandleErrorMessage(36, 3, 8, false, "reading"), QStringLiteral("n/a"));
    QCOMPARE(m_pane->toPlainText(),
             "Error\tCh003   P008   Measure" + QString(14, ' ') + "\t Module not available on SORANET");
    // Channel without parameter: the node-process form.
    m_pane->clear();
    m_err->HandleErrorMessage(25, 3, 0, false, "");
    QCOMPARE(m_pane->toPlainText(), QStringLiteral("Error\tIn message to node-process\tTime out on receiving a message"));
    QCOMPARE(m_labels, (QStringList{"1", "2"}));
  }

  void quietRules_data()
  {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<bool>("write");
    QTest::addColumn<bool>("notReady");
    QTest::addColumn<bool>("rawTest");
    QTest::addColumn<bool>("compat");
    QTest::addColumn<int>("devId");
    QTest::addColumn<int>("hold");
    QTest::addColumn<bool>("reported");
    QTest::addColumn<QString>("published"); // "-" for nothing published

    const QString none = "-";
    const QString zero = "0";
    // Early returns: nothing reported or published.
    QTest::newRow("1 with 189") << 1 << 189 << false << false << false << false << 0 << 0 << false << none;
    QTest::newRow("1 with 188") << 1 << 188 << false << false << false << false << 0 << 0 << true << "";
    QTest::newRow("22 with 27") << 22 << 27 << true << false << false << false << 0 << 0 << false << none;
    QTest::newRow("22 with 28") << 22 << 28 << true << false << false << false << 0 << 0 << true << "";
    QTest::newRow("39 on hold") << 39 << 8 << false << false << false << false << 0 << 2 << false << none;
    QTest::newRow("39 no hold") << 39 << 8 << false << false << false << false << 0 << 0 << true << "";
    // 3: compatibility on reads, or not ready (raw test does not matter).
    QTest::newRow("3 read compat") << 3 << 8 << false << false << false << true << 0 << 0 << false << zero;
    QTest::newRow("3 write compat") << 3 << 8 << true << false << false << true << 0 << 0 << true << "";
    QTest::newRow("3 not ready raw") << 3 << 8 << true << true << true << false << 0 << 0 << false << none;
    // 4: not ready without raw test, or compatibility on reads.
    QTest::newRow("4 not ready") << 4 << 8 << true << true << false << false << 0 << 0 << false << none;
    QTest::newRow("4 not ready raw") << 4 << 8 << true << true << true << false << 0 << 0 << true << none;
    QTest::newRow("4 read compat") << 4 << 8 << false << false << false << true << 0 << 0 << false << zero;
    QTest::newRow("4 write compat") << 4 << 8 << true << false << false << true << 0 << 0 << true << "";
    // 5, 6, 17: not ready without raw test.
    for (int c : {5, 6, 17}) {
      QTest::addRow("%d not ready", c) << c << 8 << false << true << false << true << 0 << 0 << false << none;
      QTest::addRow("%d not ready raw", c) << c << 8 << false << true << true << true << 0 << 0 << true << none;
      QTest::addRow("%d ready compat", c) << c << 8 << false << false << false << true << 0 << 0 << true << "";
    }
    // 34: compatibility and an older device type.
    for (int dev : {5, 16, 17, 18, 19})
      QTest::addRow("34 dev %d", dev) << 34 << 8 << true << false << false << true << dev << 0 << false << zero;
    QTest::newRow("34 dev 15") << 34 << 8 << false << false << false << true << 15 << 0 << true << "";
    QTest::newRow("34 dev 20") << 34 << 8 << false << false << false << true << 20 << 0 << true << "";
    QTest::newRow("34 dev 5 no compat") << 34 << 8 << false << false << false << false << 5 << 0 << true << "";
    // 44: compatibility on reads only.
    QTest::newRow("44 read compat") << 44 << 8 << false << false << false << true << 0 << 0 << false << zero;
    QTest::newRow("44 write compat") << 44 << 8 << true << false << false << true << 0 << 0 << true << "";
    QTest::newRow("44 read no compat") << 44 << 8 << false << false << false << false << 0 << 0 << true << "";
    // Others are reported even while not ready (but not published then).
    QTest::newRow("12 not ready") << 12 << 8 << false << true << false << true << 0 << 0 << true << none;
    QTest::newRow("32767") << 32767 << 8 << false << false << false << true << 0 << 0 << true << "";
  }

  void quietRules()
  {
    QFETCH(int, code);
    QFETCH(int, parameter);
    QFETCH(bool, write);
    QFETCH(bool, notReady);
    QFETCH(bool, rawTest);
    QFETCH(bool, compat);
    QFETCH(int, devId);
    QFETCH(int, hold);
    QFETCH(bool, reported);
    QFETCH(QString, published);
    m_state.NotReady = notReady;
    m_state.RawTestActive = rawTest;
    m_state.bExtendPolling = hold;
    m_cfg.SuppressCompatibilityErrors = compat;
    m_devId = devId;

    const QString message = ErrorMessages::ErrorText(code);
    QCOMPARE(m_err->HandleErrorMessage(int16_t(code), 2, int16_t(parameter), write, "x"),
             ErrorMessages::ErrorReturn(code));
    QCOMPARE(m_err->ErrorCount, reported ? 1L : 0L);
    QCOMPARE(m_pane->toPlainText().contains(message), reported);
    QCOMPARE(debugLog().contains(message.toUtf8()), reported);
    if (published == "-") {
      QVERIFY(m_published.isEmpty());
    } else {
      QCOMPARE(m_published.size(), 1);
      QCOMPARE(m_published[0].item, write ? 2 : 1);
      QCOMPARE(m_published[0].text, published.isEmpty() ? message : published);
    }
  }

  void suppressErrorsSilencesAll()
  {
    m_state.SuppressErrors = true;
    m_cfg.SuppressCompatibilityErrors = false;
    QCOMPARE(m_err->HandleErrorMessage(0, 1, 8, false, ""), QString());
    QCOMPARE(m_err->HandleErrorMessage(36, 1, 8, false, ""), QStringLiteral("?"));
    QCOMPARE(m_err->HandleErrorMessage(7, 0, 0, true, ""), QStringLiteral("?"));
    QVERIFY(m_published.isEmpty());
    QVERIFY(m_pane->toPlainText().isEmpty());
    QCOMPARE(m_err->ErrorCount, 0L);
  }

  void noTopicsNoPublishing()
  {
    m_state.TopicsCreated = false;
    m_err->HandleErrorMessage(7, 0, 0, false, "");
    QCOMPARE(m_err->ErrorCount, 1L);
    QVERIFY(m_published.isEmpty());
    // Without any hooks set, reporting still works.
    ErrorMessages bare(m_state, m_cfg, *m_log, nullptr);
    m_state.TopicsCreated = true;
    QCOMPARE(bare.HandleErrorMessage(34, 1, 8, false, ""), QStringLiteral("?"));
    QCOMPARE(bare.ErrorCount, 1L);
  }

  void counterMaximum()
  {
    m_cfg.SuppressCompatibilityErrors = false;
    m_err->ErrorCount = 9999998;
    m_err->HandleErrorMessage(44, 0, 0, false, "");
    m_err->HandleErrorMessage(44, 0, 0, false, "");
    m_err->HandleErrorMessage(44, 0, 0, false, "");
    QCOMPARE(m_labels, (QStringList{"9999999", "maximum", "maximum"}));
    QCOMPARE(m_err->ErrorCount, 10000001L);
    m_err->ResetErrorCount();
    QCOMPARE(m_err->ErrorCount, 0L);
    QCOMPARE(m_labels.last(), QStringLiteral("0"));
  }
};

QTEST_MAIN(TestErrorMessages)
#include "tst_errormessages.moc"
