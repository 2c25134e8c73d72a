#pragma once
// Where services live: one Unix-domain socket per service name in
// RUNTIME/dde/, RUNTIME being $TESMIRA_RUNTIME_DIR, else $RUNTIME_DIRECTORY
// (set by systemd for a service with RuntimeDirectory=), else
// $XDG_RUNTIME_DIR, else /tmp/tesmira-runtime-<uid>. The folder is private to
// the user (0700) unless the runtime folder lets its group in: then the group
// may enter it (0750) and connect to the sockets (0660). That is how a system
// service serves the members of its group; their clients find it with
// TESMIRA_RUNTIME_DIR=/run/tesmira.

#include <QByteArray>
#include <QString>
#include <sys/types.h>

namespace ddeml {

// The runtime folder as above.
QString runtimeDir();

// runtimeDir() + "/dde".
QString serviceDir();

// Creates the service folder (and the fallback runtime folder) with mode
// 0700 (0750 when the runtime folder grants its group read and enter), or
// checks an existing one: it must be a real folder owned by us; its mode is
// set to that one. Returns false with a message otherwise.
bool ensureServiceDir(QString* error);

// The mode of a service's socket: 0600, or 0660 when the service folder
// lets the group in.
mode_t serviceSocketMode();

// The file that holds the token a TCP client on 127.0.0.1:port must send
// (AUTH token) before anything else: serviceDir()/tcp-PORT.token, mode 0600,
// written by the server while it listens on that port. Only the user who
// runs the server can read it, which keeps TCP as private as the socket.
QString tcpTokenPath(quint16 port);

// Secrets that keep a port as private as the socket (the TCP token, the
// web access token): 128 bits from the system's random source as
// hexadecimal text; a file only this user can read, replacing any file (a
// dead server's) of that name (false with a message); a comparison whose
// time does not depend on where the texts differ.
QByteArray randomToken();
bool writePrivateFile(const QString& path, const QByteArray& bytes, QString* error);
bool sameToken(const QByteArray& given, const QByteArray& token);

// Socket path of the service whose name matches without regard to case;
// the exact spelling is tried first. Empty when there is no such socket.
QString findServiceSocket(const QString& name);

} // namespace ddeml
