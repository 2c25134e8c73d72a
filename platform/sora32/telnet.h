// Telnet framing for serial device servers that take their port settings by
// the COM-PORT-OPTION of RFC 2217: escaping of the data, an incremental
// reader that separates data from option negotiation, and the builders of
// the negotiation and port-setting messages. Pure code without I/O.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace sora32::telnet {

enum : uint8_t {
    SE = 240, NOP = 241, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255,
    OptBinary = 0, OptSuppressGoAhead = 3, OptComPort = 44,
};

// COM-PORT-OPTION commands from client to server; the server answers each
// with the same command + 100 and the value it has put in force.
enum ComPortCommand : uint8_t {
    SetBaudrate = 1, SetDatasize = 2, SetParity = 3, SetStopsize = 4, SetControl = 5, PurgeData = 12,
};

// What the reader found besides data.
struct Event {
    enum Kind { Will, Wont, Do, Dont, Sub } kind;
    uint8_t option = 0;
    QByteArray sub;   // for Sub: the bytes between IAC SB and IAC SE, unescaped
};

// The data as it goes on the connection: every 0xFF byte doubled.
QByteArray escape(const QByteArray &data);
// IAC verb option.
QByteArray negotiate(uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value IAC SE, command and value escaped.
QByteArray comPort(uint8_t command, const QByteArray &value);
// The 4-byte big-endian value of SET-BAUDRATE.
QByteArray baudValue(uint32_t baud);

// The longest subnegotiation the reader keeps. COM-PORT-OPTION answers are
// a few bytes (a signature text perhaps a line); a longer one is not taken
// apart: its bytes are dropped up to its IAC SE and it yields no event, so
// an IAC SB that never ends costs nothing but the bytes it swallows.
constexpr qsizetype kMaxSub = 512;

// Splits what arrives into data and events; a sequence cut between two
// reads is kept until its rest arrives.
class Reader {
public:
    void feed(const QByteArray &in, QByteArray &data, std::vector<Event> &events);
    void reset() { state_ = Data; sub_.clear(); overlong_ = false; }
    // Bytes held between two feeds (at most kMaxSub).
    qsizetype held() const { return sub_.size(); }
    // Subnegotiations dropped for being longer than kMaxSub.
    int overlong() const { return overlongCount_; }

private:
    enum State { Data, Iac, Verb, Sub, SubIac } state_ = Data;
    uint8_t verb_ = 0;
    QByteArray sub_;
    bool overlong_ = false;
    int overlongCount_ = 0;
    void subByte(char ch);
};

} // namespace sora32::telnet
