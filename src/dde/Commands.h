#pragma once
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>

namespace tesmira {

class Server;

// What clients change by poking channel topics: a poke of P(m), m >= 1, on
// C(n) writes parameter m to the instrument of channel n; a poke of the
// command item P(0) is a command. On C(n) the command text is the scan
// specification of a bulk read of channel n; on C(0) it is the small command
// language below. Pokes of the status items P(1) and P(2) of C(0) are only
// logged. When a command is done the command items go back to "0"
// (ReadyCOPO), which tells an advising client that it has completed.
//
// The link service's item handling has already decided that the poke is a
// client request the server accepts now (communication open or simulating,
// server ready) and removed CR and LF. Everything runs on the main thread;
// bus writes and bulk reads wait with events processed, so further pokes and
// timer ticks run inside them.
//
// Created by Server::createServices right after the link service; the
// constructor installs the two entry points into DdeServer's hooks.
class Commands {
public:
  explicit Commands(Server& s);
  ~Commands();

  // A write poke: the Write log line (with the value's description from the
  // value texts when a log file takes it), then the bus write, waited for;
  // after a write of parameter 1 the ident string is refreshed. In
  // simulation mode the simulation gets the value instead of the bus.
  // Returns the empty text when the value was written (or taken by the
  // simulation), otherwise the error text of the failed write.
  QString Rcvd_dde_item(int16_t channel, const QString& name, int16_t parameter, const QString& value);

  // A command poke of item P(0) of C(channel).
  //
  // On C(0) the text becomes a code c and a scan specification (ParseCommand):
  //   c >= 1   bulk read of channel c           item set back by the read
  //   -1       bulk read of every channel       item set back by the read
  //   -2       service log under a polling hold item set back
  //   -3       main window shown, normal size   item set back
  //   -4       module list window               item set back
  //   -5       nothing else                     item set back
  //   -6       poll time dialog                 item set back
  //   -7       system settings dialog           item set back
  //   -8       restart of the communication when it polls normally; set back
  //   -9       the server ends (ordered shut-down)
  //   -10      main window minimised
  //   0, < -10 nothing
  // Without windows (the daemon, or no display) -3 to -7 and -10 open
  // nothing; the item is still set back as listed.
  void Rcvd_dde_Cmnd(int16_t channel, const QString& command);

  // Reduces a C(0) command to its code and scan specification: "a.b" is
  // channel a with "GROUP" + b when 0 <= b <= 99, else "ALL"; "ALL" (any
  // letter case, nothing around it) is -1 with "ALL"; any other text is its number with "ALL".
  // Text that is not a number counts 0. Numbers are rounded to whole ones,
  // halves to the even neighbour; only '.' separates channel and group.
  // Returns false when a number does not fit 16 bits (the poke is dropped).
  static bool ParseCommand(const QString& command, int16_t& code, QString& specification);

  // ---- work of other subsystems, filled in by their owners ----------------
  // Writes the service log (command -2); Server::createServices fills it.
  std::function<void()> Servicelog;

private:
  void performCode(int16_t code, const QString& specification);
  void showWindow(const char* name);
  QString valueDescription(int16_t parameter, const QString& value) const;

  Server& s;
};

// Sets the command item P(0) of C(channel), of C(0) and of every non-zero
// channel in channels back to "0" (topics that do not exist are skipped)
// and, while the server is ready, logs "(command performed)".
void ReadyCOPO(Server& s, int16_t channel, const QList<int16_t>& channels);

}
