// Whole-program tests: the real tesmira and tesmirad binaries, started
// headless on a fresh settings folder, as a user or a service manager would
// start them.
#include "ProcessRig.h"
#include "Shipped.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QtTest>

using processrig::Program;

namespace {

// Every file and folder of the private world.
QStringList world(const Program& p)
{
  QStringList names;
  QDirIterator it(p.home.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext())
    names << it.next();
  names.sort();
  return names;
}

const char* kTitle = "[Tesmira startup error]";
}

class TestStartup : public QObject {
  Q_OBJECT
private slots:
  void firstStartServesAndStopsInOrder()
  {
    Program p;
    QVERIFY(p.start("", {}));
    QVERIFY2(until([&] { return p.output().contains("Server is active and ready for any client."); }), p.output().constData());
    for (const char* line : {"To start serving client applications with the Tesmira server:",
                             "1. Connect an instrument to a COM port of the PC",
                             "2. From the menu Communication click Communication settings...",
                             "3. From the menu Communication click Open communication to open the communication."})
      QVERIFY2(p.output().contains(line), line);
    // A second start is refused while the first one runs.
    const auto [code, out, err] = p.run("tesmira", {});
    QVERIFY(code != 0);
    QVERIFY2(err.contains(kTitle) &&
               err.contains("There is already an instance of Tesmira running.\n"
                            "Running this server application twice is not allowed, this instance will be closed!\n"
                            "(no operator: answered OK)"),
             qPrintable(err));

    // SIGTERM runs the ordered shut-down: the menu options are stored;
    // without a display there is no window whose placement to store.
    QVERIFY(!QFile::exists(p.home.file("user.ini")));
    QCOMPARE(p.stop(), 0);
    const QByteArray user = p.read("user.ini");
    QVERIFY2(user.contains("EchoAll=False") && !user.contains("Width="), user.constData());
  }

