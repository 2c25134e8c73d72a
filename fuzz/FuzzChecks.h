#pragma once
// Properties the readers of outside input must keep for any input
// whatsoever. The libFuzzer targets in this folder and the random-input
// tests of the suite call the same checks; a broken property aborts with a
// message.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzchecks {

// Link protocol (platform/ddeml/Protocol.*): the first byte of data picks
// how the rest is cut into chunks; the reader must hand out the same
// messages whatever the chunking, stay within its bounds, and every message
// it hands out must survive being written and read again. Also checks that
// escapeValue/unescapeValue round-trip every byte string.
void linkFrames(const uint8_t* data, size_t size);

// Bus protocol (platform/sora32/soraproto.*): the frame parser must give the
// same events whatever the chunking and always recover; every decoded
// request re-encodes to a payload that decodes to the same message; replies
// decode against a request without reading past their payload.
void busFrames(const uint8_t* data, size_t size);

// Telnet reader of device servers (platform/sora32/telnet.*): the first
// byte picks the chunking; data and events are the same however the bytes
// are cut, the reader never holds more than one bounded subnegotiation,
// escaped data reads back as itself and a built COM-PORT-OPTION message
// reads back as its command and value.
void telnetReader(const uint8_t* data, size_t size);

// MQTT topic layout (src/mqtt/MqttConfig.*): a topic that parses as a write
// names one server topic and one item, both non-empty and without a level
// separator, and the write topic built from them is the topic parsed; a
// write topic built from any topic and item without separators parses back
// to them. The input's first byte splits the rest into two texts.
void mqttTopics(const uint8_t* data, size_t size);

// Runs check on random mutations of the seed inputs (bytes changed,
// inserted, removed, seeds spliced together) for about ms milliseconds;
// returns the number of inputs tried. The suite's bounded stand-in for a
// fuzzer run; the random sequence depends on seed only.
using Check = void (*)(const uint8_t* data, size_t size);
int randomInputs(Check check, const std::vector<std::string>& seeds, int ms, uint32_t seed);

// The files of a corpus folder (fuzz/corpus/link, bus, telnet, mqtt).
std::vector<std::string> corpus(const std::string& folder);

} // namespace fuzzchecks
