#pragma once
#include "dde/WriteQueue.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QString>
#include <memory>

class QTcpSocket;

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;
class LiveFeed;

// Web access inside the server process: a REST interface to the link
// service's topics and items, the Prometheus metrics and (through LiveFeed)
// live values over a WebSocket (/api/live; the same token, checked on the
// handshake: a refused client is closed with code 1008 and the reason). Off unless program.ini [Http] Port= is set;
// Bind= names the address (127.0.0.1 unless set). Reference in
// docs/http-api.md.
//
// Every request needs the token the server writes at start to
// serviceDir()/http-PORT.token (mode 0600): "Authorization: Bearer TOKEN",
// the cookie a "?token=TOKEN" visit sets (answered by a redirect to the
// same address without the token), or nothing else: 401. A write (PUT) from
// a browser page of another site is refused (403): its Origin, or else its
// Referer, must name the host the request was sent to.
//
// Values are read from the link server; a write goes the link clients' poke
// path (DdeServer::PokeFrom) and is answered with its result: 200, or the
// refusal's reason with 404 (no such topic or item), 409 (the server cannot
// write now: "not written: ...") or 422 (the instrument or the server
// refused the value). Writes are carried out one after the other outside the
// HTTP server's own call, like the MQTT bridge's: a poke may wait for the
// instrument in a nested event loop.
//
// A request is bounded while it arrives: over kMaxBody + 64 KiB its
// connection gets 413 and is closed, whether or not it carries the token.
//
// Runs on the main thread inside the Qt event loop, no thread of its own.
class WebServer : public QAbstractHttpServer {
  Q_OBJECT
public:
  struct Config {
    quint16 port = 0;
    QHostAddress bind = QHostAddress::LocalHost;
  };
  // Reads [Http]. Null when Port is not set, or when the settings are wrong
  // or the port cannot be taken (the reason is a console line).
  static std::unique_ptr<WebServer> fromSettings(Server& s);
  // Reads [Http] into cfg; the empty text when Port is unset (cfg.port 0) or
  // the settings are right, otherwise what is wrong.
  static QString readConfig(Server& s, Config& cfg);

  WebServer(Server& s, ddeml::Server& link);
  // Removes the token file.
  ~WebServer() override;

  // Listens and writes the token file; false with the reason.
  bool start(const Config& cfg, QString* error);
  quint16 port() const { return m_port; }
  QByteArray token() const { return m_token; }
  // The dashboard's address with the token, as the console shows it.
  QString dashboardUrl() const;

  // Longest request body taken.
  static constexpr qsizetype kMaxBody = 64 * 1024;

protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
  struct Reply {
    int status = 200;
    QByteArray type = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
  };
  struct Write {
    QPointer<QTcpSocket> socket;
    QString topic;
    QString item;
    QByteArray value;
  };

  // Whether a request carries the token: its Authorization and Cookie
  // headers and the token of its address.
  bool authorised(const QByteArray& authorization, const QByteArray& cookies, const QString& query) const;
  bool authorised(const QHttpServerRequest& request) const;
  // Whether a browser page that sent the request (Origin, else Referer)
  // is one of this server (host, the request's Host header).
  static bool sameOrigin(const QByteArray& origin, const QByteArray& referer, const QByteArray& host);
  void takeWebSockets();
  Reply route(const QHttpServerRequest& request, QTcpSocket* socket);
  Reply topicsReply() const;
  Reply itemsReply(const QString& topic) const;
  Reply itemReply(const QString& topic, const QString& item) const;
  QJsonObject itemObject(const QString& topic, const QString& item, bool texts) const;
  Reply serverReply() const;
  Reply metricsReply() const;
  void carryOut(const Write& w);

  static Reply error(int status, const QString& reason);
  static Reply json(const QJsonDocument& doc, int status = 200);
  static void send(QTcpSocket* socket, const Reply& reply);

  Server& m_s;
  ddeml::Server& m_link;
  QByteArray m_token;
  QString m_tokenPath;
  QString m_host; // the address as the console shows it
  quint16 m_port = 0;
  WriteQueue<Write> m_writes{this, [this](const Write& w) { carryOut(w); }};
  LiveFeed* m_live = nullptr;
  QObject* m_guard = nullptr; // context of the request size guards (GuardedListener)
  quint64 m_values = 0; // values published since start (tesmira_values_total)
  quint64 m_valuesSecondAgo = 0;
  QElapsedTimer m_secondClock;
  double m_valuesPerSecond = 0;
};

}
