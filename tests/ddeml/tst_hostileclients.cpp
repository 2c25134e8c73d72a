// The real tesmira program, headless as a service runs it, against link
// clients that mean harm or are broken: a megabyte of binary poked into a
// server item that the main window shows costs neither seconds nor hundreds
// of megabytes; with its handles limited to 1,024 as a default session has
// them, a flood of 1,100 idle connections, from another local user on the
// TCP port (who cannot send the token) or from the owner's own leaky client
// on the Unix socket, leaves the owner's open conversation answered during
// the flood and a new one after it, and both listeners open.
#include "ProcessRig.h"

#include <QElapsedTimer>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kFlood = 1100;

// An idle connection, made without waiting for the server to accept it; a
// full Unix socket queue is tried again for a while, as a leaky client
// would. -1 when no connection could be made.
int openIdle(bool tcp, quint16 port, const QString& path)
{
  const int fd = ::socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  if (tcp) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    const QByteArray p = QFile::encodeName(path);
    memcpy(a.sun_path, p.constData(), size_t(qMin<qsizetype>(p.size(), sizeof a.sun_path - 1)));
    const bool connected = until([&] { return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno != EAGAIN; }, 500);
    if (!connected) {
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

// The first line the server sent on fd, waiting up to ms for it.
QByteArray firstLine(int fd, int ms)
{
  QByteArray got;
  QDeadlineTimer dl(ms);
  while (!got.contains('\n') && !dl.hasExpired()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(qMax<qint64>(1, dl.remainingTime()))) <= 0)
      continue;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0)
      break;
    got.append(buf, n);
  }
  return got.left(got.indexOf('\n') + 1);
}

// The fields of /proc/PID/stat after the command name, numbered so that
// field k of the proc(5) manual page is at k - 2.
QList<QByteArray> procStat(qint64 pid)
{
  QFile f(QString("/proc/%1/stat").arg(pid));
  return f.open(QIODevice::ReadOnly) ? f.readAll().split(')').value(1).split(' ') : QList<QByteArray>();
}

// The resident size of a process in kB.
qint64 residentKb(qint64 pid) { return procStat(pid).value(22).toLongLong() * sysconf(_SC_PAGESIZE) / 1024; }

