// The real tesmira program, headless, driven by link clients and the
// tesmira-dde tool: opening and closing through the server topic, the
// single-instance check against a second process, polling switches kept in
// the database, and the service log written on a command. One
// server on the in-process virtual bus serves these cases; each case brings
// it to the state it starts from (running, communication open or closed), so
// any case runs alone or in any order. (What the
// instrument receives from a poke: tst_commands; a COM name on a
// pseudo-terminal: tst_program_modes.)
#include "ProcessRig.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

using processrig::Program;

class TestCommandsProgram : public QObject {
  Q_OBJECT
  Program sim; // on the in-process virtual bus, shared by the cases below

  static constexpr const char* kCommon = "[Communication]\nInterfaceName=SIM\n[Settings]\nPollParametersOnInit=False\n";

  // The server runs (started again after a case stopped it).
  bool running()
  {
    return sim.process.state() == QProcess::Running || sim.start(kCommon);
  }
  // The server runs with the communication open and polling.
  bool serving()
  {
    if (!running())
      return false;
    if (sim.get("Server", "OpenCom") != "1" && sim.tool({"poke", "Tesmira", "Server", "OpenCom", "1"}) != 0)
      return false;
    return until([&] { return sim.get("Server", "ComStatus") == "Normal polling"; });
  }
  // The server runs with the communication closed.
  bool closed()
  {
    return running() && (sim.get("Server", "OpenCom") != "1" || sim.put("Server", "OpenCom", "0"));
  }

private slots:
  void initTestCase()
  {
    // The service log case below starts with "Log errors only" on.
    QVERIFY(sim.write("user.ini", "[Menu Settings]\nLogErrorsOnly=True\n"));
    QVERIFY2(sim.start(kCommon), qPrintable(QString::fromLocal8Bit(sim.process.readAllStandardError())));
  }

  void openComPokes()
  {
    QVERIFY(closed());
    QCOMPARE(sim.get("C(1)", "P(0)"), QString("<none>"));
    QCOMPARE(sim.tool({"poke", "Tesmira", "Server", "OpenCom", "1"}), 0);
    for (const auto& [item, value] :
         {std::pair{"OpenCom", "1"}, {"MaxChan", "8"}, {"MaxNode", "8"}, {"InterfaceChan", "1"}})
      QCOMPARE(sim.get("Server", item), QString(value));
    // (Opened again with "True": tst_dde_topics; the topics C(0) to C(8) and
    // no more: tst_product.)
  }

  // The lock file is one guard; the link-layer check is the other, and it
  // alone must keep a second server out.
  void secondProcessIsRefused()
  {
    QVERIFY(running());
    QVERIFY(QFile::remove(sim.home.runtime() + "/Tesmira.lock"));
    const auto [code, out, err] = sim.run("tesmira", {"/NT"});
    QCOMPARE(code, 1);
    QVERIFY2(err.contains("There is already an instance of Tesmira running."), qPrintable(err));
    QCOMPARE(sim.get("Server", "ProductName"), QString("Tesmira"));
  }

  void pollingSwitches()
  {
    QVERIFY(serving());
    // SelChan picks a channel, Polling shows and switches the picked one.
    QStringList shown;
    for (const auto& [item, value] : {std::pair{"SelChan", "3"}, {"Polling", "0"}, {"SelChan", "2"}, {"SelChan", "3"}})
      shown << (sim.put("Server", item, value) ? sim.get("Server", "Polling") : QString("refused"));
    QCOMPARE(shown, QStringList({"-1", "0", "-1", "0"}));
    QCOMPARE(std::pair(sim.polled(3), sim.polled(2)), std::pair(0, 1));
    // SelChan 0: Polling switches every channel.
    QVERIFY(sim.put("Server", "SelChan", "0"));
    for (int on : {0, 1}) {
      QVERIFY(sim.put("Server", "Polling", on ? "-1" : "0"));
      for (int c = 1; c <= 8; ++c)
        QCOMPARE(sim.polled(c), on);
    }
  }

  // -2 on C(0) writes the service log to the data folder (no operator to
  // choose a file): the overview of every channel, then the Read lines
  // although "Log errors only" is on; the command item goes back to "0".
  // (Every parameter read and the option put back: tst_optools.)
  void serviceLogCommand()
  {
    QVERIFY(serving());
    QCOMPARE(sim.tool({"poke", "--timeout", "60000", "Tesmira", "C(0)", "P(0)", "--", "-2"}), 0);
    QVERIFY(until([&] { return sim.get("C(0)", "P(0)") == "0"; }));
    const QStringList logs = QDir(sim.home.path() + "/data/Tesmira32").entryList({"ServiceLog-*.log"});
    QCOMPARE(logs.size(), 1);
    QFile f(sim.home.path() + "/data/Tesmira32/" + logs[0]);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromLatin1(f.readAll());
    QVERIFY2(text.startsWith("Tesmira SORANET DDE-server\r\nDate: "), qPrintable(text.left(200)));
    for (int c = 1; c <= 8; ++c)
      QVERIFY2(text.contains(QRegularExpression(QString("\r\n%1  \\d{3}  \\d{3}  \\d\\d ").arg(c, 3, 10, QChar('0')))),
               qPrintable(QString("no overview row for channel %1").arg(c)));
    QVERIFY(text.contains("\r\nParameter values:\r\n"));
    QVERIFY(text.contains("Read\tCh008   P"));
  }

  void closeComPokes()
  {
    QVERIFY(serving());
    QVERIFY(sim.put("Server", "OpenCom", "0"));
    QCOMPARE(sim.get("Server", "OpenCom"), QString("0"));
    for (const char* item : {"MaxChan", "MaxNode", "InterfaceChan"})
      QCOMPARE(sim.get("Server", item), QString("0"));
    QCOMPARE(sim.get("C(1)", "P(0)"), QString("<none>"));
  }
};

QTEST_MAIN(TestCommandsProgram)
#include "tst_commands_program.moc"
