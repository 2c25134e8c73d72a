// The topic "server": items that mirror the status fields, the pokes that
// open and close the communication, choose the port, switch polling and set
// the poll settings, and the single-instance check through the link layer
// (in-process and with two real tesmira processes).
#include "DdeTestUtil.h"

#include "core/Settings.h"
#include "ui/StatusFields.h"

#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <atomic>
#include <thread>

using namespace tesmira;
using ddeml::AdviseEvent;
using ddeml::AdviseMode;
using ddeml::Client;
using ddeml::ClientError;
using namespace ddetest;

namespace {

const QString kRunning = "There is already an instance of Tesmira running.\r\n"
                         "Running this server application twice is not allowed, this instance will be closed.";

// Another server holding the service name, served on a thread of its own so
// that this thread may block in a request to it.
class OtherInstance : public QThread {
public:
  explicit OtherInstance(const QString& status) : m_status(status) {}
  ~OtherInstance() override
  {
    quit();
    wait();
  }
  std::atomic<bool> ready{false};

protected:
  void run() override
  {
    ddeml::Server srv;
    QString err;
    if (!srv.registerService("Tesmira", &err))
      qFatal("%s", qPrintable(err));
    srv.addTopic("Server");
    srv.createItem("Server", "Status", m_status);
    ready = true;
    exec();
  }

private:
  QString m_status;
};

// The real tesmira program, started headless in a private world; serving()
// waits until it answers on its server topic.
struct RunningServer {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QString binaryDir = qEnvironmentVariable("TESMIRA_BIN_DIR");
  QString binary = binaryDir + "/tesmira";
  QProcess process;

  explicit RunningServer(const TestHome& home)
  {
    env.insert("TESMIRA_HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.runtime());
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    process.setProcessEnvironment(env);
    process.start(binary, {"/NT"});
  }
  ~RunningServer()
  {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished();
    }
  }
  bool serving()
  {
    QString status;
    QDeadlineTimer deadline(20000);
    process.waitForStarted();
    while (process.state() == QProcess::Running && !deadline.hasExpired()) {
      if (ddeml::Request("Tesmira", "Server", "Status", 2000, &status) && !status.isEmpty())
        return true;
      QThread::msleep(20);
    }
    return false;
  }
  QString errors() { return QString::fromLocal8Bit(process.readAllStandardError()); }
  // SIGTERM: the orderly shut-down. Returns the exit code.
  int stop()
  {
    process.terminate();
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode()
                                                                                            : -1;
  }
};

}

class TestServerTopic : public QObject {
  Q_OBJECT
private slots:
  void itemsMirrorFields()
  {
    World w;
    QStringList items = w.dde().link().items("server");
    QCOMPARE(items.size(), StatusFields::itemNames().size());
    w.s.fields.set("MaxChan", "3");
    for (const QString& name : StatusFields::itemNames()) {
      QString v;
      QVERIFY2(request("Server", name.toUpper(), &v), qPrintable(name));
      QCOMPARE(v, w.s.fields.value(name));
    }
    Client c;
    AdviseEvent ev;
    QVERIFY(inThread([&] { return c.connect("Tesmira", "SERVER", 3000) && c.advise("Status", AdviseMode::Hot, 3000); }));
    QVERIFY(inThread([&] { return c.nextAdvise(&ev, 3000); }));
    w.s.fields.set("Status", "Normal polling");
    QVERIFY(inThread([&] { return c.nextAdvise(&ev, 3000); }));
    QCOMPARE(ev.value, QByteArray("Normal polling"));
    // A poke of a display-only item changes the shown text until the
    // server sets the field again.
    QVERIFY(poke("Server", "MaxNode", "77"));
    QCOMPARE(w.s.fields.value("MaxNode"), QString("77"));
    w.s.fields.set("MaxNode", "0");
    QString v;
    QVERIFY(request("Server", "MaxNode", &v));
    QCOMPARE(v, QString("0"));
  }

