// Whole-program tests: the real tesmira binary, started headless on a fresh
// settings folder, as a user or a service manager would start it.
#include "TestHome.h"

#include <QProcess>
#include <QtTest>
#include <csignal>

namespace {

QString binary() { return qEnvironmentVariable("TESMIRA_BIN_DIR") + "/tesmira"; }

// Runs tesmira to its end (start-up errors end it at once).
struct Result {
  int exitCode = -1;
  QString out, err;
};
Result runToEnd(const TestHome& home, const QStringList& args)
{
  QProcess p;
  p.setProcessEnvironment(home.environment());
  p.start(binary(), args);
  Result r;
  if (!p.waitForFinished(30000)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
  r.err = QString::fromLocal8Bit(p.readAllStandardError());
  return r;
}

bool waitForOutput(QProcess& p, QString& buffer, const QString& text, int ms = 20000)
{
  QDeadlineTimer deadline(ms);
  while (!buffer.contains(text) && !deadline.hasExpired()) {
    p.waitForReadyRead(100);
    buffer += QString::fromLocal8Bit(p.readAllStandardOutput());
  }
  return buffer.contains(text);
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
    TestHome home;
    QProcess first;
    first.setProcessEnvironment(home.environment());
    first.start(binary(), {});
    QVERIFY(first.waitForStarted());
    QString out;
    QVERIFY2(waitForOutput(first, out, "Server is active and ready for any client."), qPrintable(out));
    QVERIFY(out.contains("To start serving client applications with the Tesmira server:"));
    QVERIFY(out.contains("1. Connect an instrument to a COM port of the PC"));
    QVERIFY(out.contains("2. From the menu Communication click Communication settings..."));
    QVERIFY(out.contains("3. From the menu Communication click Open communication to open the communication."));
    // The first start installed the default database and said so.
    QVERIFY(QFile::exists(home.defaultDatabase()));

    // A second start is refused while the first one runs.
    const Result second = runToEnd(home, {});
    QVERIFY(second.exitCode != 0);
    QVERIFY2(second.err.contains(kTitle), qPrintable(second.err));
    QVERIFY(second.err.contains("There is already an instance of Tesmira running.\n"
                                "Running this server application twice is not allowed, this instance will be closed!"));

    // SIGTERM runs the ordered shut-down: the window settings are stored.
    QVERIFY(!QFile::exists(home.file("user.ini")));
    ::kill(pid_t(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(20000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
    QVERIFY(contents(home.file("user.ini")).contains("Width="));
    QVERIFY(contents(home.file("user.ini")).contains("EchoAll=False"));
  }

  // Starts the server refuses, with the reason on standard error under the
  // start-up error title: bad command lines, a client program that does not
  // exist (named in capitals), a database it cannot use (the database's own
  // message, each checked word for word in tests/db; the file is left as it
  // was).
  void refusedStarts()
  {
    TestHome home;
    const QString db = home.file("named.mdb");
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
      QFile ini(home.file("program.ini"));
      QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(r.programIni.toUtf8()) == r.programIni.size());
      ini.close();
      const Result out = runToEnd(home, r.args);
      QCOMPARE(out.exitCode, 1);
      QVERIFY2(out.err.contains(kTitle) && out.err.contains(r.says), qPrintable(out.err));
    }
    QCOMPARE(contents(db), QByteArray(4096, 'x'));
  }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
