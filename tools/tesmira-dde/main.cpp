// tesmira-dde: command-line client of the link layer.
//
//   tesmira-dde request Tesmira 'C(3)' 'P(8)'
//   tesmira-dde advise [--warm] Tesmira 'C(3)' 'P(8)' ['P(9)' ...]
//   tesmira-dde poke Tesmira 'C(3)' 'P(9)' 50
//   tesmira-dde link [--advise] 'Tesmira|C(3)!P(8)'
//   tesmira-dde list ['C(3)']
//   tesmira-dde info Tesmira 'C(3)' ['P(8)']
//
// Values are printed on one line each with backslash escapes for control
// bytes (see escapeValue), or byte for byte with --raw.

#include "Client.h"
#include "Protocol.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <algorithm>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

enum Exit {
    ExitOk = 0,
    ExitUsage = 2,
    ExitNoService = 3,
    ExitNoTopic = 4,
    ExitNoItem = 5,
    ExitRefused = 6,
    ExitLink = 7,
    ExitClosed = 8,
};

// Commands and exit codes; the options are listed by the parser.
const char* kDescription =
    "Command-line client of the Tesmira link service.\n"
    "\n"
    "Commands:\n"
    "  request SERVICE TOPIC ITEM        print the item's value\n"
    "  advise SERVICE TOPIC ITEM [ITEM...]  print every new value until Ctrl-C\n"
    "  poke SERVICE TOPIC ITEM VALUE     write VALUE into the item\n"
    "  execute SERVICE TOPIC COMMAND     send an execute command\n"
    "  link 'SERVICE|TOPIC!ITEM'         request (or with --advise, advise) a link\n"
    "  list [TOPIC]                      the service's topics; with TOPIC its items,\n"
    "                                    their parameter names, current values and units\n"
    "  info SERVICE TOPIC [ITEM]         what the topic's items are (TopicItemInfo):\n"
    "                                    names, unit, type, range, access, polling\n"
    "\n"
    "Output: one line per value; backslash, CR, LF, TAB and other control bytes\n"
    "are written as \\\\ \\r \\n \\t \\xHH. When several items are advised each line\n"
    "starts with the item name and a TAB.\n"
    "\n"
    "Exit codes: 0 done, 2 usage, 3 no such service, 4 no such topic, 5 no such\n"
    "item, 6 refused by the server, 7 time-out or broken link, 8 conversation\n"
    "closed by the server.";

volatile std::sig_atomic_t g_stop = 0;

// A row of TopicItemInfo, nine cells.
struct InfoRow {
    QList<QByteArray> cells;
};

QList<InfoRow> infoRows(const QByteArray& table)
{
    QList<InfoRow> rows;
    const QList<QByteArray> lines = table.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // line 0: the header
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        InfoRow r{line.split('\t')};
        while (r.cells.size() < 9)
            r.cells.append(QByteArray());
        rows.append(r);
    }
    return rows;
}

void onSignal(int)
{
    g_stop = 1;
}

int exitFor(ddeml::ClientError e)
{
    using E = ddeml::ClientError;
    switch (e) {
    case E::None: return ExitOk;
    case E::NoService: return ExitNoService;
    case E::NoTopic: return ExitNoTopic;
    case E::NoItem: return ExitNoItem;
    case E::TopicClosed: return ExitClosed;
    case E::Timeout:
    case E::ConnectionLost:
    case E::Protocol:
    case E::NotConnected: return ExitLink;
    default: return ExitRefused;
    }
}

int report(const ddeml::Client& c, const QString& what)
{
    const QString msg = QStringLiteral("tesmira-dde: %1: %2\n").arg(what, c.errorString());
    std::fputs(msg.toLocal8Bit().constData(), stderr);
    return exitFor(c.error());
}

int usageError(const char* text)
{
    std::fprintf(stderr, "tesmira-dde: %s\nTry 'tesmira-dde --help'.\n", text);
    return ExitUsage;
}

