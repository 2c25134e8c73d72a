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
// removes the topics and forgets the channels. Returns the session's code.
int16_t StopCommunication(Server& s);
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
// ReopenAfterLoss the port is tried every 5 s, and once it can be opened
// again the communication is closed in order and opened anew.
void BusLost(Server& s, const QString& reason);

void OpenCommunication_Click(Server& s);
void CloseCommunication_Click(Server& s);
void CheckConfig_Click(Server& s);

}
