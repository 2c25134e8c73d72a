#include "WebServer.h"

#include "Health.h"
#include "LiveFeed.h"
#include "bus/ErrorMessages.h"
#include "core/Server.h"
#include "dde/DdeServer.h"
#include "dde/frmTopic.h"
#include "engine/frmPollTime.h"
#include "log/LogCategory.h"

#include "Registry.h" // ddeml: token helpers, serviceDir
#include "Server.h"   // ddeml::Server (platform/ddeml)
#include "Setting.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTcpServer>
#include <QTimer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

// The dashboard's files live in a static library: their registration is
// called explicitly (outside any namespace, as the macro wants).
static void initDashboard() { Q_INIT_RESOURCE(web_dashboard); }

namespace tesmira {

namespace {

const QByteArray kCookie = "tesmira_token";

QByteArray statusText(int status)
{
  switch (status) {
  case 200: return "OK";
  case 302: return "Found";
  case 400: return "Bad Request";
  case 401: return "Unauthorized";
  case 403: return "Forbidden";
  case 404: return "Not Found";
  case 405: return "Method Not Allowed";
  case 409: return "Conflict";
  case 413: return "Payload Too Large";
  case 422: return "Unprocessable Entity";
  default: return "Error";
  }
}

QByteArray methodName(QHttpServerRequest::Method m)
{
  switch (m) {
  case QHttpServerRequest::Method::Get: return "GET";
  case QHttpServerRequest::Method::Put: return "PUT";
  case QHttpServerRequest::Method::Post: return "POST";
  case QHttpServerRequest::Method::Delete: return "DELETE";
  case QHttpServerRequest::Method::Head: return "HEAD";
  case QHttpServerRequest::Method::Options: return "OPTIONS";
  case QHttpServerRequest::Method::Patch: return "PATCH";
  default: return "OTHER";
  }
}

// The cookie's value among the request's cookies; empty when absent.
QByteArray cookie(const QByteArray& cookies, const QByteArray& name)
{
  for (const QByteArray& part : cookies.split(';')) {
    const QByteArray c = part.trimmed();
    if (c.startsWith(name + '='))
      return c.mid(name.size() + 1);
  }
  return {};
}

// Listens for the HTTP server, and bounds what a connection may send before
// it is answered: the HTTP server takes a request whole, body included,
// before anyone sees it, so a huge body would otherwise be held in memory
// first. Over kMaxRequest the connection gets 413 and is closed. The guard
// sees each read before the HTTP server takes it (connected first), and
// starts afresh with every answer; a WebSocket leaves it (handleRequest).
class GuardedListener : public QTcpServer {
public:
  static constexpr qint64 kMaxRequest = WebServer::kMaxBody + 64 * 1024;
  GuardedListener(QObject* guard, QObject* parent) : QTcpServer(parent), m_guard(guard) {}

protected:
  void incomingConnection(qintptr handle) override
  {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
      delete socket;
      return;
    }
    auto taken = std::make_shared<qint64>(0);
    connect(socket, &QTcpSocket::readyRead, m_guard, [socket, taken] {
      *taken += socket->bytesAvailable();
      if (*taken <= kMaxRequest)
        return;
      socket->readAll();
      const QByteArray body = R"({"error":"the request is longer than )" + QByteArray::number(kMaxRequest) + R"( bytes"})";
      socket->write("HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
      socket->flush();
      socket->abort();
    });
    connect(socket, &QTcpSocket::bytesWritten, m_guard, [taken] { *taken = 0; });
    addPendingConnection(socket);
  }

private:
  QObject* m_guard;
};

}

QString WebServer::readConfig(Server& s, Config& cfg)
{
  cfg = Config{};
  if (!s.setting())
    return {};
  auto get = [&](const char* key) {
    return s.setting()->GetProgramSetting(QStringLiteral("Http"), QString::fromLatin1(key), {}).trimmed();
  };
  const QString port = get("Port");
  if (port.isEmpty())
    return {};
  bool ok = false;
  const int p = port.toInt(&ok);
  if (!ok || p < 1 || p > 65535)
    return QStringLiteral("Port '%1' is not a port number (1 to 65535)").arg(port);
  const QString bind = get("Bind");
  if (!bind.isEmpty() && !cfg.bind.setAddress(bind))
    return QStringLiteral("Bind '%1' is not an IP address").arg(bind);
  cfg.port = quint16(p);
  return {};
}

std::unique_ptr<WebServer> WebServer::fromSettings(Server& s)
{
  if (!s.dde)
    return nullptr;
  Config cfg;
  const QString wrong = readConfig(s, cfg);
  if (!wrong.isEmpty()) {
    s.LogMessage(Error, QStringLiteral("Web access not started: ") + wrong);
    return nullptr;
  }
  if (cfg.port == 0)
    return nullptr;
  auto web = std::make_unique<WebServer>(s, s.dde->link());
  QString error;
  if (!web->start(cfg, &error)) {
    s.LogMessage(Error, QStringLiteral("Web access not started: ") + error);
    return nullptr;
  }
  // Init lines reach the console whatever the echo options.
  s.LogMessage(Init, QStringLiteral("Dashboard at ") + web->dashboardUrl());
  return web;
}

WebServer::WebServer(Server& s, ddeml::Server& link) : m_s(s), m_link(link)
{
  connect(&m_link, &ddeml::Server::itemChanged, this, [this] { ++m_values; });
  // Values per second, over about the last second.
  auto* second = new QTimer(this);
  m_secondClock.start();
  connect(second, &QTimer::timeout, this, [this] {
    const qint64 ms = m_secondClock.restart();
    m_valuesPerSecond = ms > 0 ? double(m_values - m_valuesSecondAgo) * 1000.0 / double(ms) : 0.0;
    m_valuesSecondAgo = m_values;
  });
  second->start(1000);
  initDashboard();
  m_guard = new QObject(this);
  m_live = new LiveFeed(m_link, this);
  connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::takeWebSockets);
}

