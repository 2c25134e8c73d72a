#include "telnet.h"

#include <initializer_list>

namespace sora32::telnet {

QByteArray escape(const QByteArray &data)
{
    if (!data.contains(char(IAC))) return data;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (char c : data) {
        out.append(c);
        if (uint8_t(c) == IAC) out.append(c);
    }
    return out;
}

namespace {
QByteArray bytes(std::initializer_list<uint8_t> list)
{
    QByteArray out;
    for (uint8_t b : list) out.append(char(b));
    return out;
}
}

QByteArray negotiate(uint8_t verb, uint8_t option)
{
    return bytes({IAC, verb, option});
}

QByteArray comPort(uint8_t command, const QByteArray &value)
{
    return bytes({IAC, SB, OptComPort}) + escape(char(command) + value) + bytes({IAC, SE});
}

QByteArray baudValue(uint32_t baud)
{
    return bytes({uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)});
}

void Reader::subByte(char ch)
{
    if (overlong_) return;
    if (sub_.size() < kMaxSub) { sub_.append(ch); return; }
    overlong_ = true;
    ++overlongCount_;
    sub_.clear();
}

void Reader::feed(const QByteArray &in, QByteArray &data, std::vector<Event> &events)
{
    for (char ch : in) {
        const uint8_t c = uint8_t(ch);
        switch (state_) {
        case Data:
            if (c == IAC) state_ = Iac;
            else data.append(ch);
            break;
        case Iac:
            if (c == IAC) { data.append(ch); state_ = Data; }
            else if (c >= WILL) { verb_ = c; state_ = Verb; }
            else if (c == SB) { sub_.clear(); overlong_ = false; state_ = Sub; }
            else state_ = Data;   // NOP, go-ahead and the other two-byte commands carry nothing for us
            break;
        case Verb: {
            const Event::Kind k = verb_ == WILL ? Event::Will : verb_ == WONT ? Event::Wont
                                : verb_ == DO   ? Event::Do   : Event::Dont;
            events.push_back(Event{k, c, {}});
            state_ = Data;
            break;
        }
        case Sub:
            if (c == IAC) state_ = SubIac;
            else subByte(ch);
            break;
        case SubIac:
            if (c == IAC) { subByte(ch); state_ = Sub; }
            else if (c == SE) {
                if (!overlong_) {
                    Event e{Event::Sub, sub_.isEmpty() ? uint8_t(0) : uint8_t(sub_[0]), sub_.mid(1)};
                    events.push_back(std::move(e));
                }
                sub_.clear();
                overlong_ = false;
                state_ = Data;
            } else {
                state_ = Sub;   // a stray IAC inside a subnegotiation: dropped
            }
            break;
        }
    }
}

} // namespace sora32::telnet
