#include "Server.h"

#include "clsGeneral.h"
#include "bus/Communication.h"
#include "bus/ErrorMessages.h"
#include "bus/clsComSoraDLL.h"
#include "config/DeviceTable.h"
#include "dde/Commands.h"
#include "dde/DdeServer.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "db/Database.h"
#include "log/Logger.h"
#include "mqtt/MqttBridge.h"
#include "operator/ServiceLog.h"
#include "operator/Simulation.h"
#include "web/WebServer.h"

namespace tesmira {

Server* Server::s_current = nullptr;
OperatorView Server::s_noView;

Server::Server(QObject* parent) : QObject(parent) { s_current = this; }

// The services go in the reverse order of their declaration: the web server
// and the MQTT bridge before the link service they read, the scheduler
// before the engine, the session (which tells the debug component that it
// goes) before the settings and debug components.
Server::~Server()
{
  if (s_current == this)
    s_current = nullptr;
}

Server* Server::current() { return s_current; }

support::Setting* Server::setting() const { return general ? general->oSetting() : nullptr; }
support::Debug* Server::debug() const { return general ? general->oDebug() : nullptr; }

void Server::createGeneral(const QString& programFolder)
{
  general = std::make_unique<clsGeneral>(programFolder, title());
  ProgramTitle = title() + ' ' + general->sVersion();
}

void Server::createServices()
{
  db = std::make_unique<Database>(*general->oSetting(), *general->oFolder(), general->oDebug());
  log = std::make_unique<Logger>(general->oSetting(), general->oDebug(), cfg);
  errors = std::make_unique<ErrorMessages>(state, cfg, *log, general->oDebug());
  session = std::make_unique<clsComSoraDLL>();
  ApplyPortSettings = [this] { tesmira::ApplyPortSettings(*this); };
  dde = std::make_unique<DdeServer>(*this);
  commands = std::make_unique<Commands>(*this);
  commands->Servicelog = [this] { tesmira::Servicelog(*this); };
  devices = std::make_unique<DeviceTable>(*this);
  engine = std::make_unique<MessageEngine>(*this);
  poll = std::make_unique<frmPollTime>(*this);
  simulation = std::make_unique<Simulation>(*this);

  // The error handler reports through the channels, the parameter table and
  // the status items of C(0): P(1) for reads, P(2) for writes, so a client
  // that poked a value learns why it failed.
  errors->channelDevId = [this](int channel) {
    const ChannelRec* r = channels.channel(channel);
    return r ? int(r->Dev_ID) : 0;
  };
  errors->parameterName = [this](int parameter) {
    return db && parameter >= 0 && size_t(parameter) < db->ParameterTable.size()
             ? db->ParameterTable[size_t(parameter)].Name
             : QString();
  };
  errors->publishError = [this](int item, const QString& text) {
    if (frmTopic* t = dde ? dde->topic(0) : nullptr)
      t->ChangeItem(int16_t(item), text);
  };
  // The count is a status field: clients, the web pages and MQTT read it
  // with or without a main window.
  errors->showErrorCount = [this](const QString& text) { fields.set(QStringLiteral("lblError"), text); };
}

void Server::ShowBusy(const QString& text, double step) { view().ShowBusy(text, step); }

void Server::HideBusy() { view().HideBusy(); }

void Server::ResetBusyProgress() { view().ResetBusyProgress(); }

void Server::SetComStatus(const QString& text)
{
  fields.set(QStringLiteral("Status"), text);
  if (StatusFields::ComStates().contains(text)) {
    fields.set(QStringLiteral("ComStatus"), text);
    view().ShowComState(text);
  }
}

void Server::enableMenu(const char* name, bool on) { view().enableMenu(QString::fromLatin1(name), on); }

void Server::LogMessage(int category, const QString& text)
{
  if (log)
    log->LogMessage(category, text);
}

}
