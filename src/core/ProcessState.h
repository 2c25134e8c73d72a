#pragma once
#include <QString>
#include <QtGlobal>

namespace tesmira {

// Process-wide flags that several subsystems read and a few write. They keep
// the names the rest of the code base uses for them; each is owned by the
// subsystem named beside it, which is the only one that should change it
// outside start-up and tests.
struct ProcessState {
  bool NotReady = true;        // dde: client writes ignored, errors held back
  bool TopicsCreated = false;  // dde: channel topics exist
  bool SuppressErrors = false; // config: probe reads report nothing
  bool EscPressed = false;     // ui: operator asked to cancel a long operation
  bool StopRequested = false;  // core: the server is to end (signal, window, -9)
  bool RawTestActive = false;  // ui: raw protocol test owns the bus
  bool CommOpen = false;       // bus: the communication is open
  bool SimulationOn = false;   // ui: simulation mode
  bool InterfaceAcquisition = false; // config: interface acquisition running
  int bExtendPolling = 0;      // engine: polling hold count (> 0 holds polling)
  int InterfaceNode = 0;       // config: node of the interface module
  int RaisedBaudrate = 0;      // bus: the temporary rate line and instrument use (0: the configured one)
  long RxCount = 0;            // engine: replies taken from the library
  quint64 RepliesTotal = 0;    // engine: replies taken since start (RxCount restarts every second)
  QString BusLost;             // bus: why the open bus is lost (empty while it works)

  // A lengthy operation stops early when the operator pressed Esc or the
  // server is to end; the stop request is then carried out by the outermost
  // level once the operation has unwound.
  bool Cancelled() const { return EscPressed || StopRequested; }
};

}