void writeAll(const QByteArray& b)
{
    std::fwrite(b.constData(), 1, size_t(b.size()), stdout);
    std::fflush(stdout);
}

struct Options {
    QString service = QStringLiteral("Tesmira"); // for list
    int tcpPort = -1;
    bool warm = false;
    bool adviseLink = false;
    bool raw = false;
    bool escapes = false;
    bool fromStdin = false;
    int timeoutMs = 5000;
    bool timeoutGiven = false;
};

// A poke into a command item (P(0)) is answered once the command is done: a
// read of every channel or the service log takes as long as the bus needs.
constexpr int kCommandPokeTimeoutMs = 300000;

bool connectTo(ddeml::Client& c, const Options& o, const QString& service, const QString& topic)
{
    if (o.tcpPort >= 0)
        return c.connectTcp(quint16(o.tcpPort), service, topic, o.timeoutMs);
    return c.connect(service, topic, o.timeoutMs);
}

int doRequest(const Options& o, const QString& service, const QString& topic, const QString& item)
{
    ddeml::Client c;
    if (!connectTo(c, o, service, topic))
        return report(c, QStringLiteral("%1|%2").arg(service, topic));
    QByteArray value;
    if (!c.request(item, &value, o.timeoutMs))
        return report(c, QStringLiteral("%1|%2!%3").arg(service, topic, item));
    writeAll(o.raw ? value : ddeml::escapeValue(value) + '\n');
    return ExitOk;
}

int doAdvise(const Options& o, const QString& service, const QString& topic, const QStringList& items)
{
    ddeml::Client c;
    if (!connectTo(c, o, service, topic))
        return report(c, QStringLiteral("%1|%2").arg(service, topic));
    for (const QString& item : items) {
        if (!c.advise(item, o.warm ? ddeml::AdviseMode::Warm : ddeml::AdviseMode::Hot, o.timeoutMs))
            return report(c, QStringLiteral("%1|%2!%3").arg(service, topic, item));
    }
    const bool named = items.size() > 1;
    auto print = [&](const QString& item, const QByteArray& value) {
        QByteArray line;
        if (named)
            line += item.toUtf8() + '\t';
        line += ddeml::escapeValue(value) + '\n';
        writeAll(line);
    };
    if (o.warm) {
        // A warm link announces changes only; show the current values first.
        for (const QString& item : items) {
            QByteArray v;
            if (!c.request(item, &v, o.timeoutMs))
                return report(c, QStringLiteral("%1|%2!%3").arg(service, topic, item));
            print(item, v);
        }
    }
    while (!g_stop) {
        ddeml::AdviseEvent ev;
        if (!c.nextAdvise(&ev, -1)) {
            if (g_stop)
                break;
            if (c.error() == ddeml::ClientError::Timeout)
                continue;
            return report(c, QStringLiteral("%1|%2").arg(service, topic));
        }
        switch (ev.kind) {
        case ddeml::AdviseEvent::Kind::Data:
            print(ev.item, ev.value);
            break;
        case ddeml::AdviseEvent::Kind::Changed: {
            QByteArray v;
            if (!c.request(ev.item, &v, o.timeoutMs))
                return report(c, QStringLiteral("%1|%2!%3").arg(service, topic, ev.item));
            print(ev.item, v);
            break;
        }
        case ddeml::AdviseEvent::Kind::Closed:
            std::fprintf(stderr, "tesmira-dde: %s\n",
                         c.errorString().isEmpty() ? "the server closed the conversation"
                                                   : c.errorString().toLocal8Bit().constData());
            return ExitClosed;
        }
    }
    for (const QString& item : items)
        c.unadvise(item, 1000);
    return ExitOk;
}

int doPoke(const Options& o, const QString& service, const QString& topic, const QString& item,
           const QByteArray& value)
{
    ddeml::Client c;
    if (!connectTo(c, o, service, topic))
        return report(c, QStringLiteral("%1|%2").arg(service, topic));
    const bool command = item.compare(QLatin1String("P(0)"), Qt::CaseInsensitive) == 0;
    if (!c.poke(item, value, command && !o.timeoutGiven ? kCommandPokeTimeoutMs : o.timeoutMs))
        return report(c, QStringLiteral("%1|%2!%3").arg(service, topic, item));
    return ExitOk;
}

