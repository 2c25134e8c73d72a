// Polling throughput through the MQTT bridge: the server polls 120 channels
// with 10 polled parameters each on the in-process virtual bus ("SIM",
// pacing off) with the bridge connected to a mosquitto broker of its own on
// a free loopback port; one subscriber (libmosquitto, its own thread) takes
// every value. Prints the values per second the subscriber received and the
// median and 99th percentile of the time from the publishing point (the
// link server's itemChanged, which Change_dde_item reaches) to the
// subscriber, and the processor time the server's thread (engine, link
// layer and bridge) spent per value. The load is bench/common/PolledBus.h.
//
//   bench_mqtt [--seconds S] [--polltime MS] [--batch N] [--qos Q] [--subqos Q] [--inflight N]
//
// --qos is the bridge's, --subqos the subscriber's (by default the same);
// --inflight is the broker's max_inflight_messages, its window of QoS 1 and
// 2 messages unacknowledged by the subscriber (20, mosquitto's default).

#include "PolledBus.h"
#include "Prompt.h"
#include "mqtt/MqttBridge.h"

#include <QApplication>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <vector>

using namespace tesmira;
using polledbus::nowNs;

namespace {

struct Received {
  QByteArray key; // topic NUL payload
  qint64 at;
};

// The subscriber: counts and time-stamps what arrives while counting is on.
struct Subscriber {
  mosquitto* m = nullptr;
  QMutex mutex;
  std::vector<Received> got;
  std::atomic<bool> counting{false};
  std::atomic<bool> subscribed{false};
  std::atomic<qint64> lastNs{0}; // when the last message arrived

  bool start(quint16 port, int qos)
  {
    m = mosquitto_new(nullptr, true, this);
    mosquitto_subscribe_callback_set(m, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed = true;
    });
    mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* s = static_cast<Subscriber*>(self);
      const qint64 at = nowNs();
      s->lastNs = at;
      if (!s->counting)
        return;
      QByteArray key(msg->topic);
      key += '\0';
      key += QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen);
      QMutexLocker lock(&s->mutex);
      s->got.push_back({key, at});
    });
    if (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
      return false;
    mosquitto_subscribe(m, nullptr, "tesmira/bench/#", qos);
    return mosquitto_loop_start(m) == MOSQ_ERR_SUCCESS;
  }
  ~Subscriber()
  {
    if (!m)
      return;
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, true);
    mosquitto_destroy(m);
  }
};

double percentile(std::vector<double>& v, double p)
{
  if (v.empty())
    return 0;
  const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
  std::nth_element(v.begin(), v.begin() + qsizetype(i), v.end());
  return v[i];
}

}

