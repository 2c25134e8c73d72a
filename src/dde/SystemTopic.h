#pragma once
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;

// Discovery the way link clients know it: the topic "System" with the items
// Topics (the topics that exist now), SysItems (the items of System),
// Formats (the one data format, TEXT) and Status ("Ready", or "Busy" while
// the bus is being opened and scanned), and on every other topic the items
// TopicItemList (the topic's item names) and TopicItemNames (the parameter
// name of each of those items, in the same order; empty where an item has
// none). Lists are tab-separated, in natural order (C(2) before C(10)).
//
// Follows the link layer's item and topic signals, so every topic and item
// that appears or goes is listed without its owner's help; the lists are
// brought up to date once the current burst of changes is over (a channel
// topic's items are created one by one).
class SystemTopic : public QObject {
  Q_OBJECT
public:
  // title(topic, item): the parameter name an item shows to people.
  SystemTopic(Server& s, ddeml::Server& link, std::function<QString(const QString&, const QString&)> title);
  ~SystemTopic() override;

  static QString topicName() { return QStringLiteral("System"); }
  static QString itemListName() { return QStringLiteral("TopicItemList"); }
  static QString itemNamesName() { return QStringLiteral("TopicItemNames"); }
  // True for the System topic and for the list items on the other topics:
  // they are the server's own and refuse pokes.
  static bool isDiscoveryItem(const QString& topic, const QString& item);
  // A poke into a discovery item: the item gets its value back; returns the
  // refusal text for the poking client.
  QString refusePoke(const QString& topic, const QString& item);

  // Natural order of names: digit runs compare as numbers, the rest without
  // regard to case.
  static bool naturalLess(const QString& a, const QString& b);

private:
  void onItemCreated(const QString& topic, const QString& item);
  void onItemRemoved(const QString& topic, const QString& item);
  void onTopicRemoved(const QString& topic);
  void markDirty(const QString& topic);
  void flush();
  void publishTopicLists(const QString& topic);
  void publishStatus();

  Server& m_s;
  ddeml::Server& m_link;
  std::function<QString(const QString&, const QString&)> m_title;
  QHash<QString, QSet<QString>> m_known; // case-folded topic -> case-folded items listed
  QSet<QString> m_dirty;                 // topics (server spelling) whose lists are stale
  bool m_topicsDirty = true;
  QTimer m_flush;
};

}
