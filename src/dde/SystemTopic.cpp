#include "SystemTopic.h"

#include "core/Server.h"

#include "Server.h" // ddeml::Server (platform/ddeml)

#include <algorithm>

namespace tesmira {
namespace {

const QString kTopics = QStringLiteral("Topics");
const QString kSysItems = QStringLiteral("SysItems");
const QString kFormats = QStringLiteral("Formats");
const QString kStatus = QStringLiteral("Status");
const QString kItemList = SystemTopic::itemListName();
const QString kItemNames = SystemTopic::itemNamesName();

bool same(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }
// TopicItemInfo (the channel topics' metadata, frmTopic) is the server's own
// as well: not listed among a topic's items, and not pokeable.
bool isListItem(const QString& item)
{
  return same(item, kItemList) || same(item, kItemNames) || same(item, QLatin1String("TopicItemInfo"));
}

}

SystemTopic::SystemTopic(Server& s, ddeml::Server& link, std::function<QString(const QString&, const QString&)> title)
  : m_s(s), m_link(link), m_title(std::move(title))
{
  m_link.addTopic(topicName());
  m_link.createItem(topicName(), kSysItems, QStringList{kTopics, kSysItems, kFormats, kStatus}.join('\t'));
  m_link.createItem(topicName(), kFormats, QStringLiteral("TEXT"));
  m_link.createItem(topicName(), kStatus, QString());
  m_link.createItem(topicName(), kTopics, QString());
  m_flush.setSingleShot(true);
  m_flush.setInterval(0);
  connect(&m_flush, &QTimer::timeout, this, &SystemTopic::flush);
  connect(&m_link, &ddeml::Server::itemCreated, this, &SystemTopic::onItemCreated);
  connect(&m_link, &ddeml::Server::itemRemoved, this, &SystemTopic::onItemRemoved);
  connect(&m_link, &ddeml::Server::topicRemoved, this,
          [this](const QString& topic) { onTopicRemoved(topic); });
  connect(&m_s.fields, &StatusFields::changed, this, &SystemTopic::publishStatus);
  // Topics that were there before this one.
  for (const QString& t : m_link.topics())
    if (!same(t, topicName()))
      markDirty(t);
  flush();
}

SystemTopic::~SystemTopic() { m_link.removeTopic(topicName()); }

bool SystemTopic::isDiscoveryItem(const QString& topic, const QString& item)
{
  return same(topic, topicName()) || isListItem(item);
}

QString SystemTopic::refusePoke(const QString& topic, const QString& item)
{
  if (same(topic, topicName())) {
    if (same(item, kStatus))
      publishStatus();
    else if (same(item, kTopics))
      m_topicsDirty = true;
    else if (same(item, kFormats))
      m_link.setItem(topicName(), kFormats, QStringLiteral("TEXT"));
    else if (same(item, kSysItems))
      m_link.setItem(topicName(), kSysItems, QStringList{kTopics, kSysItems, kFormats, kStatus}.join('\t'));
  } else {
    m_dirty.insert(topic);
  }
  flush();
  return QStringLiteral("read-only: the server keeps this item itself");
}

bool SystemTopic::naturalLess(const QString& a, const QString& b)
{
  qsizetype i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].isDigit() && b[j].isDigit()) {
      qsizetype ei = i, ej = j;
      while (ei < a.size() && a[ei].isDigit())
        ++ei;
      while (ej < b.size() && b[ej].isDigit())
        ++ej;
      const qulonglong x = a.mid(i, ei - i).toULongLong(), y = b.mid(j, ej - j).toULongLong();
      if (x != y)
        return x < y;
      i = ei;
      j = ej;
      continue;
    }
    const QChar ca = a[i].toCaseFolded(), cb = b[j].toCaseFolded();
    if (ca != cb)
      return ca < cb;
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

void SystemTopic::onItemCreated(const QString& topic, const QString& item)
{
  // Only a new item changes the lists; values do not (the listener is not
  // on the path of every published value).
  if (same(topic, topicName()) || isListItem(item))
    return;
  const auto it = m_known.constFind(topic.toCaseFolded());
  if (it == m_known.constEnd() || !it->contains(item.toCaseFolded()))
    markDirty(topic);
}

void SystemTopic::onItemRemoved(const QString& topic, const QString& item)
{
  if (!same(topic, topicName()) && !isListItem(item))
    markDirty(topic);
}

void SystemTopic::onTopicRemoved(const QString& topic)
{
  m_known.remove(topic.toCaseFolded());
  m_topicsDirty = true;
  m_flush.start();
}

void SystemTopic::markDirty(const QString& topic)
{
  if (!m_known.contains(topic.toCaseFolded()))
    m_topicsDirty = true;
  m_known[topic.toCaseFolded()]; // listed from now on; the flush fills it
  m_dirty.insert(topic);
  m_flush.start();
}

void SystemTopic::flush()
{
  const QSet<QString> dirty = std::exchange(m_dirty, {});
  for (const QString& topic : dirty)
    if (m_link.hasTopic(topic))
      publishTopicLists(topic);
  if (std::exchange(m_topicsDirty, false)) {
    QStringList topics = m_link.topics();
    std::sort(topics.begin(), topics.end(), naturalLess);
    m_link.setItem(topicName(), kTopics, topics.join('\t'));
  }
  publishStatus();
}

void SystemTopic::publishTopicLists(const QString& topic)
{
  QStringList items = m_link.items(topic);
  items.removeIf([](const QString& item) { return isListItem(item); });
  std::sort(items.begin(), items.end(), naturalLess);
  QSet<QString>& known = m_known[topic.toCaseFolded()];
  known.clear();
  QStringList titles;
  for (const QString& item : items) {
    known.insert(item.toCaseFolded());
    titles << (m_title ? m_title(topic, item) : QString());
  }
  m_link.createItem(topic, kItemList, items.join('\t'));
  m_link.createItem(topic, kItemNames, titles.join('\t'));
}

void SystemTopic::publishStatus()
{
  // Busy from the start of opening the communication until the scan is done.
  const bool busy = m_s.state.NotReady && m_s.state.CommOpen;
  m_link.setItem(topicName(), kStatus, busy ? QStringLiteral("Busy") : QStringLiteral("Ready"));
}

}
