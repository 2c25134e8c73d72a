#pragma once
#include <QString>
#include <cstdint>

namespace tesmira {

class Server;

// What follows the system scan for the channels' identities: the ident
// strings (parameter 1) read once after the scan and again after a client
// made an instrument wink; the interface's acquisition of the instruments
// behind it, set up per channel during the scan and undone when the
// communication closes; and the tracking of an instrument reached through an
// interface channel that reports another identification number (parameter
// 175) than the device table holds, which switches the channel to the new
// device type in memory, in its topic's items and in NetDevPar.
//
// Main thread; every wait processes events, and the acquisition writes run
// under a polling hold so no poll cycle interleaves with them.

// Reads parameter 1 of the channel, waited for, up to RetryNetworkAccess + 1
// times until it gives a text that is neither empty, "?" nor "n/a". Returns
// the last text.
QString LoadIdentString(Server& s, uint8_t node, int16_t channel);
// Reads the ident strings of all channels; nothing with a single channel.
// The replies update the items through the reply path.
void LoadIdentStrings(Server& s);
// Reads parameter 1 again after a client wrote it: without waiting for
// processes 0 and 1, waited for (LoadIdentString) otherwise.
void UpdateIdentAfterWink(Server& s, uint8_t node, uint8_t process, int16_t channel);

// Sets up the acquisition at the interface (types 1 and 2 without direct
// access) for every channel that is neither the interface nor another
// interface; for other interfaces only the Init line saying which one is
// used. Returns the code of the last write that failed after its attempts,
// 0 when none failed.
int16_t InitInterfaceAcquisition(Server& s);
// Undoes the set-up while the acquisition runs and ends it ("Data
// acquisition at interface has been ended"). Returns the code of the last
// write that failed, 0 when none failed or nothing was running.
int16_t StopInterfaceAcquisition(Server& s);

// For every value that reaches an item: on an interface channel, a numeric
// parameter 175 other than the channel's Dev_ID switches the channel to that
// device type (UpdateIFINodeInfo, the topic's UpdateIFIParams, UpdateIFIDB),
// stopping at the first step that fails. Returns its error text, empty when
// nothing failed or nothing was to do.
QString CheckIFIIdentChange(Server& s, int16_t channel, int16_t parameter, const QString& value);
// The channel record and the parameter availability of the new type.
QString UpdateIFINodeInfo(Server& s, int16_t channel, uint8_t& number);
// Rewrites the channel's NetDevPar row from its record.
QString UpdateIFIDB(Server& s, int16_t channel);

}
