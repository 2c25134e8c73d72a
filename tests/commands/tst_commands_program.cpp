// The real tesmira program, headless, driven by link clients and the
// tesmira-dde tool: opening and closing through the server topic, the port
// and polling items, write pokes reaching the instrument, refused writes,
// and the command language on C(0)!P(0). One server on the in-process
// virtual bus serves most cases in order; one on a paced pseudo-terminal
// bus held by this test shows what the instrument received.
#include "TestHome.h"

#include "Client.h"
#include "bus.h"
#include "paramdb.h"
#include "server.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <QtTest>

using ddeml::AdviseEvent;
using ddeml::AdviseMode;
using ddeml::Client;

namespace {

// The program in a private world, its console lines (every category is
// echoed) collected in a file.
struct Program {
  TestHome home;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QString bin = qEnvironmentVariable("TESMIRA_BIN_DIR");
  QProcess process;

  void write(const QString& name, const QByteArray& text)
  {
    QFile f(home.file(name));
    if (f.open(QIODevice::WriteOnly))
      f.write(text);
  }
  bool start(const QByteArray& commonIni, const QStringList& args = {"/NT"})
  {
    write("common.ini", commonIni);
    write("user.ini", "[Menu Settings]\nEchoAll=True\n");
    env.insert("TESMIRA_HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.runtime());
    env.insert("TESMIRA_SIM_PACING", "0");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(home.file("console.txt"));
    process.start(bin + "/tesmira", args);
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
  ~Program()
  {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished();
    }
  }
  int stop()
  {
    process.terminate();
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  }

  QStringList console() const
  {
    QFile f(home.file("console.txt"));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                       : QStringList();
  }
  bool waitConsole(const QString& text, int from = 0, int ms = 10000) const
  {
    QDeadlineTimer dl(ms);
    do {
      const QStringList l = console().mid(from);
      for (const QString& line : l)
        if (line.contains(text))
          return true;
      QThread::msleep(10);
    } while (!dl.hasExpired());
    return false;
  }

  // tesmira-dde with its exit code; out receives what it printed.
  int tool(const QStringList& args, QString* out = nullptr)
  {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(bin + "/tesmira-dde", args);
    if (!p.waitForFinished(30000))
      return -1;
    if (out)
      *out = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    return p.exitCode();
  }
  QString get(const QString& topic, const QString& item)
  {
    QString v;
    return ddeml::Request("Tesmira", topic, item, 5000, &v) ? v : QStringLiteral("<none>");
  }
  bool put(const QString& topic, const QString& item, const QString& value)
  {
    Client c;
    return c.connect("Tesmira", topic) && c.poke(item, value, 60000);
  }
  template <typename F> static bool until(F cond, int ms = 10000)
  {
    QDeadlineTimer dl(ms);
    while (!cond()) {
      if (dl.hasExpired())
        return false;
      QThread::msleep(10);
    }
    return true;
  }
  int polled(int channel)
  {
    int v = -1;
    {
      QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "netdevpar");
      db.setDatabaseName(home.defaultDatabase());
      db.setConnectOptions("QSQLITE_OPEN_READONLY");
      QSqlQuery q(db);
      if (db.open() && q.exec(QString("SELECT Polling FROM NetDevPar WHERE Dev_Chan=%1 ORDER BY rowid").arg(channel)) &&
          q.next())
        v = q.value(0).toInt();
    }
    QSqlDatabase::removeDatabase("netdevpar");
    return v;
  }
};

QString ch(int c) { return QString("Ch%1   P").arg(c, 3, 10, QChar('0')); }

int countIn(const QStringList& lines, const QString& a, const QString& b = {})
{
  int n = 0;
  for (const QString& l : lines)
    n += l.contains(a) && l.contains(b);
  return n;
}

}

class TestCommandsProgram : public QObject {
  Q_OBJECT
  Program sim; // on the in-process virtual bus, shared by the cases below in order
  int ctl = 0;

private slots:
  void initTestCase()
  {
    QVERIFY2(sim.start("[Communication]\nInterfaceName=SIM\n[Settings]\nPollParametersOnInit=False\n"),
             qPrintable(QString::fromLocal8Bit(sim.process.readAllStandardError())));
  }

