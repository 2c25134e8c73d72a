// The MQTT bridge of the real tesmira program, headless on the virtual bus,
// against a real mosquitto broker on a free loopback port, watched and
// written by a real MQTT client: values reach the broker, writes go through
// the poke path with their result, the bridge outlives a broker restart and
// the broker says "offline" for a server that died. The cases run in order
// on one server.
#include "TestHome.h"
#include "Until.h"

#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>

#include <mosquitto.h>

namespace {

// A mosquitto broker of our own on 127.0.0.1, without a store: a restart
// forgets every retained message.
struct Broker {
  QString binary = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
  QProcess process;
  quint16 port = freePort();

  bool start(const QString& conf)
  {
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly))
      return false;
    f.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n").arg(port).toUtf8());
    f.close();
    process.start(binary, {"-c", conf});
    return process.waitForStarted() && until([&] {
             QTcpSocket s;
             s.connectToHost(QHostAddress::LocalHost, port);
             return s.waitForConnected(200);
           }, 10000);
  }
  void kill()
  {
    process.kill();
    process.waitForFinished();
  }
  ~Broker() { kill(); }
};

// A consumer on the network: subscribes to everything under tesmira/ and
// keeps every message in arrival order (its own network thread).
struct Consumer {
  mosquitto* m = mosquitto_new(nullptr, true, this);
  QMutex mutex;
  QList<QPair<QString, QByteArray>> got;

  bool start(quint16 port)
  {
    mosquitto_connect_callback_set(m, [](mosquitto* m, void*, int rc) {
      if (rc == 0)
        mosquitto_subscribe(m, nullptr, "tesmira/#", 1);
    });
    mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* c = static_cast<Consumer*>(self);
      QMutexLocker lock(&c->mutex);
      c->got.append({QString::fromUtf8(msg->topic), QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen)});
    });
    mosquitto_reconnect_delay_set(m, 1, 1, false);
    return mosquitto_connect(m, "127.0.0.1", port, 10) == MOSQ_ERR_SUCCESS && mosquitto_loop_start(m) == MOSQ_ERR_SUCCESS;
  }
  ~Consumer()
  {
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, true);
    mosquitto_destroy(m);
  }
  qsizetype count()
  {
    QMutexLocker lock(&mutex);
    return got.size();
  }
  // The first message from index from on whose topic and payload satisfy
  // accept; waits up to ms.
  std::optional<QPair<QString, QByteArray>> next(const std::function<bool(const QString&, const QByteArray&)>& accept,
                                                 qsizetype from = 0, int ms = 15000)
  {
    std::optional<QPair<QString, QByteArray>> found;
    until([&] {
      QMutexLocker lock(&mutex);
      for (qsizetype i = from; i < got.size() && !found; ++i)
        if (accept(got[i].first, got[i].second))
          found = got[i];
      return found.has_value();
    }, ms);
    return found;
  }
  QByteArray on(const QString& topic, qsizetype from = 0)
  {
    const auto m = next([&](const QString& t, const QByteArray&) { return t == topic; }, from);
    return m ? m->second : QByteArray("<nothing>");
  }
};

const QString kBase = QStringLiteral("tesmira/lab1/");

}

class TestMqtt : public QObject {
  Q_OBJECT
  Broker broker;
  TestHome home;
  QProcess server;
  QString console;
  std::unique_ptr<Consumer> consumer;
  QString setpointTopic; // C(n)/P(9) of a controller

