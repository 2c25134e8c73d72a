#include "Commands.h"

#include "DdeServer.h"
#include "frmTopic.h"
#include "bus/Communication.h"
#include "bus/ErrorMessages.h"
#include "config/InterfaceTracking.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "engine/BulkRead.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/LogCategory.h"
#include "log/Logger.h"
#include "operator/Simulation.h"

#include "Debug.h"

#include <QMetaObject>
#include <QSqlQuery>
#include <QVariant>

namespace tesmira {
namespace {

const QString kTesmira = QStringLiteral("Tesmira");
const QString kLinkpoke = QStringLiteral("(linkpoke from client)");

const char* const kModule = "Commands";

// The whole number a command part stands for: 0 for text that is not a
// number; false when the number does not fit 16 bits.
bool commandNumber(const QString& text, int16_t& value)
{
  value = 0;
  if (!IsNumeric(text))
    return true;
  bool ok = false;
  value = ToInteger(text, &ok);
  return ok;
}

}

Commands::Commands(Server& server) : s(server)
{
  if (s.dde) {
    s.dde->Rcvd_dde_item = [this](int16_t channel, const QString& name, int16_t parameter, const QString& value) {
      return Rcvd_dde_item(channel, name, parameter, value);
    };
    s.dde->Rcvd_dde_Cmnd = [this](int16_t channel, const QString& command) { Rcvd_dde_Cmnd(channel, command); };
  }
}

Commands::~Commands()
{
  if (s.dde) {
    s.dde->Rcvd_dde_item = nullptr;
    s.dde->Rcvd_dde_Cmnd = nullptr;
  }
}

// ------------------------------------------------------------------ writes

// The description of a poked value for the log: the first value text of the
// parameter that matches the value (any value text when nothing was poked).
// The value is bound, never pasted into the statement.
QString Commands::valueDescription(int16_t parameter, const QString& value) const
{
  if (!s.db)
    return {};
  const QString v = value.trimmed();
  if (!v.isEmpty())
    return s.db->ValueDescription(parameter, v);
  if (!s.db->ParValueSet || !s.db->isOpen())
    return {};
  QSqlQuery q(s.db->TheDatabase);
  q.setForwardOnly(true);
  q.prepare(QStringLiteral("SELECT Description FROM ParValue WHERE Parameter = ? ORDER BY Value LIMIT 1"));
  q.addBindValue(int(parameter));
  return q.exec() && q.next() ? q.value(0).toString() : QString();
}

QString Commands::Rcvd_dde_item(int16_t channel, const QString& name, int16_t parameter, const QString& value)
{
  support::Trace t(s.debug(), kModule, "Rcvd_dde_item");
  const QString origin = kLinkpoke + (s.dde ? s.dde->pokeOrigin() : QString());
  QString desc = origin;
  if (s.log && s.log->logFileOpen() && !s.log->LogErrorsOnly) {
    const QString found = valueDescription(parameter, value);
    if (!found.isEmpty())
      desc = origin + QString(7, QLatin1Char(' ')) + QLatin1Char('\t') + found;
  }
  if (s.log) {
    // The status items of C(0) are no parameters: their own names are shown.
    const QString shown = channel == 0 || !s.db || parameter < 0 || size_t(parameter) >= s.db->ParameterTable.size()
                            ? name
                            : s.db->ParameterTable[size_t(parameter)].LongName;
    s.log->LogParameter(Write, channel, parameter, shown, value.trimmed(), desc);
  }
  if (s.state.SimulationOn) {
    if (s.simulation)
      s.simulation->Simulate_value(channel, name, parameter, value);
    return {};
  }
  if (channel == 0 || parameter == 0 || !s.engine)
    return {};
  const ChannelRec* rec = s.channels.channel(channel);
  const uint8_t node = rec ? rec->Dev_Nodenr : 0, process = rec ? rec->Dev_Proc : 0;
  // Errors of the write are reported by the engine (log, C(0)!P(2)); the
  // poking client is also told, by the error's own text.
  int16_t code = 0;
  s.engine->Write_to_Soranet_direct(node, process, channel, parameter, value, &code);
  if (parameter == 1)
    UpdateIdentAfterWink(s, node, process, channel);
  return code == 0 ? QString() : ErrorMessages::ErrorText(code);
}

// ---------------------------------------------------------------- commands

bool Commands::ParseCommand(const QString& command, int16_t& code, QString& specification)
{
  code = 0;
  specification = QStringLiteral("ALL");
  const qsizetype dot = command.indexOf(QLatin1Char('.'));
  if (dot >= 0) {
    int16_t group = 0;
    if (!commandNumber(command.left(dot), code) || !commandNumber(command.mid(dot + 1), group))
      return false;
    if (group >= 0 && group <= 99)
      specification = QStringLiteral("GROUP") + QString::number(group);
    return true;
  }
  // ALL is the whole text in any letter case; with blanks around it the
  // text is no number either and counts 0.
  if (command.compare(QLatin1String("ALL"), Qt::CaseInsensitive) == 0) {
    code = -1;
    return true;
  }
  return commandNumber(command, code);
}

void Commands::Rcvd_dde_Cmnd(int16_t channel, const QString& command)
{
  support::Trace t(s.debug(), kModule, "Rcvd_dde_Cmnd");
  if (s.log)
    s.log->LogParameter(Write, channel, 0, kTesmira, command,
                        QStringLiteral("(linkpoke command from client)") +
                          (s.dde ? s.dde->pokeOrigin() : QString()));
  if (s.state.SimulationOn) {
    if (s.simulation)
      s.simulation->Simulate_value(channel, QStringLiteral("paramread"), 0, command);
    return;
  }
  if (s.engine)
    s.engine->HandlePendingMsg(); // replies already waiting go first
  if (channel != 0) {
    // A channel topic: the text is the scan specification as it is.
    if (channel >= 1 && channel < int(s.channels.ChannelTable.size()))
      Poll_All_Params(s, channel, command);
    return;
  }
  int16_t code = 0;
  QString specification;
  if (!ParseCommand(command, code, specification)) {
    if (s.log) {
      s.log->LogParameter(Error, 0, 0, kTesmira, command, QStringLiteral("Overflow"));
      s.log->DebugLogError(support::Debug::FormatError(6, QStringLiteral("Overflow"), QStringLiteral("Commands"),
                                                       QStringLiteral("Rcvd_dde_Cmnd"), command));
    }
    return;
  }
  if (code > 0)
    Poll_All_Params(s, code, specification);
  else
    performCode(code, specification);
}

void Commands::showWindow(const char* name) { s.view().ShowForm(QString::fromLatin1(name)); }

void Commands::performCode(int16_t code, const QString& specification)
{
  switch (code) {
  case -1:
    Poll_All_Params(s, -1, specification);
    return;
  case -2:
    PollingHold(s, true);
    if (Servicelog)
      Servicelog();
    ReadyCOPO(s, 0, {});
    PollingHold(s, false);
    return;
  case -3:
    s.view().ShowMain();
    break;
  case -4: showWindow("frmNetwork"); break;
  case -5: break;
  case -6: showWindow("frmPollTime"); break;
  case -7: showWindow("frmSystem"); break;
  case -8:
    if (s.fields.value(QStringLiteral("ComStatus")) == QLatin1String("Normal polling"))
      RestartCommunication(s);
    break;
  case -9:
    // After the poke has been answered: closing the main window runs the
    // ordered shut-down, which ends the conversations; without a window the
    // server is asked to stop as a stop signal asks it.
    QMetaObject::invokeMethod(
        &s,
        [&server = s] {
          if (server.hasView())
            server.view().CloseMain();
          else
            RequestStop(server);
        },
        Qt::QueuedConnection);
    return;
  case -10:
    s.view().MinimiseMain();
    return;
  default:
    return; // 0 and below -10: nothing, the item keeps the text
  }
  ReadyCOPO(s, 0, {});
}

void ReadyCOPO(Server& s, int16_t channel, const QList<int16_t>& channels)
{
  if (!s.dde)
    return;
  const QString zero = QStringLiteral("0");
  if (frmTopic* t = s.dde->topic(channel))
    t->ChangeItem(0, zero);
  if (frmTopic* t = s.dde->topic(0))
    t->ChangeItem(0, zero);
  for (int16_t c : channels)
    if (c != 0)
      if (frmTopic* t = s.dde->topic(c))
        t->ChangeItem(0, zero);
  if (!s.state.NotReady && s.log)
    s.log->LogParameter(Write, channel, 0, kTesmira, zero, QStringLiteral("(command performed)"));
}

}