int doExecute(const Options& o, const QString& service, const QString& topic, const QByteArray& command)
{
    ddeml::Client c;
    if (!connectTo(c, o, service, topic))
        return report(c, QStringLiteral("%1|%2").arg(service, topic));
    if (!c.execute(command, o.timeoutMs))
        return report(c, QStringLiteral("%1|%2").arg(service, topic));
    return ExitOk;
}

// Without a topic: the topics of the service, one a line (System!Topics).
// With one: a table of its items (TopicItemList) with their parameter names
// (TopicItemNames) and current values.
int doList(const Options& o, const QString& topic)
{
    const QString t = topic.isEmpty() ? QStringLiteral("System") : topic;
    ddeml::Client c;
    if (!connectTo(c, o, o.service, t))
        return report(c, QStringLiteral("%1|%2").arg(o.service, t));
    auto fetch = [&](const QString& item, QByteArray* value) {
        return c.request(item, value, o.timeoutMs);
    };
    QByteArray text;
    if (topic.isEmpty()) {
        if (!fetch(QStringLiteral("Topics"), &text))
            return report(c, QStringLiteral("%1|System!Topics").arg(o.service));
        for (const QByteArray& name : text.split('\t'))
            if (!name.isEmpty())
                writeAll(ddeml::escapeValue(name) + '\n');
        return ExitOk;
    }
    QByteArray names;
    if (!fetch(QStringLiteral("TopicItemList"), &text) || !fetch(QStringLiteral("TopicItemNames"), &names))
        return report(c, QStringLiteral("%1|%2!TopicItemList").arg(o.service, t));
    const QList<QByteArray> items = text.isEmpty() ? QList<QByteArray>() : text.split('\t');
    const QList<QByteArray> titles = names.split('\t');
    // The units, where the topic has metadata (the channel topics).
    QHash<QByteArray, QByteArray> units;
    QByteArray info;
    if (c.request(QStringLiteral("TopicItemInfo"), &info, o.timeoutMs))
        for (const InfoRow& r : infoRows(info))
            units.insert(r.cells[0].toLower(), r.cells[3]);
    else if (c.error() != ddeml::ClientError::NoItem)
        return report(c, QStringLiteral("%1|%2!TopicItemInfo").arg(o.service, t));
    QList<QList<QByteArray>> rows{{"ITEM", "NAME", "VALUE"}};
    for (qsizetype i = 0; i < items.size(); ++i) {
        QByteArray value;
        if (!fetch(QString::fromUtf8(items[i]), &value)) {
            if (c.error() != ddeml::ClientError::NoItem) // an item that went meanwhile is left out
                return report(c, QStringLiteral("%1|%2!%3").arg(o.service, t, QString::fromUtf8(items[i])));
            continue;
        }
        QByteArray shown = ddeml::escapeValue(value);
        const QByteArray unit = units.value(items[i].toLower());
        if (!unit.isEmpty())
            shown += ' ' + unit;
        rows.append({items[i], i < titles.size() ? titles[i] : QByteArray(), shown});
    }
    qsizetype w0 = 0, w1 = 0;
    for (const auto& r : rows) {
        w0 = std::max(w0, r[0].size());
        w1 = std::max(w1, r[1].size());
    }
    for (const auto& r : rows)
        writeAll(r[0].leftJustified(w0 + 2) + r[1].leftJustified(w1 + 2) + r[2] + '\n');
    return ExitOk;
}