  bool consoleSays(const QString& text, int ms = 15000)
  {
    return until([&] {
      server.waitForReadyRead(20);
      console += QString::fromLocal8Bit(server.readAllStandardOutput());
      return console.contains(text);
    }, ms);
  }
  // Writes value into an item over MQTT and returns the published result.
  QByteArray write(const QString& item, const QByteArray& value)
  {
    const qsizetype from = consumer->count();
    const QByteArray topic = (kBase + item + "/set").toUtf8();
    mosquitto_publish(consumer->m, nullptr, topic.constData(), int(value.size()), value.constData(), 1, false);
    return consumer->on(kBase + item + "/result", from);
  }

private slots:
  void initTestCase()
  {
    mosquitto_lib_init();
    if (broker.binary.isEmpty()) {
      // CI installs the broker; there a missing one is a fault.
      QVERIFY2(qgetenv("CI") != "true", "the mosquitto broker is not installed");
      QSKIP("mosquitto is not installed (apt-get install mosquitto): the MQTT bridge is not tested");
    }
    QVERIFY(broker.start(home.file("mosquitto.conf")));
    consumer = std::make_unique<Consumer>();
    QVERIFY(consumer->start(broker.port));

    const QPair<QString, QByteArray> files[] = {
      {"user.ini", "[Menu Settings]\nEchoLinkPokes=True\n"},
      {"common.ini", "[Communication]\nInterfaceName=SIM\n[Settings]\nPollParametersOnInit=True\nPollTime=20\n"},
      {"program.ini", "[MQTT]\nEnabled=True\nHost=127.0.0.1\nPort=" + QByteArray::number(broker.port) + "\nService=lab1\n"},
    };
    for (const auto& [name, text] : files) {
      QFile f(home.file(name));
      QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
    }
    // The bus is paced as a real line, so the initial reads after the scan
    // leave the server not ready for a while.
    QProcessEnvironment env = home.environment();
    env.remove("TESMIRA_SIM_PACING");
    server.setProcessEnvironment(env);
    server.start(qEnvironmentVariable("TESMIRA_BIN_DIR") + "/tesmira", {"/NT", "/O"});
    QVERIFY(server.waitForStarted());
    QCOMPARE(consumer->on(kBase + "$state"), QByteArray("online"));
    QVERIFY2(consoleSays("MQTT bridge connected to 127.0.0.1"), qPrintable(console));
  }

  // Writes that cannot be carried out are answered with the reason.
  void refusedWrites()
  {
    // The first setpoint item of a controller appears with the topics, while
    // the initial reads still keep the server from taking writes.
    const auto created = consumer->next([](const QString& t, const QByteArray&) {
      return t.startsWith(kBase + "C(") && t.endsWith("/P(9)");
    });
    QVERIFY(created);
    setpointTopic = created->first.mid(kBase.size());
    QCOMPARE(write(setpointTopic, "30"), QByteArray("not written: the server is not ready (the bus is being scanned)"));
    QVERIFY(consoleSays("Server is active and ready for any client", 60000));
    const QString channel = setpointTopic.section('/', 0, 0);
    QCOMPARE(write(channel + "/P(511)", "1"), "no item P(511) on topic " + channel.toUtf8());
    QCOMPARE(write("C(99)/P(9)", "1"), QByteArray("no topic C(99)"));
  }

  // A setpoint written over MQTT reaches the instrument (logged as such)
  // and the polled measure follows it.
  void setpointAndMeasure()
  {
    const QString measure = kBase + setpointTopic.section('/', 0, 0) + "/P(8)";
    QCOMPARE(write(setpointTopic, "60"), QByteArray("OK"));
    QVERIFY(consoleSays("(linkpoke from client) [MQTT]"));
    QVERIFY2(consumer->next([&](const QString& t, const QByteArray& v) {
      return t == measure && qAbs(v.toDouble() - 60) < 3;
    }, 0, 20000), "the measure did not follow the setpoint");
  }

  // A broker restart: the bridge says so, reconnects by itself and puts the
  // whole current state back on the fresh broker.
  void brokerRestart()
  {
    broker.kill();
    QVERIFY(consoleSays("MQTT bridge lost the broker at 127.0.0.1"));
    QVERIFY(broker.start(home.file("mosquitto.conf")));
    QVERIFY(consoleSays("MQTT bridge reconnected to 127.0.0.1", 20000));
    // A consumer that arrives now gets every item from the retained store.
    Consumer late;
    QVERIFY(late.start(broker.port));
    QCOMPARE(late.on(kBase + "$state"), QByteArray("online"));
    QCOMPARE(late.on(kBase + setpointTopic).toDouble(), 60.0);
    QCOMPARE(late.on(kBase + "server/OpenCom"), QByteArray("1"));
    // And values keep flowing.
    const qsizetype from = late.count();
    QVERIFY(late.next([](const QString& t, const QByteArray&) { return t.endsWith("/P(8)"); }, from));
    QCOMPARE(write(setpointTopic, "20"), QByteArray("OK"));
  }

  void serverKilledSaysOffline()
  {
    const qsizetype from = consumer->count();
    server.kill();
    server.waitForFinished();
    QCOMPARE(consumer->on(kBase + "$state", from), QByteArray("offline"));
  }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