  void openComPokes()
  {
    World w;
    w.openLog();
    w.fillChannels(2, {{8}, {8}});
    int opened = 0, closed = 0;
    ServerTopic& st = w.dde().serverTopic();
    st.OpenCommunication = [&] {
      ++opened;
      w.dde().AddTopicScr(2);
      ChangeOpenCom(w.s, "1");
    };
    st.CloseCommunication = [&] {
      ++closed;
      w.dde().DeleteTopicScr();
      ChangeOpenCom(w.s, "0");
    };
    QVERIFY(poke("Server", "OpenCom", "1"));
    QCOMPARE(opened, 1);
    QCOMPARE(w.s.fields.value("OpenCom"), QString("1"));
    QString v;
    QVERIFY(request("C(2)", "P(8)", &v));
    QVERIFY(poke("Server", "OpenCom", "True"));
    QCOMPARE(opened, 1);
    QVERIFY(request("Server", "OpenCom", &v));
    QCOMPARE(v, QString("1"));
    QVERIFY(poke("Server", "OpenCom", "0"));
    QCOMPARE(closed, 1);
    QVERIFY(poke("Server", "OpenCom", "false"));
    QCOMPARE(closed, 1);
    QVERIFY(request("Server", "OpenCom", &v));
    QCOMPARE(v, QString("0"));
    // Text that is no boolean is refused and logged.
    ClientError err;
    QVERIFY(!poke("Server", "OpenCom", "maybe", &err));
    QCOMPARE(err, ClientError::PokeFailed);
    QVERIFY(request("Server", "OpenCom", &v));
    QCOMPARE(v, QString("0"));

    const QString log = w.logText();
    const QStringList lines = log.split("\r\n", Qt::SkipEmptyParts);
    auto lineWith = [&](const QString& text) {
      for (const QString& l : lines)
        if (l.endsWith(text))
          return l;
      return QString();
    };
    QVERIFY2(lineWith("Open Communication [DDEItem: Server!OpenCom]").contains("Init"), qPrintable(log));
    QVERIFY(lineWith("Communication already opened! [DDEItem: Server!OpenCom]").contains("Warn"));
    QVERIFY(lineWith("Close Communication [DDEItem: Server!OpenCom]").contains("Init"));
    QVERIFY(lineWith("Communication already closed! [DDEItem: Server!OpenCom]").contains("Warn"));
    QVERIFY(log.contains(QRegularExpression("Error.*maybe")));

    // While an opening processes events, another client's OpenCom poke is
    // no request: nothing is closed under the opening's feet.
    std::atomic<bool> otherPokeDone{false};
    st.OpenCommunication = [&] {
      ++opened;
      std::thread other([&] {
        Client c;
        otherPokeDone = c.connect("Tesmira", "Server", 3000) && c.poke("OpenCom", QString("0"), 5000);
      });
      QDeadlineTimer deadline(10000);
      while (!otherPokeDone && !deadline.hasExpired())
        WaitWithMessages(5);
      other.join();
      w.dde().AddTopicScr(2);
      ChangeOpenCom(w.s, "1");
    };
    QVERIFY(poke("Server", "OpenCom", "1"));
    QVERIFY(otherPokeDone);
    QCOMPARE(opened, 2);
    QCOMPARE(closed, 1);
    QVERIFY(w.s.state.TopicsCreated);
    QVERIFY(request("Server", "OpenCom", &v));
    QCOMPARE(v, QString("1"));
  }

