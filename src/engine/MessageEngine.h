#pragma once
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QVariant>
#include <array>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

namespace tesmira {

class Server;
struct ParameterDef;

// One real-time channel of an interface instrument (k = 1..4): which value
// type its events carry, whether it is polled, which of the two alternating
// event parameters (10/11) the next poll asks for, and the DDE parameter it
// watches.
struct RealTimeChannel {
  uint8_t RtType = 0;   // VarTypeCode of the channel's real-time value
  bool RtActive = false;
  bool RtToggle = false;
  uint8_t RtPar = 0;
};

// Where a request for (channel, DDE parameter) goes on the bus.
struct BusAddress {
  uint8_t node = 0;
  uint8_t proc = 0;
  uint8_t fb = 0;     // parameter number within the process
  uint8_t type = 0;   // VarTypeCode the request uses
  uint8_t length = 0; // string length (0 for numbers)
};

// The bus message engine: turns (channel, DDE parameter) into bus requests,
// sends them without waiting, and later takes the replies the library has
// queued, turns each into the text a DDE item shows and publishes it. It
// keeps the per channel-and-parameter bookkeeping that decides whether a
// parameter is still worth asking for, switches a parameter to its second
// value type when an instrument rejects the first, and offers waited
// variants for operator windows and the configuration scan.
//
// Everything runs on the main thread. Waits process events (timer ticks and
// client requests run meanwhile), so any operation here may be entered again
// from inside a wait; the reply wait table gives every waiter its own slot
// and whichever call takes a reply records it for all waiters of its tag.
//
// Requests return text: empty when sent, "n/a" when nothing was sent
// because of the channel, otherwise the short text of the error (the error
// itself is reported through the error handler). Reply handling returns the
// 16-bit code: 0 success, 30 nothing to take, else the error.
class MessageEngine {
public:
  explicit MessageEngine(Server& s);

  // ---- requests ------------------------------------------------------------
  // Sends a read of the parameter of the channel; on success tag receives
  // the request tag by which the reply will be recognised.
  QString Read_from_Soranet(uint8_t node, uint8_t process, int16_t channel, int16_t parameter,
                            int16_t& tag);
  // Sends a write of value (checked against the database, then prepared for
  // the value type); on success tag receives the request tag. code, when
  // given, receives the error code (0 when the request went out).
  QString Write_to_Soranet(uint8_t node, uint8_t process, int16_t channel, int16_t parameter,
                           const QString& value, int16_t& tag, int16_t* code = nullptr);
  // The read, waited for (1 s): the value text, an error text, or "?" when
  // no reply came.
  QString Read_from_Soranet_direct(uint8_t node, uint8_t process, int16_t channel, int16_t parameter);
  // The write, waited for (4 s): empty or an error text, or "?". code, when
  // given, receives the error code of the write (0 when the instrument
  // acknowledged it, 12 when no reply came): the returned text is empty for
  // errors that are reported quietly, the code is not.
  QString Write_to_Soranet_direct(uint8_t node, uint8_t process, int16_t channel, int16_t parameter,
                                  const QString& value, int16_t* code = nullptr);
  // A raw read outside the parameter table, waited for (1 s). Returns 0 and
  // the value converted to the type, or the error code and the type's
  // default (255, 0, 0.0, 0, "?"); 12 when no reply came.
  int16_t read_direct(QVariant& value, uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                      uint8_t length);

  // ---- replies ---------------------------------------------------------------
  // Takes at most one reply (two for the two-part interface reply) and
  // processes it. Returns 30 when none was held, else the reply's code.
  int16_t HandleBusMessages();
  // Takes replies until none is held for the application or PendingTimeout
  // seconds have passed; true only when nothing is left outstanding.
  bool HandlePendingMsg();
  // Classifies the library's pending count: 1 above 400, 0 for 100..400,
  // 3 for 1..99, 2 for none.
  int16_t GetPendingState(bool realTime);
  // The same two for the real-time reply queue (application id + 1).
  int16_t HandleBusMessagesRTP();
  bool HandlePendingMsgRTP();
  // Brings polling to rest with nothing outstanding before an operator
  // function takes the bus.
  void HandleOutstandingMsg();

