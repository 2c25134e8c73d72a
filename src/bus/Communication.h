#pragma once
#include <QString>
#include <cstdint>

namespace tesmira {

class Server;

// Opening and closing the communication with the bus, around the session.

// Opens the communication (with one retry when the settings ask for it and
// the temporary higher rate for COM ports). Returns the empty text when it
// is open; the configuration check follows in the caller.
QString StartCommunication(Server& s);
// Stops polling, finishes outstanding messages, closes the communication,
// removes the topics and forgets the channels; also ends the tries of a port
// that could not be used (PortRetry). Returns the session's code.
int16_t StopCommunication(Server& s);
// A try of PortRetry once the port can be opened: closes a lost
// communication in order, opens it anew without repeating what was already
// said about the port, and on success runs the configuration check with
// polling. Returns why it could not be opened (empty when it is open).
QString ReopenCommunication(Server& s);
// The interface as messages name it: the name, and for COMn the device
// behind it ("COM3 (/dev/ttyS2)").
QString InterfaceLabel(const Server& s);
// The device path of a serial interface name (a /dev/ path, or COMn mapped
// by $TESMIRA_COMn, else /dev/ttyS<n-1>); empty for other interfaces.
QString InterfaceDevice(const QString& interfaceName);
// Stop, start and, on success, the configuration check with polling.
QString RestartCommunication(Server& s);
// Raises the instrument's line rate temporarily (rate 0 restores the
// instrument default).
QString ChangeBaudrate(Server& s, int32_t rate, bool allowRetry);
// Tries to open the serial port of COM<port> at rate, 8 data bits, no
// parity, one stop bit.
bool TestBaudrate(Server& s, int port, int32_t rate);
// Hands the loaded port settings to the session (reopening when open).
void ApplyPortSettings(Server& s);

// The main window's menu actions.
// The watchdog's check for a lost bus: a fatal error of the port (from the
// library) or no instrument answering, with reads timing out, for longer
// than silenceLimitMs while polling. A loss is announced once (BusLost);
// returns true while the bus is lost.
bool CheckBusLoss(Server& s, qint64 silenceLimitMs);
// The bus is lost: status "Polling failure", one Error line naming the port
// and the reason, pokes to channel items refused with the reason; with
// ReopenAfterLoss the port is tried again (PortRetry), and once it can be
// opened the communication is closed in order and opened anew.
void BusLost(Server& s, const QString& reason);

// Opens the communication with the configuration check; when it cannot be
// opened and ReopenAfterLoss is on, the port is tried again until it can
// (PortRetry). The menu, the server item OpenCom and /O come here.
void OpenCommunication_Click(Server& s);
void CloseCommunication_Click(Server& s);
void CheckConfig_Click(Server& s);

}
