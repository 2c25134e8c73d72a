#pragma once
#include <QString>
#include <QVariant>
#include <cstdint>

namespace support {
class Debug;
}

namespace tesmira {

// The communication session: the one owner of the library's application id
// and the typed gateway for requests and replies. It converts the server's
// value types into the library's typed calls, validates values before a
// write and turns every failure into a fieldbus code. Every operation that
// returns a code returns 32767 when something unexpected goes wrong inside
// it (the debug component hears of it).
class clsComSoraDLL {
public:
  // Opens the library: iAppId = OpenDLL(0).
  clsComSoraDLL();
  // Closes the library: CloseDLL(iAppId).
  ~clsComSoraDLL();

  int16_t iAppId() const { return m_appId; }
  // 0 keeps the library's own arbitration byte.
  void setBytArbiterMode(uint8_t mode) { m_arbiterMode = mode; }
  QString interfaceName() const { return m_interfaceName; }

  QString ClassInitialize(support::Debug* debug);
  int16_t StartCommunication();
  int16_t StopCommunication();
  // Configures chaining, the network bytes and the line rate for the
  // interface; error receives the user's message when it fails.
  int16_t ConfigureCommunication(const QString& interfaceName, int32_t rate, bool processChaining,
                                 bool parameterChaining, QString& error);
  int16_t SendMessageReadRequest(uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                                 uint8_t length, int16_t tag);
  int16_t SendMessageWriteRequest(uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                                  uint8_t length, const QVariant& value, int16_t tag);
  // Takes the next reply: kind 1 with value, 0 acknowledgement; status the
  // instrument's status. Returns 0 when a reply was taken (see status), 30
  // when none is held, or an error code.
  int16_t CheckMessageReceived(uint8_t& kind, uint8_t& status, uint8_t& node, uint8_t& process,
                               uint8_t& parameter, uint8_t& type, uint8_t& length, QVariant& value,
                               int16_t& tag);

  // The library's baud code for a rate; false when the rate is not supported.
  static bool BaudCode(int32_t rate, int16_t& code);
  // Value preparation of a write: 0 when value suits the type (converted
  // into out), else 5 (not numeric), 6 (out of range) or 38 (unknown type).
  static int16_t PrepareWriteValue(uint8_t type, uint8_t length, const QVariant& value, QVariant& out);

private:
  support::Debug* m_debug = nullptr;
  int16_t m_appId = -1;
  uint8_t m_arbiterMode = 0;
  QString m_interfaceName;
};

}
