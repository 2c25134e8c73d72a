// Fairness of the link server under a flood: one client writes 5,000 pokes
// of Server!PollTime in one go (pipelined, without waiting for the
// acknowledgements), while a second client keeps requesting Server!Status
// and times each request. Prints, per run, the median and worst wait of the
// second client's requests while the flood was being handled, and the time
// the flood took; then the medians over the runs. The median wait is also
// given in pokes (divided by the flood's mean time per poke), a figure that
// depends less on how loaded the machine is.
//
//   bench_flood [--runs N] [--pokes N] [--program PATH/tesmira]

#include "Client.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

qint64 nowUs()
{
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
    .count();
}

template <typename T> T median(std::vector<T> v)
{
  if (v.empty())
    return T{};
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  qint64 medianUs = 0, worstUs = 0, floodMs = 0;
  int requests = 0;
};

bool runOnce(const QString& program, int pokes, Figures* out)
{
  QTemporaryDir home;
  QDir(home.path()).mkpath("run");
  QFile::setPermissions(home.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QFile ini(home.filePath("common.ini"));
  ini.open(QIODevice::WriteOnly);
  ini.write("[Communication]\nInterfaceName=SIM\n");
  ini.close();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("TESMIRA_HOME", home.path());
  env.insert("XDG_RUNTIME_DIR", home.filePath("run"));
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  qputenv("XDG_RUNTIME_DIR", home.filePath("run").toLocal8Bit());
  QProcess server;
  server.setProcessEnvironment(env);
  server.setStandardOutputFile(QProcess::nullDevice());
  server.start(program, {"/NT", "/O"});
  if (!server.waitForStarted())
    return false;
  bool ready = false;
  for (int i = 0; i < 600 && !ready; ++i) {
    QString v;
    ready = ddeml::Request("Tesmira", "Server", "ComStatus", 1000, &v) && v == "Normal polling";
    if (!ready)
      QThread::msleep(50);
  }
  if (!ready) {
    std::printf("the server did not open its bus\n");
    server.kill();
    server.waitForFinished();
    return false;
  }

  // The flood: every poke written at once, the acknowledgements read after.
  QByteArray flood = "CONNECT Tesmira Server\n";
  for (int i = 0; i < pokes; ++i) {
    const QByteArray value = QByteArray::number(100 + i % 2);
    flood += "POKE PollTime " + QByteArray::number(value.size()) + '\n' + value;
  }
  std::atomic<bool> floodDone{false};
  std::atomic<qint64> floodStart{0}, floodEnd{0};
  std::thread flooder([&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(home.filePath("run/dde/Tesmira"));
    memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      floodDone = true;
      return;
    }
    floodStart = nowUs();
    std::thread writer([&] {
      for (qsizetype done = 0; done < flood.size();) {
        const ssize_t n = ::send(fd, flood.constData() + done, size_t(flood.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
          break;
        done += n;
      }
    });
    // One line per message: OK for CONNECT and for every poke.
    int lines = 0;
    char buf[65536];
    while (lines < pokes + 1) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0)
        break;
      lines += int(std::count(buf, buf + n, '\n'));
    }
    floodEnd = nowUs();
    floodDone = true;
    writer.join();
    ::close(fd);
  });

  std::vector<qint64> waits;
  {
    ddeml::Client c;
    if (c.connect("Tesmira", "Server")) {
      while (!floodStart)
        std::this_thread::yield();
      while (!floodDone) {
        QString v;
        const qint64 t0 = nowUs();
        if (!c.request("Status", &v, 30000))
          break;
        if (!floodDone)
          waits.push_back(nowUs() - t0);
      }
    }
  }
  flooder.join();
  server.terminate();
  if (!server.waitForFinished(15000)) {
    server.kill();
    server.waitForFinished();
  }
  if (waits.empty() || !floodEnd)
    return false;
  out->medianUs = median(waits);
  out->worstUs = *std::max_element(waits.begin(), waits.end());
  out->floodMs = (floodEnd - floodStart) / 1000;
  out->requests = int(waits.size());
  return true;
}

} // namespace

int main(int argc, char** argv)
{
  QCoreApplication app(argc, argv);
  int runs = 5, pokes = 5000;
  QString program = QCoreApplication::applicationDirPath() + "/tesmira";
  const QStringList args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--runs")
      runs = args[i + 1].toInt();
    else if (args[i] == "--pokes")
      pokes = args[i + 1].toInt();
    else if (args[i] == "--program")
      program = args[i + 1];
  }
  std::vector<qint64> medians, worsts, floods;
  std::vector<double> inPokes;
  for (int r = 0; r < runs; ++r) {
    Figures f;
    if (!runOnce(program, pokes, &f)) {
      std::printf("run %d failed\n", r + 1);
      return 1;
    }
    const double pokeUs = f.floodMs * 1000.0 / pokes;
    inPokes.push_back(f.medianUs / pokeUs);
    std::printf("run %d: %d requests during a flood of %d pokes (%lld ms): median %.2f ms (%.2f pokes), worst %.2f ms\n",
                r + 1, f.requests, pokes, (long long)f.floodMs, f.medianUs / 1000.0, inPokes.back(), f.worstUs / 1000.0);
    std::fflush(stdout);
    medians.push_back(f.medianUs);
    worsts.push_back(f.worstUs);
    floods.push_back(f.floodMs);
  }
  std::printf("median of %d runs: request wait median %.2f ms (%.2f pokes), worst %.2f ms; flood %lld ms\n", runs,
              median(medians) / 1000.0, median(inPokes), median(worsts) / 1000.0, (long long)median(floods));
  return 0;
}
