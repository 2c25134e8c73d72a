// Wire benchmark: polls 10 channels x 5 parameters through the library over
// a paced pseudo-terminal to the virtual bus, at 38400 and 460800 baud, with
// chaining off and on. Prints achieved values per second, the theoretical
// maximum from our frame sizes, and their ratio.
#include "sora32.h"
#include "server.h"
#include "soraproto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>

using namespace sora32;

static QJsonObject scenario()
{
    // Two five-channel modules; five 16-bit parameters per channel.
    QJsonArray mods;
    mods.append(QJsonObject{{"node", 1}, {"type", 2}, {"number", "IF1"}, {"channels", QJsonArray{1}}});
    for (int node : {3, 4}) {
        QJsonArray params;
        for (int p = 1; p <= 5; ++p)
            for (int fb = 0; fb < 5; ++fb)
                params.append(QJsonObject{{"name", "v"}, {"process", p}, {"fb", fb}, {"type", "int"},
                                          {"access", "r"}, {"value", p * 100 + fb}});
        mods.append(QJsonObject{{"node", node}, {"type", 7}, {"number", QStringLiteral("MC%1").arg(node)},
                                {"channels", QJsonArray{1, 2, 3, 4, 5}}, {"params", params}});
    }
    return QJsonObject{{"baud", 38400}, {"modules", mods}};
}

// Characters on the wire for one request and its reply.
static std::pair<int, int> frameChars(int procs, int paramsPerProc)
{
    soraproto::Message rq;
    rq.node = 3; rq.cmd = soraproto::CmdRead;
    soraproto::Message rp = rq;
    rp.cmd = soraproto::CmdReadReply;
    for (int p = 1; p <= procs; ++p) {
        soraproto::Group g{uint8_t(p), {}};
        for (int k = 0; k < paramsPerProc; ++k) {
            soraproto::Item it; it.param = uint8_t(k); it.type = soraproto::TInt;
            it.value = soraproto::Value::ofInt(1234);
            g.items.push_back(it);
        }
        rq.groups.push_back(g);
        rp.groups.push_back(g);
    }
    rp.check = soraproto::frameCheck(soraproto::encodePayload(rq));
    return {int(soraproto::encode(rq).size()), int(soraproto::encode(rp).size())};
}

// Values per second. `perFrame` receives the values taken per request frame
// the bus received in the measured span, a check on the frame size the
// theoretical figure assumes (a little under it: frames still in flight at
// the end count as received).
static double run(soranetsim::Bus &bus, const std::string &dev, int16_t app, int16_t code, bool chain,
                  double seconds, double &perFrame)
{
    ConfigureRS232(dev, code);
    ConfigureChaining(chain, chain);
    if (OpenCommunication(dev) > 0 && GetCommunication() == 0) return -1;
    auto queueCycle = [&] {
        for (int node : {3, 4})
            for (int p = 1; p <= 5; ++p)
                for (int fb = 0; fb < 5; ++fb)
                    ReadInt(app, 0, uint8_t(node), uint8_t(p), uint8_t(fb), int16_t(1 + fb));
    };
    // Four cycles queued ahead keep both directions of the line busy: with
    // chaining a cycle is only two frames, and a request must be waiting
    // whenever the previous one has left the line.
    for (int k = 0; k < 4; ++k) queueCycle();
    long values = 0, taken = 0, errors = 0;
    QElapsedTimer t;
    t.start();
    bool warm = false;
    int frames0 = 0;
    while (t.elapsed() < seconds * 1000) {
        uint8_t node, proc, param, kind, type, status; int16_t tag = 0;
        if (CheckReceivedMsg(app, node, proc, param, kind, type, tag) != 0) { QThread::usleep(200); continue; }
        int16_t tg; int16_t v;
        GetStatus(app, node, proc, param, status, tg);
        if (status == 0 && GetInt(app, node, proc, param, v, tg) == 0) ++values; else ++errors;
        RemoveMsg(app, node, proc, param);
        if (++taken % 50 == 0) {
            queueCycle();
            // Measure in the steady state only, after the start-up burst of
            // requests has passed through both directions of the line.
            if (!warm && taken >= 100 && t.elapsed() >= 1000) { warm = true; values = 0; errors = 0; frames0 = bus.requestFrames(); t.restart(); }
        }
    }
    const double rate = values / (t.elapsed() / 1000.0);
    perFrame = double(values) / std::max(1, bus.requestFrames() - frames0);
    CloseCommunication();
    while (GetNrPendingMessages(app)) {
        uint8_t node, proc, param, kind, type; int16_t tag = 0;
        CheckReceivedMsg(app, node, proc, param, kind, type, tag);
        RemoveMsg(app, node, proc, param);
    }
    if (errors) std::printf("  (%ld failed replies)\n", errors);
    return rate;
}

