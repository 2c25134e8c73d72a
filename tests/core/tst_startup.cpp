// Whole-program tests: the real tesmira binary, started headless on a fresh
// settings folder, as a user or a service manager would start it.
#include "ProcessRig.h"

#include <QtTest>

using processrig::Program;

namespace {

// Runs tesmira in the program's world to its end (start-up errors end it at
// once); the exit code and standard error.
std::pair<int, QString> runToEnd(Program& p, const QStringList& args)
{
  QProcess q;
  q.setProcessEnvironment(p.home.environment());
  q.start(p.bin + "/tesmira", args);
  if (!q.waitForFinished(30000) || q.exitStatus() != QProcess::NormalExit) {
    q.kill();
    q.waitForFinished();
    return {-1, {}};
  }
  return {q.exitCode(), QString::fromLocal8Bit(q.readAllStandardError())};
}

QByteArray contents(const QString& path)
{
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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
    const auto [code, err] = runToEnd(p, {});
    QVERIFY(code != 0);
    QVERIFY2(err.contains(kTitle) &&
               err.contains("There is already an instance of Tesmira running.\n"
                            "Running this server application twice is not allowed, this instance will be closed!"),
             qPrintable(err));

    // SIGTERM runs the ordered shut-down: the window settings are stored.
    QVERIFY(!QFile::exists(p.home.file("user.ini")));
    QCOMPARE(p.stop(), 0);
    const QByteArray user = contents(p.home.file("user.ini"));
    QVERIFY(user.contains("Width=") && user.contains("EchoAll=False"));
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
      const auto [code, err] = runToEnd(p, r.args);
      QCOMPARE(code, 1);
      QVERIFY2(err.contains(kTitle) && err.contains(r.says), qPrintable(err));
    }
    QCOMPARE(contents(db), QByteArray(4096, 'x'));
  }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
