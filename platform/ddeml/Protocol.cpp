#include "Protocol.h"

#include <algorithm>
#include <cctype>

namespace ddeml {

FrameReader::FrameReader(QList<QByteArray> payloadVerbs, int maxLine, int maxValue)
    : m_payloadVerbs(std::move(payloadVerbs)), m_maxLine(maxLine), m_maxValue(maxValue)
{
}

void FrameReader::append(const char* data, qsizetype size)
{
    // Drop what has been handed out before growing, so the buffer holds at
    // most one partial message plus what just arrived.
    if (m_pos > 0 && (m_pos == m_buf.size() || m_pos > 65536)) {
        m_buf.remove(0, m_pos);
        m_pos = 0;
    }
    m_buf.append(data, size);
}

FrameReader::Result FrameReader::next(Message* msg, QByteArray* errorToken, QString* errorText)
{
    m_want = 0;
    const qsizetype lf = m_buf.indexOf('\n', m_pos);
    if (lf < 0) {
        // One byte more than a line may hold: the CR of a CR LF ending.
        if (m_buf.size() - m_pos > m_maxLine + 1) {
            *errorToken = "LINE_TOO_LONG";
            *errorText = QStringLiteral("header line longer than %1 bytes").arg(m_maxLine);
            return Result::Error;
        }
        return Result::NeedMore;
    }
    qsizetype lineEnd = lf;
    if (lineEnd > m_pos && m_buf.at(lineEnd - 1) == '\r')
        --lineEnd;
    if (lineEnd - m_pos > m_maxLine) {
        *errorToken = "LINE_TOO_LONG";
        *errorText = QStringLiteral("header line longer than %1 bytes").arg(m_maxLine);
        return Result::Error;
    }
    const QByteArray line = m_buf.mid(m_pos, lineEnd - m_pos);
    QList<QByteArray> fields = line.split(' ');
    fields.removeAll(QByteArray());

    Message out;
    if (!fields.isEmpty()) {
        out.verb = fields.takeFirst();
        const qsizetype verbAt = line.indexOf(out.verb);
        out.rest = line.mid(verbAt + out.verb.size()).trimmed();
    }
    out.args = fields;

    qsizetype consumed = lf + 1;
    if (m_payloadVerbs.contains(out.verb)) {
        int length = 0;
        if (out.args.isEmpty()) {
            *errorToken = "BAD_ARGUMENTS";
            *errorText = QStringLiteral("%1 needs a byte count").arg(QString::fromLatin1(out.verb));
            return Result::Error;
        }
        if (!parseLength(out.args.last(), m_maxValue, &length)) {
            const bool digits = !out.args.last().isEmpty()
                && std::all_of(out.args.last().begin(), out.args.last().end(),
                               [](char c) { return c >= '0' && c <= '9'; });
            *errorToken = digits ? "VALUE_TOO_LARGE" : "BAD_ARGUMENTS";
            *errorText = digits ? QStringLiteral("value longer than %1 bytes").arg(m_maxValue)
                                : QStringLiteral("bad byte count");
            return Result::Error;
        }
        if (m_buf.size() - consumed < length) {
            m_want = consumed + length - m_pos;
            return Result::NeedMore;
        }
        out.args.removeLast();
        out.payload = m_buf.mid(consumed, length);
        out.hasPayload = true;
        consumed += length;
    }
    m_pos = consumed;
    *msg = std::move(out);
    return Result::Ready;
}

bool isValidName(const QByteArray& utf8)
{
    if (utf8.isEmpty() || utf8.size() > kMaxNameBytes)
        return false;
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f)
            return false;
    }
    return true;
}

bool parseLength(const QByteArray& field, int maxValue, int* length)
{
    if (field.isEmpty() || field.size() > 10)
        return false;
    qint64 v = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > maxValue)
        return false;
    *length = static_cast<int>(v);
    return true;
}

QByteArray headerLine(const QByteArray& verb, const QList<QByteArray>& args)
{
    QByteArray out = verb;
    for (const QByteArray& a : args) {
        out += ' ';
        out += a;
    }
    out += '\n';
    return out;
}

QByteArray payloadMessage(const QByteArray& verb, const QList<QByteArray>& args,
                          const QByteArray& payload)
{
    QByteArray out;
    out.reserve(verb.size() + 32 + payload.size());
    out += verb;
    for (const QByteArray& a : args) {
        out += ' ';
        out += a;
    }
    out += ' ';
    out += QByteArray::number(payload.size());
    out += '\n';
    out += payload;
    return out;
}

QByteArray errorMessage(const QByteArray& token, const QString& text)
{
    // The text is free-form but must stay on the header line.
    QByteArray t = text.toUtf8();
    t.replace('\r', ' ').replace('\n', ' ');
    return "ERR " + token + ' ' + t + '\n';
}

QByteArray escapeValue(const QByteArray& value)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(value.size());
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20 || u == 0x7f) {
                out += "\\x";
                out += hex[u >> 4];
                out += hex[u & 15];
            } else {
                out += c;
            }
        }
    }
    return out;
}

bool unescapeValue(const QByteArray& text, QByteArray* value)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text.at(i)) {
        case '\\': out += '\\'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'x': {
            const QByteArray digits = text.mid(i + 1, 2);
            bool ok = false;
            const int v = digits.toInt(&ok, 16);
            if (digits.size() != 2 || !ok || !isxdigit(static_cast<unsigned char>(digits[0]))
                || !isxdigit(static_cast<unsigned char>(digits[1])))
                return false;
            out += static_cast<char>(v);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    *value = out;
    return true;
}

} // namespace ddeml
