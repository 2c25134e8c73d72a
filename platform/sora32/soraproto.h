// Soranet wire protocol: framing and message codec, pure code without I/O.
// The byte layout is documented in docs/soranet-protocol.md; this file is
// the reference implementation that both the library and the virtual bus use.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>
#include <vector>

namespace soraproto {

// Value types on the wire; the same numbers as the library's type codes.
enum ValueType : uint8_t { TByte = 0, TInt = 1, TFloat = 2, TLong = 3, TString = 4 };

enum Command : uint8_t {
    CmdRead = 0x01,
    CmdWrite = 0x02,
    CmdReadReply = 0x81,
    CmdWriteAck = 0x82,
    CmdError = 0xFF,
};

// Node address that always reaches the interface module the line is plugged
// into, whatever its own node address is.
constexpr uint8_t LocalNode = 128;
constexpr int MaxPayload = 255;

// Codes used for malformed input (same numbers as the library's error codes).
constexpr int16_t ErrNoStart = 26;     // byte outside a frame that is not ':'
constexpr int16_t ErrFirstDigit = 27;  // length digits are not hexadecimal
constexpr int16_t ErrData = 34;        // bad hex, bad check, bad length, bad end

// One value as carried by a read reply or a write request.
struct Value {
    uint8_t type = TByte;
    int64_t i = 0;       // byte, int (signed 16-bit), long (signed 32-bit)
    float f = 0.0f;      // float
    QByteArray s;        // string
    static Value ofByte(uint8_t v) { Value x; x.type = TByte; x.i = v; return x; }
    static Value ofInt(int16_t v) { Value x; x.type = TInt; x.i = v; return x; }
    static Value ofLong(int32_t v) { Value x; x.type = TLong; x.i = v; return x; }
    static Value ofFloat(float v) { Value x; x.type = TFloat; x.f = v; return x; }
    static Value ofString(const QByteArray &v) { Value x; x.type = TString; x.s = v; return x; }
    double number() const { return type == TFloat ? double(f) : double(i); }
};

// One parameter of a message. Requests use type/length (read) or value
// (write); replies use status and, for a successful read, value.
struct Item {
    uint8_t param = 0;
    uint8_t type = TByte;
    uint8_t length = 0;   // string reads: wanted length, 0 = as the module has it
    uint8_t status = 0;   // replies only
    Value value;
};

struct Group {
    uint8_t process = 0;
    std::vector<Item> items;
};

// A reply in memory mirrors the groups and items of its request (process
// and parameter numbers filled in from the request); on the wire it carries
// only the request's check byte, a map of the items that failed, and per item
// either the value or the status (see docs/soranet-protocol.md, "Replies").
struct Message {
    uint8_t node = 0;
    uint8_t seq = 0;
    uint8_t cmd = CmdRead;
    uint8_t check = 0;          // replies: check byte of the request frame answered
    uint8_t error = 0;          // CmdError only
    std::vector<Group> groups;
    int itemCount() const;
};

// CRC-8, polynomial 0x07, initial value 0, over the length byte and payload.
uint8_t crc8(const uint8_t *data, int n, uint8_t crc = 0);

// The check byte of the frame that carries this payload (CRC-8 over the
// length byte and the payload). A reply echoes its request's check byte.
uint8_t frameCheck(const QByteArray &payload);

// Bytes of a reply payload before the items: node, sequence, command, check.
constexpr int ReplyHeadBytes = 4;
// Bytes of the failure map of a reply to a request with n items.
inline int statusMapBytes(int items) { return (items + 7) / 8; }

// Wraps a binary payload into ':' LL <hex payload> CC CR LF.
QByteArray frame(const QByteArray &payload);

// Binary payload of a message.
QByteArray encodePayload(const Message &m);
inline QByteArray encode(const Message &m) { return frame(encodePayload(m)); }

// Decodes a request payload (read or write), or a reply payload. A read
// reply or write acknowledgement can only be decoded with the request it
// answers: it carries neither process nor parameter numbers, and each value
// in the type that was asked for. With a request, a reply whose sequence
// number or echoed check byte differs from the request's is refused. An
// error reply decodes without a request.
std::optional<Message> decodeRequest(const QByteArray &payload);
std::optional<Message> decodeReply(const QByteArray &payload, const Message *request);

// Number of characters a frame with this payload size takes on the wire.
inline int frameChars(int payloadBytes) { return 1 + 2 + 2 * payloadBytes + 2 + 2; }

// Incremental receiver: append bytes as they come, take whole frames.
// Anything malformed is reported once per occurrence and skipped, so the
// stream always recovers at the next ':'.
class FrameParser {
public:
    struct Event {
        bool ok = false;
        int16_t error = 0;    // 26, 27 or 34 when !ok
        QByteArray payload;   // binary payload when ok
    };
    void feed(const char *data, int n);
    void feed(const QByteArray &b) { feed(b.constData(), int(b.size())); }
    bool next(Event &e);      // false when nothing more is complete
    void reset();
private:
    QByteArray buf_;
    bool garbageReported_ = false;
};

} // namespace soraproto
