// The real server, headless, as a service manager runs it (the daemon
// tesmirad; tesmira without a display for the streams): started with /O on a
// port that cannot be used yet, it says why on standard error
// and to the manager (a NOTIFY_SOCKET this test binds), keeps trying without
// ever stopping to serve the link, and polls as soon as the port can be
// opened. Its lines carry syslog priorities only on a stream that is the
// journal.
#include "ProcessRig.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using processrig::Bus;
using processrig::Program;

namespace {

// A service manager's notification socket: the datagrams the program sends
// (READY=1, STATUS=..., STOPPING=1), one assignment per line.
struct NotifySocket {
  int fd = -1;
  QStringList received;

  ~NotifySocket()
  {
    if (fd >= 0)
      ::close(fd);
  }
  bool bind(const QString& path)
  {
    const QByteArray p = QFile::encodeName(path);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (size_t(p.size()) >= sizeof addr.sun_path)
      return false;
    std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
    fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  void take()
  {
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
      received += QString::fromUtf8(buf, int(n)).split('\n', Qt::SkipEmptyParts);
  }
  bool got(const QString& assignment)
  {
    take();
    return received.contains(assignment);
  }
  QString status()
  {
    take();
    for (auto it = received.crbegin(); it != received.crend(); ++it)
      if (it->startsWith("STATUS="))
        return it->mid(7);
    return {};
  }
};

// The daemon in its private world, told to report to the notification
// socket in that world.
bool bindNotify(Program& p, NotifySocket& n)
{
  const QString path = p.home.file("notify");
  if (!n.bind(path))
    return false;
  p.program = "tesmirad";
  p.env.insert("NOTIFY_SOCKET", path);
  return true;
}

QString sdevice(const struct stat& st) { return QString("%1:%2").arg(st.st_dev).arg(st.st_ino); }

}

class TestServiceProgram : public QObject {
  Q_OBJECT

private slots:
  // Each row: a port that cannot be used at start, what the program says
  // about it, and how it comes to be usable.
  void waitsForThePort_data()
  {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason"); // the start of the reason said
    QTest::newRow("device missing") << "missing" << "no such device";
    QTest::newRow("device forbidden") << "forbidden" << "permission denied";
    QTest::newRow("device server down") << "down" << "Connection refused";
    QTest::newRow("device server silent") << "silent" << "no answer from the bus";
  }
  void waitsForThePort()
  {
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    Program p;
    NotifySocket notify;
    QVERIFY(bindNotify(p, notify));
    Bus bus;
    QTcpServer silent; // accepts and never answers
    QString pty;
    QString name = "COM3";
    QString label; // as the program names the port
    const QString device = p.home.file("ttyUSB0");
    if (kind == "missing" || kind == "forbidden") {
      p.env.insert("TESMIRA_COM3", device);
      label = "COM3 (" + device + ")";
    } else {
      bus.port = freePort();
      name = label = QString("tcp:127.0.0.1:%1").arg(bus.port);
      if (kind == "silent")
        QVERIFY(silent.listen(QHostAddress::LocalHost, quint16(bus.port)));
    }
    if (kind == "forbidden") {
      pty = bus.serve("pty");
      QVERIFY2(!pty.isEmpty(), qPrintable(bus.error));
      QVERIFY(::chmod(QFile::encodeName(pty).constData(), 0) == 0 && QFile::link(pty, device));
      p.withoutPermissionOverride();
    }

    QElapsedTimer sinceStart;
    sinceStart.start();
    QVERIFY(p.startOn(name, {"/NT", "/O"}));
    const QByteArray said = "Error\tCannot open " + label.toUtf8() + ": " + reason.toUtf8();
    const QString waiting = "Waiting for " + label + ": " + reason;
    const auto saysWhy = [&] { return p.errors().contains(said) && notify.status().startsWith(waiting); };
    QVERIFY2(until(saysWhy, int(qMax<qint64>(0, 6000 - sinceStart.elapsed()))),
             qPrintable(p.errors() + "\nSTATUS=" + notify.status()));
    qInfo("%s: the reason on standard error and in STATUS= %lld ms after the start", qPrintable(kind),
          sinceStart.elapsed());
    QVERIFY(notify.got("READY=1") && !notify.got("WATCHDOG=1"));
    // Two tries later (pauses of 1 and 2 s) the reason has not been said again.
    QVERIFY2(until([&] { return notify.status().endsWith("; next try in 4 s"); }, 15000), qPrintable(notify.status()));
    QCOMPARE(p.errors().count(said), 1);
    QCOMPARE(p.get("Server", "Status"), notify.status());

    // The port comes.
    if (kind == "missing") {
      QVERIFY2(!bus.serve("pty", device).isEmpty(), qPrintable(bus.error));
    } else if (kind == "forbidden") {
      QVERIFY(::chmod(QFile::encodeName(pty).constData(), 0600) == 0);
    } else {
      silent.close();
      QVERIFY2(!bus.serve("tcp").isEmpty(), qPrintable(bus.error));
    }
    // A device and its folder are watched: it is tried at once, well before
    // the next try 4 s on.
    if (kind == "missing" || kind == "forbidden")
      QVERIFY(until([&] { return p.output().contains("Connection to SORANET interface OK"); }, 2000));
    QElapsedTimer sinceThere;
    sinceThere.start();
    QVERIFY2(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000),
             qPrintable(p.output() + p.errors() + "\nSTATUS=" + notify.status()));
    qInfo("%s: polling %lld ms after the port came", qPrintable(kind), sinceThere.elapsed());
    QVERIFY2(until([&] { return QRegularExpression("^Normal polling on " + QRegularExpression::escape(label) +
                                                   ", [1-9][0-9]* channels?$")
                                    .match(notify.status())
                                    .hasMatch(); }),
             qPrintable(notify.status()));
    QCOMPARE(p.errors().count(said), 1);

