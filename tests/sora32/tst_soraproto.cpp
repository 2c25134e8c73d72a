// Framing and message codec, checked with literal frames. Every value type
// travels through the codec both ways in the library's own test.
#include "FuzzChecks.h"
#include "soraproto.h"
#include "telnet.h"

#include <QtTest>

using namespace soraproto;

namespace {

Item ask(uint8_t param, uint8_t type) { return Item{param, type, 0, 0, {}}; }

// Node 3, sequence 1: process 1 parameter 0 (int). Frame check 2E.
Message readOne() { return Message{3, 1, CmdRead, 0, 0, {Group{1, {ask(0, TInt)}}}}; }

// Node 3, sequence 2: process 1 parameters 0 (int) and 5 (byte), process 33
// parameter 13 (float). Frame check C7.
Message chainedRead()
{
    return Message{3, 2, CmdRead, 0, 0, {Group{1, {ask(0, TInt), ask(5, TByte)}}, Group{33, {ask(13, TFloat)}}}};
}

QVector<FrameParser::Event> parseAll(const QByteArray &bytes, int chunk = 1000)
{
    FrameParser p;
    QVector<FrameParser::Event> out;
    for (int i = 0; i < bytes.size(); i += chunk) {
        p.feed(bytes.mid(i, chunk));
        FrameParser::Event e;
        while (p.next(e)) out.push_back(e);
    }
    return out;
}

QByteArray payloadOf(const QByteArray &frameText)
{
    const auto events = parseAll(frameText);
    return events.size() == 1 && events[0].ok ? events[0].payload : QByteArray();
}

} // namespace

class TstSoraProto : public QObject {
    Q_OBJECT
private slots:
    // Requests and replies as literal frames: the request's encoding, and the
    // reply read back item by item and encoded again to the same bytes.
    void framesOnTheWire()
    {
        struct Want {
            uint8_t proc, param, status;
            double value;
            bool operator==(const Want &) const = default;
        };
        const Message write{3, 5, CmdWrite, 0, 0, {Group{1, {Item{21, TInt, 0, 0, Value::ofInt(-5)}}}}};
        const struct { Message req; QByteArray reqWire, replyWire; std::vector<Want> items; } cases[] = {
            // The reply echoes the request's check byte 2E, an empty failure map, the value.
            {readOne(), ":0703010101010001" "2E\r\n", ":070301812E001234" "38\r\n", {{1, 0, 0, 0x1234}}},
            // Map 02 (the second item failed), 1234, status 04, 3FC00000.
            {chainedRead(), ":0D03020101020001050021010D02" "C7\r\n", ":0C030281C7021234043FC00000" "AD\r\n",
             {{1, 0, 0, 0x1234}, {1, 5, 4, 0}, {33, 13, 0, 1.5}}},
            {write, ":0903050201011501FFFB" "7D\r\n", ":050305827D00" "F3\r\n", {{1, 21, 0, 0}}},
            {write, ":0903050201011501FFFB" "7D\r\n", ":060305827D010D" "87\r\n", {{1, 21, 13, 0}}},
        };
        for (const auto &c : cases) {
            QCOMPARE(encode(c.req), c.reqWire);
            const QByteArray payload = payloadOf(c.replyWire);
            auto rep = decodeReply(payload, &c.req);
            QVERIFY(rep);
            QCOMPARE(rep->cmd, uint8_t(c.req.cmd | 0x80));
            std::vector<Want> items;
            for (const Group &g : rep->groups)
                for (const Item &it : g.items) items.push_back({g.process, it.param, it.status, it.value.number()});
            QCOMPARE(items, c.items);
            QCOMPARE(encodePayload(*rep), payload);
        }
        // An error reply needs no request to be read, but must fit it.
        const QByteArray err = payloadOf(":050301FF2E1C" "3A\r\n");
        auto e = decodeReply(err, nullptr);
        QVERIFY(e && e->cmd == CmdError);
        QCOMPARE(e->error, uint8_t(28));
        const Message read = readOne();
        QVERIFY(decodeReply(err, &read));
        QVERIFY(!decodeReply(err, &write));
    }

    void repliesThatDoNotFitTheirRequestAreRefused()
    {
        // Request: chainedRead(), check C7; three items: int, byte, float.
        const Message req = chainedRead();
        for (const char *hex : {"030281C7081234053FC00000",     // map bit past the last item
                                "030281C7021234003FC00000",     // failed item with status 0
                                "030281C7001234053FC000",       // value cut short
                                "030281C7021234043FC0000000",   // bytes after the last item
                                "030281C7",                     // map missing
                                "030281C8021234043FC00000",     // check of another request
                                "030381C7021234043FC00000",     // another sequence number
                                "030282C700",                   // acknowledgement for a read
                                "030283C700"})                  // unknown command
            QVERIFY2(!decodeReply(QByteArray::fromHex(hex), &req), hex);
        // A well-formed reply to the same request is taken.
        QVERIFY(decodeReply(QByteArray::fromHex("030281C7021234043FC00000"), &req));
    }