// Processor seconds the process has used (user and system).
double cpuSeconds(qint64 pid)
{
  const QList<QByteArray> fields = procStat(pid);
  return (fields.value(12).toDouble() + fields.value(13).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

}

class TestHostileClients : public QObject {
  Q_OBJECT

private slots:
  // The link's largest value, bytes of every kind, into a display item, a
  // counter label and an item whose poke is refused.
  void binaryPokeIntoServerItem_data()
  {
    QTest::addColumn<QString>("item");
    QTest::addColumn<QByteArray>("kept"); // what the item reads afterwards; empty: the poked bytes
    QTest::newRow("Status") << "Status" << QByteArray();
    QTest::newRow("lblError") << "lblError" << QByteArray();
    QTest::newRow("Baudrate, refused: no number") << "Baudrate" << QByteArray("38400");
  }

  void binaryPokeIntoServerItem()
  {
    QFETCH(QString, item);
    QFETCH(QByteArray, kept);
    processrig::Program p;
    QVERIFY(p.start("[Communication]\nInterfaceName=SIM\nBaudrate=38400\n"));
    const qint64 pid = p.process.processId();
    ddeml::Client c;
    QVERIFY(c.connect("Tesmira", "Server"));
    QString status;
    QVERIFY(c.request("Status", &status));
    const qint64 before = residentKb(pid);
    QByteArray poked(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < poked.size(); ++i)
      poked[i] = char((i * 7919 + i / 253) & 0xff); // every byte value, NUL, CR and LF among them
    QCOMPARE(c.poke(item, poked, 30000), kept.isEmpty());

    QElapsedTimer clock;
    clock.start();
    QVERIFY(c.request("Status", &status, 5000));
    const qint64 answered = clock.elapsed();
    const qint64 grownMb = (residentKb(pid) - before) / 1024;
    qInfo("next request after the poke answered in %lld ms; the server grew by %lld MB", answered, grownMb);
    QVERIFY2(answered < 1000, qPrintable(QString("%1 ms").arg(answered)));
    QVERIFY2(grownMb < 100, qPrintable(QString("%1 MB").arg(grownMb)));
    // The item keeps what clients read: the whole poke, or the value in force.
    QByteArray value;
    QVERIFY(c.request(item, &value));
    QVERIFY(value == (kept.isEmpty() ? poked : kept));
    QCOMPARE(p.stop(), 0);
  }

  void floodLeavesOwnerServed_data()
  {
    QTest::addColumn<bool>("tcp");          // the flood comes to the TCP port, else to the Unix socket
    QTest::addColumn<int>("maxClients");    // [Link] MaxClients; 0: not set
    QTest::addColumn<QByteArray>("refusal"); // what a connection of the flood is told; empty: nothing checked
    QTest::newRow("another user's TCP connections without AUTH")
        << true << 0 << QByteArray("ERR BUSY 32 connections are waiting to send AUTH; try again later\n");
    QTest::newRow("leaky local client at the client cap")
        << false << 300 << QByteArray("ERR TOO_MANY_CLIENTS at most 300 clients are served at once\n");
    QTest::newRow("leaky local client past the handle limit") << false << 5000 << QByteArray();
  }

  void floodLeavesOwnerServed()
  {
    QFETCH(bool, tcp);
    QFETCH(int, maxClients);
    QFETCH(QByteArray, refusal);
    // This process holds the flood's handles itself.
    rlimit own{};
    QVERIFY(getrlimit(RLIMIT_NOFILE, &own) == 0);
    QVERIFY2(own.rlim_max >= kFlood + 200, "the hard handle limit is too low for the test");
    own.rlim_cur = own.rlim_max;
    QVERIFY(setrlimit(RLIMIT_NOFILE, &own) == 0);

    processrig::Program p;
    const quint16 port = freePort();
    QVERIFY(p.write("program.ini", QString("[Link]\nTcpPort=%1\n%2")
                                       .arg(port)
                                       .arg(maxClients ? QString("MaxClients=%1\n").arg(maxClients) : QString())
                                       .toUtf8()));
    p.process.setChildProcessModifier([] {
      const rlimit limit{1024, 1024};
      setrlimit(RLIMIT_NOFILE, &limit);
    });
    QVERIFY(p.start("[Communication]\nInterfaceName=SIM\n"));
    const QString socket = p.home.runtime() + "/dde/Tesmira";

    ddeml::Client owner;
    QVERIFY(owner.connect("Tesmira", "Server"));
    QList<int> flood;
    const auto closeFlood = qScopeGuard([&] {
      for (int fd : std::as_const(flood))
        ::close(fd);
    });
    for (int i = 0; i < kFlood; ++i)
      if (const int fd = openIdle(tcp, port, socket); fd >= 0)
        flood << fd;
    // More than the server's handles: a Unix socket connection is only
    // made once the server accepts it or queues it.
    QVERIFY2(flood.size() > 1024, qPrintable(QString::number(flood.size())));

    // During the flood: the owner's conversation is answered.
    QElapsedTimer clock;
    clock.start();
    QString status;
    QVERIFY2(owner.request("Status", &status, 5000), qPrintable(owner.errorString()));
    qInfo("owner's request during the flood answered in %lld ms", clock.elapsed());
    if (!refusal.isEmpty())
      QCOMPARE(firstLine(flood.last(), 10000), refusal);
    if (tcp) {
      // A new local conversation too: waiting TCP peers take no client's place.
      QCOMPARE(p.get("Server", "Status"), status);
      // The first ones are closed when they have not sent AUTH in time.
      QCOMPARE(firstLine(flood.first(), 15000), QByteArray("ERR AUTH_REQUIRED no AUTH within 5 s\n"));
    }
    if (maxClients > 1024) {
      // Out of handles: said once, and the server does not spin meanwhile
      // (two seconds of processor time measured over two seconds would).
      QVERIFY2(p.until([&] { return p.output().contains("cannot take a new connection (Too many open files)"); }),
               p.output().constData());
      const double before = cpuSeconds(p.process.processId());
      // Proves an absence (no spinning): one whole longest accept pause, the
      // 2 s the link server's pause doubles up to (platform/ddeml/Server.cpp).
      constexpr int kLongestAcceptPauseMs = 2000;
      QTest::qWait(kLongestAcceptPauseMs);
      QVERIFY2(cpuSeconds(p.process.processId()) - before < 1.0, "the server spins while out of handles");
      QVERIFY(owner.request("Status", &status, 5000));
      QCOMPARE(p.output().count("cannot take a new connection"), 1);
    }

    // After the flood: a new conversation is answered on the same socket.
    for (int fd : std::as_const(flood))
      ::close(fd);
    flood.clear();
    QVERIFY(QFile::exists(socket));
    QVERIFY2(p.until([&] { return p.get("Server", "Status") == status; }, 15000), p.output().constData());
    ddeml::Client viaTcp;
    QVERIFY2(p.until([&] { return viaTcp.connectTcp(port, "Tesmira", "Server"); }, 15000),
             qPrintable(viaTcp.errorString()));
    QCOMPARE(p.stop(), 0);
  }
};

QTEST_GUILESS_MAIN(TestHostileClients)
#include "tst_hostileclients.moc"
