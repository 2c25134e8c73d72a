#pragma once
#include <QString>
#include <cstdint>

namespace tesmira {

// Longest interface name kept. The settings' fixed 25-character name field
// would cut a device path such as /dev/serial/by-id/usb-...-if00-port0 into
// a device that does not exist, so names are kept whole up to this length.
constexpr int InterfaceNameLength = 255;

// The port and behaviour settings as the rest of the program sees them,
// loaded from the common settings by LoadPortSettings. Flags marked
// "combined" already include the gate or option that governs them.
struct Configuration {
  // "Communication"
  QString InterfaceName = QStringLiteral("COM1"); // trimmed; never empty after loading
  int32_t Baudrate = 38400;
  uint8_t Arbitration = 67;
  bool ChainProcess = true;
  bool ChainParameter = true;
  bool AutoIncreaseBaudrate = false; // combined with "Options"/ShowAutoIncreaseBaudrate
  uint8_t SystemLNA = 3;
  bool ReopenAfterLoss = true; // try the port again (PortRetry) after a loss or a failed opening
  // "Settings"
  bool AllowPollUnavailableParameters = false;
  bool AllowRemoveUnavailableParameters = false; // combined with /R
  int16_t RetryNetworkAccess = 0;
  bool PollParametersOnInit = true;
  bool IndirectPolling = false;
  bool SuppressCompatibilityErrors = true;
  bool HideAdvancedParameters = true;
  bool TrimTrailingSpaces = true;
  bool TrimCRLF = true;
  int32_t LogFormat = 3;
  bool RemoveUnavailableParameters = false; // combined with its Allow gate
  bool PollUnavailableParameters = false;   // combined with its Allow gate
  bool IgnoreDatabaseMinMax = false;
  bool ChangeMmTimer = false; // accepted and kept; timer resolution is not adjustable on Linux
  int32_t Polltime = 100;
  int32_t PollBatch = 10;
  int32_t RealtimePollTime = 25;
  // Derived: seconds to wait for outstanding replies.
  int32_t PendingTimeout = 10;
};

}
