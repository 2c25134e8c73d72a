// soranet-sim: the virtual Soranet bus as a program. Serves a scenario on a
// pseudo-terminal (the device path is printed) and optionally on TCP.
#include "bus.h"
#include "server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using namespace soranetsim;

static int sigPipe[2];

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Virtual Soranet bus"));
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("scenario"), QStringLiteral("Scenario file (JSON); built-in default when omitted"));
    QCommandLineOption db(QStringLiteral("db"), QStringLiteral("Parameter database (read-only)"), QStringLiteral("file"));
    QCommandLineOption link(QStringLiteral("link"), QStringLiteral("Fixed symlink to the pseudo-terminal"), QStringLiteral("path"));
    QCommandLineOption tcp(QStringLiteral("tcp"), QStringLiteral("Also listen on this TCP port (0 = any)"), QStringLiteral("port"));
    QCommandLineOption noPty(QStringLiteral("no-pty"), QStringLiteral("Do not open a pseudo-terminal"));
    QCommandLineOption noPacing(QStringLiteral("no-pacing"), QStringLiteral("Send replies at once, not at the line rate"));
    QCommandLineOption drop(QStringLiteral("drop"), QStringLiteral("Share of replies dropped (0..1)"), QStringLiteral("share"));
    QCommandLineOption corrupt(QStringLiteral("corrupt"), QStringLiteral("Share of replies corrupted (0..1)"), QStringLiteral("share"));
    QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the drop/corrupt faults (default: the scenario's)"), QStringLiteral("n"));
    QCommandLineOption delay(QStringLiteral("delay"), QStringLiteral("Delay every reply by ms"), QStringLiteral("ms"));
    QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Nodes that never answer, comma separated"), QStringLiteral("nodes"));
    QCommandLineOption status(QStringLiteral("status"), QStringLiteral("Answer node:process:parameter with a status"), QStringLiteral("n:p:f:s"));
    QCommandLineOption unanswered(QStringLiteral("unanswered"), QStringLiteral("Leave every request that asks node:process:parameter without reply"), QStringLiteral("n:p:f"));
    for (auto *o : {&db, &link, &tcp, &noPty, &noPacing, &drop, &corrupt, &seed, &delay, &silent, &status, &unanswered}) p.addOption(*o);
    p.process(app);

    ParamDb params;
    const QString dbPath = p.isSet(db) ? p.value(db) : ParamDb::defaultPath();
    if (!dbPath.isEmpty()) {
        const QString err = params.load(dbPath);
        if (!err.isEmpty()) { std::fprintf(stderr, "%s\n", qPrintable(err)); return 2; }
    } else {
        params = ParamDb::builtin();
    }
    auto bus = std::make_shared<Bus>();
    const QString err = p.positionalArguments().isEmpty()
        ? bus->loadScenario(Bus::defaultScenario(), params)
        : bus->loadScenarioFile(p.positionalArguments().first(), params);
    if (!err.isEmpty()) { std::fprintf(stderr, "%s\n", qPrintable(err)); return 2; }

    Faults f = bus->faults();
    if (p.isSet(drop)) f.drop = p.value(drop).toDouble();
    if (p.isSet(corrupt)) f.corrupt = p.value(corrupt).toDouble();
    if (p.isSet(delay)) f.delayMs = p.value(delay).toInt();
    for (const QString &n : p.value(silent).split(',', Qt::SkipEmptyParts)) f.silent.insert(n.toInt());
    for (const QString &s : p.values(status)) {
        const QStringList q = s.split(':');
        if (q.size() != 4) { std::fprintf(stderr, "Bad --status %s\n", qPrintable(s)); return 2; }
        f.forcedStatus.insert(Faults::key(q[0].toInt(), q[1].toInt(), q[2].toInt()), q[3].toInt());
    }
    for (const QString &s : p.values(unanswered)) {
        const QStringList q = s.split(':');
        if (q.size() != 3) { std::fprintf(stderr, "Bad --unanswered %s\n", qPrintable(s)); return 2; }
        f.unanswered.insert(Faults::key(q[0].toInt(), q[1].toInt(), q[2].toInt()));
    }
    bus->setFaults(f);
    if (p.isSet(seed)) {
        bool ok = false;
        const uint n = p.value(seed).toUInt(&ok);
        if (!ok) { std::fprintf(stderr, "Bad --seed %s\n", qPrintable(p.value(seed))); return 2; }
        bus->setSeed(n);
    }

    Server server(bus);
    server.setPacing(!p.isSet(noPacing));
    std::printf("parameters: %s\n", qPrintable(params.source));
    if (!p.isSet(noPty)) {
        QString e;
        const QString dev = server.startPty(p.value(link), &e);
        if (dev.isEmpty()) { std::fprintf(stderr, "pseudo-terminal: %s\n", qPrintable(e)); return 1; }
        std::printf("pty: %s\n", qPrintable(dev));
        if (p.isSet(link)) std::printf("link: %s\n", qPrintable(p.value(link)));
    }
    if (p.isSet(tcp)) {
        QString e;
        const int port = server.startTcp(p.value(tcp).toInt(), &e);
        if (!port) { std::fprintf(stderr, "tcp: %s\n", qPrintable(e)); return 1; }
        std::printf("tcp: %d\n", port);
    }
    std::fflush(stdout);

    // Winks and address changes are told as they happen.
    bus->onEvent = [](const QString &line) {
        std::printf("%s\n", qPrintable(line));
        std::fflush(stdout);
    };

    // Stop cleanly on SIGINT/SIGTERM so the symlink is removed.
    if (::pipe(sigPipe) == 0) {
        auto handler = [](int) { char c = 1; (void)!::write(sigPipe[1], &c, 1); };
        std::signal(SIGINT, handler);
        std::signal(SIGTERM, handler);
        auto *n = new QSocketNotifier(sigPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(n, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    }
    // Injection commands, one per line on standard input (see README.md);
    // each is answered with "ok" or the error text on standard output.
    auto *commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    QByteArray pendingInput;
    QObject::connect(commands, &QSocketNotifier::activated, &app, [&] {
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) { commands->setEnabled(false); return; }
        pendingInput.append(buf, n);
        for (qsizetype eol; (eol = pendingInput.indexOf('\n')) >= 0;) {
            const QString line = QString::fromLocal8Bit(pendingInput.left(eol)).trimmed();
            pendingInput.remove(0, eol + 1);
            if (line.isEmpty()) continue;
            std::printf("%s\n", qPrintable(bus->command(line)));
            std::fflush(stdout);
        }
    });
    const int rc = app.exec();
    server.stop();
    return rc;
}
