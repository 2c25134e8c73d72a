#pragma once
// Asks a virtual bus one item at a time through the wire encoding, as the
// library would: the request framed, the reply parsed and decoded.
#include "bus.h"

#include <optional>

struct SimClient {
  soranetsim::Bus& bus;
  uint8_t seq = 0;

  // The reply to one item, or nullopt for silence or a bad frame.
  std::optional<soraproto::Message> ask(uint8_t node, uint8_t proc, soraproto::Item it, bool write)
  {
    using namespace soraproto;
    Message m;
    m.node = node;
    m.seq = ++seq;
    m.cmd = write ? CmdWrite : CmdRead;
    if (write)
      it.type = it.value.type;
    m.groups.push_back(Group{proc, {it}});
    const auto out = bus.handle(encodePayload(m));
    if (out.empty())
      return std::nullopt;
    FrameParser p;
    p.feed(out[0].frame);
    FrameParser::Event e;
    if (!p.next(e) || !e.ok)
      return std::nullopt;
    auto r = decodeReply(e.payload, &m);
    if (!r || r->groups.empty() || r->groups[0].items.empty())
      return std::nullopt;
    return r;
  }
  // Status of one read (-1: no reply); its value goes to v.
  int read(uint8_t node, uint8_t proc, soraproto::Item it, soraproto::Value* v = nullptr)
  {
    const auto r = ask(node, proc, it, false);
    if (r && v)
      *v = r->groups[0].items[0].value;
    return r ? r->groups[0].items[0].status : -1;
  }
  int read(uint8_t node, uint8_t proc, uint8_t fb, uint8_t type, soraproto::Value* v = nullptr)
  {
    soraproto::Item it;
    it.param = fb;
    it.type = type;
    return read(node, proc, it, v);
  }
  int write(uint8_t node, uint8_t proc, uint8_t fb, soraproto::Value value)
  {
    soraproto::Item it;
    it.param = fb;
    it.value = value;
    const auto r = ask(node, proc, it, true);
    return r ? r->groups[0].items[0].status : -1;
  }
};
