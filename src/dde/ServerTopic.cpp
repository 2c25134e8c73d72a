#include "ServerTopic.h"

#include "DdeServer.h"
#include "bus/Communication.h"
#include "bus/PortRetry.h"
#include "config/DeviceTable.h"
#include "engine/frmPollTime.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "log/LogCategory.h"
#include "log/Logger.h"
#include "core/StatusFields.h"

#include "Client.h" // ddeml::Request (platform/ddeml)
#include "Server.h" // ddeml::Server (platform/ddeml)
#include "Setting.h" // support::Setting::toBool (platform/support)

#include <cmath>

namespace tesmira {
namespace {

const QString kOpenCom = QStringLiteral("OpenCom");

// What the main window shows of a poked text: at most kShownChars
// characters, control and other unprintable characters escaped (\n, \xNN,
// \uNNNN), "…" when cut. A client may poke up to the link's 1 MiB of any
// bytes into a field; laying that out in a label would hold the event loop
// for seconds and take hundreds of megabytes. The item keeps the whole text.
constexpr int kShownChars = 256;

QString shownText(const QString& text)
{
  QString out;
  qsizetype i = 0;
  for (; i < text.size() && out.size() < kShownChars; ++i) {
    const QChar c = text.at(i);
    if (c == QLatin1Char('\n'))
      out += QLatin1String("\\n");
    else if (c == QLatin1Char('\r'))
      out += QLatin1String("\\r");
    else if (c == QLatin1Char('\t'))
      out += QLatin1String("\\t");
    else if (c.unicode() < 0x100 && !c.isPrint())
      out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    else if (!c.isPrint() && !c.isSurrogate())
      out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    else
      out += c;
  }
  if (i < text.size())
    out = out.left(kShownChars) + QChar(0x2026);
  return out;
}

}

ServerTopic::ServerTopic(Server& s, ddeml::Server& link) : m_s(s), m_link(link)
{
  m_link.addTopic(topicName());
  for (const QString& name : StatusFields::itemNames())
    m_link.createItem(topicName(), name, m_s.fields.value(name));
  connect(&m_s.fields, &StatusFields::changed, this, &ServerTopic::fieldChanged);
  OpenCommunication = [&s] { OpenCommunication_Click(s); };
  CloseCommunication = [&s] { CloseCommunication_Click(s); };
  SetChanPolled = [&s](int16_t channel, bool polled) {
    if (s.devices)
      s.devices->SetChanPolled(channel, polled);
  };
  StopPolling = [&s] {
    if (s.poll)
      s.poll->StopPolling();
  };
  StartPolling = [&s] {
    if (s.poll)
      s.poll->StartPolling();
  };
}

ServerTopic::~ServerTopic() { m_link.removeTopic(topicName()); }

void ServerTopic::fieldChanged(const QString& name, const QString& text)
{
  if (!m_echoing.isEmpty() && name.compare(m_echoing, Qt::CaseInsensitive) == 0)
    return;
  m_link.setItem(topicName(), name, text); // fields that are no items are ignored
}

void ServerTopic::setField(const QString& name, const QString& text) { m_s.fields.set(name, text); }

void ServerTopic::ChangeOpenCom(const QString& value)
{
  ++m_openComGuard;
  setField(kOpenCom, value);
  --m_openComGuard;
}

QString ServerTopic::poke(const QString& item, const QString& value)
{
  // The canonical spelling of the item, as the field is named.
  QString name = item;
  for (const QString& n : StatusFields::itemNames())
    if (n.compare(item, Qt::CaseInsensitive) == 0)
      name = n;
  // The main window shows the poked text like the item does (within its
  // bound), except for the two items whose pokes are checked first: their
  // handlers show the value in force.
  const QString before = m_s.fields.value(name);
  const bool checkedFirst = name == QLatin1String("Interface") || name == QLatin1String("Baudrate");
  if (!checkedFirst) {
    m_echoing = name;
    setField(name, shownText(value));
    m_echoing.clear();
  }

  QString refusal;
  if (name == kOpenCom) {
    refusal = OpenCom_Change(value);
    if (!refusal.isEmpty())
      setField(name, before);
  } else if (name == QLatin1String("Interface")) {
    refusal = Interface_Change(value);
  } else if (name == QLatin1String("Baudrate")) {
    refusal = Baudrate_Change(value);
  } else if (name == QLatin1String("SelChan")) {
    SelChan_Change(value);
  } else if (name == QLatin1String("Polling")) {
    Polling_Change(value);
  } else if (name == QLatin1String("PollTime") || name == QLatin1String("PollBatch") ||
             name == QLatin1String("RTPInterval")) {
    refusal = PollSetting_Change(name, value);
  }
  return refusal;
}

// Opens or closes the communication. Whether it counts as open is judged by
// the existence of the channel topics. While the server writes the item
// itself, and while an earlier OpenCom poke is still being carried out (the
// opening processes events, so other clients' pokes arrive meanwhile), a
// change of OpenCom is no request.
QString ServerTopic::OpenCom_Change(const QString& text)
{
  if (m_openComGuard > 0)
    return {};
  bool ok = false;
  // The words True and False (any letter case) or a number, 0 being false,
  // as in the settings files.
  const bool open = support::Setting::toBool(text, &ok);
  if (!ok) {
    const QString reason = QStringLiteral("Type mismatch: '%1' is no boolean").arg(shownText(text));
    if (m_s.log)
      m_s.log->LogMessage(Error, reason + QStringLiteral(" [DDEItem: Server!OpenCom]"));
    return reason;
  }
  // Simulation and an open communication never hold together: the menu
  // offers neither opening nor closing while simulating, nor does the item.
  if (m_s.state.SimulationOn) {
    const QString reason = QStringLiteral("Simulation is on: switch it off before opening or closing the communication");
    if (m_s.log)
      m_s.log->LogMessage(Warn, reason + QStringLiteral(" [DDEItem: Server!OpenCom]"));
    return reason;
  }
  ++m_openComGuard;
  QString refusal;
  if (open) {
    if (!m_s.state.TopicsCreated) {
      if (OpenCommunication)
        OpenCommunication();
      if (m_s.log)
        m_s.log->LogMessage(Init, QStringLiteral("Open Communication [DDEItem: Server!OpenCom]"));
      // A stop request cut the opening short (the shut-down closes whatever
      // was opened): the client is told so.
      if (m_s.state.StopRequested)
        refusal = QStringLiteral("The server is shutting down: the communication was not opened");
    } else if (m_s.log) {
      m_s.log->LogMessage(Warn, QStringLiteral("Communication already opened! [DDEItem: Server!OpenCom]"));
    }
  } else {
    // Closing also ends the waiting for a port that could not be opened.
    const PortRetry* retry = PortRetry::find(m_s);
    if (m_s.state.TopicsCreated || (retry && retry->active())) {
      if (CloseCommunication)
        CloseCommunication();
      if (m_s.log)
        m_s.log->LogMessage(Init, QStringLiteral("Close Communication [DDEItem: Server!OpenCom]"));
    } else if (m_s.log) {
      m_s.log->LogMessage(Warn, QStringLiteral("Communication already closed! [DDEItem: Server!OpenCom]"));
    }
  }
  // The item tells the outcome, not the request.
  setField(kOpenCom, m_s.state.TopicsCreated ? QStringLiteral("1") : QStringLiteral("0"));
  --m_openComGuard;
  return refusal;
}

QString ServerTopic::Interface_Change(const QString& text)
{
  // A blank name is refused: it would leave the next opening without an
  // interface.
  const QString name = text.trimmed().left(InterfaceNameLength).trimmed();
  if (m_s.state.CommOpen || name.isEmpty()) {
    setField(QStringLiteral("Interface"), m_s.cfg.InterfaceName.trimmed());
    return m_s.state.CommOpen ? QStringLiteral("the interface cannot change while the communication is open")
                              : QStringLiteral("an interface name is needed");
  }
  m_s.cfg.InterfaceName = name;
  ShowInterfaceSettings(m_s);
  return {};
}

QString ServerTopic::Baudrate_Change(const QString& text)
{
  bool ok = false;
  // Besides text that is no number, a rate that does not fit 32 bits or is
  // not above 0 is refused: the next opening could not use it.
  const int32_t rate = IsNumeric(text) ? ToLong(text, &ok) : 0;
  if (m_s.state.CommOpen || !ok || rate <= 0) {
    setField(QStringLiteral("Baudrate"), QString::number(m_s.cfg.Baudrate));
    return m_s.state.CommOpen ? QStringLiteral("the baud rate cannot change while the communication is open")
                              : QStringLiteral("'%1' is no baud rate").arg(shownText(text));
  }
  m_s.cfg.Baudrate = rate;
  ShowInterfaceSettings(m_s);
  return {};
}

// Shows whether the selected channel is polled; a channel the table does
// not know counts as polled. The shown state is then applied again, as a
// poke of Polling would.
void ServerTopic::SelChan_Change(const QString& text)
{
  bool ok = false;
  const int16_t v = IsNumeric(text) ? ToInteger(text, &ok) : 0;
  if (!ok || v == 0)
    return;
  const ChannelRec* rec = v > 0 ? m_s.channels.channel(v) : nullptr;
  const QString state = rec && !rec->Polling ? QStringLiteral("0") : QStringLiteral("-1");
  setField(QStringLiteral("Polling"), state);
  Polling_Change(state);
}

void ServerTopic::Polling_Change(const QString& text)
{
  const bool polled = DdeServer::numericValue(text) != 0.0;
  const double sel = std::nearbyint(DdeServer::numericValue(m_s.fields.value(QStringLiteral("SelChan"))));
  auto apply = [this](int16_t channel, bool on) {
    if (SetChanPolled)
      SetChanPolled(channel, on);
  };
  if (sel != 0.0) {
    if (sel >= -32768 && sel <= 32767)
      apply(int16_t(sel), polled);
    return;
  }
  for (size_t c = 1; c < m_s.channels.ChannelTable.size(); ++c)
    apply(int16_t(c), polled);
}

// A poked number becomes the new setting, clamped as the poll time dialog
// clamps it (poll time and real-time interval 1..10000 ms, batch 1..120);
// the item then shows the setting in force. Polling stops around a change
// of the two intervals. Refused while the server is not ready (opening,
// scanning or closed) and for text that is not a number.
QString ServerTopic::PollSetting_Change(const QString& item, const QString& text)
{
  const bool batch = item == QLatin1String("PollBatch");
  const bool realtime = item == QLatin1String("RTPInterval");
  const int32_t current = batch ? m_s.cfg.PollBatch : realtime ? m_s.cfg.RealtimePollTime : m_s.cfg.Polltime;
  if (m_s.state.NotReady || !IsNumeric(text)) {
    setField(item, QString::number(current));
    return m_s.state.NotReady ? QStringLiteral("the server is not serving (communication closed or being scanned)")
                              : QStringLiteral("'%1' is no number").arg(shownText(text));
  }
  QString field = text;
  if (batch) {
    SetPollBatch(m_s, field);
  } else {
    if (StopPolling)
      StopPolling();
    if (realtime)
      SetRealtimePollTime(m_s, field);
    else
      SetPollTime(m_s, field);
    if (StartPolling)
      StartPolling();
  }
  setField(item, field);
  return {};
}

void ChangeOpenCom(Server& s, const QString& value)
{
  if (s.dde)
    s.dde->serverTopic().ChangeOpenCom(value);
  else
    s.fields.set(kOpenCom, value);
}

QString Request(const QString& topic, const QString& item)
{
  QString value;
  if (!ddeml::Request(Server::title(), topic, item, 30000, &value))
    return {};
  return value;
}

}
