// Polling throughput through the MQTT bridge: the server polls 120 channels
// with 10 polled parameters each on the in-process virtual bus ("SIM",
// pacing off) with the bridge connected to a mosquitto broker of its own on
// a free loopback port; one subscriber (libmosquitto, its own thread) takes
// every value. Prints the values per second the subscriber received and the
// median and 99th percentile of the time from the publishing point (the
// link server's itemChanged, which Change_dde_item reaches) to the
// subscriber.
//
//   bench_mqtt [--seconds S] [--polltime MS] [--batch N] [--qos Q]

#include "Paths.h"
#include "ServerRig.h"
#include "TestHome.h"
#include "Prompt.h"
#include "Server.h"
#include "mqtt/MqttBridge.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace tesmira;

namespace {

constexpr int kChannels = 120;
constexpr int kPolled = 10;

qint64 nowNs()
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
    .count();
}

QJsonObject scenario()
{
  QJsonArray modules;
  modules.append(QJsonObject{{"node", 1}, {"type", 1}, {"number", "IF0000001"}, {"channels", QJsonArray{1}}});
  for (int i = 0; i < kChannels; ++i)
    modules.append(QJsonObject{{"node", 2 + i},
                               {"type", 4},
                               {"number", QStringLiteral("FC%1").arg(2 + i, 7, 10, QLatin1Char('0'))},
                               {"channels", QJsonArray{1}}});
  // Every poll reads a new value, so every reply is a change to publish.
  return QJsonObject{{"baud", 38400}, {"changeDelayMs", 0}, {"timeConstantMs", 800}, {"seed", 1},
                     {"wobble", true}, {"modules", modules}};
}

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

  bool start(quint16 port, int qos)
  {
    m = mosquitto_new(nullptr, true, this);
    mosquitto_subscribe_callback_set(m, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed = true;
    });
    mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* s = static_cast<Subscriber*>(self);
      if (!s->counting)
        return;
      const qint64 at = nowNs();
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

void spin(const std::function<bool()>& done, int ms)
{
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

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
  double seconds = 5;
  int polltime = 1, batch = 10, qos = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const QByteArray a = argv[i];
    if (a == "--seconds")
      seconds = atof(argv[i + 1]);
    else if (a == "--polltime")
      polltime = atoi(argv[i + 1]);
    else if (a == "--batch")
      batch = atoi(argv[i + 1]);
    else if (a == "--qos")
      qos = atoi(argv[i + 1]);
  }

  TestHome home;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("TESMIRA_SIM_PACING", "0");
  const QString scen = home.file("scenario.json");
  {
    QFile f(scen);
    f.open(QIODevice::WriteOnly);
    f.write(QJsonDocument(scenario()).toJson());
  }
  qputenv("TESMIRA_SIM_SCENARIO", scen.toLocal8Bit());
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
  conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 0\n")
               .arg(port)
               .toUtf8());
  conf.close();
  QProcess broker;
  broker.start(brokerBin, {"-c", conf.fileName()});
  bool up = false;
  spin([&] {
    QTcpSocket sock;
    sock.connectToHost(QHostAddress::LocalHost, port);
    return up = sock.waitForConnected(100);
  }, 10000);
  if (!up) {
    std::fprintf(stderr, "bench_mqtt: the broker did not start\n");
    return 1;
  }

  Server s;
  s.createGeneral(".");
  s.createServices();
  QString e = serverrig::installDatabase(support::Paths::programDir(), home.defaultDatabase())
                ? serverrig::startServices(s, true)
                : QStringLiteral("no default database beside the program");
  if (e.isEmpty())
    e = serverrig::openLine(s, "SIM", 38400, 125);
  if (!e.isEmpty()) {
    std::fprintf(stderr, "bench_mqtt: %s\n", qPrintable(e));
    return 1;
  }
  QList<int16_t> polled;
  for (auto& def : s.db->ParameterTable)
    def.Poll = false;
  serverrig::fillChannelModel(s, [&](int, const ChannelRec& r, int16_t p) {
    const ParameterDef& def = s.db->ParameterTable[size_t(p)];
    if (r.Dev_ID == 4 && polled.size() < kPolled && def.Read && (def.Process == 1 || def.Process == 255) &&
        def.VarType[0] <= 3 && !polled.contains(p))
      polled.append(p);
  });
  for (int16_t p : polled)
    s.db->ParameterTable[size_t(p)].Poll = true;
  ChannelModel& m = s.channels;
  s.dde->AddTopicScr(m.ChannelCount);
  s.state.NotReady = false;

  // The publishing point, time-stamped before the bridge hears of a value.
  // A value can repeat; each arrival takes the oldest stamp of its key.
  QHash<QByteArray, std::vector<qint64>> stamps;
  bool stamping = false;
  QObject::connect(&s.dde->link(), &ddeml::Server::itemChanged,
                   [&](const QString& topic, const QString& item, const QByteArray& value) {
                     if (!stamping)
                       return;
                     QByteArray key = QStringLiteral("tesmira/bench/%1/%2").arg(topic, item).toUtf8();
                     key += '\0';
                     key += value;
                     stamps[key].push_back(nowNs());
                   });
  MqttConfig cfg;
  cfg.enabled = true;
  cfg.host = QStringLiteral("127.0.0.1");
  cfg.port = port;
  cfg.service = QStringLiteral("bench");
  cfg.clientId = QStringLiteral("tesmira-bench");
  cfg.qos = qos;
  MqttBridge bridge(s, s.dde->link(), cfg);
  spin([&] { return bridge.isConnected(); }, 10000);
  Subscriber sub;
  if (!bridge.isConnected() || !sub.start(port, qos)) {
    std::fprintf(stderr, "bench_mqtt: cannot connect to the broker\n");
    return 1;
  }
  spin([&] { return sub.subscribed.load(); }, 10000);

  s.cfg.Polltime = polltime;
  s.cfg.PollBatch = batch;
  s.cfg.PendingTimeout = 10;
  s.poll->StartPolling();
  spin([] { return false; }, 1000); // warm-up
  stamping = true;
  sub.counting = true;
  QElapsedTimer t;
  t.start();
  spin([] { return false; }, int(seconds * 1000));
  sub.counting = false;
  stamping = false;
  const double elapsed = t.elapsed() / 1000.0;
  s.poll->StopPolling();
  spin([] { return false; }, 300);

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
              "PollBatch %d, QoS %d, %.1f s\n",
              int(m.MaxChannel) - 1, int(polled.size()), polltime, batch, qos, elapsed);
  std::printf("  values published at the items:      %.0f /s\n", published / elapsed);
  std::printf("  values received by the subscriber:  %.0f /s (target >= 20000)\n", received / elapsed);
  std::printf("  latency item -> subscriber: median %.2f ms, p99 %.2f ms (%zu matched; target median < 5 ms)\n",
              percentile(latencies, 0.5), percentile(latencies, 0.99), latencies.size());
  sora32::CloseCommunication();
  broker.kill();
  broker.waitForFinished();
  return 0;
}
