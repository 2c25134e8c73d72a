// The real tesmira program, headless, against a virtual bus on a
// pseudo-terminal (or a serial device server on TCP) held by this test, in
// the moments a user or the machine picks: stopped in the middle of a scan or
// a bulk read, the bus lost under it, a database it cannot use.
#include "TestHome.h"
#include "Until.h"

#include "Client.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

QString binDir() { return qEnvironmentVariable("TESMIRA_BIN_DIR"); }

// The virtual bus, soranet-sim, with the default scenario and a fixed delay
// before every reply, on a pseudo-terminal behind a fixed symlink or on TCP.
struct Bus {
  int delayMs = 0;
  int port = 0; // kept, so the bus comes back on the same port
  QString error;
  std::unique_ptr<QProcess> sim;

  explicit Bus(int delay = 0) : delayMs(delay) {}
  ~Bus() { unplug(); }
  // The interface name that reaches it: "tcp:127.0.0.1:PORT" or the pty path.
  QString serve(const QString& kind, const QString& symlink = {})
  {
    QStringList args{"--db", binDir() + "/Tesmira.mdb", "--delay", QString::number(delayMs)};
    if (kind == "tcp")
      args << "--no-pty" << "--tcp" << QString::number(port);
    else if (!symlink.isEmpty())
      args << "--link" << symlink;
    sim = std::make_unique<QProcess>();
    sim->start(binDir() + "/soranet-sim", args);
    QDeadlineTimer dl(10000);
    while (sim->waitForReadyRead(int(dl.remainingTime())) || sim->canReadLine()) {
      while (sim->canReadLine()) {
        const QString l = QString::fromUtf8(sim->readLine()).trimmed();
        if (l.startsWith("pty: "))
          return l.mid(5);
        if (l.startsWith("tcp: ")) {
          port = l.mid(5).toInt();
          return QString("tcp:127.0.0.1:%1").arg(port);
        }
      }
    }
    error = "soranet-sim did not start: " + QString::fromUtf8(sim->readAllStandardError());
    return {};
  }
  // Ends the simulator: the line hangs up, the device server's connection closes.
  void unplug()
  {
    if (sim && sim->state() != QProcess::NotRunning) {
      sim->terminate();
      sim->waitForFinished(5000);
    }
  }
};

// The program in a private world.
struct Program {
  TestHome home;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QProcess process;

  bool start(const QString& interfaceName, const QStringList& args = {"/NT"}, const QByteArray& extra = {})
  {
    QFile ini(home.file("common.ini"));
    const QByteArray text = "[Communication]\nInterfaceName=" + interfaceName.toUtf8() +
                            "\nAutoIncreaseBaudrate=False\n[Settings]\nPollParametersOnInit=False\n" + extra;
    if (!ini.open(QIODevice::WriteOnly) || ini.write(text) != text.size())
      return false;
    ini.close();
    // Error lines on the console (and so on standard output) too.
    QFile user(home.file("user.ini"));
    if (!user.open(QIODevice::WriteOnly) || user.write("[Menu Settings]\nEchoErr=True\n") <= 0)
      return false;
    user.close();
    env.insert("TESMIRA_HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", home.runtime());
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(binDir() + "/tesmira", args);
    return process.waitForStarted();
  }
  bool serving(int ms = 20000)
  {
    return until([&] { return process.state() == QProcess::Running && !get("Server", "Status").isEmpty(); }, ms);
  }
  ~Program()
  {
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished();
    }
  }
  QString get(const QString& topic, const QString& item)
  {
    QString v;
    return ddeml::Request("Tesmira", topic, item, 2000, &v) ? v : QString();
  }
  // A poke through tesmira-dde, not waited for.
  QProcess* pokeLater(const QString& topic, const QString& item, const QString& value)
  {
    auto* p = new QProcess;
    p->setProcessEnvironment(env);
    p->start(binDir() + "/tesmira-dde", {"poke", "Tesmira", topic, item, value});
    return p;
  }
  // tesmira-dde's output and exit code.
  QString tool(const QStringList& args, int* code = nullptr)
  {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(binDir() + "/tesmira-dde", args);
    p.waitForFinished(30000);
    if (code)
      *code = p.exitCode();
    return QString::fromUtf8(p.readAll()).trimmed();
  }
  // Sends SIGTERM; the exit code of an orderly end within ms, else -1.
  int terminate(int ms)
  {
    ::kill(pid_t(process.processId()), SIGTERM);
    return process.waitForFinished(ms) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  }
  // What the program has written so far (this thread runs no event loop).
  QString output()
  {
    while (process.state() == QProcess::Running && process.waitForReadyRead(300)) {
    }
    return QString::fromUtf8(process.readAll());
  }
  bool leftovers() const
  {
    return QFile::exists(home.runtime() + "/dde/Tesmira") || QFile::exists(home.runtime() + "/Tesmira.lock");
  }
};

}