  void interfaceAndBaudrate()
  {
    World w;
    ShowInterfaceSettings(w.s);
    QString v;
    QVERIFY(poke("Server", "Interface", "  /dev/ttyUSB1 "));
    QCOMPARE(w.s.cfg.InterfaceName, QString("/dev/ttyUSB1"));
    QVERIFY(request("Server", "Interface", &v));
    QCOMPARE(v, QString("/dev/ttyUSB1"));
    QVERIFY(poke("Server", "Interface", QByteArray(40, 'x')));
    QCOMPARE(w.s.cfg.InterfaceName, QString(25, 'x'));
    QVERIFY(poke("Server", "Interface", "SIM"));
    ClientError err;
    QVERIFY(!poke("Server", "Interface", "   ", &err));
    QCOMPARE(err, ClientError::PokeFailed);
    QVERIFY(poke("Server", "Baudrate", "19200"));
    QCOMPARE(w.s.cfg.Baudrate, 19200);
    for (const char* bad : {"fast", "0", "-9600", "99999999999"}) {
      QVERIFY2(!poke("Server", "Baudrate", bad, &err), bad);
      QVERIFY(request("Server", "Baudrate", &v));
      QCOMPARE(v, QString("19200"));
    }
    // While the communication is open both are refused and shown again.
    w.s.state.CommOpen = true;
    QVERIFY(!poke("Server", "Interface", "COM2", &err));
    QCOMPARE(err, ClientError::PokeFailed);
    QVERIFY(request("Server", "Interface", &v));
    QCOMPARE(v, QString("SIM"));
    QVERIFY(!poke("Server", "Baudrate", "9600"));
    QCOMPARE(w.s.cfg.Baudrate, 19200);
    QCOMPARE(w.s.cfg.InterfaceName, QString("SIM"));
    QCOMPARE(w.s.fields.value("Interface"), QString("SIM"));
  }

  void selChanAndPolling()
  {
    World w;
    w.fillChannels(3, {{8}, {8}, {8}});
    w.s.channels.ChannelTable[2].Polling = false;
    QList<QPair<int, bool>> calls;
    ServerTopic& st = w.dde().serverTopic();
    auto polledFlags = [&] {
      QList<bool> f;
      for (int c = 1; c <= 3; ++c)
        f << w.s.channels.ChannelTable[c].Polling;
      return f;
    };
    QString v;
    QVERIFY(poke("Server", "SelChan", "3"));
    QVERIFY(request("Server", "Polling", &v));
    QCOMPARE(v, QString("-1"));
    QVERIFY(poke("Server", "SelChan", "2"));
    QVERIFY(request("Server", "Polling", &v));
    QCOMPARE(v, QString("0"));
    QVERIFY(poke("Server", "Polling", "1"));
    QCOMPARE(polledFlags(), QList<bool>({true, true, true}));
    QVERIFY(poke("Server", "Polling", "0"));
    QCOMPARE(polledFlags(), QList<bool>({true, false, true}));
    // SelChan 0: Polling applies to every channel; text counts as 0.
    QVERIFY(poke("Server", "SelChan", "0"));
    QVERIFY(poke("Server", "Polling", "off"));
    QCOMPARE(polledFlags(), QList<bool>({false, false, false}));
    QVERIFY(poke("Server", "Polling", "-1"));
    QCOMPARE(polledFlags(), QList<bool>({true, true, true}));
    // A channel the table does not know shows as polled; the device table's
    // setter is asked for it.
    st.SetChanPolled = [&](int16_t ch, bool on) { calls << qMakePair(int(ch), on); };
    QVERIFY(poke("Server", "SelChan", "9"));
    QVERIFY(request("Server", "Polling", &v));
    QCOMPARE(v, QString("-1"));
    QCOMPARE(calls, (QList<QPair<int, bool>>{{9, true}}));
    QVERIFY(poke("Server", "SelChan", "abc"));
    QCOMPARE(calls.size(), 1);
  }

