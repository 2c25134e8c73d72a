#include "FuzzChecks.h"

#include "MqttConfig.h"
#include "Protocol.h"
#include "soraproto.h"
#include "telnet.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <random>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzzchecks {

namespace {

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

void expect(bool ok, const char* what)
{
    if (!ok)
        broken(what);
}

// Chunk sizes for a stream of n bytes, derived from a seed byte: 0 keeps the
// stream whole, other seeds cut it into pieces of 1..seed bytes.
std::vector<qsizetype> chunks(uint8_t seed, qsizetype n)
{
    std::vector<qsizetype> out;
    if (seed == 0) {
        out.push_back(n);
        return out;
    }
    uint32_t state = seed;
    for (qsizetype done = 0; done < n;) {
        state = state * 1103515245u + 12345u;
        const qsizetype c = qMin<qsizetype>(n - done, 1 + (state >> 16) % seed);
        out.push_back(c);
        done += c;
    }
    return out;
}

// Small bounds so that the interesting edges are reachable by short inputs.
constexpr int kLine = 64;
constexpr int kValue = 300;

struct LinkRun {
    std::vector<ddeml::Message> messages;
    QByteArray errorToken;
};

LinkRun readLink(const QByteArray& stream, const std::vector<qsizetype>& cuts)
{
    LinkRun run;
    ddeml::FrameReader reader({"POKE", "EXECUTE", "VALUE", "DATA"}, kLine, kValue);
    qsizetype at = 0;
    for (qsizetype c : cuts) {
        reader.append(stream.constData() + at, c);
        at += c;
        for (;;) {
            // What a reader holds is bounded by one header line and one value.
            ddeml::Message m;
            QString text;
            const auto res = reader.next(&m, &run.errorToken, &text);
            if (res == ddeml::FrameReader::Result::NeedMore)
                break;
            if (res == ddeml::FrameReader::Result::Error) {
                expect(!run.errorToken.isEmpty() && !text.isEmpty(), "an error names its cause");
                return run;
            }
            expect(m.payload.size() <= kValue, "payload within the bound");
            expect(m.hasPayload || m.payload.isEmpty(), "payload only on payload verbs");
            run.messages.push_back(std::move(m));
        }
        expect(reader.needed() >= 0, "bytes still needed are never negative");
    }
    return run;
}

bool sameMessage(const ddeml::Message& a, const ddeml::Message& b)
{
    return a.verb == b.verb && a.args == b.args && a.rest == b.rest && a.payload == b.payload
        && a.hasPayload == b.hasPayload;
}

} // namespace

