#pragma once
#include <QString>

// Where Tesmira keeps its files. Every folder can be moved as a whole by
// setting TESMIRA_HOME, which is how tests and side-by-side installations get
// a private world. A system service gets its folders from systemd
// (ConfigurationDirectory=, StateDirectory=, RuntimeDirectory= set
// $CONFIGURATION_DIRECTORY, $STATE_DIRECTORY, $RUNTIME_DIRECTORY); without
// either, a user's XDG folders are used. First match wins:
//
//   settings   $TESMIRA_HOME | $STATE_DIRECTORY/settings (with $CONFIGURATION_DIRECTORY)
//              | $CONFIGURATION_DIRECTORY | $XDG_CONFIG_HOME/Tesmira (~/.config/Tesmira)
//   defaults   $CONFIGURATION_DIRECTORY when settings are written elsewhere, else none
//   data       $TESMIRA_HOME/data | $STATE_DIRECTORY | $XDG_DATA_HOME (~/.local/share)
//   logs       $TESMIRA_HOME/logs | $STATE_DIRECTORY | $XDG_STATE_HOME/Tesmira (~/.local/state/Tesmira)
//   personal   $HOME
//   runtime    $TESMIRA_RUNTIME_DIR | $RUNTIME_DIRECTORY | $XDG_RUNTIME_DIR | /tmp/tesmira-runtime-<uid>
//   program    the folder of the running executable
//
// A service's configuration folder (/etc/tesmira) is read-only under
// ProtectSystem=strict, while the server saves a few settings at run time;
// so the settings it writes go to the state folder, and the configuration
// folder holds the defaults read for every key the written files lack.
// The runtime rule is the one the link layer uses for its sockets
// (ddeml::runtimeDir), so clients find the server with the same variables.
namespace support::Paths {
QString settingsDir();
QString settingsDefaultsDir();
QString commonDataDir();
QString logDir();
QString personalDir();
QString runtimeDir();
QString programDir();
// Creates the folder (and its parents) when missing; false when it cannot.
// privateMode gives a folder it creates mode 0700; an existing folder keeps
// the mode its owner chose (a service's runtime folder may be shared with a
// group).
bool ensureDir(const QString& path, bool privateMode = false);
}