class TestRobustProgram : public QObject {
  Q_OBJECT

private slots:
  // A stop signal at any moment: the nested operation unwinds, the ordered
  // shut-down runs once, and nothing is left in the runtime folder.
  void stopAtAnyMoment_data()
  {
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("openAtStart");
    QTest::addColumn<QString>("during"); // status shown, or the command poked
    QTest::newRow("scan after OpenCom") << "pty" << false << "Scanning SORANET";
    QTest::newRow("scan of a /O start") << "pty" << true << "Scanning SORANET";
    QTest::newRow("bulk read ALL") << "pty" << true << "ALL";
    QTest::newRow("polling over tcp") << "tcp" << true << "Normal polling";
  }
  void stopAtAnyMoment()
  {
    QFETCH(QString, transport);
    QFETCH(bool, openAtStart);
    QFETCH(QString, during);
    Bus bus(40);
    const QString line = bus.serve(transport);
    QVERIFY2(!line.isEmpty(), qPrintable(bus.error));
    Program p;
    QVERIFY(p.start(line, openAtStart ? QStringList{"/NT", "/O"} : QStringList{"/NT"}));
    QVERIFY2(p.serving(), qPrintable(p.output()));
    std::unique_ptr<QProcess> poke;
    if (!openAtStart)
      poke.reset(p.pokeLater("Server", "OpenCom", "1"));
    if (during == "ALL") {
      QVERIFY(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000));
      poke.reset(p.pokeLater("C(0)", "P(0)", "ALL"));
      QThread::msleep(500); // the run takes many seconds on this line
    } else {
      QVERIFY2(until([&] { return p.get("Server", "Status") == during; }, 30000), qPrintable(p.output()));
    }
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(p.terminate(5000), 0);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(!p.leftovers());
    if (poke)
      poke->waitForFinished(5000);
  }

  // The bus unplugged under a polling server: said once, pokes refused with
  // the reason; plugged back in, the server opens it anew by itself.
  void lostBusIsSaid_data()
  {
    QTest::addColumn<QString>("transport");
    QTest::newRow("pseudo-terminal") << "pty";
    QTest::newRow("device server on tcp") << "tcp";
  }
  void lostBusIsSaid()
  {
    QFETCH(QString, transport);
    Bus bus;
    Program p;
    const QString link = p.home.file("ttyBUS");
    QString line = bus.serve(transport, link);
    QVERIFY2(!line.isEmpty(), qPrintable(bus.error));
    if (transport == "pty") {
      p.env.insert("TESMIRA_COM3", link);
      line = "COM3";
    }
    QVERIFY(p.start(line, {"/NT", "/O"}));
    QVERIFY2(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000), qPrintable(p.output()));
    int code = -1;
    p.tool({"poke", "Tesmira", "C(3)", "P(9)", "8000"}, &code);
    QCOMPARE(code, 0);

    bus.unplug();
    QVERIFY(until([&] { return p.get("Server", "Status") == "Polling failure"; }, 15000));
    const QString refusal = p.tool({"poke", "Tesmira", "C(3)", "P(9)", "12000"}, &code);
    QVERIFY(code != 0);
    QVERIFY2(refusal.contains("the communication to SORANET is lost ("), qPrintable(refusal));
    const QString said = p.output();
    QCOMPARE(said.count("Communication to SORANET lost on " + line + ": "), 1);

    QVERIFY(!bus.serve(transport, link).isEmpty());
    QVERIFY2(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000), qPrintable(p.output()));
    p.tool({"poke", "Tesmira", "C(3)", "P(9)", "12000"}, &code); // acknowledged by the instrument
    QCOMPARE(code, 0);
    QCOMPARE(p.terminate(5000), 0);
  }

  // A poked value stays: the replies of reads sent before the write do not
  // bring the old value back, and a request after the poke's OK returns it.
  void pokedValueStays()
  {
    Bus bus(40);
    const QString line = bus.serve("pty");
    QVERIFY2(!line.isEmpty(), qPrintable(bus.error));
    Program p;
    QVERIFY(p.start(line, {"/NT", "/O"}));
    QVERIFY2(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000), qPrintable(p.output()));
    ddeml::Client c;
    QVERIFY(c.connect("Tesmira", "C(3)"));
    QVERIFY(c.advise("P(9)", ddeml::AdviseMode::Hot));
    for (const char* value : {"8000", "16000", "8000", "12000", "8000", "16000"}) {
      ddeml::AdviseEvent e;
      while (c.nextAdvise(&e, 0)) {
      }
      QVERIFY(c.poke("P(9)", QString(value), 10000));
      QString now;
      QVERIFY(c.request("P(9)", &now));
      QCOMPARE(now.toDouble(), QByteArray(value).toDouble());
      QDeadlineTimer quiet(400);
      while (!quiet.hasExpired())
        if (c.nextAdvise(&e, 50) && e.kind == ddeml::AdviseEvent::Kind::Data)
          QCOMPARE(e.value.toDouble(), QByteArray(value).toDouble());
    }
    QCOMPARE(p.terminate(5000), 0);
  }

  // A database the server cannot use is refused at start, saying why.
  void unusableDatabase_data()
  {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("says");
    const QString cannot = "cannot be opened.\r\nPlease make sure the current user has read and write permissions.";
    QTest::newRow("read-only") << "chmod" << QStringList{cannot, "read-only"};
    QTest::newRow("missing table") << "DROP TABLE FlowDevices"
                                   << QStringList{"the table FlowDevices is missing", "will be closed"};
    QTest::newRow("missing column") << "ALTER TABLE NetDevPar DROP COLUMN Dev_Memo"
                                    << QStringList{"the table NetDevPar has no column Dev_Memo"};
    QTest::newRow("corrupt") << "garbage" << QStringList{cannot, "not a valid database: file is not a database"};
    QTest::newRow("empty") << "empty" << QStringList{cannot, "The file is empty: it is not a valid database."};
  }
  void unusableDatabase()
  {
    QFETCH(QString, damage);
    QFETCH(QStringList, says);
    if (damage == "chmod" && ::geteuid() == 0)
      QSKIP("the superuser may write any file");
    Program p;
    const QString db = p.home.defaultDatabase();
    QDir().mkpath(QFileInfo(db).path());
    QVERIFY(QFile::copy(binDir() + "/Tesmira.mdb", db));
    QFile f(db);
    if (damage == "chmod") {
      QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    } else if (damage == "garbage" || damage == "empty") {
      QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
      if (damage == "garbage")
        f.write(QByteArray(4096, 'x'));
      f.close();
    } else {
      bool done = false;
      {
        QSqlDatabase d = QSqlDatabase::addDatabase("QSQLITE", "damage");
        d.setDatabaseName(db);
        done = d.open() && QSqlQuery(d).exec(damage);
      }
      QSqlDatabase::removeDatabase("damage");
      QVERIFY(done);
    }
    QVERIFY(p.start("SIM"));
    QVERIFY(p.process.waitForFinished(20000));
    QCOMPARE(p.process.exitCode(), 1);
    const QString out = p.output().replace("\r\n", "\n");
    for (QString text : says)
      QVERIFY2(out.contains(text.replace("\r\n", "\n")), qPrintable(out));
  }
};

QTEST_MAIN(TestRobustProgram)
#include "tst_robust_program.moc"
