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
void OpenCommunication_Click(Server& s);
void CloseCommunication_Click(Server& s);
void CheckConfig_Click(Server& s);

}