WebServer::~WebServer()
{
  if (!m_tokenPath.isEmpty())
    QFile::remove(m_tokenPath);
}

bool WebServer::start(const Config& cfg, QString* error)
{
  auto* tcp = new GuardedListener(m_guard, this);
  if (!tcp->listen(cfg.bind, cfg.port)) {
    *error = QStringLiteral("cannot listen on %1:%2 (%3)").arg(cfg.bind.toString()).arg(cfg.port).arg(tcp->errorString());
    delete tcp;
    return false;
  }
  m_port = tcp->serverPort();
  // The token is in its file before anyone can be told the port.
  m_token = ddeml::randomToken();
  const QString path = ddeml::serviceDir() + QStringLiteral("/http-%1.token").arg(m_port);
  if (!ddeml::ensureServiceDir(error) || !ddeml::writePrivateFile(path, m_token + '\n', error)) {
    *error = QStringLiteral("cannot write the token file: %1").arg(*error);
    delete tcp;
    return false;
  }
  m_tokenPath = path;
  const bool any = cfg.bind == QHostAddress::Any || cfg.bind == QHostAddress::AnyIPv4 || cfg.bind == QHostAddress::AnyIPv6;
  m_host = any ? QStringLiteral("127.0.0.1")
               : cfg.bind.protocol() == QAbstractSocket::IPv6Protocol ? '[' + cfg.bind.toString() + ']'
                                                                      : cfg.bind.toString();
  bind(tcp);
  return true;
}

QString WebServer::dashboardUrl() const
{
  return QStringLiteral("http://%1:%2/?token=%3").arg(m_host).arg(m_port).arg(QString::fromLatin1(m_token));
}

bool WebServer::authorised(const QByteArray& authorization, const QByteArray& cookies, const QString& query) const
{
  if (authorization.startsWith("Bearer ") && ddeml::sameToken(authorization.mid(7).trimmed(), m_token))
    return true;
  return ddeml::sameToken(cookie(cookies, kCookie), m_token) || ddeml::sameToken(query.toLatin1(), m_token);
}

bool WebServer::authorised(const QHttpServerRequest& request) const
{
  return authorised(request.value("authorization"), request.value("cookie"),
                    request.query().queryItemValue(QStringLiteral("token")));
}

// A browser names the page a request comes from in Origin (or at least in
// Referer); a page of this server has the host the request went to. A
// request without either comes from a program, not from another site's page.
bool WebServer::sameOrigin(const QByteArray& origin, const QByteArray& referer, const QByteArray& host)
{
  if (origin == "null")
    return false;
  const QByteArray from = origin.isEmpty() ? referer : origin;
  if (from.isEmpty())
    return true;
  const QUrl url(QString::fromLatin1(from));
  const QString authority = url.port() < 0 ? url.host() : url.host() + ':' + QString::number(url.port());
  return url.isValid() && !host.isEmpty() && authority.compare(QString::fromLatin1(host), Qt::CaseInsensitive) == 0;
}

