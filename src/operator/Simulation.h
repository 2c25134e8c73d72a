#pragma once
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

namespace tesmira {

class Server;

// Simulation mode: clients run against the server without a bus. Switching
// it on builds the channel topics from the device table, fills every item
// with its parameter's default value and accepts pokes; the server answers
// them itself (Simulate_value), and a poke of the setpoint starts the timer
// that moves each channel's measure toward its setpoint with a valve output
// alongside. While the mode is on the message engine and the polling timers
// refuse bus work. Switched by the Server menu's "&Simulate" (only while the
// communication is closed) and by /S at start.
//
// Owned by Server (Server::simulation); main thread only.
class Simulation : public QObject {
  Q_OBJECT
public:
  explicit Simulation(Server& s, QObject* parent = nullptr);

  // Inverts the mode with every menu state, label and log line.
  void mnuSimulate_Click();
  // Takes an accepted poke instead of the bus: P(0) sets the command items
  // back at once, P(1) publishes the channel's ident (type ID character +
  // module number), P(9) starts the timer, any other the poked value as if
  // read back. name is not used.
  void Simulate_value(int16_t channel, const QString& name, int16_t parameter, const QString& value);
  // One step of the setpoint follower; returns done: no channel's measure
  // differs from its setpoint after the step.
  bool SimulationStep();
  // Shut-down: the timer stops for good (interval 0).
  void StopTimer();

  // The 200 ms timer; enabled only by a setpoint poke, disabled by the tick
  // that finds every channel arrived.
  QTimer tmrSimulation;

  // Integer conversion of the step: nearest, an exact half to the even
  // neighbour, held inside the 32-bit range.
  static int32_t ToInt32(double v);

private:
  void tmrSimulation_Timer();
  void setDefaults();
  void menusFor(bool on);

  Server& s;
};

}
