#pragma once
#include <QList>
#include <QVariant>
#include <QString>
#include <cstdint>

namespace tesmira {

class Server;

// The system scan: after the communication has been opened it classifies the
// interface, finds the highest occupied node address, lets the library read
// the system configuration, builds the channel map, reconciles it with the
// device table, creates the channel topics, reads the initial parameters and
// starts polling. All on the main thread; long steps let events run so the
// operator's Esc and client requests get through, with NotReady set.

// Runs CheckConfig and refreshes the interface display. Returns the empty
// text when the scan succeeded (status "Normal polling"); otherwise the
// communication is closed and the message of the scan's code is returned.
QString CheckConfigAndStartPolling(Server& s);

// The scan itself. Returns 0 on success, the library's code when reading the
// configuration failed, 1 when the device-table reconciliation was refused
// or failed. Does nothing (0) while the communication is closed.
int16_t CheckConfig(Server& s);

// Walks the bus from startNode along each node's next-node address (process
// 0, parameter 3) and known highest node (parameter 4); Esc stops it.
// Returns the highest occupied node address; a result that differs from the
// stored SystemLNA is stored and the communication reconfigured.
uint8_t FindRealSystemLNA(Server& s, uint8_t startNode);

// MaxChannel and ChanNodeProc from the library (node and process 0 for a
// channel the library reports without both).
void Fill_Channel_info(Server& s);

// The channel a reply from (node, process) belongs to, 0 when none. When the
// process stands for the whole module, siblings receives the node's other
// channels; otherwise it stays {0}.
int16_t FindChannelNumber(const Server& s, uint8_t node, uint8_t process, QList<int16_t>& siblings);

// Node address of the interface the line is plugged into.
uint8_t GetInterfaceNode();

// A direct read made by the scan or its module probes, with error reports
// suppressed. A reply that the library could not get, or got only damaged,
// after its own frame retries is asked for again, RetryNetworkAccess times
// but at least once: the scan decides the channel numbering from these
// answers, so one noisy reply must not change it. With `repeated`, any
// failure (a module's refusal too) is asked again, up to RetryNetworkAccess
// + 1 reads in all. Returns the last code; value holds the last value.
int16_t ScanRead(Server& s, QVariant& value, uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                 uint8_t length, bool repeated = false);

}