// The same poll with chaining at 38400 baud through ser2net in front of the
// pseudo-terminal, raw and with RFC 2217 port settings: what a serial device
// server costs next to the direct line.
static void deviceServerRows(soranetsim::Bus &bus, const QString &pty, int16_t app, double seconds,
                             std::pair<int, int> fc)
{
    if (QStandardPaths::findExecutable(QStringLiteral("ser2net")).isEmpty()) {
        std::printf("ser2net not installed: no device-server rows\n");
        return;
    }
    QTemporaryDir dir;
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    QFile cfg(dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!cfg.open(QIODevice::WriteOnly)) return;
    for (int k = 0; k < 2; ++k)
        cfg.write(QStringLiteral("connection: &c%1\n  accepter: %2tcp,127.0.0.1,%3\n"
                                 "  connector: serialdev,%4,38400n81,local\n  options:\n    kickolduser: true\n")
                      .arg(k).arg(k ? QStringLiteral("telnet(rfc2217),") : QString()).arg(port + k).arg(pty)
                      .toUtf8());
    cfg.close();
    QProcess ser2net;
    ser2net.start(QStringLiteral("ser2net"), {QStringLiteral("-n"), QStringLiteral("-c"), cfg.fileName(),
                                              QStringLiteral("-P"), dir.filePath(QStringLiteral("pid"))});
    if (!ser2net.waitForStarted()) return;
    QThread::msleep(500);
    const double theory = 25 * 38400 / (10.0 * std::max(fc.first, fc.second));
    for (int k = 0; k < 2; ++k) {
        const std::string name = QStringLiteral("%1:127.0.0.1:%2").arg(k ? "rfc2217" : "tcp").arg(port + k).toStdString();
        double seen = 0;
        const double rate = run(bus, name, app, -27136, true, seconds, seen);
        std::printf("%8d %-9s %12.0f %12.0f %7.2f   (through ser2net, %s)\n", 38400, "on", rate, theory, rate / theory,
                    k ? "RFC 2217" : "raw");
        std::fflush(stdout);
        QThread::msleep(3500); // the library keeps a closed network line 3 s
    }
    ser2net.terminate();
    ser2net.waitForFinished();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    auto bus = std::make_shared<soranetsim::Bus>();
    bus->loadScenario(scenario(), soranetsim::ParamDb());
    soranetsim::Server server(bus);
    const std::string dev = server.startPty().toStdString();
    const int16_t id = OpenDLL(0);
    std::printf("10 channels x 5 parameters (2 modules x 5 processes), 16-bit values, pty %s\n", dev.c_str());
    std::printf("%8s %-9s %12s %12s %7s\n", "baud", "chaining", "values/s", "theory/s", "ratio");
    const auto off = frameChars(1, 1);
    const auto on = frameChars(5, 5);
    for (auto [baud, code] : {std::pair<int, int16_t>{38400, -27136}, {460800, 6}}) {
        double achieved[2];
        for (int chain = 0; chain < 2; ++chain) {
            // Full duplex: the busier direction bounds the rate.
            const auto fc = chain ? on : off;
            const int perFrame = chain ? 25 : 1;
            const double theory = perFrame * baud / (10.0 * std::max(fc.first, fc.second));
            double seen = 0;
            achieved[chain] = run(*bus, dev, id, code, chain, seconds, seen);
            std::printf("%8d %-9s %12.0f %12.0f %7.2f   (request %d, reply %d chars per frame of %d values; %.1f seen)\n",
                        baud, chain ? "on" : "off", achieved[chain], theory, achieved[chain] / theory,
                        fc.first, fc.second, perFrame, seen);
            std::fflush(stdout);
        }
        std::printf("%8d chaining on / off = %.2f\n", baud, achieved[1] / achieved[0]);
    }
    deviceServerRows(*bus, QString::fromStdString(dev), id, seconds, frameChars(5, 5));
    CloseDLL(id);
    server.stop();
    return 0;
}
