#pragma once
// A plain HTTP/1.1 client on a real socket, for the web access tests: one
// request per connection, every header as given (Origin, Cookie, ...), the
// answer read up to its Content-Length; and the daemon that serves them.
#include "ProcessRig.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QTcpSocket>

struct HttpReply {
  int status = 0; // 0: no answer
  QList<QPair<QByteArray, QByteArray>> headers;
  QByteArray body;
  QByteArray header(const QByteArray& name) const
  {
    for (const auto& [k, v] : headers)
      if (k.compare(name, Qt::CaseInsensitive) == 0)
        return v;
    return {};
  }
};

inline HttpReply http(quint16 port, const QByteArray& method, const QByteArray& target,
                      const QList<QPair<QByteArray, QByteArray>>& headers = {}, const QByteArray& body = {})
{
  HttpReply r;
  QTcpSocket s;
  s.connectToHost(QHostAddress::LocalHost, port);
  if (!s.waitForConnected(5000))
    return r;
  QByteArray req = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
  for (const auto& [k, v] : headers)
    req += k + ": " + v + "\r\n";
  if (!body.isEmpty() || method == "PUT")
    req += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
  s.write(req + "\r\n" + body);
  QByteArray in;
  QDeadlineTimer deadline(60000);
  qsizetype headEnd = -1, length = -1;
  while (!deadline.hasExpired()) {
    if (headEnd < 0 && (headEnd = in.indexOf("\r\n\r\n")) >= 0) {
      const QList<QByteArray> lines = in.left(headEnd).split('\n');
      // The status line as HTTP names its codes; any other reads as -1.
      static const QHash<int, QByteArray> reasons = {
          {200, "OK"}, {302, "Found"}, {400, "Bad Request"}, {401, "Unauthorized"}, {403, "Forbidden"},
          {404, "Not Found"}, {405, "Method Not Allowed"}, {409, "Conflict"}, {413, "Payload Too Large"},
          {422, "Unprocessable Entity"}};
      const QByteArray status = lines.value(0).trimmed();
      r.status = status.split(' ').value(1).toInt();
      if (status != "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reasons.value(r.status))
        r.status = -1;
      for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        r.headers.append({lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
      }
      length = r.header("Content-Length").toLongLong();
    }
    if (headEnd >= 0 && in.size() - headEnd - 4 >= length) {
      r.body = in.mid(headEnd + 4, length);
      return r;
    }
    if (!s.waitForReadyRead(100) && s.state() != QAbstractSocket::ConnectedState)
      break;
    in += s.readAll();
  }
  r.status = 0;
  return r;
}

// The daemon tesmirad with its web access on port, ready for clients (60 s
// at most: the virtual bus is scanned first).
inline bool startWeb(processrig::Program& p, quint16 port, const QByteArray& commonIni)
{
  p.program = QStringLiteral("tesmirad");
  return p.write("program.ini", "[Http]\nPort=" + QByteArray::number(port) + "\n") && p.start(commonIni, {"/O"}) &&
         p.until([&] { return p.output().contains("Server is active and ready for any client"); }, 60000);
}

// The file in which the daemon p keeps the token of its web access on port.
inline QString tokenFile(const processrig::Program& p, quint16 port)
{
  return p.home.runtime() + "/dde/http-" + QString::number(port) + ".token";
}