  void openComPokes()
  {
    QCOMPARE(sim.tool({"poke", "Tesmira", "Server", "OpenCom", "1"}), 0);
    QCOMPARE(sim.get("Server", "OpenCom"), QString("1"));
    QCOMPARE(sim.get("Server", "MaxChan"), QString("8"));
    QCOMPARE(sim.get("Server", "MaxNode"), QString("8"));
    QVERIFY(sim.get("Server", "MaxPar").toInt() > 100);
    QCOMPARE(sim.get("Server", "InterfaceChan"), QString("1"));
    QVERIFY(sim.waitConsole("Open Communication [DDEItem: Server!OpenCom]"));
    int mark = int(sim.console().size());
    QVERIFY(sim.put("Server", "OpenCom", "1"));
    QVERIFY(sim.waitConsole("Communication already opened! [DDEItem: Server!OpenCom]", mark));
    mark = int(sim.console().size());
    QVERIFY(sim.put("Server", "OpenCom", "True"));
    QVERIFY(sim.waitConsole("Communication already opened! [DDEItem: Server!OpenCom]", mark));
    QCOMPARE(sim.get("Server", "OpenCom"), QString("1"));
    QVERIFY(Program::until([&] { return sim.get("Server", "ComStatus") == "Normal polling"; }));
    // The default virtual bus: interface (C(1)), meter (C(2)), controller (C(3)), ...
    ctl = 3;
    QVERIFY(sim.get("C(3)", "P(9)") != "<none>");
  }

  void portItemsRefusedWhileOpen()
  {
    QCOMPARE(sim.tool({"poke", "Tesmira", "Server", "Interface", "COM2"}), 6);
    QCOMPARE(sim.get("Server", "Interface"), QString("SIM"));
    QCOMPARE(sim.tool({"poke", "Tesmira", "Server", "Baudrate", "19200"}), 6);
    QCOMPARE(sim.get("Server", "Baudrate"), QString("38400"));
  }

  void pollingSwitches()
  {
    QVERIFY(sim.put("Server", "SelChan", "3"));
    QCOMPARE(sim.get("Server", "Polling"), QString("-1"));
    QVERIFY(sim.put("Server", "Polling", "0"));
    QCOMPARE(sim.polled(3), 0);
    QCOMPARE(sim.polled(2), 1);
    QVERIFY(sim.put("Server", "SelChan", "2"));
    QCOMPARE(sim.get("Server", "Polling"), QString("-1"));
    QVERIFY(sim.put("Server", "SelChan", "3"));
    QCOMPARE(sim.get("Server", "Polling"), QString("0"));
    QVERIFY(sim.put("Server", "SelChan", "0"));
    QVERIFY(sim.put("Server", "Polling", "0"));
    for (int c = 1; c <= 8; ++c)
      QCOMPARE(sim.polled(c), 0);
    QVERIFY(sim.put("Server", "Polling", "-1"));
    for (int c = 1; c <= 8; ++c)
      QCOMPARE(sim.polled(c), 1);
  }

  // The setpoint goes to the instrument; the polled measure follows it.
  void setpointAndMeasure()
  {
    const QString topic = QString("C(%1)").arg(ctl);
    QCOMPARE(sim.tool({"poke", "Tesmira", topic, "P(9)", "24000"}), 0);
    QCOMPARE(sim.get("C(0)", "P(2)"), QString("0"));
    QVERIFY(Program::until([&] { return std::abs(sim.get(topic, "P(8)").toDouble() - 24000) < 320; }));
    QVERIFY(sim.waitConsole(ch(ctl) + "009   Setpoint"));

    // A read-only parameter: reported on the console and on C(0)!P(2).
    const int mark = int(sim.console().size());
    QCOMPARE(sim.tool({"poke", "Tesmira", topic, "P(8)", "5"}), 0);
    QCOMPARE(sim.get("C(0)", "P(2)"), QString("This parameter value can only be read"));
    QVERIFY(sim.waitConsole("This parameter value can only be read", mark));
  }