  // With a display the main window opens and the program serves as
  // headless; a second windowed start is refused on standard error instead
  // of waiting on a message box nobody sees; SIGTERM stores the window's
  // placement with the menu options.
  void windowedOnADisplay()
  {
    Program p;
    p.windowed = true;
    QVERIFY(p.start("[Communication]\nInterfaceName=SIM\n", {"/NT", "/O", "/D"}));
    QVERIFY2(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000), p.output().constData());
    const auto [code, out, err] = p.run("tesmira", {});
    QCOMPARE(code, 1);
    QVERIFY2(err.contains("There is already an instance of Tesmira running."), qPrintable(err));
    QCOMPARE(p.stop(), 0);
    const QByteArray user = p.read("user.ini");
    QVERIFY2(user.contains("Width=") && user.contains("EchoAll=False"), user.constData());
    QVERIFY(!QFile::exists(p.home.runtime() + "/dde/Tesmira"));
  }

  // With [Debug] Trace=True the debug log follows the traced procedures in
  // and out, indented by depth and properly nested, and every component
  // made and ended.
  void traceInTheDebugLog()
  {
    Program p;
    p.program = "tesmirad";
    QVERIFY(p.write("program.ini", "[Debug]\nTrace=True\n"));
    QVERIFY(p.start("", {"/NT"}));
    QCOMPARE(p.stop(), 0);
    QStringList open;
    int deepest = 0;
    const QString log = QString::fromUtf8(p.read("logs/debug.log"));
    static const QRegularExpression trace("Trace\t( +)([<>]) (\\S+)$");
    for (const QString& line : log.split('\n')) {
      const auto m = trace.match(line);
      if (!m.hasMatch())
        continue;
      const int depth = int(m.captured(1).size());
      if (m.captured(2) == ">") {
        open << m.captured(3);
        QCOMPARE(depth, open.size());
        deepest = std::max(deepest, depth);
      } else {
        QCOMPARE(depth, open.size());
        QCOMPARE(m.captured(3), open.takeLast());
      }
    }
    QVERIFY2(deepest >= 2 && open.isEmpty(), qPrintable(log));
    QVERIFY(log.contains(" Class\tinit Logger\n") && log.contains(" Class\tterm Logger\n"));
  }

  // Starts the server refuses, with the reason on standard error under the
  // start-up error title: bad command lines, a client program that does not
  // exist (named in capitals), a database it cannot use (the database's own
  // message, each checked word for word in tests/db; the file is left as it
  // was).
  void refusedStarts()
  {
    Program p;
    const QString db = p.home.file("named.mdb");
    QFile f(db);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(QByteArray(4096, 'x')) == 4096);
    f.close();
    const struct {
      QStringList args;
      QString programIni, says;
    } rows[] = {
      {{"first", "second"}, "", "Invalid command line options.\nUsage: [Path]Tesmira[.exe] [/d | /o | /s] [path][client][.exe]"},
      {{"/nt", "/no/such/Client"}, "", "The program /NO/SUCH/CLIENT is not found.\nPlease check the command line parameters."},
      {{}, "[Database Settings]\nDatabase=" + db + "\n",
       "Tesmira database '" + db + "' cannot be opened.\nPlease make sure the current user has read and write permissions."},
    };
    for (const auto& r : rows) {
      QVERIFY(p.write("program.ini", r.programIni.toUtf8()));
      const auto [code, out, err] = p.run("tesmira", r.args);
      QCOMPARE(code, 1);
      QVERIFY2(err.contains(kTitle) && err.contains(r.says), qPrintable(err));
    }
    QCOMPARE(p.read("named.mdb"), QByteArray(4096, 'x'));
  }

  // The dash options of both programs: help and version on standard
  // output with exit code 0; an unknown option or --log without its file
  // is a usage error (exit code 2, the error and the usage lines on
  // standard error) that starts nothing: the private world stays as it was.
  void dashOptions()
  {
    Program p;
    const QStringList before = world(p);
    // Each run's exit code and every line it wrote, as shipped
    // (tests/core/program-runs.txt; TESMIRA_WRITE_TEXTS=1 writes it anew).
    const QList<QStringList> runs = {
        {"tesmira", "--bogus"}, {"tesmira", "/o", "-x", "client"}, {"tesmira", "-v"}, {"tesmirad", "--xyz"},
        {"tesmirad", "/O", "--log"}, {"tesmira", "-h"}, {"tesmirad", "--help"}, {"tesmira", "-V"},
        {"tesmirad", "--version"}};
    QStringList shown;
    for (const QStringList& run : runs) {
      const auto [code, out, err] = p.run(run[0], run.mid(1));
      shipped::addRun(shown, run.join(' '), code, out, err);
    }
    const QString diff = shipped::differs(shown, "tests/core/program-runs.txt");
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(world(p), before);
  }

  // The daemon is the same server without windows: started with /O on the
  // virtual bus and its parameter log named in the separate form, it
  // serves a client's request, and the -9 command ends it in order with
  // exit code 0.
  void daemonServesAndStopsOnCommand()
  {
    Program p;
    p.program = "tesmirad";
    const QString log = p.home.file("params.log");
    QVERIFY(p.start("[Communication]\nInterfaceName=SIM\n", {"/O", "/NT", "--log", log}));
    QString measure;
    const bool answered = until([&] {
      const auto r = p.run("tesmira-dde", {"request", "Tesmira", "C(3)", "P(8)"}, 10000);
      measure = r.out.trimmed();
      bool number = false;
      measure.toInt(&number);
      return r.code == 0 && number;
    }, 60000);
    QVERIFY2(answered, qPrintable("C(3) P(8): " + measure + "\n" + p.output()));
    QVERIFY(p.read("params.log").contains(("Log file " + log + " opened").toLocal8Bit()));

    // Commands are taken once the server has said it is ready.
    QVERIFY2(until([&] { return p.output().contains("Server is active and ready for any client"); }, 60000),
             p.output().constData());
    QVERIFY(p.put("C(0)", "P(0)", "-9"));
    QVERIFY(p.process.waitForFinished(30000));
    QCOMPARE(std::tuple(p.process.exitStatus(), p.process.exitCode()), std::tuple(QProcess::NormalExit, 0));
    QVERIFY2(p.output().contains("Server is asked to stop"), p.output().constData());
  }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
