#pragma once
#include <QString>
#include <cstdint>

namespace tesmira {

class Server;

// Loading and storing the configuration keys of the settings store.

// Reads the port and behaviour keys into Server::cfg (corrections and
// combined values applied), fills the PollTime/PollBatch/RTPInterval fields,
// refreshes the interface display and applies the port settings to the
// session. A value that cannot be converted is reported to the debug
// component and leaves the variable as it was (0/false at the first load).
void LoadPortSettings(Server& s);

// round(polltime / 1000 + offset) with halves going to the even neighbour.
int32_t PendingTimeoutFor(int32_t polltimeMs, int offsetSeconds);

// The poll-time setters take the text typed into the poll-time dialog (or
// poked into the server item), clamp it, write the clamped value back into
// field and, when it differs from the current setting, apply and store it
// (settings and the Commport table). A text that is not a number changes
// nothing. They return true when the setting changed.
bool SetPollTime(Server& s, QString& field);
bool SetRealtimePollTime(Server& s, QString& field);
bool SetPollBatch(Server& s, QString& field);

// Writes the current SystemLNA to the settings and the Commport table.
void StoreCurrentSystemLNA(Server& s);

// The interface display: port field, interface type field, caption and the
// Interface/Baudrate server items.
void ShowInterfaceSettings(Server& s);

// Text conversions as the settings loader applies them. Numbers may carry
// decimals (rounded half to even); ok is false when the text is not a number
// or does not fit the type.
int32_t ToLong(const QString& text, bool* ok);
int16_t ToInteger(const QString& text, bool* ok);
uint8_t ToByte(const QString& text, bool* ok);
// Whether a text is numeric as the server's number checks see it (decimal
// with optional sign, decimals and exponent; surrounding blanks allowed).
bool IsNumeric(const QString& text);

}
