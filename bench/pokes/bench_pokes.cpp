// Poke storm against the real tesmira program: eight clients each poke the
// setpoint of their own controller channel as fast as the acknowledgements
// allow, while a ninth client keeps requesting an item. Two buses:
//
//   in-process  the program's built-in virtual bus, unpaced (the server is
//               the bottleneck)
//   pty         a virtual bus behind a pseudo-terminal paced at the line
//               rate, held by this program with a tap on the wire that
//               records every write request in the order it was sent
//
// Every poke must be acknowledged. On the pty bus every acknowledged value
// must have been written, in the order poked, per item (or be reported on
// the console); on the in-process bus the last value of every channel must
// come back through polling. Prints pokes per second, acknowledgement
// latencies (median, 99th percentile, worst) and the worst latency of the
// ninth client's requests (target: under 100 ms).
//
//   bench_pokes [--seconds S] [--only in-process|pty]

#include "Client.h"
#include "bus.h"
#include "link.h"
#include "paramdb.h"
#include "soraproto.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <climits>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kClients = 8;
constexpr int kFirstNode = 3; // controllers on nodes 3..10, channels 2..9

qint64 nowUs()
{
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
    .count();
}

QJsonObject scenario()
{
  QJsonArray modules;
  modules.append(QJsonObject{{"node", 1}, {"type", 1}, {"number", "IF0000001"}, {"channels", QJsonArray{1}}});
  for (int i = 0; i < kClients; ++i)
    modules.append(QJsonObject{{"node", kFirstNode + i},
                               {"type", 4},
                               {"number", QString("FC%1").arg(kFirstNode + i, 7, 10, QChar('0'))},
                               {"channels", QJsonArray{1}}});
  return QJsonObject{{"baud", 38400}, {"changeDelayMs", 0}, {"timeConstantMs", 200}, {"seed", 1},
                     {"modules", modules}};
}

// The wire tap: a pseudo-terminal whose far end is the virtual bus. Bytes
// from the server are parsed for write requests before the bus answers.
class PtyBus {
public:
  explicit PtyBus(soranetsim::Bus* bus) : m_bus(bus) {}
  ~PtyBus()
  {
    delete m_notifier;
    delete m_link;
    if (m_master >= 0)
      ::close(m_master);
    if (m_slave >= 0)
      ::close(m_slave);
  }
  QString open()
  {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
      return {};
    const QString path = QString::fromLocal8Bit(ptsname(m_master));
    m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY);
    termios t{};
    if (m_slave >= 0 && tcgetattr(m_slave, &t) == 0) {
      cfmakeraw(&t);
      cfsetspeed(&t, B38400);
      tcsetattr(m_slave, TCSANOW, &t);
    }
    const int master = m_master;
    m_link = new soranetsim::Link(m_bus, [master](const QByteArray& b) {
      qsizetype off = 0;
      while (off < b.size()) {
        const ssize_t n = ::write(master, b.constData() + off, size_t(b.size() - off));
        if (n > 0)
          off += n;
        else if (n < 0 && errno == EAGAIN)
          usleep(200);
        else
          break;
      }
    });
    m_link->baudProbe = [master] {
      termios tt{};
      if (tcgetattr(master, &tt) != 0)
        return -1;
      switch (cfgetospeed(&tt)) {
      case B9600: return 9600;
      case B19200: return 19200;
      case B38400: return 38400;
      case B57600: return 57600;
      case B115200: return 115200;
      case B230400: return 230400;
      case B460800: return 460800;
      default: return 38400;
      }
    };
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read);
    QObject::connect(m_notifier, &QSocketNotifier::activated, m_link, [this] {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
          break;
        const QByteArray bytes(buf, int(n));
        tap(bytes);
        m_link->receive(bytes);
      }
    });
    return path;
  }
  // Setpoint values written per node, in wire order.
  std::map<int, std::vector<int>> writes;

private:
  void tap(const QByteArray& bytes)
  {
    m_parser.feed(bytes);
    soraproto::FrameParser::Event e;
    while (m_parser.next(e)) {
      if (!e.ok)
        continue;
      const auto m = soraproto::decodeRequest(e.payload);
      if (!m || m->cmd != soraproto::CmdWrite)
        continue;
      for (const auto& g : m->groups)
        for (const auto& it : g.items)
          if (g.process == 1 && it.param == 1) // the setpoint
            writes[m->node].push_back(int(it.value.number()));
    }
  }
  soranetsim::Bus* m_bus;
  soranetsim::Link* m_link = nullptr;
  QSocketNotifier* m_notifier = nullptr;
  soraproto::FrameParser m_parser;
  int m_master = -1, m_slave = -1;
};

