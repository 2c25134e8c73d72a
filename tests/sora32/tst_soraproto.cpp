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
    // Node 3, sequence 2: process 1 parameters 0 (int) and 5 (byte),
    // process 33 parameter 13 (float).
    static Message chainedRead()
    {
        Message m;
        m.node = 3; m.seq = 2; m.cmd = CmdRead;
        Item a; a.param = 0; a.type = TInt;
        Item b; b.param = 5; b.type = TByte;
        Item c; c.param = 13; c.type = TFloat;
        m.groups = {Group{1, {a, b}}, Group{33, {c}}};
        return m;
    }
    static QByteArray payloadOf(const QByteArray &frameText)
    {
        FrameParser p;
        p.feed(frameText);
        FrameParser::Event e;
        if (!p.next(e) || !e.ok) return {};
        return e.payload;
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
        // Echoes the request's check byte 2E, an empty failure map, the value.
        p.feed(QByteArray(":070301812E001234" "38\r\n"));
        FrameParser::Event e;
        QVERIFY(p.next(e));
        QVERIFY(e.ok);
        auto rep = decodeReply(e.payload, &req);
        QVERIFY(rep);
        QCOMPARE(rep->cmd, uint8_t(CmdReadReply));
        QCOMPARE(rep->groups[0].process, uint8_t(1));
        QCOMPARE(rep->groups[0].items[0].param, uint8_t(0));
        QCOMPARE(rep->groups[0].items[0].status, uint8_t(0));
        QCOMPARE(rep->groups[0].items[0].value.i, int64_t(0x1234));
        // The same reply does not answer a request for another parameter,
        // nor the same request sent again under another sequence number,
        // nor a write.
        Message other = req;
        other.groups[0].items[0].param = 5;
        QVERIFY(!decodeReply(e.payload, &other));
        Message again = req;
        again.seq = 2;
        QVERIFY(!decodeReply(e.payload, &again));
        Message write = req;
        write.cmd = CmdWrite;
        write.groups[0].items[0].value = Value::ofInt(0x1234);
        QVERIFY(!decodeReply(e.payload, &write));
        // Encoding the decoded reply gives the same bytes back.
        QCOMPARE(encodePayload(*rep), e.payload);
    }

    void chainedReplyCarriesFailureMapAndValuesOnly()
    {
        const Message req = chainedRead();
        QCOMPARE(encode(req), QByteArray(":0D03020101020001050021010D02" "C7\r\n"));
        Message rep;
        rep.node = 3; rep.seq = 2; rep.cmd = CmdReadReply; rep.check = 0xC7;
        rep.groups = req.groups;
        rep.groups[0].items[0].value = Value::ofInt(0x1234);
        rep.groups[0].items[1].status = 4;
        rep.groups[1].items[0].value = Value::ofFloat(1.5f);
        // Map 02 (the second item failed), 1234, status 04, 3FC00000.
        const QByteArray wire(":0C030281C7021234043FC00000" "AD\r\n");
        QCOMPARE(encode(rep), wire);
        auto back = decodeReply(payloadOf(wire), &req);
        QVERIFY(back);
        QCOMPARE(back->groups.size(), size_t(2));
        QCOMPARE(back->groups[1].process, uint8_t(33));
        QCOMPARE(back->groups[1].items[0].param, uint8_t(13));
        QCOMPARE(back->groups[0].items[0].value.i, int64_t(0x1234));
        QCOMPARE(back->groups[0].items[1].status, uint8_t(4));
        QCOMPARE(back->groups[1].items[0].status, uint8_t(0));
        QCOMPARE(back->groups[1].items[0].value.f, 1.5f);
    }

    void writeAcknowledgementAndErrorCarryTheRequestCheck()
    {
        Message w;
        w.node = 3; w.seq = 5; w.cmd = CmdWrite;
        Item it; it.param = 21; it.value = Value::ofInt(-5); it.type = TInt;
        w.groups = {Group{1, {it}}};
        QCOMPARE(encode(w), QByteArray(":0903050201011501FFFB" "7D\r\n"));
        const QByteArray done = payloadOf(":050305827D00" "F3\r\n");
        auto ack = decodeReply(done, &w);
        QVERIFY(ack);
        QCOMPARE(ack->groups[0].items[0].param, uint8_t(21));
        QCOMPARE(ack->groups[0].items[0].status, uint8_t(0));
        auto refused = decodeReply(payloadOf(":060305827D010D" "87\r\n"), &w);
        QVERIFY(refused);
        QCOMPARE(refused->groups[0].items[0].status, uint8_t(13));
        // An error reply needs no request to be read, but must fit it.
        const QByteArray err = payloadOf(":050301FF2E1C" "3A\r\n");
        auto e = decodeReply(err, nullptr);
        QVERIFY(e);
        QCOMPARE(e->cmd, uint8_t(CmdError));
        QCOMPARE(e->error, uint8_t(28));
        const Message read = readOne();
        QVERIFY(decodeReply(err, &read));
        QVERIFY(!decodeReply(err, &w));
    }

    void repliesThatDoNotFitTheirRequestAreRefused_data()
    {
        QTest::addColumn<QByteArray>("payload");
        // Request: chainedRead(), check C7; three items: int, byte, float.
        QTest::newRow("map bit past the last item") << QByteArray::fromHex("030281C7081234053FC00000");
        QTest::newRow("failed item with status 0") << QByteArray::fromHex("030281C7021234003FC00000");
        QTest::newRow("value cut short") << QByteArray::fromHex("030281C7001234053FC000");
        QTest::newRow("bytes after the last item") << QByteArray::fromHex("030281C7021234043FC0000000");
        QTest::newRow("map missing") << QByteArray::fromHex("030281C7");
        QTest::newRow("check of another request") << QByteArray::fromHex("030281C8021234043FC00000");
        QTest::newRow("acknowledgement for a read") << QByteArray::fromHex("030282C700");
        QTest::newRow("unknown command") << QByteArray::fromHex("030283C700");
    }
    void repliesThatDoNotFitTheirRequestAreRefused()
    {
        QFETCH(QByteArray, payload);
        const Message req = chainedRead();
        QVERIFY(!decodeReply(payload, &req));
        // A well-formed reply to the same request is taken.
        QVERIFY(decodeReply(QByteArray::fromHex("030281C7021234043FC00000"), &req));
    }

    void failureMapSpansSeveralBytes()
    {
        // Twenty byte reads; items 0, 8 and 19 fail: map 01 01 08.
        Message req;
        req.node = 7; req.seq = 9; req.cmd = CmdRead;
        Group g{2, {}};
        for (int k = 0; k < 20; ++k) { Item it; it.param = uint8_t(k); it.type = TByte; g.items.push_back(it); }
        req.groups = {g};
        Message rep = req;
        rep.cmd = CmdReadReply;
        rep.check = frameCheck(encodePayload(req));
        for (int k = 0; k < 20; ++k) {
            Item &it = rep.groups[0].items[k];
            if (k == 0 || k == 8 || k == 19) it.status = uint8_t(3 + k % 2);
            else it.value = Value::ofByte(uint8_t(100 + k));
        }
        const QByteArray p = encodePayload(rep);
        QCOMPARE(p.size(), qsizetype(ReplyHeadBytes + 3 + 20));
        QCOMPARE(p.mid(ReplyHeadBytes, 3), QByteArray::fromHex("010108"));
        auto back = decodeReply(p, &req);
        QVERIFY(back);
        for (int k = 0; k < 20; ++k) {
            const Item &it = back->groups[0].items[k];
            QCOMPARE(it.param, uint8_t(k));
            if (k == 0 || k == 8 || k == 19) QCOMPARE(it.status, uint8_t(3 + k % 2));
            else QCOMPARE(it.value.i, int64_t(100 + k));
        }
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
    }
};

QTEST_APPLESS_MAIN(TstSoraProto)
#include "tst_soraproto.moc"