  void pollSettings()
  {
    World w;
    LoadPortSettings(w.s);
    QStringList order;
    ServerTopic& st = w.dde().serverTopic();
    st.StopPolling = [&] { order << "stop"; };
    st.StartPolling = [&] { order << "start"; };
    ClientError err;
    QString v;
    // Not ready (communication closed): refused, the setting stays.
    QVERIFY(!poke("Server", "PollTime", "500", &err));
    QCOMPARE(err, ClientError::PokeFailed);
    QCOMPARE(w.s.cfg.Polltime, 100);
    QVERIFY(request("Server", "PollTime", &v));
    QCOMPARE(v, QString("100"));

    w.serving();
    QVERIFY(poke("Server", "PollTime", "20000"));
    QCOMPARE(w.s.cfg.Polltime, 10000);
    QCOMPARE(order, QStringList({"stop", "start"}));
    QVERIFY(request("Server", "PollTime", &v));
    QCOMPARE(v, QString("10000"));
    QCOMPARE(w.s.setting()->GetCommonSetting("Settings", "PollTime", ""), QString("10000"));
    QVERIFY(poke("Server", "RTPInterval", "50"));
    QCOMPARE(w.s.cfg.RealtimePollTime, 50);
    QCOMPARE(order.size(), 4);
    QVERIFY(poke("Server", "PollBatch", "0"));
    QCOMPARE(w.s.cfg.PollBatch, 1);
    QCOMPARE(order.size(), 4); // the batch size needs no restart
    QVERIFY(request("Server", "PollBatch", &v));
    QCOMPARE(v, QString("1"));
    QVERIFY(!poke("Server", "PollBatch", "many", &err));
    QVERIFY(request("Server", "PollBatch", &v));
    QCOMPARE(v, QString("1"));
  }

  void checkServerInProcess()
  {
    {
      // Another instance answers: the check says so and takes nothing.
      World w(false);
      OtherInstance other("Idle");
      other.start();
      QVERIFY(waitFor([&] { return other.ready.load(); }));
      QCOMPARE(CheckServer(w.s), kRunning);
      QVERIFY(!w.dde().registered());
    }
    {
      // One that holds the name but answers "n/a" is still not to be
      // served beside: the name cannot be taken.
      World w(false);
      OtherInstance other("n/a");
      other.start();
      QVERIFY(waitFor([&] { return other.ready.load(); }));
      QCOMPARE(CheckServer(w.s), kRunning);
    }
    // Alone: the name is taken, and a second check does not ask itself.
    World w(false);
    QCOMPARE(CheckServer(w.s), QString());
    QVERIFY(w.dde().registered());
    QCOMPARE(CheckServer(w.s), QString());
  }