// TopicItemInfo: one row per item after the header, cells tab-separated:
// item, name, long name, unit, type, min, max, access, polled.
int doInfo(const Options& o, const QString& service, const QString& topic, const QString& item)
{
    ddeml::Client c;
    if (!connectTo(c, o, service, topic))
        return report(c, QStringLiteral("%1|%2").arg(service, topic));
    QByteArray info;
    if (!c.request(QStringLiteral("TopicItemInfo"), &info, o.timeoutMs))
        return report(c, QStringLiteral("%1|%2!TopicItemInfo").arg(service, topic));
    const QList<InfoRow> rows = infoRows(info);
    bool found = false;
    for (const InfoRow& r : rows) {
        if (!item.isEmpty() && QString::fromUtf8(r.cells[0]).compare(item, Qt::CaseInsensitive) != 0)
            continue;
        found = true;
        const auto& x = r.cells;
        QByteArray range;
        if (!x[5].isEmpty() || !x[6].isEmpty())
            range = x[5] + " .. " + x[6];
        const QByteArray access = x[7] == "RW" ? "read and write"
                                  : x[7] == "R" ? "read only"
                                  : x[7] == "W" ? "write only"
                                                : "none";
        QByteArray out = x[0] + "  " + x[1] + '\n';
        const QList<QPair<const char*, QByteArray>> lines{{"long name", x[2]}, {"unit", x[3]},   {"type", x[4]},
                                                         {"range", range},    {"access", access}, {"polled", x[8] == "Y" ? QByteArray("yes") : QByteArray("no")}};
        for (const auto& [label, value] : lines)
            if (!value.isEmpty())
                out += QByteArray("  ") + QByteArray(label).leftJustified(11) + value + '\n';
        writeAll(out);
    }
    if (!found) {
        std::fprintf(stderr, "tesmira-dde: %s|%s!%s: no such item\n", service.toLocal8Bit().constData(),
                     topic.toLocal8Bit().constData(), item.toLocal8Bit().constData());
        return ExitNoItem;
    }
    return ExitOk;
}

