#include "Simulation.h"

#include "config/DeviceTable.h"
#include "core/Server.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "dde/Commands.h"
#include "dde/DdeServer.h"
#include "log/LogCategory.h"
#include "log/Logger.h"

#include "Debug.h"
#include "Prompt.h"

#include <QSqlQuery>
#include <QVariant>
#include <cmath>
#include <limits>

namespace tesmira {

Simulation::Simulation(Server& server, QObject* parent) : QObject(parent), s(server)
{
  tmrSimulation.setInterval(200);
  connect(&tmrSimulation, &QTimer::timeout, this, &Simulation::tmrSimulation_Timer);
}

int32_t Simulation::ToInt32(double v)
{
  if (std::isnan(v))
    return 0;
  const double r = std::nearbyint(v); // the default rounding: half to even
  if (r >= double(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (r <= double(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return int32_t(r);
}

void Simulation::menusFor(bool on)
{
  s.view().setMenuChecked(QStringLiteral("mnuSimulate"), on);
  if (s.log)
    s.log->syncMenus();
  s.enableMenu("mnuComSettings", !on);
  s.enableMenu("mnuConfiguration", on);
  s.enableMenu("mnuLNA", !on);
  s.enableMenu("mnuTest", on);
  s.enableMenu("mnuOpenCom", !on);
  s.enableMenu("mnuClose", false);
}

void Simulation::mnuSimulate_Click()
{
  support::Trace t(s.debug(), "frmMain", "mnuSimulate_Click");
  if (!s.state.SimulationOn) {
    s.state.SimulationOn = true;
    if (!s.state.TopicsCreated && s.devices && s.dde) {
      bool ok = false;
      QString error;
      s.devices->FillNodeInfo(ok, error);
      s.HideBusy();
      s.dde->AddTopicScr(s.channels.DBChannelCount);
    }
    menusFor(true);
    s.fields.set(QStringLiteral("lblCommPort"), QStringLiteral("Simulation = ON"));
    s.SetComStatus(QStringLiteral("Simulation"));
    s.LogMessage(Init, QStringLiteral("Simulation ON"));
    setDefaults();
    if (!s.options.ClientProgram.isEmpty()) {
      const QString error = StartProgram(s, s.options.ClientProgram);
      if (!error.isEmpty() && !s.options.OptQuiet)
        support::prompt().MsgBox(error, support::Prompt::Ok, support::Prompt::Exclamation, "Command Line");
    }
    s.state.NotReady = false;
  } else {
    s.state.SimulationOn = false;
    s.SetComStatus(QStringLiteral("Idle"));
    s.LogMessage(Init, QStringLiteral("Simulation OFF"));
    s.fields.set(QStringLiteral("lblCommPort"),
                 s.cfg.InterfaceName.trimmed() + "  " + QString::number(s.cfg.Baudrate) + ",n,8,1,-");
    menusFor(false);
    if (s.dde)
      s.dde->DeleteTopicScr();
    s.state.NotReady = true;
  }
}

// Every offered item shows its parameter's default value; a parameter
// without a row keeps the short name its item was created with.
void Simulation::setDefaults()
{
  if (!s.db || !s.db->isOpen() || !s.dde)
    return;
  QSqlQuery q(s.db->TheDatabase);
  q.setForwardOnly(true);
  q.prepare(QStringLiteral("SELECT \"Default\" FROM AllParameters WHERE Parameter = ? ORDER BY rowid LIMIT 1"));
  for (int p = 1; p <= s.db->MaxParNr; ++p) {
    bool looked = false, found = false;
    QString text;
    for (int16_t c = 1; c <= s.channels.MaxChannel; ++c) {
      if (!s.channels.available(c, p))
        continue;
      if (!looked) {
        looked = true;
        q.addBindValue(p);
        found = q.exec() && q.next();
        if (found)
          text = q.value(0).isNull() ? QString() : q.value(0).toString().trimmed();
        q.finish();
      }
      if (found)
        if (frmTopic* t = s.dde->topic(c))
          t->ChangeItem(int16_t(p), text);
    }
  }
}

void Simulation::Simulate_value(int16_t channel, const QString&, int16_t parameter, const QString& value)
{
  if (!s.dde)
    return;
  if (parameter == 0) {
    ReadyCOPO(s, channel, {});
  } else if (parameter == 1) {
    const ChannelRec* r = s.channels.channel(channel);
    if (r)
      s.dde->Change_dde_item(channel, 1, QString(QChar(r->Dev_ID)) + r->Dev_Ver.leftJustified(20, ' ', true));
  } else if (parameter == 9) {
    // Enabled, not restarted: setpoints poked faster than the step must
    // not keep the measure from moving.
    if (!tmrSimulation.isActive())
      tmrSimulation.start();
  } else {
    s.dde->Change_dde_item(channel, parameter, value);
  }
}

void Simulation::tmrSimulation_Timer()
{
  if (!s.state.SimulationOn)
    return;
  if (SimulationStep())
    tmrSimulation.stop();
}

bool Simulation::SimulationStep()
{
  bool done = true;
  if (!s.db || !s.dde)
    return done;
  const int16_t sp = s.db->ParNrSetpoint, pv = s.db->ParNrMeasure, valve = s.db->ParNrValveOut;
  for (int16_t c = 1; c <= s.channels.MaxChannel; ++c) {
    if (!s.channels.available(c, sp) || !s.channels.available(c, pv))
      continue;
    const frmTopic* t = s.dde->topic(c);
    if (!t)
      continue;
    const int32_t S = ToInt32(DdeServer::numericValue(t->item(sp)));
    const int32_t M = ToInt32(DdeServer::numericValue(t->item(pv)));
    const int32_t diff = ToInt32(double(int64_t(S) - int64_t(M)));
    const int32_t newM = ToInt32(double(M) + double(diff) / 1.9);
    done = done && newM == S;
    const int32_t V = S == 0 ? 0 : ToInt32(double(int64_t(newM) * 128 + 1000000));
    s.dde->Change_dde_item(c, pv, QString::number(newM));
    s.dde->Change_dde_item(c, valve, QString::number(V));
  }
  return done;
}

void Simulation::StopTimer()
{
  tmrSimulation.stop();
  tmrSimulation.setInterval(0);
}

}
