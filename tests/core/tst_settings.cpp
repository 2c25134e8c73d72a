// Version texts, the readers of numbers and booleans, and the port
// settings: loading with its corrections and gates, conversion errors, and
// the setters behind the poll settings. (The setters' clamping and storage
// as the operator reaches them: tst_dialogs; through the server topic:
// tst_dde_topics.)
#include "RowCompare.h"
#include "ServerRig.h"
#include "Shipped.h"

#include "core/Settings.h"
#include "core/clsGeneral.h"
#include "engine/MessageEngine.h"
#include "mqtt/MqttConfig.h"
#include "web/WebServer.h"

#include "Paths.h"
#include "Setting.h"

#include <QSqlQuery>
#include <QtTest>

#include <unistd.h>

using namespace tesmira;

namespace {
void writeIni(const QString& path, const QString& text)
{
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Append));
  f.write(text.toUtf8());
}
// A server on the current settings folder with the port settings loaded.
std::unique_ptr<Server> loaded(const std::function<void(Server&)>& before = {})
{
  auto s = std::make_unique<Server>();
  s->createGeneral(".");
  if (before)
    before(*s);
  LoadPortSettings(*s);
  return s;
}
}

class TestSettings : public QObject {
  Q_OBJECT
private slots:
  // Where settings, data, logs and the runtime folder are: the private
  // world of TESMIRA_HOME; a service's folders from systemd (the first of a
  // list); the XDG folders of a user; their defaults below the home folder.
  void folders()
  {
    const char* vars[] = {"TESMIRA_HOME", "TESMIRA_RUNTIME_DIR", "CONFIGURATION_DIRECTORY", "STATE_DIRECTORY",
                          "RUNTIME_DIRECTORY", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"};
    const QByteArray home = QDir::homePath().toUtf8();
    const struct {
      const char* row;
      QList<QByteArray> values; // of vars, in order; empty: unset
      QStringList folders;      // settings, defaults, data, logs, runtime
    } rows[] = {
        {"private world", {"/w", "", "/etc/t", "/var/lib/t", "/run/t", "/x", "/x", "/x", "/r"},
         {"/w", "", "/w/data", "/w/logs", "/run/t"}},
        {"service", {"", "", "/etc/t:/etc/u", "/var/lib/t:/v", "/run/t:/u", "/x", "/x", "/x", "/r"},
         {"/var/lib/t/settings", "/etc/t", "/var/lib/t", "/var/lib/t", "/run/t"}},
        {"service without state", {"", "", "/etc/t", "", "", "/x", "/x", "/x", "/r"},
         {"/etc/t", "", "/x", "/x/Tesmira", "/r"}},
        {"user", {"", "/tr", "", "", "", "/c", "/d", "/s", "/r"}, {"/c/Tesmira", "", "/d", "/s/Tesmira", "/tr"}},
        {"user defaults", {"", "", "", "", "", "", "", "", ""},
         {home + "/.config/Tesmira", "", home + "/.local/share", home + "/.local/state/Tesmira",
          QString("/tmp/tesmira-runtime-%1").arg(getuid())}},
    };
    const auto set = [](const char* name, const QByteArray& value) {
      if (value.isEmpty())
        qunsetenv(name);
      else
        qputenv(name, value);
    };
    QHash<QByteArray, QByteArray> saved;
    for (const char* v : vars)
      saved.insert(v, qgetenv(v));
    const auto restore = qScopeGuard([&] {
      for (const char* v : vars)
        set(v, saved[v]);
    });
    for (const auto& r : rows) {
      for (size_t i = 0; i < std::size(vars); ++i)
        set(vars[i], r.values[qsizetype(i)]);
      using namespace support::Paths;
      ROW_COMPARE(r.row, QStringList({settingsDir(), settingsDefaultsDir(), commonDataDir(), logDir(), runtimeDir()}),
                  r.folders);
    }
  }

  // The [MQTT] and [Http] sections of program.ini: values taken at both
  // edges of their ranges, and each refusal with its text (the server then
  // says it and starts without that access).
  void bridgeAndWebSettings()
  {
    const struct {
      const char* row;
      QString ini;     // program.ini
      QString refusal; // what the reading says; empty: taken
    } rows[] = {
        {"mqtt lowest port, qos 0", "[MQTT]\nEnabled=True\nPort=1\nQos=0\nService=lab\n", ""},
        {"mqtt highest port, qos 2", "[MQTT]\nEnabled=True\nPort=65535\nQos=2\nPayload=JSON\n", ""},
        {"mqtt port 0", "[MQTT]\nEnabled=True\nPort=0\n", "Port '0' is not a port number (1 to 65535)"},
        {"mqtt port 65536", "[MQTT]\nEnabled=True\nPort=65536\n", "Port '65536' is not a port number (1 to 65535)"},
        {"mqtt qos -1", "[MQTT]\nEnabled=True\nQos=-1\n", "Qos '-1' is not 0, 1 or 2"},
        {"mqtt qos 3", "[MQTT]\nEnabled=True\nQos=3\n", "Qos '3' is not 0, 1 or 2"},
        {"mqtt service level", "[MQTT]\nEnabled=True\nService=a/b\n", "Service 'a/b' cannot be a topic level (empty, or holds / + #)"},
        {"mqtt prefix", "[MQTT]\nEnabled=True\nTopicPrefix=a#\n", "TopicPrefix 'a#' cannot start a topic (empty, or holds + #)"},
        {"mqtt payload", "[MQTT]\nEnabled=True\nPayload=xml\n", "Payload 'xml' is not text or json"},
        {"mqtt ca file", "[MQTT]\nEnabled=True\nCaFile=/nonexistent/ca.pem\n", "CaFile /nonexistent/ca.pem does not exist"},
        {"mqtt off, its errors unread", "[MQTT]\nEnabled=False\nPort=0\n", ""},
        {"web lowest port", "[Http]\nPort=1\n", ""},
        {"web highest port", "[Http]\nPort=65535\nBind=127.0.0.1\n", ""},
        {"web port 0", "[Http]\nPort=0\n", "Port '0' is not a port number (1 to 65535)"},
        {"web port 65536", "[Http]\nPort=65536\n", "Port '65536' is not a port number (1 to 65535)"},
        {"web bind", "[Http]\nPort=8080\nBind=localhost\n", "Bind 'localhost' is not an IP address"},
    };
    for (const auto& r : rows) {
      TestHome home;
      writeIni(home.file("program.ini"), r.ini);
      const auto server = loaded();
      MqttConfig mqtt;
      WebServer::Config web;
      const QString said = r.ini.startsWith("[MQTT]") ? MqttConfig::read(*server->setting(), mqtt)
                                                      : WebServer::readConfig(*server, web);
      ROW_COMPARE(r.row, said, r.refusal);
    }
  }

  void versions()
  {
    QCOMPARE(QStringList({clsGeneral::makeVersion(4, 86, ""), clsGeneral::makeVersion(1, 5, "b"),
                          clsGeneral::makeVersion(2, 0, "beta"), clsGeneral::makeFullVersion(4, 86, 12, ""),
                          clsGeneral::makeFullVersion(2, 0, 0, "beta")}),
             QStringList({"V4.86", "V1.05b", "V2.00 beta", "4.86.0.12", "2.0.0.0 beta"}));
  }

  void correctionsAndCombinations()
  {
    TestHome home;
    // (With no settings, COM1: everyOptionByDefaultAndStored; how closed
    // communication shows the interface: the main window's shipped texts in
    // tst_mainwindow.)
    writeIni(home.file("common.ini"),
             "[Communication]\nInterfaceName=\"   \"\nBaudrate=0\nArbitration=0\nAutoIncreaseBaudrate=True\n"
             "[settings]\npolltime=1500\nAllowRemoveUnavailableParameters=False\n"
             "RemoveUnavailableParameters=True\nAllowPollUnavailableParameters=True\nPollUnavailableParameters=True\n");
    const auto server = loaded([](Server& s) { s.options.OptAllowRemove = true; });
    const Configuration& c = server->cfg;
    // Blank name, zero rate and arbitration corrected; automatic baud rate
    // gated by the absent program option; removal allowed by /R; the poll
    // time's section and key found without regard to case, and the pending
    // time-out following it.
    QCOMPARE(std::tuple(c.InterfaceName, c.Baudrate, int(c.Arbitration), c.AutoIncreaseBaudrate),
             std::tuple(QString("COM1"), 38400, 67, false));
    QCOMPARE(std::tuple(c.AllowRemoveUnavailableParameters, c.RemoveUnavailableParameters,
                        c.PollUnavailableParameters, c.Polltime, c.PendingTimeout),
             std::tuple(true, true, true, 1500, 12));
    // Loading writes none of its corrections back.
    QCOMPARE(server->setting()->GetCommonSetting("Communication", "Baudrate", "x"), QString("0"));

    writeIni(home.file("program.ini"), "[Options]\nShowAutoIncreaseBaudrate=True\n");
    const auto t = loaded();
    // Shown by the program option; removal gated off without /R.
    QCOMPARE(std::tuple(t->cfg.AutoIncreaseBaudrate, t->cfg.AllowRemoveUnavailableParameters,
                        t->cfg.RemoveUnavailableParameters),
             std::tuple(true, false, false));
  }

  // Every option: its default when the settings hold none, and a stored
  // value other than the default when loaded again (an option that is not
  // read back keeps what it had).
  void everyOptionByDefaultAndStored()
  {
    TestHome home;
    writeIni(home.file("program.ini"), "[Options]\nShowAutoIncreaseBaudrate=True\n");
    const auto values = [](const Configuration& c) {
      return QVariantList{c.InterfaceName, c.Baudrate, int(c.Arbitration), c.ChainProcess, c.ChainParameter,
                          c.AutoIncreaseBaudrate, int(c.SystemLNA), c.ReopenAfterLoss,
                          c.AllowPollUnavailableParameters, c.AllowRemoveUnavailableParameters,
                          int(c.RetryNetworkAccess), c.PollParametersOnInit, c.IndirectPolling,
                          c.SuppressCompatibilityErrors, c.HideAdvancedParameters, c.TrimTrailingSpaces, c.TrimCRLF,
                          c.LogFormat, c.RemoveUnavailableParameters, c.PollUnavailableParameters,
                          c.IgnoreDatabaseMinMax, c.ChangeMmTimer, c.Polltime, c.PollBatch, c.RealtimePollTime};
    };
    const struct {
      const char* section;
      const char* key;
      const char* text;
      QVariant byDefault, stored;
    } rows[] = {
      {"Communication", "InterfaceName", "tcp:10.0.0.5:4001", "COM1", "tcp:10.0.0.5:4001"},
      {"Communication", "Baudrate", "115200", 38400, 115200},
      {"Communication", "Arbitration", "12", 67, 12},
      {"Communication", "ChainProcess", "False", true, false},
      {"Communication", "ChainParameter", "False", true, false},
      {"Communication", "AutoIncreaseBaudrate", "False", true, false},
      {"Communication", "SystemLNA", "7", 3, 7},
      {"Communication", "ReopenAfterLoss", "False", true, false},
      {"Settings", "AllowPollUnavailableParameters", "True", false, true},
      {"Settings", "AllowRemoveUnavailableParameters", "True", false, true},
      {"Settings", "RetryNetworkAccess", "3", 0, 3},
      {"Settings", "PollParametersOnInit", "False", true, false},
      {"Settings", "IndirectPolling", "True", false, true},
      {"Settings", "SuppressCompatibilityErrors", "False", true, false},
      {"Settings", "HideAdvancedParameters", "False", true, false},
      {"Settings", "TrimTrailingSpaces", "False", true, false},
      {"Settings", "TrimCRLF", "False", true, false},
      {"Settings", "LogFormat", "1", 3, 1},
      {"Settings", "RemoveUnavailableParameters", "True", false, true},
      {"Settings", "PollUnavailableParameters", "True", false, true},
      {"Settings", "IgnoreDatabaseMinMax", "True", false, true},
      {"Settings", "ChangeMmTimer", "True", false, true},
      {"Settings", "Polltime", "250", 100, 250},
      {"Settings", "PollBatch", "4", 10, 4},
      {"Settings", "RealtimePollTime", "60", 25, 60},
    };
    const auto server = loaded();
    const QVariantList byDefault = values(server->cfg);
    for (const auto& r : rows)
      server->setting()->SaveCommonSetting(r.section, r.key, r.text);
    LoadPortSettings(*server);
    const QVariantList stored = values(server->cfg);
    QCOMPARE(byDefault.size(), qsizetype(std::size(rows)));
    for (size_t i = 0; i < std::size(rows); ++i) {
      ROW_COMPARE(rows[i].key, byDefault[i].toString(), rows[i].byDefault.toString());
      ROW_COMPARE(rows[i].key, stored[i].toString(), rows[i].stored.toString());
    }
  }

  void conversionErrors()
  {
    TestHome home;
    writeIni(home.file("common.ini"), "[Settings]\nPolltime=fast\nTrimCRLF=maybe\n[Communication]\nArbitration=300\n");
    const auto server = loaded();
    Server& s = *server;
    // First load: the poll time stays 0; the arbitration's overflow gives 0,
    // then corrected; the keys after the bad ones still load.
    QCOMPARE(std::tuple(s.cfg.Polltime, s.cfg.PendingTimeout, s.cfg.TrimCRLF, int(s.cfg.Arbitration), s.cfg.PollBatch),
             std::tuple(0, 10, false, 67, 10));
    // A later load keeps the previous value instead.
    s.cfg.Polltime = 250;
    LoadPortSettings(s);
    QCOMPARE(s.cfg.Polltime, 250);
    // The bad text is named in the debug log.
    QFile log(home.path() + "/logs/debug.log");
    QVERIFY(log.open(QIODevice::ReadOnly) && log.readAll().contains("Settings/Polltime = 'fast'"));
  }

  // How each reader of texts takes the same texts, as shipped
  // (tests/core/text-readers.txt): the number test, the byte, integer and
  // long conversions (rounded to the even neighbour, refused as "!" out of
  // range or not a number), the boolean of the settings and OpenCom, and the
  // value a write is checked with. Every edge of every range is a row.
  void textReaders()
  {
    const QStringList texts = {"", " ", "0", "1", "-1", "+5", " 12.5 ", "13.5", "-0.5", "-0.6", ".5", "5.", "1e3",
                               "2E-1", "1e", "--5", "0x10", "1,5", "12abc", "inf", "nan", "True", "false",
                               "254.5", "255", "255.5", "256", "-32768", "-32768.5", "-32769", "32767", "32767.5",
                               "32768", "2147483647", "2147483648", "-2147483648", "-2147483649"};
    const auto shown = [](bool ok, double v) { return ok ? QString::number(v, 'g', 12) : QStringLiteral("!"); };
    QStringList lines{"text | numeric | byte | integer | long | boolean | write value"};
    for (const QString& t : texts) {
      bool okByte = false, okInt = false, okLong = false, okBool = false, okValue = false;
      const double byte = ToByte(t, &okByte), integer = ToInteger(t, &okInt), whole = ToLong(t, &okLong);
      const bool b = support::Setting::toBool(t, &okBool);
      const double value = MessageEngine::NumericValue(t, &okValue);
      lines << QStringList{'"' + t + '"', IsNumeric(t) ? "yes" : "no", shown(okByte, byte), shown(okInt, integer),
                           shown(okLong, whole), okBool ? b ? "true" : "false" : "!", shown(okValue, value)}
                   .join(" | ");
    }
    const QString diff = shipped::differs(lines, "tests/core/text-readers.txt");
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
  }

  // Halves round to the even neighbour: 10.5 -> 10, 11.5 -> 12, 17.5 and 18.5 -> 18.
  void pendingTimeoutRounding()
  {
    const int cases[][3] = {{500, 10, 10}, {1500, 10, 12}, {2500, 15, 18}, {3500, 15, 18}, {100, 10, 10}};
    for (const auto& c : cases)
      QCOMPARE(PendingTimeoutFor(c[0], c[1]), c[2]);
  }

  void setters()
  {
    serverrig::Rig r;
    QVERIFY2(r.startServer(), qPrintable(r.failure));
    Server& s = *r.s;
    LoadPortSettings(s);
    QString field = "0";
    QVERIFY(SetPollTime(s, field));
    QCOMPARE(s.cfg.PendingTimeout, 15);
    field = "25"; // unchanged: nothing stored
    QVERIFY(!SetRealtimePollTime(s, field));
    QVERIFY(!s.setting()->contains(support::Setting::Scope::Common, "Settings", "RealtimePollTime"));
    field = "20000";
    QVERIFY(SetRealtimePollTime(s, field));
    QCOMPARE(s.cfg.RealtimePollTime, 10000);
    QCOMPARE(s.setting()->GetCommonSetting("Settings", "RealtimePollTime", ""), QString("10000"));
    // No 32-bit number: the setting falls back to its default, in memory only.
    s.cfg.PollBatch = 120;
    field = "1e20";
    QVERIFY(SetPollBatch(s, field));
    QCOMPARE(s.cfg.PollBatch, 10);
    QCOMPARE(s.fields.value("PollBatch"), QString("10"));
    QVERIFY(!s.setting()->contains(support::Setting::Scope::Common, "Settings", "PollBatch"));

    s.cfg.SystemLNA = 9;
    StoreCurrentSystemLNA(s);
    QCOMPARE(s.setting()->GetCommonSetting("Communication", "SystemLNA", ""), QString("9"));
    QSqlQuery q("SELECT RTPInterval, SystemLNA FROM Commport", s.db->TheDatabase);
    QVERIFY(q.next());
    QCOMPARE(QList<int>({q.value(0).toInt(), q.value(1).toInt()}), QList<int>({10000, 9}));
  }
};

QTEST_MAIN(TestSettings)
#include "tst_settings.moc"