    QCOMPARE(p.signalled({SIGTERM}), 0);
    QVERIFY(notify.got("STOPPING=1"));
  }

  // The tries end when the operator closes the communication (OpenCom 0)
  // and at a stop request, which is carried out at once. Meanwhile the
  // service manager's watchdog is fed when it asks for it.
  void closingEndsTheTries()
  {
    Program p;
    NotifySocket notify;
    QVERIFY(bindNotify(p, notify));
    const QString device = p.home.file("ttyUSB0");
    p.env.insert("TESMIRA_COM3", device);
    p.env.insert("WATCHDOG_USEC", "1000000");
    QVERIFY(p.startOn("COM3", {"/NT", "/O"}));
    QVERIFY2(until([&] { return notify.status().startsWith("Waiting for COM3"); }), qPrintable(p.errors()));
    // The event loop runs while the port is awaited: the watchdog is fed.
    QVERIFY(until([&] { return notify.got("WATCHDOG=1"); }, 3000));

    QVERIFY(p.put("Server", "OpenCom", "0"));
    QCOMPARE(p.get("Server", "Status"), QString("Idle"));
    QVERIFY(until([&] { return notify.status() == "Idle: the communication is closed"; }));
    // The pause in force when the communication was closed.
    int pause = 0;
    for (const QString& m : notify.received)
      if (m.startsWith("STATUS=Waiting for"))
        pause = QRegularExpression("next try in (\\d+) s$").match(m).captured(1).toInt();
    QVERIFY2(pause > 0, qPrintable(notify.received.join(" | ")));
    Bus bus;
    QVERIFY2(!bus.serve("pty", device).isEmpty(), qPrintable(bus.error));
    // Proves an absence: not opened, although a try would have come right
    // after the device appeared or at the end of that pause (plus a second).
    const unsigned pauseAndASecondMs = unsigned(pause + 1) * 1000;
    QThread::msleep(pauseAndASecondMs);
    QCOMPARE(p.get("Server", "ComStatus"), QString("Idle"));
    QVERIFY(!p.output().contains("Connection to SORANET interface OK"));

    // Opened again by the client: the port is there now.
    bus.unplug();
    QVERIFY(p.put("Server", "OpenCom", "1"));
    QVERIFY2(until([&] { return notify.status().startsWith("Waiting for COM3"); }), qPrintable(p.errors()));
    QElapsedTimer stopping;
    stopping.start();
    QCOMPARE(p.signalled({SIGTERM}), 0);
    qInfo("ended %lld ms after SIGTERM while waiting for the port", stopping.elapsed());
    QVERIFY(notify.got("STOPPING=1"));
  }

  // Error lines reach standard error whatever the echo options; priorities
  // and no time prefix of ours only on the stream JOURNAL_STREAM names. Here
  // tesmira without a display, which serves as the daemon does.
  void journalPriorities_data()
  {
    QTest::addColumn<QString>("journal"); // which stream JOURNAL_STREAM names
    QTest::newRow("stderr is the journal") << "stderr";
    QTest::newRow("stdout is the journal") << "stdout";
    QTest::newRow("another file") << "other";
    QTest::newRow("no journal") << "";
  }
  void journalPriorities()
  {
    QFETCH(QString, journal);
    Program p;
    for (const char* f : {"stdout.txt", "stderr.txt", "other.txt"})
      QVERIFY(p.write(f, {}));
    if (!journal.isEmpty()) {
      struct stat st = {};
      QVERIFY(::stat(QFile::encodeName(p.home.file(journal + ".txt")).constData(), &st) == 0);
      p.env.insert("JOURNAL_STREAM", sdevice(st));
    }
    QVERIFY(p.start("[Communication]\nInterfaceName=SIM\n"));
    QVERIFY(!p.put("Server", "OpenCom", "maybe"));
    QVERIFY(p.put("Server", "OpenCom", "0"));
    QCOMPARE(p.signalled({SIGTERM}), 0);

    const QString time = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ";
    const auto has = [](const QByteArray& text, const QString& line) {
      return QRegularExpression("(^|\\n)" + line + "\\n").match(QString::fromLocal8Bit(text)).hasMatch();
    };
    // What a line starts with on each stream.
    const auto start = [&](const QString& stream, int priority) {
      return journal == stream ? QString("<%1>").arg(priority) : time;
    };
    QVERIFY2(has(p.errors(), start("stderr", 3) + "Error\\tType mismatch: 'maybe' is no boolean \\[DDEItem: Server!OpenCom\\]"),
             p.errors().constData());
    QVERIFY2(has(p.errors(), start("stderr", 4) + "Warn\\tCommunication already closed! \\[DDEItem: Server!OpenCom\\]"),
             p.errors().constData());
    QVERIFY2(has(p.output(), start("stdout", 6) + "Init\\tServer is asked to stop"), p.output().constData());
    QVERIFY2(has(p.output(), (journal == "stdout" ? "<6>" : "") + QString("To start serving client applications with the Tesmira server:")),
             p.output().constData());
    QVERIFY2(!p.output().contains("Error\t") && !p.output().contains("Warn\t"), p.output().constData());
  }
};

QTEST_GUILESS_MAIN(TestServiceProgram)
#include "tst_service_program.moc"