struct PokerResult {
  std::vector<int> acked;   // values acknowledged, in order
  int failed = 0;           // pokes the server refused or that broke
  std::vector<qint64> latUs;
};

// Keeps the application's event loop turning (the pty tap lives on it)
// until done() is true.
template <typename F> void spin(F done)
{
  while (!done())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

double percentile(std::vector<qint64> v, double q)
{
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  return double(v[size_t(q * double(v.size() - 1))]) / 1000.0;
}

bool run(const QString& mode, int seconds, const QString& bin)
{
  QTemporaryDir home;
  const bool pty = mode == "pty";
  QFile(home.filePath("run")).exists() || QDir(home.path()).mkpath("run");
  QFile::setPermissions(home.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

  soranetsim::ParamDb pdb;
  if (!pdb.load(bin + "/Tesmira.mdb").isEmpty())
    pdb = soranetsim::ParamDb::builtin();
  soranetsim::Bus bus;
  if (const QString e = bus.loadScenario(scenario(), pdb); !e.isEmpty()) {
    std::printf("scenario: %s\n", qPrintable(e));
    return false;
  }
  PtyBus wire(&bus);
  QString iface = "SIM";
  if (pty) {
    iface = wire.open();
    if (iface.isEmpty()) {
      std::printf("no pseudo-terminal\n");
      return false;
    }
  }
  QFile scen(home.filePath("scenario.json"));
  scen.open(QIODevice::WriteOnly);
  scen.write(QJsonDocument(scenario()).toJson());
  scen.close();
  QFile ini(home.filePath("common.ini"));
  ini.open(QIODevice::WriteOnly);
  ini.write(("[Communication]\nInterfaceName=" + iface + "\n[Settings]\nPollParametersOnInit=False\n").toUtf8());
  ini.close();
  QFile user(home.filePath("user.ini"));
  user.open(QIODevice::WriteOnly);
  user.write(qEnvironmentVariableIsSet("BENCH_ECHO_ALL") ? "[Menu Settings]\nEchoAll=True\n" : "[Menu Settings]\nEchoErr=True\n");
  home.setAutoRemove(!qEnvironmentVariableIsSet("BENCH_KEEP"));
  if (!home.autoRemove()) std::printf("home: %s\n", qPrintable(home.path()));
  user.close();

  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("TESMIRA_HOME", home.path());
  env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
  env.insert("TESMIRA_SIM_SCENARIO", scen.fileName());
  env.insert("TESMIRA_SIM_PACING", "0");
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  env.remove("QT_QPA_PLATFORM");
  qputenv("XDG_RUNTIME_DIR", home.filePath("run").toLocal8Bit());
  QProcess server;
  server.setProcessEnvironment(env);
  server.setStandardOutputFile(home.filePath("console.txt"));
  server.start(bin + "/tesmira", {"/NT", "/O"});
  if (!server.waitForStarted()) {
    std::printf("tesmira did not start\n");
    return false;
  }
  // Wait until the communication is open (the tap must keep serving).
  std::atomic<bool> open{false}, waited{false};
  std::thread waiter([&] {
    QDeadlineTimer dl(60000);
    QString v;
    while (!dl.hasExpired() && !open) {
      // Open, scanned and ready: until then client writes are ignored.
      if (ddeml::Request("Tesmira", "Server", "ComStatus", 1000, &v) && v == "Normal polling")
        open = true;
      else
        QThread::msleep(50);
    }
    waited = true;
  });
  spin([&] { return waited.load(); });
  waiter.join();
  if (!open) {
    std::printf("%s: the communication did not open\n", qPrintable(mode));
    return false;
  }

  std::atomic<bool> stop{false};
  std::atomic<int> finished{0};
  std::vector<PokerResult> results(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i)
    threads.emplace_back([&, i] {
      PokerResult& r = results[size_t(i)];
      ddeml::Client c;
      if (c.connect("Tesmira", QString("C(%1)").arg(i + 2))) {
        for (int v = 1; !stop; ++v) {
          const int value = (v * 7 + i) % 32000;
          const qint64 t0 = nowUs();
          if (c.poke("P(9)", QString::number(value), 30000))
            r.acked.push_back(value);
          else
            ++r.failed;
          r.latUs.push_back(nowUs() - t0);
        }
      } else {
        ++r.failed;
        std::printf("client %d: %s\n", i + 1, qPrintable(c.errorString()));
      }
      ++finished;
    });
  std::vector<qint64> readerUs;
  int readerFailed = 0;
  threads.emplace_back([&] {
    ddeml::Client c;
    c.connect("Tesmira", "C(2)");
    QString v;
    while (!stop) {
      const qint64 t0 = nowUs();
      if (!c.request("P(8)", &v, 5000))
        ++readerFailed;
      readerUs.push_back(nowUs() - t0);
      QThread::msleep(5);
    }
    ++finished;
  });
  const qint64 start = nowUs();
  spin([&] { return nowUs() - start >= qint64(seconds) * 1000000; });
  stop = true;
  spin([&] { return finished == kClients + 1; });
  const double elapsed = double(nowUs() - start) / 1e6;
  for (auto& t : threads)
    t.join();

  // Let the last writes and polls land.
  int acked = 0, failed = 0, missing = 0, disorder = 0, stale = 0;
  std::vector<qint64> lat;
  for (int i = 0; i < kClients; ++i) {
    acked += int(results[size_t(i)].acked.size());
    failed += results[size_t(i)].failed;
    lat.insert(lat.end(), results[size_t(i)].latUs.begin(), results[size_t(i)].latUs.end());
  }
  const qint64 settle = nowUs();
  spin([&] { return nowUs() - settle > 300000; });
  if (pty) {
    for (int i = 0; i < kClients; ++i) {
      const std::vector<int>& want = results[size_t(i)].acked;
      const std::vector<int>& seen = wire.writes[kFirstNode + i];
      // Acknowledged values must appear on the wire in the order poked.
      size_t k = 0;
      for (int v : seen)
        if (k < want.size() && v == want[k])
          ++k;
        else
          ++disorder;
      missing += int(want.size() - k);
    }
  } else {
    std::atomic<bool> checked{false};
    std::thread check([&] {
      for (int i = 0; i < kClients; ++i) {
        const auto& want = results[size_t(i)].acked;
        if (want.empty())
          continue;
        QDeadlineTimer dl(5000);
        QString v;
        while (!(ddeml::Request("Tesmira", QString("C(%1)").arg(i + 2), "P(9)", 2000, &v) &&
                 v.toInt() == want.back()) &&
               !dl.hasExpired())
          QThread::msleep(20);
        if (v.toInt() != want.back())
          ++stale;
      }
      checked = true;
    });
    spin([&] { return checked.load(); });
    check.join();
  }
  QFile console(home.filePath("console.txt"));
  console.open(QIODevice::ReadOnly);
  int reported = 0;
  for (const QByteArray& line : console.readAll().split('\n'))
    reported += line.contains("Error\tCh") && line.contains("P009");

  server.terminate();
  server.waitForFinished(20000);

  int slow = 0;
  for (qint64 us : readerUs)
    slow += us > 100000;
  std::printf("%-11s %6.1f s  pokes %6d  (%7.1f/s)  refused %d  reported %d", qPrintable(mode), elapsed, acked,
              acked / elapsed, failed, reported);
  if (pty)
    std::printf("  not on wire %d  out of order %d", missing, disorder);
  else
    std::printf("  last value missing %d", stale);
  int fewest = INT_MAX, most = 0;
  for (const PokerResult& r : results) {
    fewest = std::min(fewest, int(r.acked.size()));
    most = std::max(most, int(r.acked.size()));
  }
  std::printf("\n            per client: fewest %d, most %d", fewest, most);
  std::printf("\n            ack latency ms: median %.2f  p99 %.2f  worst %.2f\n", percentile(lat, 0.5),
              percentile(lat, 0.99), percentile(lat, 1.0));
  std::printf("            ninth client: %zu requests, failed %d, worst %.2f ms, over 100 ms: %d\n",
              readerUs.size(), readerFailed, percentile(readerUs, 1.0), slow);
  return failed == 0 && missing <= reported && disorder == 0 && stale == 0 && slow == 0 && readerFailed == 0;
}

}

int main(int argc, char** argv)
{
  QCoreApplication app(argc, argv);
  int seconds = 10;
  QString only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (qstrcmp(argv[i], "--seconds") == 0)
      seconds = std::max(1, atoi(argv[i + 1]));
    else if (qstrcmp(argv[i], "--only") == 0)
      only = QString::fromLocal8Bit(argv[i + 1]);
  }
  const QString bin = QCoreApplication::applicationDirPath();
  bool ok = true;
  for (const QString mode : {"in-process", "pty"})
    if (only.isEmpty() || only == mode)
      ok = run(mode, seconds, bin) && ok;
  std::printf("%s\n", ok ? "all pokes acknowledged and accounted for" : "FAILED");
  return ok ? 0 : 1;
}
