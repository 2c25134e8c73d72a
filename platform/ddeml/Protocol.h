#pragma once
// Framing of the link protocol, shared by the server and the client side.
//
// Every message is one header line of ASCII fields separated by blanks and
// ended by LF (a CR before the LF is tolerated). Messages whose verb carries
// a value (POKE and EXECUTE from a client, VALUE and DATA from the server)
// end their header with a decimal byte count, and exactly that many bytes
// follow the line, unchanged and unterminated. docs/link-protocol.md has the
// full description.
//
// This file does no I/O: FrameReader takes bytes as they arrive and hands out
// whole messages, so it can be tested with literal byte strings.

#include <QByteArray>
#include <QList>
#include <QString>

namespace ddeml {

// Default bounds. A header line longer than maxLine, or a value longer than
// maxValue, is a protocol error; the peer is told and the link dropped.
inline constexpr int kDefaultMaxLine = 1024;
inline constexpr int kDefaultMaxValue = 1 << 20;

// Names (service, topic, item) travel as header fields: 1..255 bytes of
// UTF-8 without blanks or control characters.
inline constexpr int kMaxNameBytes = 255;

struct Message {
    QByteArray verb;            // upper case as sent, e.g. "REQUEST"
    QList<QByteArray> args;     // fields after the verb (the byte count excluded)
    QByteArray rest;            // header text after the verb, for ERR/CLOSED texts
    QByteArray payload;         // value bytes of payload-bearing verbs
    bool hasPayload = false;
};

class FrameReader {
public:
    enum class Result { NeedMore, Ready, Error };

    // payloadVerbs: verbs whose header ends with a byte count.
    explicit FrameReader(QList<QByteArray> payloadVerbs,
                         int maxLine = kDefaultMaxLine, int maxValue = kDefaultMaxValue);

    void append(const char* data, qsizetype size);
    void append(const QByteArray& data) { append(data.constData(), data.size()); }

    // Takes the next whole message out of the buffer. On Error, *error holds
    // a token (LINE_TOO_LONG, VALUE_TOO_LARGE, BAD_ARGUMENTS) and text, and
    // the reader cannot resynchronise: the caller drops the link.
    Result next(Message* msg, QByteArray* errorToken, QString* errorText);

    // Bytes received but not yet handed out.
    qsizetype buffered() const { return m_buf.size() - m_pos; }
    // Bytes still missing from the message being received, once its header
    // line has announced a payload; 0 otherwise. A caller that bounds its
    // buffering lets at least this much in, so a whole value always fits.
    qsizetype needed() const { return qMax<qsizetype>(0, m_want - buffered()); }

private:
    QList<QByteArray> m_payloadVerbs;
    int m_maxLine;
    int m_maxValue;
    QByteArray m_buf;
    qsizetype m_pos = 0;
    qsizetype m_want = 0; // size of the partial message, header and payload
};

// True when the text can travel as a name field.
bool isValidName(const QByteArray& utf8);

// Parses a decimal byte count: digits only, at most maxValue.
bool parseLength(const QByteArray& field, int maxValue, int* length);

// Builders for outgoing messages.
QByteArray headerLine(const QByteArray& verb, const QList<QByteArray>& args = {});
QByteArray payloadMessage(const QByteArray& verb, const QList<QByteArray>& args,
                          const QByteArray& payload);
QByteArray errorMessage(const QByteArray& token, const QString& text);

// Escaping used where a value must be shown on one line (tesmira-dde's
// default output): backslash, CR, LF, TAB and other control bytes become
// \\, \r, \n, \t and \xHH; all other bytes are kept.
QByteArray escapeValue(const QByteArray& value);
// The inverse; false when the text holds a malformed escape.
bool unescapeValue(const QByteArray& text, QByteArray* value);

} // namespace ddeml
