#include "soraproto.h"

#include <cstring>

namespace soraproto {

int Message::itemCount() const
{
    int n = 0;
    for (const Group &g : groups)
        n += int(g.items.size());
    return n;
}

uint8_t crc8(const uint8_t *data, int n, uint8_t crc)
{
    for (int i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80) ? uint8_t((crc << 1) ^ 0x07) : uint8_t(crc << 1);
    }
    return crc;
}

static const char hexDigits[] = "0123456789ABCDEF";

static void putHex(QByteArray &out, uint8_t b)
{
    out.append(hexDigits[b >> 4]);
    out.append(hexDigits[b & 15]);
}

static int hexVal(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

static int hexByte(const char *p)
{
    int h = hexVal(p[0]), l = hexVal(p[1]);
    return (h < 0 || l < 0) ? -1 : (h << 4) | l;
}

uint8_t frameCheck(const QByteArray &payload)
{
    const uint8_t len = uint8_t(payload.size());
    return crc8(reinterpret_cast<const uint8_t *>(payload.constData()), int(payload.size()), crc8(&len, 1));
}

QByteArray frame(const QByteArray &payload)
{
    QByteArray out;
    out.reserve(frameChars(int(payload.size())));
    out.append(':');
    putHex(out, uint8_t(payload.size()));
    for (char c : payload)
        putHex(out, uint8_t(c));
    putHex(out, frameCheck(payload));
    out.append("\r\n", 2);
    return out;
}

// --- values ---------------------------------------------------------------

static void putValue(QByteArray &out, const Value &v)
{
    switch (v.type) {
    case TByte: out.append(char(uint8_t(v.i))); break;
    case TInt: {
        uint16_t u = uint16_t(int16_t(v.i));
        out.append(char(u >> 8)); out.append(char(u & 0xFF));
        break;
    }
    case TFloat: {
        uint32_t u; std::memcpy(&u, &v.f, 4);
        for (int s = 24; s >= 0; s -= 8) out.append(char((u >> s) & 0xFF));
        break;
    }
    case TLong: {
        uint32_t u = uint32_t(int32_t(v.i));
        for (int s = 24; s >= 0; s -= 8) out.append(char((u >> s) & 0xFF));
        break;
    }
    default: {
        QByteArray s = v.s.left(200);
        out.append(char(uint8_t(s.size())));
        out.append(s);
    }
    }
}

namespace {
struct Reader {
    const QByteArray &b;
    int pos = 0;
    bool ok = true;
    uint8_t u8() { if (pos >= b.size()) { ok = false; return 0; } return uint8_t(b[pos++]); }
    bool atEnd() const { return pos >= b.size(); }
    bool getValue(uint8_t type, Value &v)
    {
        v = Value();
        v.type = type;
        switch (type) {
        case TByte: v.i = u8(); break;
        case TInt: { uint16_t h = u8(); uint16_t l = u8(); v.i = int16_t(uint16_t((h << 8) | l)); break; }
        case TFloat: case TLong: {
            uint32_t u = 0;
            for (int k = 0; k < 4; ++k) u = (u << 8) | u8();
            if (type == TFloat) std::memcpy(&v.f, &u, 4); else v.i = int32_t(u);
            break;
        }
        case TString: {
            int n = u8();
            if (pos + n > b.size()) { ok = false; return false; }
            v.s = b.mid(pos, n);
            pos += n;
            break;
        }
        default: ok = false;
        }
        return ok;
    }
};
}

// A reply lists the items of its request in order, groups run together:
// a map with one bit per item (set: the item failed), then per item its
// status when it failed, else (read replies only) its value.
static void putReplyItems(QByteArray &out, const Message &m)
{
    std::vector<const Item *> items;
    for (const Group &g : m.groups)
        for (const Item &it : g.items) items.push_back(&it);
    QByteArray map(statusMapBytes(int(items.size())), '\0');
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i]->status) map[i / 8] = char(uint8_t(map[i / 8]) | (1u << (i % 8)));
    out.append(map);
    for (const Item *it : items) {
        if (it->status) out.append(char(it->status));
        else if (m.cmd == CmdReadReply) putValue(out, it->value);
    }
}

QByteArray encodePayload(const Message &m)
{
    QByteArray out;
    out.append(char(m.node));
    out.append(char(m.seq));
    out.append(char(m.cmd));
    if (m.cmd == CmdError || m.cmd == CmdReadReply || m.cmd == CmdWriteAck)
        out.append(char(m.check));
    if (m.cmd == CmdError) {
        out.append(char(m.error));
        return out;
    }
    if (m.cmd != CmdRead && m.cmd != CmdWrite) {
        putReplyItems(out, m);
        return out;
    }
    for (const Group &g : m.groups) {
        out.append(char(g.process));
        out.append(char(uint8_t(g.items.size())));
        for (const Item &it : g.items) {
            out.append(char(it.param));
            if (m.cmd == CmdRead) {
                out.append(char(it.type));
                if (it.type == TString) out.append(char(it.length));
            } else {
                out.append(char(it.value.type));
                putValue(out, it.value);
            }
        }
    }
    return out;
}

