#pragma once
#include <QString>

namespace tesmira {

// The command-line option record, filled once by EvaluateCommandLine.
struct Options {
  bool OptOpenCom = false;          // /O  open the communication at start
  bool ConfigCheckDisabled = false; // /D  reconcile the device table without asking
  bool OptSimulate = false;         // /S  start in simulation mode (wins over /O)
  bool TrayIconEnabled = true;      // /NT turns the tray icon off
  bool OptBusyWindow = false;       // /B  show the busy window
  bool OptAllowRemove = false;      // /R  force AllowRemoveUnavailableParameters on
  bool OptQuiet = false;            // /Q  no busy window, no client-start box in simulation
  bool ServiceColumns = false;      // bare argument 8352: extra parameter-list columns
  QString ClientProgram;            // last non-option argument (upper case, as messages show it)
  // The same argument as typed: Linux paths are case-sensitive, so this is
  // the one that is started.
  QString ClientProgramAsTyped;
};

}