int main(int argc, char** argv)
{
  const polledbus::Options o = polledbus::options(argc, argv);
  const int qos = int(polledbus::option(argc, argv, "--qos", 1));
  const int inflight = int(polledbus::option(argc, argv, "--inflight", 20));
  const int subQos = int(polledbus::option(argc, argv, "--subqos", qos));
  TestHome home;
  polledbus::prepare(home);
  QApplication app(argc, argv);
  support::HeadlessPrompt prompt;
  support::setPrompt(&prompt);
  mosquitto_lib_init();

  // The broker.
  const QString brokerBin = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
  if (brokerBin.isEmpty()) {
    std::fprintf(stderr, "bench_mqtt: the mosquitto broker is not installed\n");
    return 1;
  }
  quint16 port = 0;
  {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    port = probe.serverPort();
  }
  QFile conf(home.file("mosquitto.conf"));
  conf.open(QIODevice::WriteOnly);
  conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 0\n"
                            "max_inflight_messages %2\n")
               .arg(port)
               .arg(inflight)
               .toUtf8());
  conf.close();
  QProcess broker;
  broker.start(brokerBin, {"-c", conf.fileName()});
  bool up = false;
  polledbus::spin([&] {
    QTcpSocket sock;
    sock.connectToHost(QHostAddress::LocalHost, port);
    return up = sock.waitForConnected(100);
  }, 10000);
  if (!up) {
    std::fprintf(stderr, "bench_mqtt: the broker did not start\n");
    return 1;
  }

  Server s;
  const QList<int16_t> polled = polledbus::open(s, home, "bench_mqtt");
  if (polled.isEmpty())
    return 1;
  ChannelModel& m = s.channels;

  // The publishing point, time-stamped before the bridge hears of a value.
  // A value can repeat; each arrival takes the oldest stamp of its key. The
  // stamps are kept as they come (shared strings, no formatting) so that
  // taking them adds little to the server thread's measured time.
  struct Stamp {
    QString topic, item;
    QByteArray value;
    qint64 at;
  };
  std::vector<Stamp> stampList;
  stampList.reserve(1 << 20);
  bool stamping = false;
  QObject::connect(&s.dde->link(), &ddeml::Server::itemChanged,
                   [&](const QString& topic, const QString& item, const QByteArray& value) {
                     if (stamping)
                       stampList.push_back({topic, item, value, nowNs()});
                   });
  MqttConfig cfg;
  cfg.enabled = true;
  cfg.host = QStringLiteral("127.0.0.1");
  cfg.port = port;
  cfg.service = QStringLiteral("bench");
  cfg.clientId = QStringLiteral("tesmira-bench");
  cfg.qos = qos;
  MqttBridge bridge(s, s.dde->link(), cfg);
  polledbus::spin([&] { return bridge.isConnected(); }, 10000);
  Subscriber sub;
  if (!bridge.isConnected() || !sub.start(port, subQos)) {
    std::fprintf(stderr, "bench_mqtt: cannot connect to the broker\n");
    return 1;
  }
  polledbus::spin([&] { return sub.subscribed.load(); }, 10000);
  // The retained values the subscription brings, and the bridge's first
  // publication of every item, are through before polling starts.
  polledbus::spin([&] { return nowNs() - sub.lastNs > 300000000; }, 60000);

  polledbus::startPolling(s, o);
  stamping = true;
  sub.counting = true;
  const polledbus::CpuSpan cpuSpan;
  QElapsedTimer t;
  t.start();
  polledbus::run(int(o.seconds * 1000));
  sub.counting = false;
  stamping = false;
  const double elapsed = t.elapsed() / 1000.0;
  const double cpu = cpuSpan.threadSeconds(), ioCpu = cpuSpan.ioSeconds();
  s.poll->StopPolling();
  polledbus::spin([] { return false; }, 300);

  QHash<QByteArray, std::vector<qint64>> stamps;
  for (const Stamp& st : stampList) {
    QByteArray key = QStringLiteral("tesmira/bench/%1/%2").arg(st.topic, st.item).toUtf8();
    key += '\0';
    key += st.value;
    stamps[key].push_back(st.at);
  }
  std::vector<double> latencies;
  qint64 received = 0;
  {
    QMutexLocker lock(&sub.mutex);
    received = qint64(sub.got.size());
    QHash<QByteArray, size_t> used;
    for (const Received& r : sub.got) {
      auto it = stamps.constFind(r.key);
      if (it == stamps.constEnd())
        continue;
      size_t& next = used[r.key];
      if (next < it->size() && (*it)[next] <= r.at)
        latencies.push_back(double(r.at - (*it)[next++]) / 1e6);
    }
  }
  qint64 published = 0;
  for (const auto& v : std::as_const(stamps))
    published += qint64(v.size());

  std::printf("bench_mqtt: %d channels x %d polled parameters, in-process bus, pacing off, Polltime %d ms, "
              "PollBatch %d, QoS %d (subscriber %d), broker window %d, %.1f s\n",
              int(m.MaxChannel) - 1, int(polled.size()), o.polltime, o.batch, qos, subQos, inflight, elapsed);
  std::printf("  values published at the items:      %.0f /s\n", published / elapsed);
  std::printf("  values received by the subscriber:  %.0f /s (target >= 20000)\n", received / elapsed);
  std::printf("  latency item -> subscriber: median %.2f ms, p99 %.2f ms (%zu matched; target median < 5 ms)\n",
              percentile(latencies, 0.5), percentile(latencies, 0.99), latencies.size());
  std::printf("  library I/O thread with the virtual bus: %.0f %% of a core\n", 100 * ioCpu / elapsed);
  std::printf("  server thread: %.0f %% of a core, %.1f us per published value\n", 100 * cpu / elapsed,
              published ? 1e6 * cpu / double(published) : 0.0);
  sora32::CloseCommunication();
  broker.kill();
  broker.waitForFinished();
  return 0;
}
