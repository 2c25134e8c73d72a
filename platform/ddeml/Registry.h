#pragma once
// Where services live: one Unix-domain socket per service name in
// $XDG_RUNTIME_DIR/dde/ (or /tmp/tesmira-runtime-<uid>/dde/ when the
// variable is unset). The folder is private to the user (0700).

#include <QString>

namespace ddeml {

// $XDG_RUNTIME_DIR, or /tmp/tesmira-runtime-<uid> when it is unset or empty.
QString runtimeDir();

// runtimeDir() + "/dde".
QString serviceDir();

// Creates the service folder (and the fallback runtime folder) with mode
// 0700, or checks an existing one: it must be a real folder owned by us; its
// mode is tightened to 0700. Returns false with a message otherwise.
bool ensureServiceDir(QString* error);

// Socket path of the service whose name matches without regard to case;
// the exact spelling is tried first. Empty when there is no such socket.
QString findServiceSocket(const QString& name);

} // namespace ddeml
