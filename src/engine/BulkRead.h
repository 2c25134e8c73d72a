#pragma once
#include <QList>
#include <QString>
#include <cstdint>

namespace tesmira {

class Server;

// One-off read of many parameters: specification "ALL", or a comma list of
// numbers, ranges "a-b" (counting down when b < a) and "GROUP" + g. Channel
// >= 0 reads that channel, a negative channel every channel. The values
// arrive through the normal reply path; the last read is waited for
// (PendingTimeout seconds, "Timeout on polling parameters" when it does not
// come). Polling is held meanwhile.
void Poll_All_Params(Server& s, int16_t channel, const QString& specification);

// The read list of a specification, in the order given (a parameter named
// twice is read twice). error receives "Invalid scan parameters format" when
// an element is not understood; the others are still listed.
QList<int16_t> ScanParameterList(const Server& s, const QString& specification, QString& error);

}
