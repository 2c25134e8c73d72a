// Whole-program tests: the real tesmira binary, started headless on a fresh
// settings folder, as a user or a service manager would start it.
#include "TestHome.h"

#include <QProcess>
#include <QtTest>
#include <csignal>

namespace {

QString binary() { return qEnvironmentVariable("TESMIRA_BIN_DIR") + "/tesmira"; }

QProcessEnvironment environment(const TestHome& home) { return home.environment(); }

// Runs tesmira to its end (start-up errors end it at once).
struct Result {
  int exitCode = -1;
  QString out, err;
};
Result runToEnd(const TestHome& home, const QStringList& args)
{
  QProcess p;
  p.setProcessEnvironment(environment(home));
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
    first.setProcessEnvironment(environment(home));
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

  void commandLineErrors()
  {
    TestHome home;
    const Result r = runToEnd(home, {"first", "second"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.err.contains(kTitle));
    QVERIFY(r.err.contains("Invalid command line options.\n"
                           "Usage: [Path]Tesmira[.exe] [/d | /o | /s] [path][client][.exe]"));
    // A client program that does not exist: named in capitals, server ends.
    const Result c = runToEnd(home, {"/nt", "/no/such/Client"});
    QCOMPARE(c.exitCode, 1);
    QVERIFY2(c.err.contains("The program /NO/SUCH/CLIENT is not found.\nPlease check the command line parameters."),
             qPrintable(c.err));
  }

  // A database the server cannot use ends the start with the database's own
  // message (each message is checked word for word in tests/db) and leaves
  // the file as it was.
  void databaseError()
  {
    TestHome home;
    const QString path = home.file("named.mdb");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(4096, 'x'));
    f.close();
    QFile ini(home.file("program.ini"));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[Database Settings]\nDatabase=%1\n").arg(path).toUtf8());
    ini.close();
    const Result r = runToEnd(home, {});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains(kTitle), qPrintable(r.err));
    QVERIFY2(r.err.contains("Tesmira database '" + path + "' cannot be opened.\nPlease make sure the current user "
                            "has read and write permissions."), qPrintable(r.err));
    QCOMPARE(contents(path), QByteArray(4096, 'x'));
  }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