void linkFrames(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    const QByteArray stream(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    const LinkRun whole = readLink(stream, chunks(0, stream.size()));
    const LinkRun cut = readLink(stream, chunks(data[0], stream.size()));
    expect(whole.messages.size() == cut.messages.size(), "chunking changes the message count");
    expect(whole.errorToken == cut.errorToken, "chunking changes the error");
    for (size_t i = 0; i < whole.messages.size(); ++i)
        expect(sameMessage(whole.messages[i], cut.messages[i]), "chunking changes a message");

    // Whatever was read can be written again and reads back the same.
    for (const ddeml::Message& m : whole.messages) {
        // A header ending in CR loses it when written again (CR LF ends a line).
        if (m.verb.isEmpty() || (m.hasPayload ? false : m.args.value(m.args.size() - 1, m.verb).endsWith('\r')))
            continue;
        const QByteArray again = m.hasPayload ? ddeml::payloadMessage(m.verb, m.args, m.payload)
                                              : ddeml::headerLine(m.verb, m.args);
        const LinkRun back = readLink(again, chunks(0, again.size()));
        if (again.size() - m.payload.size() > kLine + 1)
            continue; // a header rebuilt with the byte count may pass the line bound
        expect(back.messages.size() == 1 && back.errorToken.isEmpty(), "a written message reads back");
        expect(back.messages[0].verb == m.verb && back.messages[0].args == m.args
                   && back.messages[0].payload == m.payload,
               "a written message reads back unchanged");
    }

    // Escaping: one line, no control bytes, and the exact bytes come back.
    const QByteArray escaped = ddeml::escapeValue(stream);
    for (char c : escaped)
        expect(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "escaped text has no control bytes");
    QByteArray back;
    expect(ddeml::unescapeValue(escaped, &back) && back == stream, "escaping round-trips");
    QByteArray ignored;
    ddeml::unescapeValue(stream, &ignored); // any text: no crash, no overread
}

namespace {

struct BusRun {
    std::vector<soraproto::FrameParser::Event> events;
};

BusRun readBus(const QByteArray& stream, const std::vector<qsizetype>& cuts)
{
    BusRun run;
    soraproto::FrameParser parser;
    qsizetype at = 0;
    for (qsizetype c : cuts) {
        parser.feed(stream.constData() + at, int(c));
        at += c;
        soraproto::FrameParser::Event e;
        while (parser.next(e)) {
            expect(e.ok ? (e.error == 0 && e.payload.size() >= 3 && e.payload.size() <= 255)
                        : (e.error == soraproto::ErrNoStart || e.error == soraproto::ErrFirstDigit
                           || e.error == soraproto::ErrData),
                   "a bus event is a payload or one of the three errors");
            run.events.push_back(e);
        }
    }
    return run;
}

bool sameValue(const soraproto::Value& a, const soraproto::Value& b)
{
    if (a.type != b.type)
        return false;
    if (a.type == soraproto::TFloat)
        return std::memcmp(&a.f, &b.f, sizeof a.f) == 0;
    return a.type == soraproto::TString ? a.s == b.s : a.i == b.i;
}

bool sameRequest(const soraproto::Message& a, const soraproto::Message& b)
{
    if (a.node != b.node || a.seq != b.seq || a.cmd != b.cmd || a.groups.size() != b.groups.size())
        return false;
    for (size_t g = 0; g < a.groups.size(); ++g) {
        const auto& ga = a.groups[g];
        const auto& gb = b.groups[g];
        if (ga.process != gb.process || ga.items.size() != gb.items.size())
            return false;
        for (size_t i = 0; i < ga.items.size(); ++i) {
            const auto& ia = ga.items[i];
            const auto& ib = gb.items[i];
            if (ia.param != ib.param || ia.type != ib.type || ia.length != ib.length
                || !sameValue(ia.value, ib.value))
                return false;
        }
    }
    return true;
}

} // namespace

void busFrames(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    const QByteArray bytes(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);

    // The raw bytes as a line stream, and the same bytes framed correctly.
    for (const QByteArray& stream : {bytes, soraproto::frame(bytes.left(255))}) {
        const BusRun whole = readBus(stream, chunks(0, stream.size()));
        const BusRun cut = readBus(stream, chunks(data[0], stream.size()));
        expect(whole.events.size() == cut.events.size(), "chunking changes the bus events");
        for (size_t i = 0; i < whole.events.size(); ++i)
            expect(whole.events[i].ok == cut.events[i].ok && whole.events[i].error == cut.events[i].error
                       && whole.events[i].payload == cut.events[i].payload,
                   "chunking changes a bus event");
    }
    if (bytes.size() >= 3 && bytes.size() <= 255) {
        const BusRun one = readBus(soraproto::frame(bytes), {soraproto::frameChars(int(bytes.size()))});
        expect(one.events.size() == 1 && one.events[0].ok && one.events[0].payload == bytes,
               "a framed payload comes back whole");
    }

    // Payload codec: a decoded request re-encodes to the same message.
    const auto request = soraproto::decodeRequest(bytes);
    if (request) {
        const QByteArray encoded = soraproto::encodePayload(*request);
        const auto again = soraproto::decodeRequest(encoded);
        expect(again && sameRequest(*request, *again), "a decoded request re-encodes to itself");
    }
    // Replies: the first part of the input as the request, the rest as the reply.
    const qsizetype split = bytes.isEmpty() ? 0 : static_cast<uint8_t>(bytes[0]) % bytes.size();
    const auto req = soraproto::decodeRequest(bytes.mid(1, split));
    const auto reply = soraproto::decodeReply(bytes.mid(1 + split), req ? &*req : nullptr);
    if (reply && req) {
        expect(reply->cmd == soraproto::CmdError || reply->itemCount() == req->itemCount(),
               "a reply mirrors its request's items");
        const QByteArray encoded = soraproto::encodePayload(*reply);
        const auto again = soraproto::decodeReply(encoded, &*req);
        expect(again.has_value(), "a decoded reply re-encodes to a decodable reply");
    }
}

namespace {

struct TelnetRun {
    QByteArray data;
    std::vector<sora32::telnet::Event> events;
};

TelnetRun readTelnet(sora32::telnet::Reader& reader, const QByteArray& stream, const std::vector<qsizetype>& cuts)
{
    TelnetRun run;
    qsizetype at = 0;
    for (qsizetype c : cuts) {
        reader.feed(stream.mid(at, c), run.data, run.events);
        at += c;
        expect(reader.held() <= sora32::telnet::kMaxSub, "the reader holds at most one bounded subnegotiation");
    }
    return run;
}

TelnetRun readTelnet(const QByteArray& stream, const std::vector<qsizetype>& cuts)
{
    sora32::telnet::Reader reader;
    return readTelnet(reader, stream, cuts);
}

bool sameEvents(const std::vector<sora32::telnet::Event>& a, const std::vector<sora32::telnet::Event>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].option != b[i].option || a[i].sub != b[i].sub)
            return false;
    return true;
}

} // namespace

