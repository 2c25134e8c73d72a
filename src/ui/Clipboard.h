#pragma once

namespace tesmira {

class Server;

// The SORANET menu's "Copy configuration to clip&board": the system
// overview (SystemOverviewText) onto the clipboard.
void mnuClipboard_Click(Server& s);

}