// WebSocket clients: only /api/live, with the token, from no other site's
// page (a cookie alone would let any page open one).
void WebServer::takeWebSockets()
{
  while (hasPendingWebSocketConnections()) {
    std::unique_ptr<QWebSocket> ws = nextPendingWebSocketConnection();
    const QNetworkRequest& rq = ws->request();
    const QString query = QUrlQuery(rq.url()).queryItemValue(QStringLiteral("token"));
    QString refusal;
    if (!authorised(rq.rawHeader("Authorization"), rq.rawHeader("Cookie"), query))
      refusal = QStringLiteral("a token is required");
    else if (rq.url().path() != QLatin1String("/api/live"))
      refusal = QStringLiteral("no such path: %1").arg(rq.url().path());
    else if (!sameOrigin(rq.rawHeader("Origin"), {}, rq.rawHeader("Host")))
      refusal = QStringLiteral("the connection comes from a page of another site");
    if (refusal.isEmpty()) {
      m_live->add(std::move(ws));
      continue;
    }
    QWebSocket* raw = ws.release();
    connect(raw, &QWebSocket::disconnected, raw, &QObject::deleteLater);
    raw->close(QWebSocketProtocol::CloseCodePolicyViolated, refusal);
  }
}

bool WebServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
  // A WebSocket handshake is taken without an answer: the HTTP server then
  // hands the connection over, and takeWebSockets checks it.
  if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
    QObject::disconnect(socket, nullptr, m_guard, nullptr); // WebSocket messages have their own bound
    return true;
  }
  if (!authorised(request)) {
    send(socket, error(401, QStringLiteral("a token is required (see the token file %1)").arg(m_tokenPath)));
    return true;
  }
  // A visit with the token in the address: the browser keeps it as a
  // cookie, and the address without it is what the history keeps.
  const QString query = request.query().queryItemValue(QStringLiteral("token"));
  if (!query.isEmpty() && request.method() == QHttpServerRequest::Method::Get) {
    QUrlQuery rest = request.query();
    rest.removeAllQueryItems(QStringLiteral("token"));
    QUrl target;
    target.setPath(request.url().path());
    target.setQuery(rest);
    Reply r;
    r.status = 302;
    r.type = "text/plain";
    r.body = "see " + target.toEncoded() + '\n';
    r.headers = {{"Location", target.toEncoded()},
                 {"Set-Cookie", kCookie + '=' + m_token + "; HttpOnly; SameSite=Strict; Path=/"}};
    send(socket, r);
    return true;
  }
  const Reply r = route(request, socket);
  if (r.status != 0)
    send(socket, r);
  return true;
}

void WebServer::missingHandler(const QHttpServerRequest&, QTcpSocket* socket)
{
  send(socket, error(404, QStringLiteral("no such path")));
}

