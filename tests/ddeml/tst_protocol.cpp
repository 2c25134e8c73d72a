// Framing of the link protocol, checked with literal byte strings.
#include "Protocol.h"

#include <QTest>

using ddeml::FrameReader;
using ddeml::Message;

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void headerAndPayloadAcrossChunks();
    void payloadKeepsEveryByte();
    void crBeforeLfAndExtraBlanks();
    void boundsAreErrors_data();
    void boundsAreErrors();
    void escapesRoundTrip();
    void malformedEscapes();
    void names();
};

void TestProtocol::headerAndPayloadAcrossChunks()
{
    FrameReader r({"POKE"});
    const QByteArray wire = "REQUEST P(8)\nPOKE P(9) 5\nab\ncdADVISE P(1) HOT\n";
    Message m;
    QByteArray tok;
    QString text;
    // Feed one byte at a time: a message is handed out only when whole.
    QList<Message> got;
    for (char c : wire) {
        r.append(&c, 1);
        while (r.next(&m, &tok, &text) == FrameReader::Result::Ready)
            got << m;
    }
    QCOMPARE(got.size(), 3);
    QCOMPARE(got[0].verb, QByteArray("REQUEST"));
    QCOMPARE(got[0].args, QList<QByteArray>({"P(8)"}));
    QCOMPARE(got[1].verb, QByteArray("POKE"));
    QCOMPARE(got[1].args, QList<QByteArray>({"P(9)"}));
    QVERIFY(got[1].hasPayload);
    QCOMPARE(got[1].payload, QByteArray("ab\ncd"));
    QCOMPARE(got[2].args, QList<QByteArray>({"P(1)", "HOT"}));
    QCOMPARE(r.buffered(), 0);
}

void TestProtocol::payloadKeepsEveryByte()
{
    QByteArray value;
    for (int i = 0; i < 256; ++i)
        value += char(i);
    value += "\r\n\r\n";
    const QByteArray wire = ddeml::payloadMessage("DATA", {"P(8)"}, value);
    QCOMPARE(wire.left(14), QByteArray("DATA P(8) 260\n"));
    FrameReader r({"DATA"});
    r.append(wire);
    Message m;
    QByteArray tok;
    QString text;
    QCOMPARE(r.next(&m, &tok, &text), FrameReader::Result::Ready);
    QCOMPARE(m.payload, value);
    QCOMPARE(r.next(&m, &tok, &text), FrameReader::Result::NeedMore);
}

void TestProtocol::crBeforeLfAndExtraBlanks()
{
    FrameReader r({});
    r.append("ERR  NO_ITEM   no item P(3) on topic C(1)\r\n");
    Message m;
    QByteArray tok;
    QString text;
    QCOMPARE(r.next(&m, &tok, &text), FrameReader::Result::Ready);
    QCOMPARE(m.verb, QByteArray("ERR"));
    QCOMPARE(m.args.first(), QByteArray("NO_ITEM"));
    QCOMPARE(m.rest, QByteArray("NO_ITEM   no item P(3) on topic C(1)"));
}

void TestProtocol::boundsAreErrors_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QByteArray>("token");
    QTest::newRow("line without end") << QByteArray(200, 'x') << QByteArray("LINE_TOO_LONG");
    QTest::newRow("long line") << QByteArray(150, 'x') + '\n' << QByteArray("LINE_TOO_LONG");
    QTest::newRow("value too large") << QByteArray("POKE P(1) 1001\n") << QByteArray("VALUE_TOO_LARGE");
    QTest::newRow("huge count") << QByteArray("POKE P(1) 99999999999999\n") << QByteArray("VALUE_TOO_LARGE");
    QTest::newRow("negative count") << QByteArray("POKE P(1) -5\n") << QByteArray("BAD_ARGUMENTS");
    QTest::newRow("no count") << QByteArray("POKE\n") << QByteArray("BAD_ARGUMENTS");
}

void TestProtocol::boundsAreErrors()
{
    QFETCH(QByteArray, wire);
    QFETCH(QByteArray, token);
    FrameReader r({"POKE"}, 100, 1000);
    r.append(wire);
    Message m;
    QByteArray tok;
    QString text;
    QCOMPARE(r.next(&m, &tok, &text), FrameReader::Result::Error);
    QCOMPARE(tok, token);
    QVERIFY(!text.isEmpty());
}

void TestProtocol::escapesRoundTrip()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    const QByteArray esc = ddeml::escapeValue(all);
    QVERIFY(!esc.contains('\n'));
    QVERIFY(!esc.contains('\r'));
    QCOMPARE(ddeml::escapeValue("5\r\n"), QByteArray("5\\r\\n"));
    QCOMPARE(ddeml::escapeValue("a\\b\x01\x7f"), QByteArray("a\\\\b\\x01\\x7F"));
    QCOMPARE(ddeml::escapeValue("Flüss"), QByteArray("Flüss"));
    QByteArray back;
    QVERIFY(ddeml::unescapeValue(esc, &back));
    QCOMPARE(back, all);
}

void TestProtocol::malformedEscapes()
{
    QByteArray v;
    QVERIFY(!ddeml::unescapeValue("end\\", &v));
    QVERIFY(!ddeml::unescapeValue("\\q", &v));
    QVERIFY(!ddeml::unescapeValue("\\x4", &v));
    QVERIFY(!ddeml::unescapeValue("\\x+1", &v));
}

void TestProtocol::names()
{
    QVERIFY(ddeml::isValidName("C(1)"));
    QVERIFY(ddeml::isValidName("Flüsse"));
    QVERIFY(!ddeml::isValidName(""));
    QVERIFY(!ddeml::isValidName("two words"));
    QVERIFY(!ddeml::isValidName("tab\there"));
    QVERIFY(!ddeml::isValidName(QByteArray(256, 'a')));
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
