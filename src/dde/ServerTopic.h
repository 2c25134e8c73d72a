#pragma once
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

namespace ddeml {
class Server;
}

namespace tesmira {

class Server;

// The topic "server": one item per status field of the main window
// (StatusFields::itemNames()), always equal to the field. It exists from
// start-up to shut-down, whether or not the communication is open.
//
// Client pokes: OpenCom opens or closes the communication; Interface and
// Baudrate choose the port for the next opening (refused while it is open);
// SelChan and Polling switch the polling of channels; PollTime, PollBatch
// and RTPInterval set the poll settings, clamped as the poll time dialog
// clamps them. A poke of any other item changes the shown text only, until
// the server sets the field again. A refused poke is answered with a
// failure and the item shows the server's value again.
//
// The server's own writes of the fields only publish the new values; the
// poke handlers run for client pokes alone.
class ServerTopic : public QObject {
  Q_OBJECT
public:
  ServerTopic(Server& s, ddeml::Server& link);
  ~ServerTopic() override;

  static QString topicName() { return QStringLiteral("server"); }

  // A client poked value (item holds it already). Returns the empty text
  // when the poke is taken, otherwise why it is refused.
  QString poke(const QString& item, const QString& value);

  // Writes OpenCom for the server itself ("1" opened, "0" closed) with the
  // guard raised, so that the change is not taken for a client request.
  void ChangeOpenCom(const QString& value);
  bool openComGuard() const { return m_openComGuard > 0; }

  // The actions the pokes carry out. The constructor installs the real ones
  // (the menu actions, the device table, the polling scheduler); tests put
  // stand-ins in.
  std::function<void()> OpenCommunication;
  std::function<void()> CloseCommunication;
  std::function<void(int16_t channel, bool polled)> SetChanPolled;
  std::function<void()> StopPolling;
  std::function<void()> StartPolling;

private:
  void fieldChanged(const QString& name, const QString& text);
  QString OpenCom_Change(const QString& text);
  QString Interface_Change(const QString& text);
  QString Baudrate_Change(const QString& text);
  void SelChan_Change(const QString& text);
  void Polling_Change(const QString& text);
  QString PollSetting_Change(const QString& item, const QString& text);
  // Sets a field (and so the item) as the server does.
  void setField(const QString& name, const QString& text);

  Server& m_s;
  ddeml::Server& m_link;
  int m_openComGuard = 0;
  QString m_echoing; // field being set from a poke: the item holds it already
};

// Writes OpenCom through the server topic (guarded); the field alone when
// there is no link service.
void ChangeOpenCom(Server& s, const QString& value);

// One request to the running server's own service (Server::title()): a
// fresh conversation on topic, one request of item, 30 seconds at most.
// Any failure gives an empty text.
QString Request(const QString& topic, const QString& item);

}
