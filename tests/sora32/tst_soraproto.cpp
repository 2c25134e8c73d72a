// Framing and message codec, checked with literal frames.
#include "soraproto.h"

#include <QtTest>

using namespace soraproto;

class TstSoraProto : public QObject {
    Q_OBJECT
private:
    static QVector<FrameParser::Event> parseAll(const QByteArray &bytes, int chunk = 1)
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
    static Message readOne()
    {
        Message m;
        m.node = 3; m.seq = 1; m.cmd = CmdRead;
        Group g; g.process = 1;
        Item it; it.param = 0; it.type = TInt;
        g.items.push_back(it);
        m.groups.push_back(g);
        return m;
    }
private slots:
    void encodesReadRequestByteForByte()
    {
        QCOMPARE(encode(readOne()), QByteArray(":0703010101010001" "2E\r\n"));
    }

    void decodesReplyWithItsRequest()
    {
        const Message req = readOne();
        FrameParser p;
        p.feed(QByteArray(":09030181010100001234" "56\r\n"));
        FrameParser::Event e;
        QVERIFY(p.next(e));
        QVERIFY(e.ok);
        auto rep = decodeReply(e.payload, &req);
        QVERIFY(rep);
        QCOMPARE(rep->cmd, uint8_t(CmdReadReply));
        QCOMPARE(rep->groups[0].items[0].status, uint8_t(0));
        QCOMPARE(rep->groups[0].items[0].value.i, int64_t(0x1234));
        // The same reply does not fit a request for another parameter.
        Message other = req;
        other.groups[0].items[0].param = 5;
        QVERIFY(!decodeReply(e.payload, &other));
    }

    void roundTripsEveryTypeInChainedMessages()
    {
        Message w;
        w.node = 9; w.seq = 200; w.cmd = CmdWrite;
        Group g1{1, {}}, g2{33, {}};
        Item a; a.param = 1; a.value = Value::ofByte(250); g1.items.push_back(a);
        Item b; b.param = 2; b.value = Value::ofInt(-25536); g1.items.push_back(b);
        Item c; c.param = 3; c.value = Value::ofFloat(0.5f); g2.items.push_back(c);
        Item d; d.param = 4; d.value = Value::ofLong(-2147483647 - 1); g2.items.push_back(d);
        Item s; s.param = 5; s.value = Value::ofString("AIR  \x05"); g2.items.push_back(s);
        w.groups = {g1, g2};
        for (Group &g : w.groups) for (Item &i : g.items) i.type = i.value.type;
        auto events = parseAll(encode(w), 3);
        QCOMPARE(events.size(), 1);
        auto back = decodeRequest(events[0].payload);
        QVERIFY(back);
        QCOMPARE(back->groups.size(), size_t(2));
        QCOMPARE(back->groups[1].process, uint8_t(33));
        QCOMPARE(back->groups[0].items[0].value.i, int64_t(250));
        QCOMPARE(back->groups[0].items[1].value.i, int64_t(-25536));
        QCOMPARE(back->groups[1].items[0].value.f, 0.5f);
        QCOMPARE(back->groups[1].items[1].value.i, int64_t(-2147483647 - 1));
        QCOMPARE(back->groups[1].items[2].value.s, QByteArray("AIR  \x05"));
    }

    void malformedInputIsReportedAndSkipped_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<int>>("codes");   // 0 = good frame
        const QByteArray good(":0703010101010001" "2E\r\n");
        QTest::newRow("noise before a frame") << (QByteArray("xyz\r\n") + good) << QList<int>{26, 0};
        QTest::newRow("bad first digit") << (QByteArray(":G703010101010001" "2E\r\n") + good) << QList<int>{27, 0};
        QTest::newRow("bad check") << (QByteArray(":0703010101010001" "2F\r\n") + good) << QList<int>{34, 0};
        QTest::newRow("bad hex in payload") << (QByteArray(":07030101010100Z1" "2E\r\n") + good) << QList<int>{34, 0};
        QTest::newRow("cut short by a new frame") << (QByteArray(":07030101") + good) << QList<int>{34, 0};
        QTest::newRow("missing line end") << (QByteArray(":0703010101010001" "2EXY") + good) << QList<int>{34, 0};
        QTest::newRow("too short payload") << (QByteArray(":0201" "02" "00\r\n") + good) << QList<int>{34, 0};
    }
    void malformedInputIsReportedAndSkipped()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<int>, codes);
        for (int chunk : {1, 7, 1000}) {
            auto events = parseAll(bytes, chunk);
            QList<int> got;
            for (auto &e : events) got << (e.ok ? 0 : e.error);
            QCOMPARE(got, codes);
        }
    }

    void undecodablePayloadsAreRefused()
    {
        QVERIFY(!decodeRequest(QByteArray::fromHex("030101")));            // no group
        QVERIFY(!decodeRequest(QByteArray::fromHex("0301010100")));        // group of 0 items
        QVERIFY(!decodeRequest(QByteArray::fromHex("030101010100")));      // item cut short
        QVERIFY(!decodeRequest(QByteArray::fromHex("03010101010009")));    // unknown type
        QVERIFY(!decodeRequest(QByteArray::fromHex("03010701010001")));    // unknown command
        QVERIFY(!decodeRequest(QByteArray::fromHex("0301020101000405414243")));  // string longer than sent
        Message ack;
        ack.node = 3; ack.seq = 4; ack.cmd = CmdError; ack.error = 28;
        auto back = decodeReply(encodePayload(ack), nullptr);
        QVERIFY(back);
        QCOMPARE(back->error, uint8_t(28));
    }
};

QTEST_APPLESS_MAIN(TstSoraProto)
#include "tst_soraproto.moc"
