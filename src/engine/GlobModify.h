#pragma once

namespace tesmira {

class Server;

// The modified-parameter check, run by the polling scheduler after every
// full cycle when IndirectPolling is on: asks the modules (or, while the
// interface acquires for all channels, the interface) which of their
// parameters another master or the instrument's keyboard changed, re-reads
// exactly those that are not polled anyway, and acknowledges the
// indications. Values reach the items through the normal reply path; a
// polling hold taken meanwhile ends the run at the next channel or process.
void HandleGlobModify(Server& s);

}