void telnetReader(const uint8_t* data, size_t size)
{
    using namespace sora32::telnet;
    if (size == 0)
        return;
    const QByteArray stream(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    const TelnetRun whole = readTelnet(stream, chunks(0, stream.size()));
    const TelnetRun cut = readTelnet(stream, chunks(data[0], stream.size()));
    expect(whole.data == cut.data, "chunking changes the telnet data");
    expect(sameEvents(whole.events, cut.events), "chunking changes the telnet events");
    expect(whole.data.size() <= stream.size(), "the telnet data is never longer than the input");
    for (const Event& e : whole.events)
        expect(e.kind != Event::Sub || e.sub.size() < kMaxSub, "a subnegotiation within the bound");

    // Data escaped for the connection reads back as itself, with no event,
    // also after whatever the input left the reader in once it is reset.
    sora32::telnet::Reader reader;
    readTelnet(reader, stream, chunks(0, stream.size()));
    reader.reset();
    const TelnetRun plain = readTelnet(reader, escape(stream), chunks(data[0], escape(stream).size()));
    expect(plain.data == stream && plain.events.empty(), "escaped data reads back unchanged");

    // A port-setting message reads back as one event with its command and value.
    const QByteArray value = stream.left(kMaxSub - 2);
    const uint8_t command = data[0];
    const QByteArray msg = comPort(command, value);
    const TelnetRun back = readTelnet(msg, chunks(data[0], msg.size()));
    expect(back.data.isEmpty() && back.events.size() == 1 && back.events[0].kind == Event::Sub
               && back.events[0].option == OptComPort && back.events[0].sub == char(command) + value,
           "a port-setting message reads back as itself");
}

void mqttTopics(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    tesmira::MqttConfig cfg;
    cfg.service = QStringLiteral("host");
    const QByteArray rest(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    const qsizetype split = rest.isEmpty() ? 0 : data[0] % (rest.size() + 1);
    const QString first = QString::fromUtf8(rest.left(split));
    const QString second = QString::fromUtf8(rest.mid(split));

    // Any text as a whole MQTT topic, with and without the bridge's base.
    for (const QString& mqttTopic : {QString::fromUtf8(rest), cfg.base() + QLatin1Char('/') + QString::fromUtf8(rest)}) {
        QString topic, item;
        if (!cfg.parseSetTopic(mqttTopic, topic, item))
            continue;
        expect(!topic.isEmpty() && !item.isEmpty(), "a parsed write names a topic and an item");
        expect(!topic.contains(QLatin1Char('/')) && !item.contains(QLatin1Char('/')),
               "a parsed topic or item has no level separator");
        expect(cfg.valueTopic(topic, item) + QStringLiteral("/set") == mqttTopic,
               "a parsed write topic is rebuilt unchanged");
    }

    // Any topic and item without separators: the write topic parses back.
    QString topic, item;
    const bool parsed = cfg.parseSetTopic(cfg.valueTopic(first, second) + QStringLiteral("/set"), topic, item);
    const bool plain = !first.isEmpty() && !second.isEmpty() && !first.contains(QLatin1Char('/'))
        && !second.contains(QLatin1Char('/'));
    expect(parsed == plain, "a write topic parses exactly when topic and item are single levels");
    expect(!parsed || (topic == first && item == second), "a write topic parses back to its topic and item");
}

int randomInputs(Check check, const std::vector<std::string>& seeds, int ms, uint32_t seed)
{
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return n ? size_t(rng() % n) : 0; };
    QElapsedTimer clock;
    clock.start();
    int runs = 0;
    while (clock.elapsed() < ms) {
        std::string in = seeds.empty() ? std::string() : seeds[pick(seeds.size())];
        for (int edits = 1 + int(rng() % 8); edits > 0; --edits) {
            switch (rng() % 5) {
            case 0: // change a byte
                if (!in.empty())
                    in[pick(in.size())] = char(rng());
                break;
            case 1: // insert bytes, often ones that matter to the readers
                in.insert(pick(in.size() + 1), 1 + rng() % 4, "\n\r: 0"[rng() % 6]);
                break;
            case 2: // remove a run
                if (!in.empty()) {
                    const size_t at = pick(in.size());
                    in.erase(at, 1 + pick(in.size() - at));
                }
                break;
            case 3: // splice in part of another seed
                if (!seeds.empty()) {
                    const std::string& other = seeds[pick(seeds.size())];
                    const size_t from = pick(other.size());
                    in.insert(pick(in.size() + 1), other, from, pick(other.size() - from + 1));
                }
                break;
            default: // a decimal number that may be a byte count
                in.insert(pick(in.size() + 1), std::to_string(rng() % 400));
            }
        }
        check(reinterpret_cast<const uint8_t*>(in.data()), in.size());
        ++runs;
    }
    return runs;
}

std::vector<std::string> corpus(const std::string& folder)
{
    std::vector<std::string> out;
    const QDir dir(QString::fromStdString(folder));
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            out.push_back(f.readAll().toStdString());
    }
    return out;
}

} // namespace fuzzchecks