  void secondProcessIsRefused()
  {
    TestHome home;
    RunningServer first(home);
    QVERIFY2(first.serving(), qPrintable(first.errors()));

    // The lock file is one guard; the link-layer check is the other, and it
    // alone must keep a second server out.
    QVERIFY(QFile::remove(home.runtime() + "/Tesmira.lock"));
    QProcess second;
    second.setProcessEnvironment(first.env);
    second.start(first.binary, {"/NT"});
    QVERIFY(second.waitForFinished(40000));
    QCOMPARE(second.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(second.readAllStandardError()).replace("\r\n", "\n");
    QVERIFY2(err.contains("There is already an instance of Tesmira running.\n"
                          "Running this server application twice is not allowed, this instance will be closed."),
             qPrintable(err));
    // The first one serves on, and goes away in order.
    QString v;
    QVERIFY(ddeml::Request("Tesmira", "Server", "ProductName", 3000, &v));
    QCOMPARE(v, QString("Tesmira"));
    QCOMPARE(first.stop(), 0);
    QVERIFY(!ddeml::Request("Tesmira", "Server", "Status", 1000, &v));
  }

  // OpenCom pokes on the real server with the built-in virtual bus: the
  // channel topics come with the opening and go with the closing.
  void openComOnTheVirtualBus()
  {
    TestHome home;
    QFile ini(home.file("common.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Communication]\nInterfaceName=SIM\n");
    ini.close();
    RunningServer server(home);
    QVERIFY2(server.serving(), qPrintable(server.errors()));
    QString v;
    QVERIFY(ddeml::Request("Tesmira", "Server", "Interface", 3000, &v));
    QCOMPARE(v, QString("SIM"));
    QVERIFY(!ddeml::Request("Tesmira", "C(1)", "P(0)", 3000, &v));
    ddeml::Client c;
    QVERIFY(c.connect("Tesmira", "Server"));
    QVERIFY2(c.poke("OpenCom", QString("1"), 30000), qPrintable(c.errorString()));
    QVERIFY(c.request("OpenCom", &v));
    QCOMPARE(v, QString("1"));
    QVERIFY(c.request("MaxChan", &v));
    const int channels = v.toInt();
    QVERIFY2(channels > 0, qPrintable(v));
    QVERIFY(ddeml::Request("Tesmira", QString("C(%1)").arg(channels), "P(0)", 3000, &v));
    QVERIFY(!ddeml::Request("Tesmira", QString("C(%1)").arg(channels + 1), "P(0)", 3000, &v));
    QVERIFY(ddeml::Request("Tesmira", "C(0)", "P(1)", 3000, &v));
    QCOMPARE(v, QString("readstatus"));
    // Asking for the current state changes nothing.
    QVERIFY(c.poke("OpenCom", QString("True"), 30000));
    QVERIFY(ddeml::Request("Tesmira", "C(1)", "P(0)", 3000, &v));
    QVERIFY(c.poke("OpenCom", QString("0"), 30000));
    QVERIFY(c.request("OpenCom", &v));
    QCOMPARE(v, QString("0"));
    QVERIFY(!ddeml::Request("Tesmira", "C(1)", "P(0)", 3000, &v));
    c.disconnect();
    QCOMPARE(server.stop(), 0);
  }

  // The command-line client and the documented Python example against the
  // real server.
  void clientToolsAgainstRunningServer()
  {
    TestHome home;
    RunningServer server(home);
    QVERIFY2(server.serving(), qPrintable(server.errors()));
    auto run = [&](const QString& program, const QStringList& args, QString* out) {
      QProcess p;
      p.setProcessEnvironment(server.env);
      p.start(program, args);
      if (!p.waitForFinished(20000))
        return -1;
      *out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
      return p.exitCode();
    };
    const QString dde = server.binaryDir + "/tesmira-dde";
    QString out;
    QCOMPARE(run(dde, {"request", "Tesmira", "Server", "ProductName"}, &out), 0);
    QCOMPARE(out, QString("Tesmira"));
    QCOMPARE(run(dde, {"poke", "Tesmira", "Server", "Baudrate", "19200"}, &out), 0);
    QCOMPARE(run(dde, {"request", "tesmira", "server", "baudrate"}, &out), 0);
    QCOMPARE(out, QString("19200"));
    QCOMPARE(run(dde, {"poke", "Tesmira", "Server", "Baudrate", "fast"}, &out), 6);
    QCOMPARE(run(dde, {"request", "Tesmira", "C(1)", "P(8)"}, &out), 4); // no channel topics yet

    const QString python = QStandardPaths::findExecutable("python3");
    if (python.isEmpty())
      QSKIP("python3 is not installed");
    const QString script = qEnvironmentVariable("TESMIRA_SOURCE_DIR") + "/docs/examples/link_client.py";
    QCOMPARE(run(python, {script, "request", "Tesmira", "Server", "Status"}, &out), 0);
    QVERIFY(!out.isEmpty());
    QCOMPARE(run(python, {script, "poke", "Tesmira", "Server", "SelChan", "0"}, &out), 0);
    QCOMPARE(run(python, {script, "request", "Tesmira", "Server", "Baudrate"}, &out), 0);
    QCOMPARE(out, QString("'19200'")); // the example prints Python's repr of the text
    QCOMPARE(server.stop(), 0);
  }
};

QTEST_MAIN(TestServerTopic)
#include "tst_servertopic.moc"
