#include "frmTopic.h"

#include "core/Server.h"
#include "db/Database.h"

#include "Debug.h"
#include "Server.h" // ddeml::Server (platform/ddeml)

#include <QRegularExpression>

namespace tesmira {

frmTopic::frmTopic(Server& s, ddeml::Server& link, int16_t ch) : m_s(s), m_link(link)
{
  if (m_s.debug())
    m_s.debug()->LogClassInit(QStringLiteral("fTopic"));
  channel = ch;
  tag = QString::number(ch);
  topicName = topicNameOf(ch);
  m_link.addTopic(topicName);
  // The command item exists from the start; CreateItems gives it its text.
  m_link.createItem(topicName, itemName(0), QString());
}

frmTopic::~frmTopic()
{
  m_link.removeTopic(topicName);
  if (m_s.debug())
    m_s.debug()->LogClassTerm(QStringLiteral("fTopic"));
}

void frmTopic::CreateItems(int16_t ch)
{
  tag = QString::number(ch);
  channel = ch;
  if (topicNameOf(ch) != topicName) {
    // Renaming a topic is removing it and adding the new one.
    m_link.removeTopic(topicName);
    topicName = topicNameOf(ch);
    m_link.addTopic(topicName);
  }
  createItem(0, QStringLiteral("paramread"));
  m_nameTags.insert(0, QStringLiteral("paramread"));
  if (ch == 0) {
    createItem(1, QStringLiteral("readstatus"));
    m_nameTags.insert(1, QStringLiteral("readstatus"));
    createItem(2, QStringLiteral("writestatus"));
    m_nameTags.insert(2, QStringLiteral("writestatus"));
    return;
  }
  if (!m_s.db)
    return;
  const auto& table = m_s.db->ParameterTable;
  for (int m = 1; m <= m_s.db->MaxParNr && m < int(table.size()); ++m) {
    if (!m_s.channels.available(ch, m))
      continue;
    QString name = table[m].Name;
    while (name.endsWith(QLatin1Char(' ')))
      name.chop(1);
    m_nameTags.insert(int16_t(m), name);
    createItem(int16_t(m), name);
  }
}

void frmTopic::ChangeItem(int16_t index, const QString& value)
{
  // No event processing between raising and lowering the flag: a poke can
  // only be seen between two server writes, never inside one.
  changing = true;
  m_link.setItem(topicName, itemName(index), value);
  changing = false;
}

QString frmTopic::item(int16_t index) const { return m_link.item(topicName, itemName(index)); }

bool frmTopic::hasItem(int16_t index) const { return m_link.hasItem(topicName, itemName(index)); }

void frmTopic::createItem(int16_t index, const QString& value)
{
  if (!m_link.hasItem(topicName, itemName(index)))
    m_link.createItem(topicName, itemName(index), QString());
  ChangeItem(index, value);
}

void frmTopic::removeItem(int16_t index)
{
  m_link.removeItem(topicName, itemName(index));
  m_nameTags.remove(index);
}

void frmTopic::UpdateIFIParams()
{
  ChannelModel& cm = m_s.channels;
  if (!m_s.db || channel < 1 || channel >= int16_t(cm.ChanParIfiFlag.size()))
    return;
  const auto& table = m_s.db->ParameterTable;
  for (int p = 1; p <= m_s.db->MaxParNr && p < int(table.size()); ++p) {
    const bool now = cm.ChanParIfiFlag[size_t(channel)][size_t(p)] != 0;
    if (cm.available(channel, p) == now)
      continue;
    if (now) {
      QString name = table[size_t(p)].Name;
      while (name.endsWith(QLatin1Char(' ')))
        name.chop(1);
      m_nameTags.insert(int16_t(p), name);
      createItem(int16_t(p), name);
    } else {
      removeItem(int16_t(p));
    }
    cm.ParAvailable[size_t(channel)][size_t(p)] = now ? 1 : 0;
  }
}

int16_t frmTopic::parseIndex(const QString& item)
{
  static const QRegularExpression re(QStringLiteral("^[Pp]\\((\\d{1,3})\\)$"));
  const auto m = re.match(item);
  if (!m.hasMatch())
    return -1;
  const int v = m.captured(1).toInt();
  return v <= 512 ? int16_t(v) : int16_t(-1);
}

}
