#pragma once
#include <QHash>
#include <QString>
#include <cstdint>

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;

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
  // value. Used by CreateItems and by the interface-instrument tracking.
  void createItem(int16_t index, const QString& value);
  // Removes item index; its advise links end (the message engine removes
  // parameters a module does not offer).
  void removeItem(int16_t index);

  // Applies the availability the channel's new device type gives
  // (ChanParIfiFlag): items of parameters it now offers are created under
  // the parameter's name, those it no longer offers are taken down.
  void UpdateIFIParams();

  static QString itemName(int16_t index) { return QStringLiteral("P(%1)").arg(index); }
  static QString topicNameOf(int16_t channel) { return QStringLiteral("C(%1)").arg(channel); }
  // Parses "P(m)" (any letter case); -1 when the text is not such a name.
  static int16_t parseIndex(const QString& item);

private:
  Server& m_s;
  ddeml::Server& m_link;
  QHash<int16_t, QString> m_nameTags;
};

}
