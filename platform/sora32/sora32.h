// sora32: the Soranet fieldbus communication library.
//
// Free functions with the names, arguments and result codes the server
// expects. Every call is thread-safe and cheap: message requests only queue
// (the library's own I/O thread sends, receives, times out and retries);
// only the session and configuration calls wait for the bus.
//
// Result codes: 0 success; 24 opened and the interface is bus master;
// 30 nothing received yet. Other failures use the fieldbus error table:
// 5 type differs, 7 no bus activity, 11 wrong node, 12 retries expired,
// 14 no communication open, 15 no/bad communication with the RS-232
// interface, 18 configuration unknown, 20 interface name not usable,
// 21 baud code not usable, 22 opening failed, 23 unknown application id,
// 25 time-out on a reply, 26 no ':' at the start of a message, 27 error in
// the first digit, 28 buffer overflow in the interface module, 29 buffer
// overflow in the library, 34 error in received data, 35 no real-time event.
// An instrument's status for one parameter (3 no process, 4 no parameter,
// 5 type, 6 value, 13 read-only, 17 write-only, ...) comes back through
// GetStatus.
//
// Interface names: "SIM" (any case) is the built-in virtual bus (scenario
// from $TESMIRA_SIM_SCENARIO, else the built-in default); "tcp:host:port"
// is a serial line behind a serial device server; "/dev/..." is a serial
// device; "COMn" is $TESMIRA_COMn when set, else /dev/ttyS(n-1).
//
// Text out-parameters are std::string, already cut at the first NUL
// character; trailing blanks are stripped where a call says so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sora32 {

// --- Session -----------------------------------------------------------------

// Registers an application; returns its id (odd, >= 1). The real-time reply
// queue of the application is id + 1. The argument is reserved (pass 0).
int16_t OpenDLL(int16_t reserved);
// Releases the application's reply queues. Returns 0, or 23 for an unknown id.
int16_t CloseDLL(int16_t appId);
// Opens the line on the interface and asks the interface module for its node.
// Returns 0, 24 (open, the interface is bus master: no other module known to
// it), 20 unusable name, 22 the line cannot be opened, 15 the interface
// module does not answer (the line is closed again).
int16_t OpenCommunication(const std::string &interfaceName);
// Why the last OpenCommunication failed ("no such device", "permission
// denied ...", "busy: ...", "no answer from the bus ..."); empty after a
// success.
std::string LastOpenError();
// Closes the line; queued requests are dropped, queued replies kept. Returns 0.
int16_t CloseCommunication();
// Returns 1 while a communication is open, 0 otherwise.
int16_t GetCommunication();
// State of the open line: 0 while it works (or nothing is open); 15 when the
// line is gone for good (the device was removed, the line hung up, an I/O
// error, the device server closed the connection), with the transport's
// reason. It stays so until the communication is closed or opened again.
int16_t GetLineState(std::string &reason);
// Whether the interface could be opened now: a trial open and close of its
// port beside the current communication, which stays as it is. Returns 0,
// 20 for an unusable name, 22 when the port cannot be opened (reason given).
int16_t ProbeInterface(const std::string &interfaceName, std::string &reason);
// Merging of queued reads for one node into one message: several processes
// (process chaining) and several parameters of one process (parameter
// chaining). Takes effect for the next message. Returns 0.
int16_t ConfigureChaining(bool processChaining, bool parameterChaining);
// Network bytes: b1 interface node (0 before opening), b2 0, b3 0,
// b4 highest node address (SetSystemLNA), b5 arbitration mode (67 unless
// configured), b6 0, b7 0; name = the interface name. Returns 0.
int16_t GetTNetConfig(uint8_t &b1, uint8_t &b2, uint8_t &b3, uint8_t &b4, uint8_t &b5,
                      uint8_t &b6, uint8_t &b7, std::string &interfaceName);
// Stores the arbitration mode (b5) and highest node (b4, when not 0) for the
// named interface. Returns 0, or 20 for an unusable interface name.
int16_t ConfigureTNet(uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5,
                      uint8_t b6, uint8_t b7, const std::string &interfaceName);
// Sets the line rate by baud code: 300..19200 the rate itself, -27136 38400,
// -7936 57600, 1..6 115200/128000/153600/230400/256000/460800. Applies at
// once when that interface is open. Returns 0, 20 bad name, 21 bad code.
int16_t ConfigureRS232(const std::string &interfaceName, int16_t baudCode);
// Version text of the library: its version number alone, within the 9
// characters a caller may keep. Returns 0.
int16_t GetDLLVersion(std::string &version);
// Number of interfaces: the system's serial ports (stable /dev/serial/by-id
// names first, then ttyUSB*, ttyACM* and the ttyS* with hardware behind
// them), COM names set in the environment, the serial device servers given
// to SetDeviceServers, and the virtual bus. Takes a fresh look each call.
int16_t GetNrPorts();
// Entry `index` (from 0) of the last GetNrPorts: "RS232: <port>" for a
// serial line (the port name starts at the 8th character), "Network:
// <name>" for a device server (tcp:host:port or rfc2217:host:port) and
// "Virtual: SIM" for the virtual bus (name from the 10th character). Names are whole, however long (a by-id
// path runs to 80 characters or more). value: 1 serial, 2 virtual, 3
// network. Returns 0, or 1 for an index out of range.
int16_t GetPort(int16_t index, int32_t &value, std::string &name);
// The serial device servers that the interface list offers, each a name
// OpenCommunication accepts ("tcp:host:port", "rfc2217:host:port"). Unusable names are left out
// and returned in refused. Returns 0, or 20 when a name was refused.
int16_t SetDeviceServers(const std::vector<std::string> &names, std::vector<std::string> &refused);
// "COM-RS232" for a serial device, "COM-TCP" for serial-over-TCP, "COM-SIM"
// for the virtual bus (it behaves as a serial line), "" when not open. Returns 0.
int16_t GetInterfaceType(std::string &type);

