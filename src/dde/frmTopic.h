#pragma once
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <cstdint>

class QJsonObject;

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;

// What a program needs to know to use an item: from the parameter table and
// the channel (see frmTopic::info). Shared by the link item TopicItemInfo,
// the MQTT bridge's $meta messages and its JSON payloads, and the web
// access's item answers.
struct ItemInfo {
  QString item;        // "P(8)"
  QString name;        // the parameter's short name, without padding
  QString longName;
  QString description; // filled by info(..., true) only
  QString unit;        // empty when not known
  QString datatype;    // "integer", "float" or "text"
  bool hasRange = false;
  double min = 0;
  double max = 0;
  bool readable = false;
  bool writable = false;
  bool polled = false;
  // The meaning of each value of a coded item (info(..., true) only).
  QList<QPair<QString, QString>> values;
  // Measure and setpoint: the channel's capacity and its unit as read,
  // "100 ln/min"; empty until read.
  QString capacity;
  // The identification string: its first byte (the device type), -1
  // before it was read.
  int deviceType = -1;

  // "R", "W", "RW", or "" for neither.
  QString access() const;
  // As JSON: name, longName, description, unit, datatype, polled, and when
  // known min and max, capacity, deviceType, values (value -> meaning).
  QJsonObject toJson() const;
  // An item of a topic that is no channel's (Server, System): a readable
  // text under its own name.
  static ItemInfo plainText(const QString& item);
};

// One channel topic "C(n)" of the link service: its items are "P(m)", m the
// DDE parameter number. The topic exists on the link layer from construction
// to destruction; destroying it closes the clients' conversations on it.
//
// Item 0 (the command item) exists from the start; CreateItems names the
// topic and creates the rest from the channel model and the parameter table.
class frmTopic {
public:
  frmTopic(Server& s, ddeml::Server& link, int16_t channel);
  ~frmTopic();
  frmTopic(const frmTopic&) = delete;
  frmTopic& operator=(const frmTopic&) = delete;

  int16_t channel = 0;
  // True only while the server itself writes an item (ChangeItem): a poke
  // seen meanwhile is not a client request.
  bool changing = false;
  QString tag;       // the channel number as decimal text
  QString topicName; // "C(" + channel + ")"

  // Names the topic and creates its items: P(0) "paramread" everywhere;
  // on C(0) also P(1) "readstatus" and P(2) "writestatus"; on C(n) one item
  // per parameter the channel offers, showing the parameter's short name.
  void CreateItems(int16_t channel);

  // Sets item index to value with the changing flag raised; linked clients
  // are told. Nothing happens when the item does not exist.
  void ChangeItem(int16_t index, const QString& value);

  QString item(int16_t index) const; // empty when there is no such item
  bool hasItem(int16_t index) const;
  // The item's name tag: "paramread", the parameter's short name, ...
  QString nameTag(int16_t index) const { return m_nameTags.value(index); }

  // Creates item index (or replaces its value when it exists) and publishes
  // value, which is the parameter's name until the item's
  // first real value. Used by CreateItems and the interface-instrument
  // tracking.
  void createItem(int16_t index, const QString& value);
  // True once the item holds a value the server set (read from the bus, the
  // simulation, an error text, a command's reset) or a poke that was carried
  // out; false while it shows the parameter's name.
  bool valued(int16_t index) const { return m_valued.contains(index); }
  void setValued(int16_t index) { m_valued.insert(index); }

  // The item's metadata; texts: also the description and the value texts,
  // which come from the database file.
  ItemInfo info(int16_t index, bool texts = false) const;
  // The item TopicItemInfo: infoHeader(), then one row per item in item
  // order, the columns tab-separated, rows ended by CR LF.
  static QString infoItemName() { return QStringLiteral("TopicItemInfo"); }
  static QString infoHeader();
  QString infoTable() const;
  // Brings TopicItemInfo up to date (after items came or went, or a unit
  // item's value changed).
  void updateInfo();
  // Whether other items' units are this item's value (the unit items).
  bool infoSource(int16_t index) const;
  // Removes item index; its advise links end (the message engine removes
  // parameters a module does not offer).
  void removeItem(int16_t index);

  // Applies the availability the channel's new device type gives
  // (ChanParIfiFlag): items of parameters it now offers are created under
  // the parameter's name, those it no longer offers are taken down.
  void UpdateIFIParams();

  // "P(index)"; the names of 0..510 are made once and shared.
  static QString itemName(int16_t index);
  // The same in the link server's folded spelling ("p(index)"), which it
  // looks up without folding again.
  static QString itemKey(int16_t index);
  static QString topicNameOf(int16_t channel) { return QStringLiteral("C(%1)").arg(channel); }
  // Parses "P(m)" (any letter case); -1 when the text is not such a name.
  static int16_t parseIndex(const QString& item);

private:
  void setNameTag(int16_t index, const QString& name);

  Server& m_s;
  ddeml::Server& m_link;
  QString m_topicKey; // topicName folded, for the link server's look-ups
  QHash<int16_t, QString> m_nameTags;
  QSet<int16_t> m_infoSources; // the unit items among the name tags (infoSource)
  QSet<int16_t> m_valued;
  bool m_hasInfo = false; // TopicItemInfo exists (after CreateItems)
};

}