  // ALL: a client advising C(0)!P(0) sees the command and then "0", which
  // comes after values of every channel.
  void commandItem()
  {
    Client watcher;
    QVERIFY(watcher.connect("Tesmira", "C(0)"));
    QVERIFY(watcher.advise("P(0)", AdviseMode::Hot));
    AdviseEvent e;
    QVERIFY(watcher.nextAdvise(&e, 3000)); // the current value
    int mark = int(sim.console().size());
    QCOMPARE(sim.tool({"poke", "Tesmira", "C(0)", "P(0)", "ALL"}), 0);
    QStringList seen;
    while (watcher.nextAdvise(&e, 5000)) {
      seen << QString::fromUtf8(e.value);
      if (seen.last() == "0")
        break;
    }
    QCOMPARE(seen, (QStringList{"ALL", "0"}));
    QVERIFY(sim.waitConsole("(command performed)", mark));
    QStringList lines = sim.console().mid(mark);
    int done = 0;
    while (done < lines.size() && !lines[done].contains("(command performed)"))
      ++done;
    lines = lines.mid(0, done);
    for (int c = 1; c <= 8; ++c)
      QVERIFY2(countIn(lines, "Read\t" + ch(c)) > 5, qPrintable(QString::number(c)));

    for (const char* cmd : {"2.5", "2.100", "-5"}) {
      mark = int(sim.console().size());
      QVERIFY(sim.put("C(0)", "P(0)", cmd));
      QVERIFY(watcher.nextAdvise(&e, 5000));
      QCOMPARE(QString::fromUtf8(e.value), QString(cmd));
      QVERIFY(watcher.nextAdvise(&e, 5000));
      QCOMPARE(QString::fromUtf8(e.value), QString("0"));
    }
    // A command on a channel topic is its scan specification, unchanged.
    mark = int(sim.console().size());
    QVERIFY(sim.put("C(2)", "P(0)", "2.5"));
    QVERIFY(sim.waitConsole("Invalid scan parameters format", mark));
    QVERIFY(sim.waitConsole(ch(2) + "000   Tesmira", mark));
    QCOMPARE(sim.get("C(2)", "P(0)"), QString("0"));

    QVERIFY(sim.put("C(0)", "P(0)", "-10"));
    QVERIFY(watcher.nextAdvise(&e, 5000));
    QCOMPARE(QString::fromUtf8(e.value), QString("-10"));
    QVERIFY(!watcher.nextAdvise(&e, 300)); // no "0" follows
    QCOMPARE(sim.get("C(0)", "P(0)"), QString("-10"));
  }

  void closeComPokes()
  {
    int mark = int(sim.console().size());
    QVERIFY(sim.put("Server", "OpenCom", "0"));
    QVERIFY(sim.waitConsole("Close Communication [DDEItem: Server!OpenCom]", mark));
    QCOMPARE(sim.get("Server", "OpenCom"), QString("0"));
    for (const char* item : {"MaxChan", "MaxNode", "InterfaceChan"})
      QCOMPARE(sim.get("Server", item), QString("0"));
    QCOMPARE(sim.get("C(1)", "P(0)"), QString("<none>"));
    mark = int(sim.console().size());
    QVERIFY(sim.put("Server", "OpenCom", "0"));
    QVERIFY(sim.waitConsole("Communication already closed! [DDEItem: Server!OpenCom]", mark));
    // Closed: the port items take pokes for the next opening.
    QCOMPARE(sim.tool({"poke", "Tesmira", "Server", "Baudrate", "19200"}), 0);
    QCOMPARE(sim.get("Server", "Baudrate"), QString("19200"));
    QCOMPARE(sim.tool({"poke", "Tesmira", "Server", "Interface", " SIM "}), 0);
    QCOMPARE(sim.get("Server", "Interface"), QString("SIM"));
    QCOMPARE(sim.stop(), 0);
  }

  // On a paced pseudo-terminal: what the instrument received.
  void writesReachTheInstrumentOverPty()
  {
    Program p;
    soranetsim::ParamDb pdb;
    const QString dbFile = qEnvironmentVariable("TESMIRA_BIN_DIR") + "/Tesmira.mdb";
    QCOMPARE(pdb.load(dbFile), QString());
    auto bus = std::make_shared<soranetsim::Bus>();
    QCOMPARE(bus->loadScenario(soranetsim::Bus::defaultScenario(), pdb), QString());
    soranetsim::Server server(bus);
    QString err;
    const QString pty = server.startPty({}, &err);
    QVERIFY2(!pty.isEmpty(), qPrintable(err));
    QVERIFY(p.start(("[Communication]\nInterfaceName=" + pty + "\n[Settings]\nPollParametersOnInit=False\n").toUtf8(),
                    {"/NT", "/O"}));
    QVERIFY(Program::until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000));
    QCOMPARE(p.tool({"poke", "Tesmira", "C(3)", "P(9)", "12800"}), 0);
    soraproto::Value v;
    QVERIFY(bus->peek(4, 1, 1, v)); // the controller's setpoint
    QCOMPARE(v.number(), 12800.0);
    QCOMPARE(p.tool({"poke", "Tesmira", "C(3)", "P(8)", "7"}), 0);
    QCOMPARE(p.get("C(0)", "P(2)"), QString("This parameter value can only be read"));
    QVERIFY(bus->peek(4, 1, 0, v));
    QVERIFY(v.number() != 7.0);
    QCOMPARE(p.stop(), 0);
  }
};

QTEST_MAIN(TestCommandsProgram)
#include "tst_commands_program.moc"
