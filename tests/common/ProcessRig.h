#pragma once
// The real tesmira program as a separate process, headless in a private
// world (settings, data, runtime folder), started with a common.ini and
// arguments, with the link clients and tesmira-dde runs that drive it. The
// whole-program tests of the binary start from here.
#include "SqlFile.h"
#include "TestHome.h"
#include "Until.h"

#include "Client.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <linux/capability.h>
#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

namespace processrig {

// The program (tesmira, or the daemon tesmirad) in a private world.
struct Program {
  TestHome home;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  QString bin = qEnvironmentVariable("TESMIRA_BIN_DIR");
  QString program = QStringLiteral("tesmira");
  QProcess process;
  // On a display: the main window opens (on the offscreen platform, which
  // nobody sees, so questions are still answered by policy).
  bool windowed = false;

  // The world's environment, with or without a display.
  QProcessEnvironment environment() const
  {
    QProcessEnvironment e = home.environment();
    if (windowed) {
      e.insert("DISPLAY", ":0");
      e.insert("QT_QPA_PLATFORM", "offscreen");
    }
    return e;
  }

  // Writes a file of the private world (settings files, scenarios).
  bool write(const QString& name, const QByteArray& text) const
  {
    QFile f(home.file(name));
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
  }

  // The superuser opens and writes any file by its capability to override
  // permissions; without it the program meets the permissions a service
  // user would, and the kernel refuses what it refuses any other user.
  void withoutPermissionOverride()
  {
    if (::geteuid() == 0)
      process.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0); });
  }

  bool start(const QByteArray& commonIni, const QStringList& args = {"/NT"})
  {
    if (!write("common.ini", commonIni))
      return false;
    // The world's variables over the test's own additions to env.
    const QProcessEnvironment world = environment();
    for (const char* name : {"TESMIRA_HOME", "XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
      if (world.contains(name))
        env.insert(name, world.value(name));
      else
        env.remove(name);
    }
    env.insert("TESMIRA_SIM_PACING", "0");
    process.setProcessEnvironment(env);
    // Console lines are mirrored to standard output; a pipe nobody reads
    // would stall the server once it is full.
    process.setStandardOutputFile(home.file("stdout.txt"));
    process.setStandardErrorFile(home.file("stderr.txt"));
    process.start(bin + '/' + program, args);
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
  // Sends the signals; the exit code of an end within ms, else -1.
  int signalled(std::initializer_list<int> sigs, int ms = 5000)
  {
    for (int sig : sigs)
      ::kill(pid_t(process.processId()), sig);
    return process.waitForFinished(ms) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  }
  // Started on an interface at its configured rate (no temporary raise),
  // without the parameter poll after the scan; more: further lines of the
  // [Communication] section.
  bool startOn(const QString& interfaceName, const QStringList& args = {"/NT"}, const QByteArray& more = {})
  {
    // A line behind a link outside /dev (a bus of a test) is reached as a
    // COM port mapped to it: only devices are taken as interface names.
    QString name = interfaceName;
    if (name.startsWith('/') && !name.startsWith("/dev/")) {
      env.insert("TESMIRA_COM9", name);
      name = "COM9";
    }
    return start("[Communication]\nInterfaceName=" + name.toUtf8() + "\nAutoIncreaseBaudrate=False\n" + more +
                     "[Settings]\nPollParametersOnInit=False\n",
                 args);
  }

  // A program of the build (another tesmira, tesmirad, tesmira-dde) run in
  // this world to its end: exit code (-1 when it did not end by itself
  // within ms), standard output and standard error.
  struct Run {
    int code = -1;
    QString out, err;
  };
  Run run(const QString& name, const QStringList& args, int ms = 40000) const
  {
    QProcess q;
    q.setProcessEnvironment(environment());
    q.start(bin + '/' + name, args);
    const bool ended = q.waitForFinished(ms) && q.exitStatus() == QProcess::NormalExit;
    q.kill();
    q.waitForFinished();
    return {ended ? q.exitCode() : -1, QString::fromLocal8Bit(q.readAllStandardOutput()),
            QString::fromLocal8Bit(q.readAllStandardError())};
  }

  // tesmira-dde's exit code.
  int tool(const QStringList& args) { return run("tesmira-dde", args).code; }
  QString get(const QString& topic, const QString& item)
  {
    QString v;
    return ddeml::Request("Tesmira", topic, item, 5000, &v) ? v : QStringLiteral("<none>");
  }
  bool put(const QString& topic, const QString& item, const QString& value)
  {
    ddeml::Client c;
    return c.connect("Tesmira", topic) && c.poke(item, value, 60000);
  }
  template <typename F> static bool until(F cond, int ms = 10000) { return ::until(cond, ms); }
  // A column of the channel's NetDevPar row, read through a plain SQLite
  // connection; -1 when there is none.
  int deviceColumn(const QString& column, int channel) { return deviceValue(column, channel).toInt(); }
  QVariant deviceValue(const QString& column, int channel)
  {
    QVariant v = -1;
    sqlfile::use(home.defaultDatabase(), [&](QSqlQuery& q) {
      if (q.exec(QString("SELECT %1 FROM NetDevPar WHERE Dev_Chan=%2 ORDER BY rowid").arg(column).arg(channel)) && q.next())
        v = q.value(0);
    }, true);
    return v;
  }
  int polled(int channel) { return deviceColumn("Polling", channel); }
  int deviceId(int channel) { return deviceColumn("Dev_ID", channel); }
  // What the program has written to standard output (its console lines).
  QByteArray output() const { return read("stdout.txt"); }
  // What it has written to standard error (Error and Warn lines, message
  // boxes).
  QByteArray errors() const { return read("stderr.txt"); }
  QByteArray read(const QString& name) const
  {
    QFile f(home.file(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
};

// The virtual bus, soranet-sim, with the default scenario and a fixed delay
// before every reply, on a pseudo-terminal or on TCP, as a serial device
// server. The pseudo-terminal is always reached through a link of this bus
// (the one named, or one in a folder of its own): a server that keeps trying
// a line that went must never reach another test's terminal when the system
// hands the terminal's number out again.
struct Bus {
  int delayMs = 0;
  int port = 0; // kept (or set before serving), so the bus comes back on the same port
  QStringList faults; // more options: line noise and its seed
  QString error;
  std::unique_ptr<QProcess> sim;
  QTemporaryDir links;

  explicit Bus(int delay = 0) : delayMs(delay) {}
  ~Bus() { unplug(); }
  // The interface name that reaches it: "tcp:127.0.0.1:PORT" or the link
  // to the pseudo-terminal.
  QString serve(const QString& kind, const QString& symlink = {})
  {
    const QString bin = qEnvironmentVariable("TESMIRA_BIN_DIR");
    QStringList args = QStringList{"--db", bin + "/Tesmira.mdb", "--delay", QString::number(delayMs)} + faults;
    if (kind == "tcp")
      args << "--no-pty" << "--tcp" << QString::number(port);
    const QString link = symlink.isEmpty() ? links.filePath("ttyBUS") : symlink;
    if (kind != "tcp")
      args << "--link" << link;
    sim = std::make_unique<QProcess>();
    sim->start(bin + "/soranet-sim", args);
    QDeadlineTimer dl(10000);
    while (sim->waitForReadyRead(int(dl.remainingTime())) || sim->canReadLine()) {
      while (sim->canReadLine()) {
        const QString l = QString::fromUtf8(sim->readLine()).trimmed();
        if (l.startsWith("pty: "))
          return link;
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

}
