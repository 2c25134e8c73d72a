#pragma once
#include <QString>

// Where Tesmira keeps its files. Every folder can be moved as a whole by
// setting TESMIRA_HOME, which is how tests and side-by-side installations get
// a private world:
//
//   settings   $TESMIRA_HOME            else $XDG_CONFIG_HOME/Tesmira (~/.config/Tesmira)
//   data       $TESMIRA_HOME/data       else $XDG_DATA_HOME (~/.local/share)
//   logs       $TESMIRA_HOME/logs       else $XDG_STATE_HOME/Tesmira (~/.local/state/Tesmira)
//   personal   $HOME
//   runtime    $XDG_RUNTIME_DIR         else /tmp/tesmira-runtime-<uid>
//   program    the folder of the running executable
namespace support::Paths {
QString settingsDir();
QString commonDataDir();
QString logDir();
QString personalDir();
QString runtimeDir();
QString programDir();
// Creates the folder (and its parents) when missing; false when it cannot.
bool ensureDir(const QString& path, bool privateMode = false);
}
