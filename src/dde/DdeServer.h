#pragma once
#include "frmTopic.h"

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;
class ServerTopic;
class SystemTopic;

// The link service "Tesmira" as clients see it: the channel topics C(0) ..
// C(n) with their parameter items, the server topic, the System topic and
// item lists for discovery, the publication of
// every new parameter value (Change_dde_item), the first handling of client
// pokes and link errors, and the request tags that carry a DDE parameter
// number through the bus.
//
// Created by Server::createServices (as Server::dde) with the server topic
// already in place; the service name is taken by registerService, which the
// single-instance check calls once it has found no other server. Runs on the
// main thread only.
class DdeServer : public QObject {
  Q_OBJECT
public:
  explicit DdeServer(Server& s);
  ~DdeServer() override;

  // Takes the service name Server::title() on the link layer. Fails with a
  // message when another live server holds it (or the runtime folder cannot
  // be used); inUse tells the first case apart.
  bool registerService(QString* error, bool* inUse = nullptr);
  bool registered() const;
  // The path of the service's socket (empty while not registered).
  QString socketPath() const;

  ddeml::Server& link() { return *m_link; }
  ServerTopic& serverTopic() { return *m_serverTopic; }

  // Indexed by channel; entries are null while no topics exist.
  std::vector<std::unique_ptr<frmTopic>> TopicTable;

  // Creates the topics C(0) .. C(count) with their items (progress on the
  // busy display) and sets TopicsCreated.
  void AddTopicScr(int16_t count);
  // Destroys every channel topic (their conversations are closed); nothing
  // happens while TopicsCreated is false.
  void DeleteTopicScr();
  frmTopic* topic(int16_t channel) const;
  // The channel topic of that name ("C(3)", any letter case); null when
  // there is none.
  frmTopic* topicByName(const QString& name) const;
  // The channel's topic, made with its items when it is missing; null for a
  // channel beyond the table.
  frmTopic* topicOrNew(int16_t channel);

  // Publishes a new value of a parameter of a channel: trims it, writes the
  // Read log line (with the value's description when a log file takes
  // it) and sets the item when the channel offers the parameter. A channel
  // beyond the channels on the bus is ignored.
  void Change_dde_item(int16_t channel, int16_t parameter, const QString& value);

  // The value without trailing blanks, unless TrimTrailingSpaces is off or
  // the parameter keeps its blanks (the exemption list).
  QString TrimItemValue(const QString& value, int16_t parameter) const;
  // The text without CR and LF (the first character of a parameter-1 value
  // is kept), unless TrimCRLF is off and force is false, or the parameter
  // is on the exemption list.
  QString StripCRLF(const QString& text, int16_t parameter, bool force) const;
  // Parameters whose values keep trailing blanks, CR and LF.
  static bool isExempt(int16_t parameter);
  // The numeric value of a text; 0 when the text is not a number.
  static double numericValue(const QString& text);

  // Request tags: tag = sequence + 128 * parameter - 32767, the sequence
  // running 1, 2, ..., 127, 0 per parameter. A parameter outside 0..510 is
  // reported by message box and replaced by 511, whose sequence runs 1 ..
  // 126, 0 so that its tags (32641 .. 32767) stay within 16 bits.
  int16_t MakeRequestTag(int16_t parameter);
  // The parameter number of a tag; a number outside 0..510 (only the
  // substitute 511 and the unused tag -32768 give one) is reported by
  // message box and returned as it is.
  int16_t RequestTagParNr(int16_t tag);

  // Entry points of the poke and command handling (filled by its owner);
  // unset, accepted pokes only change the item. Rcvd_dde_item returns the
  // empty text when the value was taken, otherwise why not.
  std::function<void(int16_t channel, const QString& command)> Rcvd_dde_Cmnd;
  std::function<QString(int16_t channel, const QString& name, int16_t parameter, const QString& value)>
    Rcvd_dde_item;

  // Pokes an item for a bridge (MQTT, the web access) along the link
  // clients' poke path (ddeml::Server::poke): same checks, same handling,
  // the log line marked with origin (" [MQTT]", " [HTTP]"). Returns the
  // empty text or the refusal's reason. A refused write leaves the item with
  // the text it had before.
  QString PokeFrom(const QString& origin, const QString& topic, const QString& item, const QByteArray& value);
  QString PokeOverMqtt(const QString& topic, const QString& item, const QByteArray& value)
  {
    return PokeFrom(QStringLiteral(" [MQTT]"), topic, item, value);
  }
  // The origin mark of the bridge poke being handled, from its start until
  // its handling returns; empty for a link client's poke. The poke and
  // command handling append it to their log line.
  const QString& pokeOrigin() const { return m_pokeOrigin; }

  // Poke and link-error handling of a channel topic's item (the link layer
  // calls them; public for the test window and tests). P_Change returns the
  // empty text when the poke was carried out, otherwise the reason the
  // poking client is given.
  QString P_Change(frmTopic& t, int16_t index, const QString& value);
  void P_LinkError(frmTopic& t, int16_t index, int code);
  static QString linkErrorMessage(int code);

signals:
  // Every poke, from a link client or over MQTT: pokeStarting right after
  // the item took the poked text (nothing runs in between), pokeFinished
  // once its handling returned, with the empty text when it was carried out
  // or the reason it was refused.
  void pokeStarting(const QString& topic, const QString& item);
  void pokeFinished(const QString& topic, const QString& item, const QString& result);

private:
  void listenTcpFromSettings();
  QString onPoke(const QString& topic, const QString& item, const QString& value);
  void onLinkError(const QString& topic, const QString& item, int code);
  // The Read log line's description lookup; may rewrite text as the log
  // shows it. Returns the extra text (seven blanks, TAB, description).
  QString logDescription(int16_t parameter, QString& text) const;
  QString parameterName(int16_t parameter) const;     // Name, 10 characters
  QString parameterLongName(int16_t parameter) const;

  Server& m_s;
  std::unique_ptr<ddeml::Server> m_link;
  std::unique_ptr<ServerTopic> m_serverTopic;
  std::unique_ptr<SystemTopic> m_systemTopic; // discovery: System topic and item lists
  std::array<int32_t, 513> RequestSeq{};
  QString m_nextPokeOrigin; // set by PokeFrom, taken by onPoke
  QString m_pokeOrigin;
};

}