// --- System configuration ------------------------------------------------

// Asks every node 1..highestNode for its type, ident and channel processes,
// each with the frame retries of any request (a lost or damaged reply is
// asked for again). Returns 0 when at least one module answered, 14 when not
// open, 18 when no module answered (the previous configuration then stays).
int16_t ReadSystemConfig(uint8_t highestNode);
// Remembers the highest node address of the system. Returns 0.
int16_t SetSystemLNA(uint8_t node);
// Number of channels found by the last ReadSystemConfig.
int16_t GetMaxChannel();
// Highest node address where a module answered (0 when none).
int16_t GetMaxNode();
// Channel number of the n-th channel (from 1) of the node; 0 when none.
int16_t GetChannel(uint8_t node, int16_t n);
// Node and process of a channel. Returns 0, or 18 for an unknown channel
// (node and process then 0).
int16_t GetNodeProc(int16_t channel, uint8_t &node, uint8_t &process);
// Device type ID of the module at the node; negative when unknown.
int16_t GetModuleType(uint8_t node);
// Module number (the ident without its type character), trailing blanks
// stripped. Returns 0, or 18 for an unknown node (text empty).
int16_t GetModuleNumber(uint8_t node, std::string &number);
// First node address >= start (from 1, at most 125) where no module answers
// now; the bus is asked, not the last configuration read. 0 when none is
// free or the communication is not open.
int16_t FindFirstFreeNode(uint8_t start);

// --- Messages (queue only; the reply is taken later) ---------------------
// Each returns 0 when queued, 14 when not open, 23 unknown id, 29 queue full.
int16_t ReadChar(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, int16_t tag);
int16_t ReadInt(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, int16_t tag);
int16_t ReadFloat(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, int16_t tag);
int16_t ReadLong(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, int16_t tag);
// length 0: the string as long as the module holds it.
int16_t ReadString(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param,
                   uint8_t length, int16_t tag);
int16_t WriteChar(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, uint8_t value, int16_t tag);
int16_t WriteInt(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, int16_t value, int16_t tag);
int16_t WriteFloat(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, float value, int16_t tag);
int16_t WriteLong(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param, int32_t value, int16_t tag);
// The text is sent up to its first NUL, at most 200 characters.
int16_t WriteString(int16_t appId, int16_t reserved, uint8_t node, uint8_t process, uint8_t param,
                    uint8_t length, const std::string &text, int16_t tag);

// --- Replies ---------------------------------------------------------------

// The pending asynchronous error (26, 27, 34 for damaged input on the line,
// 28 for an interface overflow), cleared by reading; 0 when none.
int16_t GetError();
// Delivers the next reply of the queue without removing it: its node,
// process, parameter, kind (1 with value, 0 acknowledgement), type and tag.
// With a non-zero tag passed in, a held reply with that tag is delivered
// first. Returns 0, 30 when the queue is empty, 23 unknown id.
int16_t CheckReceivedMsg(int16_t appId, uint8_t &node, uint8_t &process, uint8_t &param,
                         uint8_t &kind, uint8_t &type, int16_t &tag);
// The instrument's status of the held reply (0 success; 25 no reply in
// time; otherwise the module's or the line's code) and its tag.
// Returns 0, or 30 when no such reply is held.
int16_t GetStatus(int16_t appId, uint8_t node, uint8_t process, uint8_t param, uint8_t &status, int16_t &tag);
// The value of the held reply, converted when it was of another numeric
// type. Return 0, 30 when no such reply is held, 5 text asked as a number.
int16_t GetChar(int16_t appId, uint8_t node, uint8_t process, uint8_t param, uint8_t &value, int16_t &tag);
int16_t GetInt(int16_t appId, uint8_t node, uint8_t process, uint8_t param, int16_t &value, int16_t &tag);
int16_t GetFloat(int16_t appId, uint8_t node, uint8_t process, uint8_t param, float &value, int16_t &tag);
int16_t GetLong(int16_t appId, uint8_t node, uint8_t process, uint8_t param, int32_t &value, int16_t &tag);
// Text cut at the first NUL; length is its length. Returns 0, 30, or 5 when
// the reply holds a number.
int16_t GetString(int16_t appId, uint8_t node, uint8_t process, uint8_t param, int16_t &tag,
                  std::string &text, int16_t &length);
// Discards the held reply (the delivered one first). Returns 0, or 30.
int16_t RemoveMsg(int16_t appId, uint8_t node, uint8_t process, uint8_t param);
// Number of messages pending for the id (either queue id): replies held plus
// requests still waiting for the line (not those already sent).
int16_t GetNrPendingMessages(int16_t appId);
// Real-time event of an interface real-time channel: the held string reply
// "value;stamp" read from processes 123..126. Returns 0 with value and
// stamp, 35 when the channel had no event, 30 when no such reply is held,
// or the reply's status.
int16_t GetRealTimeChar(int16_t appId, uint8_t node, uint8_t process, uint8_t param, uint8_t &value, int32_t &stamp, int16_t tag);
int16_t GetRealTimeInt(int16_t appId, uint8_t node, uint8_t process, uint8_t param, int16_t &value, int32_t &stamp, int16_t tag);
int16_t GetRealTimeFloat(int16_t appId, uint8_t node, uint8_t process, uint8_t param, float &value, int32_t &stamp, int16_t tag);
int16_t GetRealTimeLong(int16_t appId, uint8_t node, uint8_t process, uint8_t param, int32_t &value, int32_t &stamp, int16_t tag);

} // namespace sora32
