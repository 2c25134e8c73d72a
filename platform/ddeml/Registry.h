#pragma once
// Where services live: one Unix-domain socket per service name in
// $XDG_RUNTIME_DIR/dde/ (or /tmp/tesmira-runtime-<uid>/dde/ when the
// variable is unset). The folder is private to the user (0700).

#include <QByteArray>
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