// The answer to an authorised request; status 0 when it comes later (a
// write waiting for its turn).
WebServer::Reply WebServer::route(const QHttpServerRequest& request, QTcpSocket* socket)
{
  const QString path = request.url().path();
  const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  const QHttpServerRequest::Method method = request.method();
  const bool get = method == QHttpServerRequest::Method::Get;
  auto onlyGet = [&](const std::function<Reply()>& answer) {
    return get ? answer() : error(405, QStringLiteral("%1 is not allowed on %2").arg(QString::fromLatin1(methodName(method)), path));
  };
  if (request.body().size() > kMaxBody)
    return error(413, QStringLiteral("the body is longer than %1 bytes").arg(kMaxBody));
  // The dashboard: static files compiled in (src/web/dashboard).
  static const QHash<QString, QPair<QString, QByteArray>> files = {
    {"/", {":/web/index.html", "text/html; charset=utf-8"}},
    {"/index.html", {":/web/index.html", "text/html; charset=utf-8"}},
    {"/dashboard.css", {":/web/dashboard.css", "text/css; charset=utf-8"}},
    {"/dashboard.js", {":/web/dashboard.js", "text/javascript; charset=utf-8"}}};
  if (const auto file = files.constFind(path); file != files.constEnd()) {
    if (!get)
      return error(405, QStringLiteral("%1 is not allowed on %2").arg(QString::fromLatin1(methodName(method)), path));
    QFile f(file->first);
    if (!f.open(QIODevice::ReadOnly))
      return error(404, QStringLiteral("no such path: %1").arg(path));
    Reply r;
    r.type = file->second;
    r.body = f.readAll();
    // The page loads nothing from elsewhere and talks only to this server.
    r.headers = {{"Content-Security-Policy", "default-src 'self'; connect-src 'self' ws: wss:; frame-ancestors 'none'"}};
    return r;
  }
  if (parts == QStringList{"metrics"})
    return onlyGet([&] { return metricsReply(); });
  if (parts.size() < 2 || parts[0] != QLatin1String("api"))
    return error(404, QStringLiteral("no such path: %1").arg(path));
  if (parts.size() == 2 && parts[1] == QLatin1String("server"))
    return onlyGet([&] { return serverReply(); });
  if (parts[1] != QLatin1String("topics"))
    return error(404, QStringLiteral("no such path: %1").arg(path));
  if (parts.size() == 2)
    return onlyGet([&] { return topicsReply(); });
  if (parts.size() == 4 && parts[3] == QLatin1String("items"))
    return onlyGet([&] { return itemsReply(parts[2]); });
  if (parts.size() != 5 || parts[3] != QLatin1String("items"))
    return error(404, QStringLiteral("no such path: %1").arg(path));
  if (get)
    return itemReply(parts[2], parts[4]);
  if (method != QHttpServerRequest::Method::Put)
    return error(405, QStringLiteral("%1 is not allowed on %2").arg(QString::fromLatin1(methodName(method)), path));
  if (!sameOrigin(request.value("origin"), request.value("referer"), request.value("host")))
    return error(403, QStringLiteral("not written: the request comes from a page of another site"));
  // The value is the body as it is, or a JSON value (a text or a number,
  // or an object with "value") when the body is sent as JSON.
  QByteArray value = request.body();
  if (request.value("content-type").startsWith("application/json")) {
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + value + "]", &pe);
    const QJsonValue v = pe.error == QJsonParseError::NoError && doc.array().size() == 1 ? doc.array().at(0) : QJsonValue();
    const QJsonValue inner = v.isObject() ? v.toObject().value(QStringLiteral("value")) : v;
    if (pe.error != QJsonParseError::NoError || doc.array().size() != 1)
      return error(400, QStringLiteral("the body is not valid JSON"));
    if (inner.isString())
      value = inner.toString().toUtf8();
    else if (inner.isDouble())
      value = QByteArray::number(inner.toDouble(), 'g', 15);
    else
      return error(400, QStringLiteral("the JSON body is neither a text, a number nor an object with \"value\""));
  }
  m_writes.add({socket, parts[2], parts[4], value});
  return Reply{0, {}, {}, {}};
}

// One write, answered 200 with the result or with the reason: 404 for an
// item the topic lacks, 409 for the state of the bus, 422 for the value.
void WebServer::carryOut(const Write& w)
{
  const QPointer<WebServer> self(this);
  const bool exists = m_link.hasItem(w.topic, w.item);
  const QString result = m_s.dde ? m_s.dde->PokeFrom(QStringLiteral(" [HTTP]"), w.topic, w.item, w.value)
                                 : QStringLiteral("not written: the server is shutting down");
  if (!self || !w.socket)
    return;
  if (result.isEmpty()) {
    QJsonObject o{{"topic", w.topic}, {"item", w.item}, {"value", QString::fromUtf8(w.value)}, {"result", "OK"}};
    send(w.socket, json(QJsonDocument(o)));
  } else {
    send(w.socket, error(!exists ? 404 : result.startsWith(QLatin1String("not written:")) ? 409 : 422, result));
  }
}