std::optional<Message> decodeRequest(const QByteArray &payload)
{
    Reader r{payload};
    Message m;
    m.node = r.u8(); m.seq = r.u8(); m.cmd = r.u8();
    if (!r.ok || (m.cmd != CmdRead && m.cmd != CmdWrite)) return std::nullopt;
    while (!r.atEnd()) {
        Group g;
        g.process = r.u8();
        int n = r.u8();
        if (!r.ok || n == 0) return std::nullopt;
        for (int k = 0; k < n; ++k) {
            Item it;
            it.param = r.u8();
            it.type = r.u8();
            if (it.type > TString) return std::nullopt;
            if (m.cmd == CmdRead) {
                if (it.type == TString) it.length = r.u8();
            } else {
                r.getValue(it.type, it.value);
            }
            if (!r.ok) return std::nullopt;
            g.items.push_back(std::move(it));
        }
        m.groups.push_back(std::move(g));
    }
    if (m.groups.empty()) return std::nullopt;
    return m;
}

std::optional<Message> decodeReply(const QByteArray &payload, const Message *request)
{
    Reader r{payload};
    Message m;
    m.node = r.u8(); m.seq = r.u8(); m.cmd = r.u8(); m.check = r.u8();
    if (!r.ok) return std::nullopt;
    if (m.cmd != CmdError && m.cmd != CmdReadReply && m.cmd != CmdWriteAck) return std::nullopt;
    if (request) {
        const uint8_t answers = request->cmd == CmdRead ? CmdReadReply : CmdWriteAck;
        if (m.seq != request->seq || m.check != frameCheck(encodePayload(*request)) ||
            (m.cmd != CmdError && m.cmd != answers))
            return std::nullopt;
    }
    if (m.cmd == CmdError) {
        m.error = r.u8();
        if (!r.ok || !r.atEnd()) return std::nullopt;
        return m;
    }
    if (!request) return std::nullopt;
    const int n = request->itemCount();
    const int mapBytes = statusMapBytes(n);
    if (payload.size() < ReplyHeadBytes + mapBytes) return std::nullopt;
    const QByteArray map = payload.mid(ReplyHeadBytes, mapBytes);
    r.pos += mapBytes;
    // Bits past the last item must be clear: a map that does not fit the
    // request means the reply does not either.
    if (n % 8 && (uint8_t(map[mapBytes - 1]) >> (n % 8)) != 0) return std::nullopt;
    int i = 0;
    for (const Group &rg : request->groups) {
        Group g;
        g.process = rg.process;
        for (const Item &q : rg.items) {
            Item it;
            it.param = q.param;
            it.type = m.cmd == CmdReadReply ? q.type : q.value.type;
            if (uint8_t(map[i / 8]) & (1u << (i % 8))) {
                it.status = r.u8();
                if (it.status == 0) return std::nullopt;   // a failed item with status "done"
            } else if (m.cmd == CmdReadReply) {
                r.getValue(it.type, it.value);
            }
            if (!r.ok) return std::nullopt;
            g.items.push_back(std::move(it));
            ++i;
        }
        m.groups.push_back(std::move(g));
    }
    if (!r.atEnd()) return std::nullopt;
    return m;
}

// --- receiver ---------------------------------------------------------------

void FrameParser::reset()
{
    buf_.clear();
    garbageReported_ = false;
}

void FrameParser::feed(const char *data, int n)
{
    buf_.append(data, n);
}

bool FrameParser::next(Event &e)
{
    for (;;) {
        if (buf_.isEmpty()) return false;
        if (buf_[0] != ':') {
            // Skip to the next start character; report the skipped run once.
            int colon = int(buf_.indexOf(':'));
            buf_.remove(0, colon < 0 ? buf_.size() : colon);
            if (!garbageReported_) {
                garbageReported_ = true;
                e = Event{false, ErrNoStart, {}};
                return true;
            }
            continue;
        }
        garbageReported_ = false;
        if (buf_.size() < 3) return false;
        const int len = hexByte(buf_.constData() + 1);
        if (len < 0) {
            buf_.remove(0, 1);
            garbageReported_ = true;  // the rest of this frame is garbage, already reported
            e = Event{false, ErrFirstDigit, {}};
            return true;
        }
        const int total = frameChars(len);
        // A ':' inside the frame means it was cut short and a new one began.
        const int scanEnd = int(std::min<qsizetype>(buf_.size(), total));
        int inner = -1;
        for (int i = 1; i < scanEnd; ++i)
            if (buf_[i] == ':') { inner = i; break; }
        if (inner > 0) {
            buf_.remove(0, inner);
            e = Event{false, ErrData, {}};
            return true;
        }
        if (buf_.size() < total) return false;
        QByteArray payload;
        payload.reserve(len);
        bool good = len >= 3;
        for (int i = 0; good && i < len; ++i) {
            int b = hexByte(buf_.constData() + 3 + 2 * i);
            if (b < 0) good = false; else payload.append(char(b));
        }
        const int chk = hexByte(buf_.constData() + 3 + 2 * len);
        if (good) {
            uint8_t l8 = uint8_t(len);
            uint8_t crc = crc8(&l8, 1);
            crc = crc8(reinterpret_cast<const uint8_t *>(payload.constData()), len, crc);
            good = chk == crc && buf_[total - 2] == '\r' && buf_[total - 1] == '\n';
        }
        buf_.remove(0, total);
        if (!good) {
            e = Event{false, ErrData, {}};
            return true;
        }
        e = Event{true, 0, std::move(payload)};
        return true;
    }
}

} // namespace soraproto
