#include "DdeServer.h"


#include "ServerTopic.h"
#include "config/InterfaceTracking.h"
#include "SystemTopic.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "db/Database.h"
#include "engine/MessageEngine.h"
#include "log/LogCategory.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Prompt.h"
#include "Setting.h"
#include "Server.h" // ddeml::Server (platform/ddeml)

#include <QPointer>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <utility>

namespace tesmira {
namespace {

// Parameters whose values keep their trailing blanks, CR and LF: free texts
// and bit patterns where those characters are part of the value.
constexpr int16_t kExempt[] = {33, 34, 61, 62, 84, 85, 87, 88, 89, 194, 195, 196, 208, 209, 236};

QString withoutTrailingBlanks(QString text)
{
  while (text.endsWith(QLatin1Char(' ')))
    text.chop(1);
  return text;
}

}

double DdeServer::numericValue(const QString& text) { return IsNumeric(text) ? text.trimmed().toDouble() : 0.0; }

DdeServer::DdeServer(Server& s) : m_s(s), m_link(std::make_unique<ddeml::Server>())
{
  TopicTable.resize(1);
  m_serverTopic = std::make_unique<ServerTopic>(s, *m_link);
  m_systemTopic = std::make_unique<SystemTopic>(s, *m_link, [this](const QString& topic, const QString& item) {
    const frmTopic* t = topicByName(topic);
    return t ? t->nameTag(frmTopic::parseIndex(item)) : QString();
  });
  m_link->setPokeHandler(
    [this](const QString& topic, const QString& item, const QString& value) { return onPoke(topic, item, value); });
  connect(m_link.get(), &ddeml::Server::linkError, this,
          [this](const QString& topic, const QString& item, int code) { onLinkError(topic, item, code); });
  connect(m_link.get(), &ddeml::Server::listenerTrouble, this,
          [this](const QString& text) { m_s.LogMessage(Init, text); });
}

DdeServer::~DdeServer()
{
  m_systemTopic.reset();
  TopicTable.clear();
  m_serverTopic.reset();
  m_link->unregisterService();
}

bool DdeServer::registerService(QString* error, bool* inUse)
{
  // [Link] FrameTimeout: seconds a client may leave a message half sent
  // before its conversation is ended with an error.
  const QString timeout = m_s.setting() ? m_s.setting()->GetProgramSetting("Link", "FrameTimeout", "30").trimmed() : "30";
  bool seconds = false;
  const int frameTimeout = timeout.toInt(&seconds);
  ddeml::ServerLimits limits = m_link->limits();
  if (seconds && frameTimeout > 0 && frameTimeout <= 3600)
    limits.frameTimeoutMs = frameTimeout * 1000;
  else
    m_s.LogMessage(Init, QStringLiteral("[Link] FrameTimeout '%1' is not a number of seconds (1 to 3600); 30 is used")
                           .arg(timeout));
  // [Link] MaxClients: conversations served at once; beyond it a new client
  // is refused with ERR TOO_MANY_CLIENTS.
  const QString clients = m_s.setting() ? m_s.setting()->GetProgramSetting("Link", "MaxClients", "256").trimmed() : "256";
  bool count = false;
  const int maxClients = clients.toInt(&count);
  if (count && maxClients >= 1 && maxClients <= 100000)
    limits.maxClients = maxClients;
  else
    m_s.LogMessage(Init, QStringLiteral("[Link] MaxClients '%1' is not a number of clients (1 to 100000); %2 is used")
                           .arg(clients).arg(limits.maxClients));
  m_link->setLimits(limits);

  QString err;
  const bool ok = m_link->registerService(Server::title(), &err);
  if (inUse)
    *inUse = !ok && err.contains(QLatin1String("in use"));
  if (error)
    *error = err;
  if (ok)
    listenTcpFromSettings();
  return ok;
}

// Clients that cannot use the local socket may connect over TCP on
// 127.0.0.1, on the port that program.ini names under [Link] TcpPort (0 or
// missing: off). A bad value or a port in use is said in the console; the local
// socket serves on regardless.
void DdeServer::listenTcpFromSettings()
{
  const QString text = m_s.setting() ? m_s.setting()->GetProgramSetting("Link", "TcpPort", "0").trimmed() : "0";
  bool ok = false;
  const int port = text.toInt(&ok);
  if (ok && port == 0)
    return;
  QString err;
  if (!ok || port < 1 || port > 65535)
    err = QStringLiteral("'%1' is not a port number (1 to 65535)").arg(text);
  else if (m_link->listenTcp(quint16(port), &err))
    return m_s.LogMessage(Init, QStringLiteral("Link service also open to clients on 127.0.0.1:%1").arg(port));
  // An Init line, so that it shows in the console whatever the echo options.
  m_s.LogMessage(Init, "Link service not open on TCP: " + err);
}

bool DdeServer::registered() const { return !m_link->socketPath().isEmpty(); }

QString DdeServer::socketPath() const { return m_link->socketPath(); }

// ------------------------------------------------------------------ topics

void DdeServer::AddTopicScr(int16_t count)
{
  TopicTable.clear();
  TopicTable.resize(size_t(std::max<int16_t>(count, 0)) + 1);
  for (int16_t i = 0; i <= count; ++i) {
    m_s.ShowBusy(QStringLiteral("Adding topics to server"), 2);
    TopicTable[i] = std::make_unique<frmTopic>(m_s, *m_link, i);
    TopicTable[i]->CreateItems(i);
  }
  m_s.state.TopicsCreated = true;
  m_s.HideBusy();
}

void DdeServer::DeleteTopicScr()
{
  if (!m_s.state.TopicsCreated)
    return;
  m_s.state.TopicsCreated = false;
  for (auto& t : TopicTable)
    t.reset();
  TopicTable.clear();
  TopicTable.resize(1);
}

frmTopic* DdeServer::topic(int16_t channel) const
{
  return channel >= 0 && size_t(channel) < TopicTable.size() ? TopicTable[channel].get() : nullptr;
}

frmTopic* DdeServer::topicOrNew(int16_t channel)
{
  if (channel < 0 || size_t(channel) >= TopicTable.size())
    return nullptr;
  auto& slot = TopicTable[size_t(channel)];
  if (!slot) {
    slot = std::make_unique<frmTopic>(m_s, *m_link, channel);
    slot->CreateItems(channel);
  }
  return slot.get();
}

frmTopic* DdeServer::topicByName(const QString& name) const
{
  // "C(" digits ")": the channel is the table's index.
  if (name.size() < 4 || name.size() > 8 || (name[0] != QLatin1Char('C') && name[0] != QLatin1Char('c')) ||
      name[1] != QLatin1Char('(') || !name.endsWith(QLatin1Char(')')))
    return nullptr;
  int channel = 0;
  for (qsizetype i = 2; i < name.size() - 1; ++i) {
    if (!name[i].isDigit())
      return nullptr;
    channel = channel * 10 + name[i].digitValue();
  }
  frmTopic* t = channel < int(TopicTable.size()) ? TopicTable[size_t(channel)].get() : nullptr;
  return t && t->topicName.compare(name, Qt::CaseInsensitive) == 0 ? t : nullptr;
}

// ------------------------------------------------------------ value texts

bool DdeServer::isExempt(int16_t parameter)
{
  for (int16_t p : kExempt)
    if (p == parameter)
      return true;
  return false;
}

QString DdeServer::TrimItemValue(const QString& value, int16_t parameter) const
{
  if (m_s.cfg.TrimTrailingSpaces && !isExempt(parameter))
    return withoutTrailingBlanks(value);
  return value;
}

QString DdeServer::StripCRLF(const QString& text, int16_t parameter, bool force) const
{
  if (!m_s.cfg.TrimCRLF && !force)
    return text;
  if (isExempt(parameter))
    return text;
  // The first character of an identification string (parameter 1) is its
  // device type and is never removed, whatever it is.
  const qsizetype keep = parameter == 1 ? qMin<qsizetype>(1, text.size()) : 0;
  QString rest = text.mid(keep);
  rest.remove(QLatin1Char('\r'));
  rest.remove(QLatin1Char('\n'));
  return text.left(keep) + rest;
}

QString DdeServer::parameterName(int16_t parameter) const
{
  if (!m_s.db || parameter < 0 || size_t(parameter) >= m_s.db->ParameterTable.size())
    return {};
  return m_s.db->ParameterTable[parameter].Name;
}

QString DdeServer::parameterLongName(int16_t parameter) const
{
  if (!m_s.db || parameter < 0 || size_t(parameter) >= m_s.db->ParameterTable.size())
    return {};
  return m_s.db->ParameterTable[parameter].LongName;
}

// ------------------------------------------------------- publishing values

void DdeServer::Change_dde_item(int16_t channel, int16_t parameter, const QString& rawValue)
{
  if (channel < 0 || channel > m_s.channels.MaxChannel)
    return;
  const QString value = TrimItemValue(rawValue, parameter);
  // The log line and its description (database look-ups) only when a log
  // target takes Read lines: at polling rates nothing is formatted otherwise.
  if (m_s.log && m_s.log->wouldLog(Read)) {
    QString text = value;
    QString extra;
    if (m_s.log->logFileOpen() && !m_s.log->LogErrorsOnly)
      extra = logDescription(parameter, text);
    m_s.log->LogParameter(Read, channel, parameter, parameterLongName(parameter), text.trimmed(), extra);
  }
  if (m_s.channels.available(channel, parameter))
    if (frmTopic* t = topic(channel))
      t->ChangeItem(parameter, value);
  const QString msg = CheckIFIIdentChange(m_s, channel, parameter, value);
  if (!msg.isEmpty() && m_s.log)
    m_s.log->DebugLogError(msg);
}

// The description of a value for the log: the value text of a coded
// parameter (ParValue), else the parameter's own description. Every number
// and text from outside is bound, never pasted into the statement.
QString DdeServer::logDescription(int16_t parameter, QString& text) const
{
  if (!m_s.db || !m_s.db->isOpen())
    return {};
  QSqlDatabase db = m_s.db->TheDatabase;
  auto run = [&db](QSqlQuery& q, const QString& sql, const QVariantList& binds) {
    q = QSqlQuery(db);
    q.setForwardOnly(true);
    q.prepare(sql);
    for (const QVariant& b : binds)
      q.addBindValue(b);
    return q.exec() && q.next();
  };
  const QString allParameters = QStringLiteral("SELECT description FROM AllParameters WHERE Parameter = ?");
  QSqlQuery q(db);
  bool found = false;

  // How many value texts the parameter has (0, 1 or more) and the first's filter.
  q.setForwardOnly(true);
  q.prepare(QStringLiteral("SELECT Filter FROM ParValue WHERE Parameter = ? LIMIT 2"));
  q.addBindValue(int(parameter));
  int n = 0;
  QString filter;
  if (q.exec())
    while (q.next()) {
      if (n == 0)
        filter = q.value(0).toString();
      ++n;
    }
  else if (m_s.log)
    m_s.log->DebugLogError(QStringLiteral("Change_dde_item: ") + q.lastError().text());

  if (n == 0) {
    found = run(q, allParameters, {int(parameter)});
  } else if (n >= 2) {
    if (!filter.isEmpty()) {
      // Bit-coded: the parameter's own description; hex notation in the log.
      if (MessageEngine::HexStringParameter(parameter) && !text.isEmpty())
        text = QStringLiteral("&H") + text;
      found = run(q, allParameters, {int(parameter)});
    } else {
      if (parameter == 6) {
        // Node type: 128 marks a module reached through an interface channel.
        const double v = numericValue(text);
        if (v > 127) {
          const double rest = v - 128;
          text = (rest >= 0 ? QStringLiteral(" ") : QString()) + QString::number(rest);
        }
      }
      found = run(q, QStringLiteral("SELECT Description FROM ParValue WHERE Parameter = ? AND Value = ?"),
                  {int(parameter), text.trimmed()});
      if (!found)
        found = run(q, allParameters, {int(parameter)});
    }
  }
  const QString desc = found ? q.value(0).toString() : QString();
  return QString(7, QLatin1Char(' ')) + QLatin1Char('\t') + desc;
}

// ------------------------------------------------------------------ pokes

QString DdeServer::PokeFrom(const QString& origin, const QString& topic, const QString& item,
                           const QByteArray& value)
{
  const QByteArray before = m_link->itemBytes(topic, item);
  const bool existed = m_link->hasItem(topic, item);
  m_nextPokeOrigin = origin;
  const QString result = m_link->poke(topic, item, value);
  m_nextPokeOrigin.clear();
  m_pokeOrigin.clear();
  // A refused write leaves no trace in the item: the text it had comes back
  // at once (unless the server has set the item meanwhile).
  if (!result.isEmpty() && existed && m_link->hasItem(topic, item) && m_link->itemBytes(topic, item) == value &&
      before != value) {
    // Raised so that the channel's poke handling does not take it for a
    // client's request.
    frmTopic* t = topicByName(topic);
    if (t)
      t->changing = true;
    m_link->setItem(topic, item, QString::fromUtf8(before));
    if (t)
      t->changing = false;
  }
  return result;
}

QString DdeServer::onPoke(const QString& topicName, const QString& itemName, const QString& value)
{
  // The origin is taken at once: pokes that arrive while this one waits in
  // a nested event loop are link clients' own.
  m_pokeOrigin = std::exchange(m_nextPokeOrigin, QString());
  emit pokeStarting(topicName, itemName);
  QPointer<DdeServer> self(this);
  QString result;
  if (SystemTopic::isDiscoveryItem(topicName, itemName)) {
    result = m_systemTopic->refusePoke(topicName, itemName);
    if (itemName.compare(frmTopic::infoItemName(), Qt::CaseInsensitive) == 0)
      if (frmTopic* t = topicByName(topicName))
        t->updateInfo();
  } else if (topicName.compare(ServerTopic::topicName(), Qt::CaseInsensitive) == 0) {
    result = m_serverTopic->poke(itemName, value);
  } else {
    frmTopic* t = topicByName(topicName);
    const int16_t index = frmTopic::parseIndex(itemName);
    if (t && index >= 0)
      result = P_Change(*t, index, value);
  }
  if (!self)
    return result;
  m_pokeOrigin.clear();
  // The topic may have gone while the poke waited for the instrument.
  if (result.isEmpty())
    if (frmTopic* t = topicByName(topicName)) {
      const int16_t index = frmTopic::parseIndex(itemName);
      if (index >= 0 && t->hasItem(index))
        t->setValued(index);
    }
  emit pokeFinished(topicName, itemName, result);
  return result;
}

QString DdeServer::P_Change(frmTopic& t, int16_t m, const QString& poked)
{
  // The server's own item changes are no pokes.
  if (t.changing)
    return {};
  // A poke while the server cannot act on it is ignored: the item keeps the
  // text, and the client learns why nothing reached an instrument.
  const ProcessState& st = m_s.state;
  if (!(st.CommOpen || st.SimulationOn))
    return QStringLiteral("not written: the communication is closed");
  if (st.NotReady)
    return QStringLiteral("not written: the server is not ready (the bus is being scanned)");
  if (!st.BusLost.isEmpty() && t.channel != 0)
    return "not written: the communication to SORANET is lost (" + st.BusLost + ")";
  const QString value = StripCRLF(poked, m, false);
  if (m == 0) {
    if (Rcvd_dde_Cmnd)
      Rcvd_dde_Cmnd(t.channel, value);
  } else if (t.channel != 0) {
    if (Rcvd_dde_item)
      return Rcvd_dde_item(t.channel, withoutTrailingBlanks(parameterName(m)), m, value);
  } else if (m == 1 || m == 2) {
    if (Rcvd_dde_item)
      return Rcvd_dde_item(0, m == 1 ? QStringLiteral("Readstatus") : QStringLiteral("Writestatus"), m, value);
  }
  return {};
}

// ------------------------------------------------------------ link errors

QString DdeServer::linkErrorMessage(int code)
{
  switch (code) {
  case 7: return QStringLiteral("No free source link (max 128 per source)");
  case 8: return QStringLiteral("Failed at attempt to poke data to DDE");
  case 11: return QStringLiteral("Out of memory for DDE");
  default: return QStringLiteral("Unknown error");
  }
}

void DdeServer::onLinkError(const QString& topicName, const QString& itemName, int code)
{
  if (frmTopic* t = topicByName(topicName)) {
    const int16_t index = frmTopic::parseIndex(itemName);
    if (index >= 0)
      P_LinkError(*t, index, code);
    return;
  }
  // Server topic: a refused poke (8) has been answered to its client and
  // the item shows the server's value again; other link errors are logged.
  if (code == 1 || code == 8 || !m_s.log)
    return;
  const QString msg = linkErrorMessage(code) + QStringLiteral(" [DDEItem: Server!") + itemName + QLatin1Char(']');
  m_s.log->LogMessage(Error, msg);
  m_s.log->DebugLogError(msg);
}

void DdeServer::P_LinkError(frmTopic& t, int16_t m, int code)
{
  const QByteArray module = ("C(" + t.tag + ")!").toUtf8();
  const QByteArray procedure = QStringLiteral("P_LinkError(%1)").arg(m).toUtf8();
  support::Trace trace(m_s.debug(), module.constData(), procedure.constData());
  if (code != 1) {
    const QString msg = linkErrorMessage(code);
    if (m_s.log) {
      m_s.log->LogParameter(Error, t.channel, m, parameterName(m), QString(), msg);
      m_s.log->DebugLogError(msg);
    }
  }
}

// ----------------------------------------------------------- request tags

int16_t DdeServer::MakeRequestTag(int16_t parameter)
{
  int p = parameter;
  if (p < 0 || p >= 511) {
    support::prompt().MsgBox(QStringLiteral("DDEParNr not in range 0-510!"), support::Prompt::Ok,
                             support::Prompt::Critical);
    p = 511;
  }
  // The substitute 511 skips sequence 127, whose tag (32768) would not fit.
  const int32_t top = p == 511 ? 126 : 127;
  if (++RequestSeq[p] > top)
    RequestSeq[p] = 0;
  return int16_t(RequestSeq[p] + 128 * p - 32767);
}

int16_t DdeServer::RequestTagParNr(int16_t tag)
{
  const int n = ((int(tag) + 32767) & ~0x7F) / 128;
  if (n < 0 || n > 510)
    support::prompt().MsgBox(QStringLiteral("Returned DDEParNr invalid!"), support::Prompt::Ok,
                             support::Prompt::Critical);
  return int16_t(n);
}

}