    void failureMapSpansSeveralBytes()
    {
        // Twenty byte reads; items 0, 8 and 19 fail: map 01 01 08.
        Message req{7, 9, CmdRead, 0, 0, {Group{2, {}}}}, rep = req;
        QList<std::pair<int, int>> want; // parameter, status or value
        for (int k = 0; k < 20; ++k) {
            const bool failed = k == 0 || k == 8 || k == 19;
            req.groups[0].items.push_back(ask(uint8_t(k), TByte));
            rep.groups[0].items.push_back(Item{uint8_t(k), TByte, 0, uint8_t(failed ? 3 + k % 2 : 0),
                                               failed ? Value() : Value::ofByte(uint8_t(100 + k))});
            want << std::pair(k, failed ? 3 + k % 2 : 100 + k);
        }
        rep.cmd = CmdReadReply;
        rep.check = frameCheck(encodePayload(req));
        const QByteArray p = encodePayload(rep);
        QCOMPARE(std::pair(p.size(), p.mid(ReplyHeadBytes, 3)),
                 std::pair(qsizetype(ReplyHeadBytes + 3 + 20), QByteArray::fromHex("010108")));
        auto back = decodeReply(p, &req);
        QVERIFY(back);
        QList<std::pair<int, int>> got;
        for (const Item &it : back->groups[0].items)
            got << std::pair(int(it.param), it.status ? it.status : int(it.value.i));
        QCOMPARE(got, want);
    }

    // Each bad frame is reported with its code (0 = good frame), and the good
    // frame after it is still read, however the bytes are cut.
    void malformedInputIsReportedAndSkipped()
    {
        const std::pair<const char *, int> cases[] = {
            {"xyz\r\n", 26},                              // noise before a frame
            {":G703010101010001" "2E\r\n", 27},           // bad first digit
            {":0703010101010001" "2F\r\n", 34},           // bad check
            {":07030101010100Z1" "2E\r\n", 34},           // bad hex in payload
            {":07030101", 34},                            // cut short by a new frame
            {":0703010101010001" "2EXY", 34},             // missing line end
            {":0201" "02" "00\r\n", 34}};                 // too short payload
        for (const auto &[bad, code] : cases)
            for (int chunk : {1, 7, 1000}) {
                QList<int> got;
                for (auto &e : parseAll(QByteArray(bad) + ":0703010101010001" "2E\r\n", chunk))
                    got << (e.ok ? 0 : e.error);
                QVERIFY2(got == QList<int>({code, 0}), bad);
            }
    }

    // Telnet framing of a device server taking RFC 2217 port settings: data
    // with 0xFF doubled, options and port-setting answers apart from the
    // data, also when a sequence is cut between two reads.
    void telnetFraming()
    {
        using namespace sora32::telnet;
        QCOMPARE(escape(QByteArray::fromHex("01ff02")), QByteArray::fromHex("01ffff02"));
        QCOMPARE(comPort(SetBaudrate, baudValue(460800)), QByteArray::fromHex("fffa2c0100070800fff0"));
        QCOMPARE(comPort(SetBaudrate, baudValue(0x00ffff00)), QByteArray::fromHex("fffa2c0100ffffffff00fff0"));
        const QByteArray in = QByteArray::fromHex("41fffd2cfffb0042ffff43fffa2c650007ffff00fff044fff144");
        for (int cut = 0; cut <= in.size(); ++cut) {
            Reader r;
            QByteArray data;
            std::vector<Event> ev;
            r.feed(in.left(cut), data, ev);
            r.feed(in.mid(cut), data, ev);
            QCOMPARE(data, QByteArray::fromHex("4142ff434444"));
            using Seen = QList<std::tuple<int, int, QByteArray>>;
            Seen got; // the rate answered, its 0xFF unescaped
            for (const Event &e : ev) got << std::tuple(int(e.kind), int(e.option), e.sub);
            QCOMPARE(got, (Seen{{Event::Do, OptComPort, {}}, {Event::Will, OptBinary, {}},
                                {Event::Sub, OptComPort, QByteArray::fromHex("650007ff00")}}));
        }
    }

    // The fuzz targets' properties on a few seconds of random input each (a
    // broken property aborts with its name): the bus codec and the telnet
    // reader of device servers.
    void randomInputKeepsCodecProperties_data()
    {
        QTest::addColumn<QString>("corpus");
        QTest::addColumn<void*>("check");
        QTest::newRow("bus frames") << "bus" << reinterpret_cast<void*>(&fuzzchecks::busFrames);
        QTest::newRow("telnet reader") << "telnet" << reinterpret_cast<void*>(&fuzzchecks::telnetReader);
    }

    void randomInputKeepsCodecProperties()
    {
        QFETCH(QString, corpus);
        QFETCH(void*, check);
        const auto seeds = fuzzchecks::corpus(qEnvironmentVariable("TESMIRA_SOURCE_DIR").toStdString()
                                              + "/fuzz/corpus/" + corpus.toStdString());
        QVERIFY(!seeds.empty());
        QVERIFY(fuzzchecks::randomInputs(reinterpret_cast<fuzzchecks::Check>(check), seeds, 1500, 11) > 1000);
    }
};

QTEST_APPLESS_MAIN(TstSoraProto)
#include "tst_soraproto.moc"