  // ---- reply wait table -----------------------------------------------------
  // Waits (processing events and replies every 2 ms, under a polling hold)
  // until the reply with tag has been handled or more than limitSeconds
  // have passed. True with its value text and code when it arrived.
  bool WaitForReply(int16_t tag, int32_t limitSeconds, QString& value, int16_t& error);
  // A slot (from 1) waiting for tag. Every 16-bit value is a tag (the
  // tags of parameter 255 run through -1 and 0): a slot's state is kept
  // apart from its tag.
  int RegisterWait(int16_t tag);
  // Records a handled reply for every slot waiting for its tag.
  void StoreReply(int16_t tag, const QString& value, int16_t error);
  // The slot's result; true when its reply has arrived.
  bool GetWaitResult(int slot, QString& value, int16_t& error) const;
  void ReleaseWait(int slot);
  // Number of slots in the table (it grows, never shrinks).
  int waitSlots() const { return int(WaitTable.size()); }

  // Real-time channel records inactive and the wait table emptied: the
  // state of a freshly opened communication.
  void ResetForOpen();

  // ---- rules without bus access (also used by tests) ----------------------
  // The text a reply value of this type shows for the DDE parameter, before
  // TrimItemValue.
  static QString ValueText(uint8_t type, int16_t parameter, const QVariant& value);
  // Parameters whose string value is a bit pattern or binary block (the
  // identification and configuration blocks): shown as the hexadecimal
  // codes of its characters, and marked "&H" in the log's descriptions.
  static bool HexStringParameter(int16_t parameter);
  // "0.000000E+0": one digit before the point, six after, signed exponent.
  static QString FloatText(double v);
  // Numeric value of a text (0 when not numeric); ok tells which.
  static double NumericValue(const QString& text, bool* ok = nullptr);
  // Checks and prepares a write value: 0 with value prepared (strings
  // padded to length, integers above 32767 written as value - 65536), or
  // 36 (module absent), 13 (not writable), 6 (outside Min..Max), 5 (not
  // numeric). modulePresent is the channel's flag (true for channel 0).
  int16_t CheckWriteValue(const ParameterDef& P, uint8_t type, uint8_t length, bool modulePresent,
                          QString& value) const;
  // The process a request goes to, from the parameter's process and the
  // channel's process, by the channel's access rules.
  uint8_t ResolveProcess(int16_t channel, uint8_t parProc, uint8_t proc) const;

  // ---- state ---------------------------------------------------------------
  std::array<RealTimeChannel, 4> RealTimeChannels; // k = 1..4 at index k - 1
  RealTimeChannel& RealTime(int k) { return RealTimeChannels[size_t(k - 1)]; }
  long HandlerDepth = 0;
  QVariant PartialValue;

  // Reply wait table, slot n at index n - 1.
  struct WaitSlot {
    enum State : uint8_t { Free, Waiting, Arrived } state = Free;
    int16_t tag = 0;
    QString value;
    int16_t error = 0;
  };
  std::vector<WaitSlot> WaitTable;

  // Write generations: a read carries the generation of its item (channel,
  // parameter) from the moment it was sent; a write sent since then makes
  // its reply stale, and a stale value is not published (it would flip the
  // item back to the value from before the write).
  // The generation is the one of the channel that asked: a reply at
  // process 0 (the ident string) maps to the module's first channel, while
  // a further channel of the module may have asked for it.
  std::map<std::pair<int16_t, int16_t>, uint32_t> WriteGeneration;
  struct SentRead {
    int16_t channel;
    uint32_t generation;
  };
  std::unordered_map<int16_t, SentRead> ReadGeneration; // by request tag
  // Whether the read reply with tag for parameter was sent before the last
  // write of the item of the channel that asked; forgets the tag.
  bool StaleRead(int16_t tag, int16_t parameter);

  // Since when no instrument has answered a request, and how many requests
  // have timed out since: the watchdog's measure of a silent bus.
  QElapsedTimer LastAnswer;
  int TimeoutsSinceAnswer = 0;

private:
  int16_t drainReplies(bool realTime, bool& over);
  const ParameterDef* parameterDef(int16_t parameter) const;
  bool interfaceChannel(int16_t channel) const;
  bool modulePresent(int16_t channel) const;
  void removeUnavailable(int16_t channel, int16_t parameter);
  void setItem(int16_t channel, int16_t parameter, const QString& text);
  bool tracing() const;
  void addHold();
  void releaseHold();

  Server& s;
};

}
