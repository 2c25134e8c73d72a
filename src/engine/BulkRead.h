#pragma once
#include <QList>
#include <QString>
#include <cstdint>

namespace tesmira {

class Server;

// One-off read of many parameters: specification "ALL", or a comma list of
// numbers, ranges "a-b" (counting down when b < a) and "GROUP" + g. Channel
// >= 0 reads that channel, a negative channel every channel. Parameters a
// channel does not offer or that cannot be read are skipped. The values
// arrive through the normal reply path; only the last read of the run is
// waited for (PendingTimeout seconds, "Timeout on polling parameters" when
// it does not come), then the command items of the channel, its sibling
// channels and C(0) go back to "0"; when nothing was read they go back at
// once. A bad specification is logged ("Invalid scan parameters format")
// and its good elements are still read. Polling is held meanwhile.
void Poll_All_Params(Server& s, int16_t channel, const QString& specification);

// Reads, waiting for each, every parameter that the channel's device type
// offers and that can be read; with group > 0 only those of that group.
// The values reach the items and the log through the reply path (service
// log). Polling is held meanwhile.
void Poll_All_Available_Params(Server& s, int16_t channel, int16_t group);

// The main window's menu item "Read all parameters": every parameter of
// every channel, with the busy display.
void ReadAllParams_Click(Server& s);

// The read list of a specification, in the order given (a parameter named
// twice is read twice). error receives "Invalid scan parameters format" when
// an element is not understood; the others are still listed.
QList<int16_t> ScanParameterList(const Server& s, const QString& specification, QString& error);

}