// SERVICE|TOPIC!ITEM
bool splitLink(const QString& link, QString* service, QString* topic, QString* item)
{
    const int bar = link.indexOf(QLatin1Char('|'));
    if (bar <= 0)
        return false;
    const int bang = link.indexOf(QLatin1Char('!'), bar + 1);
    if (bang <= bar + 1 || bang == link.size() - 1)
        return false;
    *service = link.left(bar);
    *topic = link.mid(bar + 1, bang - bar - 1);
    *item = link.mid(bang + 1);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, "Show this text.");
    const QCommandLineOption version("version", "Show the version.");
    const QCommandLineOption tcp("tcp", "Connect to 127.0.0.1:PORT instead of the service's local socket.", "PORT");
    const QCommandLineOption timeout("timeout", "Time-out per transaction in milliseconds (default 5000; a poke into P(0), a command, 300000).", "MS");
    const QCommandLineOption service("service", "list: the service (default Tesmira).", "SERVICE");
    const QCommandLineOption warm("warm", "advise: warm links (the value is requested after each notice).");
    const QCommandLineOption advise("advise", "link: keep an advise link instead of one request.");
    const QCommandLineOption raw("raw", "request, link: print the value byte for byte, without a newline.");
    const QCommandLineOption escapes("escapes", "poke: VALUE uses the escapes \\r \\n \\t \\\\ \\xHH.");
    const QCommandLineOption fromStdin("stdin", "poke: read the value from standard input (VALUE is omitted).");
    parser.addOptions({help, version, tcp, timeout, service, warm, advise, raw, escapes, fromStdin});
    parser.addPositionalArgument("command", "request, advise, poke, execute, link, list or info, and its arguments.");

    // A value or command such as -9 is an argument, not an option: the
    // parser sees a stand-in and gets the text back afterwards.
    QStringList argv2{QStringLiteral("tesmira-dde")};
    QHash<QString, QString> negative;
    for (int i = 1; i < argc; ++i) {
        QString a = QString::fromLocal8Bit(argv[i]);
        if (a.size() > 1 && a[0] == QLatin1Char('-') && (a[1].isDigit() || a[1] == QLatin1Char('.'))) {
            const QString standIn = QStringLiteral("\x01%1").arg(i);
            negative.insert(standIn, a);
            a = standIn;
        }
        argv2 << a;
    }
    if (!parser.parse(argv2))
        return usageError(parser.errorText().toLocal8Bit().constData());
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().replace(QLatin1String("<executable_name>"), QLatin1String("tesmira-dde")).toLocal8Bit().constData(), stdout);
        return ExitOk;
    }
    if (parser.isSet(version)) {
        std::printf("tesmira-dde %s\n", TESMIRA_VERSION);
        return ExitOk;
    }
    Options o;
    for (const auto* opt : {&tcp, &timeout}) {
        if (!parser.isSet(*opt))
            continue;
        bool ok = false;
        const int v = parser.value(*opt).toInt(&ok);
        if (!ok || v < 0 || (opt == &tcp && v > 65535))
            return usageError(opt == &tcp ? "--tcp needs a port number (0 to 65535)"
                                          : "--timeout needs a number of milliseconds");
        (opt == &tcp ? o.tcpPort : o.timeoutMs) = v;
        o.timeoutGiven = o.timeoutGiven || opt == &timeout;
    }
    if (parser.isSet(service))
        o.service = parser.value(service);
    o.warm = parser.isSet(warm);
    o.adviseLink = parser.isSet(advise);
    o.raw = parser.isSet(raw);
    o.escapes = parser.isSet(escapes);
    o.fromStdin = parser.isSet(fromStdin);
    QStringList args = parser.positionalArguments();
    for (QString& a : args)
        a = negative.value(a, a);
    if (args.isEmpty())
        return usageError("no command given");

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a signal must end a wait
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const QString cmd = args.takeFirst();
    if (cmd == QLatin1String("request")) {
        if (args.size() != 3)
            return usageError("request needs SERVICE TOPIC ITEM");
        return doRequest(o, args[0], args[1], args[2]);
    }
    if (cmd == QLatin1String("advise")) {
        if (args.size() < 3)
            return usageError("advise needs SERVICE TOPIC ITEM...");
        if (o.raw)
            return usageError("--raw cannot be used with advise");
        return doAdvise(o, args[0], args[1], args.mid(2));
    }
    if (cmd == QLatin1String("poke")) {
        QByteArray value;
        if (o.fromStdin) {
            if (args.size() != 3)
                return usageError("poke --stdin needs SERVICE TOPIC ITEM");
            char buf[65536];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof(buf), stdin)) > 0)
                value.append(buf, qsizetype(n));
        } else {
            if (args.size() != 4)
                return usageError("poke needs SERVICE TOPIC ITEM VALUE");
            value = args[3].toUtf8();
            if (o.escapes && !ddeml::unescapeValue(args[3].toUtf8(), &value))
                return usageError("VALUE has a malformed escape");
        }
        return doPoke(o, args[0], args[1], args[2], value);
    }
    if (cmd == QLatin1String("execute")) {
        if (args.size() != 3)
            return usageError("execute needs SERVICE TOPIC COMMAND");
        return doExecute(o, args[0], args[1], args[2].toUtf8());
    }
    if (cmd == QLatin1String("link")) {
        if (args.size() != 1)
            return usageError("link needs one 'SERVICE|TOPIC!ITEM'");
        QString service, topic, item;
        if (!splitLink(args[0], &service, &topic, &item))
            return usageError("a link is written SERVICE|TOPIC!ITEM");
        if (o.adviseLink) {
            if (o.raw)
                return usageError("--raw cannot be used with --advise");
            return doAdvise(o, service, topic, {item});
        }
        return doRequest(o, service, topic, item);
    }
    if (cmd == QLatin1String("info")) {
        if (args.size() < 2 || args.size() > 3)
            return usageError("info needs SERVICE TOPIC [ITEM]");
        return doInfo(o, args[0], args[1], args.value(2));
    }
    if (cmd == QLatin1String("list")) {
        if (args.size() > 1)
            return usageError("list takes at most one TOPIC");
        return doList(o, args.value(0));
    }
    return usageError("unknown command");
}
