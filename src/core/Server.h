#pragma once
#include "Configuration.h"
#include "Options.h"
#include "ProcessState.h"
#include "OperatorView.h"
#include "StatusFields.h"
#include "config/ChannelModel.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace support {
class Setting;
class Debug;
}

namespace tesmira {

class clsGeneral;
class Database;
class Logger;
class ErrorMessages;
class clsComSoraDLL;
class DdeServer;
class DeviceTable;
class MessageEngine;
class frmPollTime;
class Commands;
class Simulation;
class MqttBridge;
class WebServer;

// The application context: one object that owns the server's subsystems and
// their state, reached through Server::current(). Everything runs on the Qt
// main thread. A test builds a fresh Server in-process, uses it and destroys
// it; nothing of it outlives the object.
class Server : public QObject {
  Q_OBJECT
public:
  explicit Server(QObject* parent = nullptr);
  ~Server() override;

  static Server* current();

  // The program's title ("Tesmira") and the caption title + " " + version.
  static QString title() { return QStringLiteral("Tesmira"); }
  QString ProgramTitle;

  Options options;
  ProcessState state;
  Configuration cfg;
  StatusFields fields; // the main window's status fields / server topic items
  ChannelModel channels; // the channels found on the bus
  bool settingsLoaded = false; // LoadPortSettings has run once

  std::unique_ptr<clsGeneral> general;
  std::unique_ptr<Database> db;
  std::unique_ptr<Logger> log;
  std::unique_ptr<ErrorMessages> errors;
  std::unique_ptr<clsComSoraDLL> session; // the communication session (library application id)
  std::unique_ptr<DdeServer> dde; // link service: channel topics and the server topic
  std::unique_ptr<DeviceTable> devices; // device types and the device-table reconciliation
  std::unique_ptr<MessageEngine> engine; // bus requests and replies
  std::unique_ptr<frmPollTime> poll; // polling scheduler and watchdog
  std::unique_ptr<Commands> commands; // client pokes and commands of the channel topics
  std::unique_ptr<Simulation> simulation; // simulation mode and its timer
  std::unique_ptr<MqttBridge> mqtt; // item values on an MQTT broker; null unless [MQTT] Enabled
  std::unique_ptr<WebServer> web; // REST, metrics and live values over HTTP; null unless [Http] Port

  // What an operator sees: the main window of the windowed program, which
  // sets itself here while it exists. Without one (the daemon, no display)
  // the calls do nothing.
  OperatorView& view() const { return m_view ? *m_view : s_noView; }
  bool hasView() const { return m_view != nullptr; }
  void setView(OperatorView* view) { m_view = view; }

  // Convenience access to the general services' components (null until
  // clsGeneral exists).
  support::Setting* setting() const;
  support::Debug* debug() const;

  // Seams filled by the communication session once it exists: applying the
  // port settings to the session, and the open-communication branch of the
  // interface display (sets Caption and lblInterfaceType; returns whether
  // the port field is shown).
  std::function<void()> ApplyPortSettings;
  // The polling scheduler's stop calls (start-up and shut-down use them).
  std::function<void()> StopPollingHook;
  std::function<void()> StopPollingTimersHook;

  // The library's application id of the communication session; -1 until
  // the session exists.
  int16_t iAppId = -1;
  std::function<bool()> InterfaceDisplayOpen;

  // Headless: no display; console lines are mirrored to standard output and
  // prompts are answered by policy.
  bool headless = false;

  // The main window's status calls, usable headless too: the busy display
  // and the menus go to the view; the status texts are fields either way,
  // and log lines go to the logger once it exists.
  void ShowBusy(const QString& text, double step);
  void HideBusy();
  void ResetBusyProgress();
  void SetComStatus(const QString& text);
  void enableMenu(const char* name, bool on);
  void LogMessage(int category, const QString& text);

  // Creates the general services (first step of start-up).
  void createGeneral(const QString& programFolder);
  // Creates the database, logger and error handler once the general services
  // exist (they need the settings and debug components).
  void createServices();

private:
  static Server* s_current;
  static OperatorView s_noView;
  OperatorView* m_view = nullptr;
};

}
