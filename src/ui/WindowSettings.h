#pragma once

class QWidget;

namespace tesmira {

class Server;

// The main window's placement in the user settings ("Window Settings":
// Top, Left, Width, Height): restored by the load step, stored at
// shut-down. A stored value that is not a number, a negative position or a
// size below 1 leaves the window as it is.
void RetrieveStoredWindowSettings(Server& s, QWidget* window);
void StoreCurrentWindowSettings(Server& s, QWidget* window);

}