WebServer::Reply WebServer::topicsReply() const
{
  QJsonArray topics;
  for (const QString& t : inReadingOrder(m_link.topics())) {
    QJsonObject o{{"topic", t}, {"items", int(m_link.items(t).size())}};
    // Channel topics say which instrument they stand for.
    if (t.startsWith(QLatin1String("C("), Qt::CaseInsensitive)) {
      bool ok = false;
      const int ch = t.mid(2).chopped(1).toInt(&ok);
      if (const ChannelRec* rec = ok ? m_s.channels.channel(ch) : nullptr; rec && ch > 0) {
        o.insert("channel", ch);
        o.insert("device", rec->Dev_Name.trimmed());
        o.insert("node", int(rec->Dev_Nodenr));
        o.insert("process", int(rec->Dev_Proc));
        o.insert("polling", rec->Polling);
      }
    }
    topics.append(o);
  }
  return json(QJsonDocument(topics));
}

// An item's value with what it is (frmTopic::info, as TopicItemInfo and the
// MQTT bridge's $meta give it); texts: also its description and the
// meanings of its values, which cost two database queries.
QJsonObject WebServer::itemObject(const QString& topic, const QString& item, bool texts) const
{
  const frmTopic* t = m_s.dde ? m_s.dde->topicByName(topic) : nullptr;
  const int16_t index = t ? frmTopic::parseIndex(item) : -1;
  const ItemInfo in = index >= 0 ? t->info(index, texts) : ItemInfo::plainText(item);
  QJsonObject o = in.toJson();
  o.insert("topic", topic);
  o.insert("item", item);
  o.insert("value", m_link.item(topic, item));
  o.insert("access", in.access());
  return o;
}

WebServer::Reply WebServer::itemsReply(const QString& topic) const
{
  if (!m_link.hasTopic(topic))
    return error(404, QStringLiteral("no topic %1").arg(topic));
  QJsonArray items;
  for (const QString& i : inReadingOrder(m_link.items(topic)))
    items.append(itemObject(topic, i, false));
  return json(QJsonDocument(items));
}

WebServer::Reply WebServer::itemReply(const QString& topic, const QString& item) const
{
  if (!m_link.hasTopic(topic))
    return error(404, QStringLiteral("no topic %1").arg(topic));
  if (!m_link.hasItem(topic, item))
    return error(404, QStringLiteral("no item %1 on topic %2").arg(item, topic));
  return json(QJsonDocument(itemObject(topic, item, true)));
}

WebServer::Reply WebServer::serverReply() const
{
  QJsonObject fields;
  for (const QString& n : m_s.fields.names())
    fields.insert(n, m_s.fields.value(n));
  double errors = 0;
  if (m_s.errors)
    for (const quint64 n : m_s.errors->ErrorsByCode)
      errors += double(n);
  // Since start, as /metrics counts them.
  const QJsonObject counters{{"replies", double(m_s.state.RepliesTotal)},
                             {"errors", errors},
                             {"values", double(m_values)},
                             {"pollCycleSeconds", m_s.poll ? m_s.poll->lastCycleSeconds() : 0.0}};
  QJsonObject o{{"status", m_s.fields.value("Status")},
                {"comStatus", m_s.fields.value("ComStatus")},
                {"interface", m_s.fields.value("Interface")},
                {"channels", int(m_s.channels.ChannelCount)},
                {"polling", whyNotPolling(m_s).isEmpty()},
                {"notPollingReason", whyNotPolling(m_s)},
                {"linkClients", m_link.conversationCount()},
                {"liveClients", m_live->clientCount()},
                {"counters", counters},
                {"fields", fields}};
  return json(QJsonDocument(o));
}

WebServer::Reply WebServer::metricsReply() const
{
  Reply r;
  r.type = "text/plain; version=0.0.4; charset=utf-8";
  r.body = metricsText(m_s, m_link, m_values, m_valuesPerSecond, m_live->clientCount());
  return r;
}

WebServer::Reply WebServer::error(int status, const QString& reason)
{
  return json(QJsonDocument(QJsonObject{{"error", reason}}), status);
}

WebServer::Reply WebServer::json(const QJsonDocument& doc, int status)
{
  Reply r;
  r.status = status;
  r.body = doc.toJson(QJsonDocument::Compact);
  return r;
}

void WebServer::send(QTcpSocket* socket, const Reply& reply)
{
  QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + statusText(reply.status) + "\r\n";
  out += "Content-Type: " + reply.type + "\r\nContent-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
  out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
  if (reply.status == 401)
    out += "WWW-Authenticate: Bearer\r\n";
  for (const auto& [k, v] : reply.headers)
    out += k + ": " + v + "\r\n";
  out += "\r\n" + reply.body;
  socket->write(out);
}

}
