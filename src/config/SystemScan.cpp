#include "SystemScan.h"
#include "InterfaceTracking.h"
#include "ProcessBlocks.h"

#include "DeviceTable.h"
#include "bus/Communication.h"
#include "bus/ErrorMessages.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "engine/BulkRead.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"
#include "log/Logger.h"

#include "Debug.h"
#include "sora32.h"

#include <QCoreApplication>
#include <QCoreApplication>
#include <QStringList>
#include <algorithm>

namespace tesmira {

namespace {

const char* const kModule = "modSystemScan";

// The menu command held disabled while the library reads the configuration:
// the module list works on the library's configuration tables.
const char* const kConfigMenu = "mnuConfiguration";

// Repeats HandlePendingMsg while it reports that replies remain, at most
// `times` calls in all.
void handlePending(Server& s, int times)
{
  if (!s.engine)
    return;
  for (int i = 0; i < times && !s.state.StopRequested; ++i)
    if (s.engine->HandlePendingMsg())
      break;
}

// Codes that say no usable reply came: the line lost or damaged it, or the
// library gave up on it. A module's own refusal (no such process or
// parameter, a wrong type, read-only) is an answer.
bool noAnswer(int16_t code)
{
  switch (code) {
  case 7: case 8: case 9: case 12: case 25: case 26: case 27: case 28: case 29: case 33: case 34: case 39:
    return true;
  default:
    return false;
  }
}

// One byte of process 0 at a node, read directly: once (the node walk asks
// again by its own rule), or as a scan read.
bool readByte(Server& s, uint8_t node, uint8_t parameter, int& value, bool scanRead = false)
{
  QVariant v;
  const int16_t code = scanRead ? ScanRead(s, v, node, 0, parameter, 0, 1)
                                : s.engine ? s.engine->read_direct(v, node, 0, parameter, 0, 1) : int16_t(14);
  value = code == 0 ? v.toInt() : 255;
  return code == 0;
}

// How often the scan asks for what a noisy line may have lost (a reply, a
// node of the configuration): RetryNetworkAccess + 1 times, at least twice.
int tries(const Server& s) { return std::max(2, s.cfg.RetryNetworkAccess + 1); }

// "node 3" or "nodes 3, 6".
QString nodeList(const std::vector<int>& nodes)
{
  QStringList l;
  for (int n : nodes)
    l << QString::number(n);
  return (nodes.size() == 1 ? QStringLiteral("node ") : QStringLiteral("nodes ")) + l.join(QStringLiteral(", "));
}

// The nodes of `expected` that the library's configuration lacks: all of
// them when the read failed (the library then keeps its previous one).
std::vector<int> missingNodes(const std::vector<int>& expected, int16_t result)
{
  std::vector<int> out;
  std::string number;
  for (int n : expected)
    if (result != 0 || sora32::GetModuleNumber(uint8_t(n), number) != 0)
      out.push_back(n);
  return out;
}

// Lets the library read the configuration up to `limit`, and read it again
// while a node known to be on the bus is missing from it. Returns the
// library's code of the last read; `missing` receives the nodes still
// missing.
int16_t readConfiguration(Server& s, uint8_t limit, const std::vector<int>& expected, std::vector<int>& missing)
{
  int16_t r = 0;
  for (int i = 1;; ++i) {
    s.enableMenu(kConfigMenu, false);
    r = sora32::ReadSystemConfig(limit);
    s.enableMenu(kConfigMenu, true);
    missing = missingNodes(expected, r);
    if (missing.empty() || i >= tries(s) || s.state.StopRequested)
      return r;
    s.LogMessage(Warn, "No configuration from " + nodeList(missing) +
                           "; reading the SORANET system configuration again");
  }
}

// The library reported a failed configuration read: report, close, beep.
int16_t configFailed(Server& s, int16_t code)
{
  s.LogMessage(Error, QStringLiteral("Reading SORANET system configuration FAILED"));
  if (s.errors)
    s.errors->HandleErrorMessage(18, 0, 0, false, QString());
  StopCommunication(s);
  s.view().Beep();
  return code;
}

// Modules that answered on the bus are missing from every configuration
// read: the bus could not be read whole. Rebuilding the channels from a
// short configuration would give the channels above a missing module new
// numbers, and a client's request for one instrument would reach another;
// so the scan ends here, before the device table, the channel numbers or
// the interface type are touched, and the communication is closed.
int16_t configIncomplete(Server& s, const std::vector<int>& missing)
{
  s.LogMessage(Error, (missing.size() == 1 ? QStringLiteral("Module at ") : QStringLiteral("Modules at ")) +
                          nodeList(missing) +
                          (missing.size() == 1 ? QStringLiteral(" answered but is") : QStringLiteral(" answered but are")) +
                          QStringLiteral(" missing from the SORANET system configuration; device table and channel "
                                         "numbers are kept"));
  return configFailed(s, 18);
}

} // namespace

int16_t ScanRead(Server& s, QVariant& value, uint8_t node, uint8_t process, uint8_t parameter, uint8_t type,
                 uint8_t length, bool repeated)
{
  const int asked = std::max(1, s.cfg.RetryNetworkAccess + 1);
  const int lost = tries(s);
  for (int i = 1;; ++i) {
    const bool suppressed = s.state.SuppressErrors;
    s.state.SuppressErrors = true;
    const int16_t code = s.engine ? s.engine->read_direct(value, node, process, parameter, type, length) : int16_t(14);
    s.state.SuppressErrors = suppressed;
    if (code == 0 || s.state.StopRequested || i >= (noAnswer(code) ? lost : repeated ? asked : 1))
      return code;
  }
}

uint8_t GetInterfaceNode()
{
  uint8_t b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0, b7 = 0;
  std::string name;
  sora32::GetTNetConfig(b1, b2, b3, b4, b5, b6, b7, name);
  return b1;
}

void Fill_Channel_info(Server& s)
{
  support::Trace t(s.debug(), kModule, "Fill_Channel_info");
  ChannelModel& cm = s.channels;
  cm.MaxChannel = std::max<int16_t>(0, sora32::GetMaxChannel());
  cm.ChanNodeProc.assign(size_t(cm.MaxChannel) + 1, {0, 0});
  for (int16_t c = 1; c <= cm.MaxChannel; ++c) {
    uint8_t node = 0, process = 0;
    sora32::GetNodeProc(c, node, process);
    if (node > 0 && process > 0)
      cm.ChanNodeProc[size_t(c)] = {int16_t(node), int16_t(process)};
  }
}

int16_t FindChannelNumber(const Server& s, uint8_t node, uint8_t process, QList<int16_t>& siblings)
{
  siblings = {0};
  if (!s.state.TopicsCreated)
    return 0;
  const ChannelModel& cm = s.channels;
  const bool viaInterface = node == s.state.InterfaceNode && s.state.InterfaceAcquisition;
  const auto nodeOf = [&cm](int c) { return c < int(cm.ChanNodeProc.size()) ? cm.ChanNodeProc[size_t(c)][0] : -1; };
  const auto procOf = [&cm](int c) { return c < int(cm.ChanNodeProc.size()) ? cm.ChanNodeProc[size_t(c)][1] : -1; };

  // The interface acquires for the channels: its processes 1..120 are the
  // channel numbers, unless a channel of the interface itself has that process.
  if (viaInterface && process >= 1 && process <= 120) {
    for (int c = 1; c <= cm.MaxChannel; ++c)
      if (nodeOf(c) == node && procOf(c) == process)
        return int16_t(c);
    return int16_t(process);
  }

  // Map the bus process to the channel's own process; some processes stand
  // for the whole module, so the node's other channels are listed too.
  int mapped = process;
  bool wholeModule = false;
  const int p = process;
  if (p == 0 || p == 9 || p == 10) {
    const int type = sora32::GetModuleType(node);
    mapped = (type == 5 || type == 19) ? 11 : (p != 0 ? p : 1);
    wholeModule = mapped == 1 && p == 0;
  } else if (ChannelOfProcessBlock(p) != 0) {
    mapped = ChannelOfProcessBlock(p);
  } else if ((p >= 104 && p <= 122) || p == 127) {
    mapped = 1;
    wholeModule = true;
  } else if (p >= 123 && p <= 126) {
    if (viaInterface) {
      mapped = p - 122;
    } else {
      mapped = 1;
      wholeModule = true;
    }
  } else {
    mapped = p; // 128..255
    wholeModule = true;
  }

  int16_t result = 0;
  bool first = true;
  for (int c = 1; c <= cm.DBChannelCount; ++c) {
    if (nodeOf(c) != node)
      continue;
    if (procOf(c) == mapped) {
      result = int16_t(c);
    } else if (wholeModule) {
      if (first)
        siblings.clear();
      first = false;
      siblings.append(int16_t(c));
    }
  }
  return result;
}

uint8_t FindRealSystemLNA(Server& s, uint8_t startNode)
{
  support::Trace t(s.debug(), kModule, "FindRealSystemLNA");
  int node = startNode, previous = 0, hint = 0, highest = 0, knownLna = 0, next = 255;
  bool lastFailed = false;
  const int walkTries = tries(s);
  s.channels.WalkedNodes.clear();
  s.LogMessage(Init, QStringLiteral("Searching for highest occupied node address at SORANET (Esc to stop)"));
  s.state.SuppressErrors = true;
  do {
    s.ShowBusy(
         "Finding real system highest node address: " + QString::number(node) + " (current LNA: " +
             QString::number(knownLna) + ")",
         10);
    next = 255;
    // After a node that did not answer, ask the last answering node again for
    // its successor: the walk may have stepped past a gap.
    if (previous > 0 && lastFailed)
      readByte(s, uint8_t(previous), 3, next);
    if (next != 0) {
      if (next != 255 && next != hint && next > previous) {
        hint = next;
        node = next;
      }
      bool answered = false;
      for (int i = 0; i < walkTries && !answered; ++i) {
        next = 255;
        answered = readByte(s, uint8_t(node), 3, next);
      }
      if (answered) {
        s.channels.WalkedNodes.push_back(node);
        highest = std::max(highest, node);
        previous = node;
        int lna = 0;
        bool read = false;
        for (int i = 0; i < walkTries && !read; ++i)
          read = readByte(s, uint8_t(node), 4, lna);
        if (read)
          knownLna = std::max(knownLna, lna);
        lastFailed = false;
        hint = 255;
      } else {
        lastFailed = true;
      }
      QCoreApplication::processEvents();
      if (next >= 1 && next <= 254)
        node = next;
      else if (next == 255)
        node = node + 1;
    }
  } while (next != 0 && !s.state.Cancelled() && (knownLna == 0 || node <= knownLna) && node <= 124);
  s.state.SuppressErrors = false;

  if (knownLna > 0 && node >= 1) {
    s.LogMessage(Init, "Highest occupied node address at SORANET = " + QString::number(highest));
    if (highest != s.cfg.SystemLNA) {
      s.cfg.SystemLNA = uint8_t(highest);
      StoreCurrentSystemLNA(s);
      ApplyPortSettings(s);
    }
    return s.cfg.SystemLNA;
  }
  s.LogMessage(Warn, QStringLiteral("No reliable result in finding highest occupied node address at SORANET"));
  return uint8_t(std::max(previous, s.state.InterfaceNode));
}

int16_t CheckConfig(Server& s)
{
  support::Trace t(s.debug(), kModule, "CheckConfig");
  ChannelModel& cm = s.channels;
  if (!s.state.CommOpen)
    return 0;
  if (s.state.InterfaceNode == 0)
    s.state.InterfaceNode = GetInterfaceNode();
  const uint8_t ifNode = uint8_t(s.state.InterfaceNode);

  // 1. The interface's module type.
  s.ShowBusy(QStringLiteral("Reading SORANET system configuration"), 10);
  if (s.engine)
    s.engine->HandleOutstandingMsg();
  int moduleType = 0;
  cm.WalkedNodes.clear();
  // The interface answered the opening: a configuration without it is one
  // that noise cut short.
  std::vector<int> expected;
  if (ifNode >= 1)
    expected.push_back(ifNode);
  if (!readByte(s, ifNode, 0, moduleType, true) || moduleType <= 0) {
    std::vector<int> missing;
    const int16_t r = readConfiguration(s, ifNode, expected, missing);
    if (r != 0)
      return configFailed(s, r);
    if (!missing.empty())
      return configIncomplete(s, missing);
    moduleType = sora32::GetModuleType(ifNode);
  }

  // 2. Classify it: a KDX module acting as Soranet host is recognised by its
  //    type, its host text or a next-node address.
  cm.InterfaceIsKdxHost = false;
  if (moduleType != 2) {
    if (moduleType == 24) {
      cm.InterfaceIsKdxHost = true;
    } else {
      QVariant v;
      const int16_t r = ScanRead(s, v, ifNode, 125, 21, 4, 8);
      // The reply path trims trailing spaces from texts: pad back to 8.
      if (r == 0 && v.toString().leftJustified(8, QLatin1Char(' '), true).toUpper() == QLatin1String("SORANET "))
        cm.InterfaceIsKdxHost = true;
      if (!cm.InterfaceIsKdxHost) {
        const int16_t r2 = ScanRead(s, v, ifNode, 0, 3, 0, 1);
        if (r2 == 0 && v.toString().trimmed() != QLatin1String("0"))
          cm.InterfaceIsKdxHost = true;
      }
    }
  }

  // 3. The highest node address to scan.
  int lna = ifNode;
  if (moduleType == 1 || moduleType == 2 || moduleType == 24 || cm.InterfaceIsKdxHost) {
    if (cm.ManualLNA == 0) {
      lna = FindRealSystemLNA(s, ifNode);
    } else {
      lna = cm.ManualLNA;
      s.LogMessage(Init, "Highest node address is manually set to " + QString::number(lna));
    }
  }
  // The server is to end: the scan stops here and leaves the closing of the
  // communication to the shut-down.
  const auto stopping = [&s] {
    if (!s.state.StopRequested)
      return false;
    s.HideBusy();
    return true;
  };
  if (stopping())
    return 1;
  if (ifNode > 10)
    s.LogMessage(Warn, QStringLiteral("Scanning the system may take some time!"));

  // 4. Let the library read the configuration.
  s.cfg.SystemLNA = uint8_t(lna);
  cm.ScanLimit = uint8_t(std::min(lna + 2, 124));
  s.enableMenu(kConfigMenu, false);
  sora32::SetSystemLNA(cm.ScanLimit);
  s.state.NotReady = true;
  s.enableMenu("mnuCheckConfig", false);
  s.ShowBusy(QStringLiteral("Checking SORANET system configuration"), 30);
  s.SetComStatus(QStringLiteral("Scanning SORANET"));
  s.LogMessage(Init, QStringLiteral("Scanning SORANET to determine system configuration..."));
  s.enableMenu(kConfigMenu, true);
  // Every node that answered the walk must be in the configuration; so
  // must a module of the device table that the configuration lacks but
  // that answers when asked directly (the walk does not run on every
  // interface, and may stop short under noise).
  for (int n : cm.WalkedNodes)
    if (n <= cm.ScanLimit && std::find(expected.begin(), expected.end(), n) == expected.end())
      expected.push_back(n);
  std::vector<int> missing;
  int16_t result = readConfiguration(s, cm.ScanLimit, expected, missing);
  if (missing.empty() && s.devices && !s.state.StopRequested) {
    std::vector<int> stored;
    for (int n : missingNodes(s.devices->StoredNodes(), result)) {
      QVariant v;
      if (n >= 1 && n <= cm.ScanLimit && ScanRead(s, v, uint8_t(n), 0, 1, 0, 1) == 0)
        stored.push_back(n);
    }
    if (!stored.empty()) {
      expected.insert(expected.end(), stored.begin(), stored.end());
      missing = stored;
      s.LogMessage(Warn, "No configuration from " + nodeList(missing) +
                             "; reading the SORANET system configuration again");
      result = readConfiguration(s, cm.ScanLimit, expected, missing);
    }
  }
  if (stopping())
    return 1;
  if (!missing.empty())
    return configIncomplete(s, missing);
  if (result == 0)
    s.LogMessage(Init, QStringLiteral("Reading SORANET system configuration OK"));
  else if (cm.InterfaceIsBusmaster)
    s.LogMessage(Error, QStringLiteral("No modules connected to SORANET found; connect modules!"));
  else
    return configFailed(s, result);
  if (stopping())
    return 1;

  // 5. Channels, reconciliation, topics.
  s.ShowBusy(QStringLiteral("Loading channel information"), 20);
  Fill_Channel_info(s);
  if (!s.state.CommOpen || sora32::GetCommunication() == 0) {
    StopCommunication(s);
    return result;
  }
  s.ShowBusy(QStringLiteral("Reading maximum channel"), 5);
  cm.MaxChannel = std::max<int16_t>(0, sora32::GetMaxChannel());
  s.ShowBusy(QStringLiteral("Loading node information"), 20);
  if (s.dde)
    s.dde->DeleteTopicScr();
  bool ok = false;
  QString error;
  const bool rewritten = s.devices ? s.devices->FillNodeInfo(ok, error) : false;
  if (s.dde)
    s.dde->AddTopicScr(cm.DBChannelCount);

  if (!ok) {
    if (result == 0)
      result = 1;
    if (!error.isEmpty())
      s.LogMessage(Error, error);
    s.HideBusy();
    return result;
  }

  if (stopping())
    return 1;

  // 6. Initial reads.
  bool someNotPolled = false, someUnavailable = false;
  if (error.isEmpty() && (rewritten || s.state.NotReady)) {
    s.enableMenu("mnuClose", false);
    s.enableMenu("mnuReadAllParameters", false);
    s.enableMenu("mnuTest", false);
    s.LogMessage(Init, QStringLiteral("Modules currently connected to SORANET stored in database"));
    cm.MaxChannel = std::max<int16_t>(0, sora32::GetMaxChannel());
    s.LogMessage(Init, QString::number(cm.MaxChannel) + " DDE topics (channels) active");
    cm.AllChannelsModifiable = true;
    for (int c = 1; c <= cm.MaxChannel; ++c) {
      const ChannelRec* rec = cm.channel(c);
      if (!rec || rec->Modify == 0)
        cm.AllChannelsModifiable = false;
      if (!rec || !rec->Polling)
        someNotPolled = true;
    }
    s.ShowBusy(QStringLiteral("Loading ident information"), 7);
    LoadIdentStrings(s);
    handlePending(s, 1);
    result = InitInterfaceAcquisition(s);

    // Parameters with a second value type are read once from every channel,
    // so the type that the instrument takes is known before polling. The
    // list (and the note of parameters kept from the clients) is made for
    // the channels; a bus without channels notes nothing.
    QStringList second;
    if (s.db && cm.MaxChannel >= 1) {
      for (int p = 1; p <= s.db->MaxParNr; ++p) {
        const ParameterDef& def = s.db->ParameterTable[size_t(p)];
        if (def.VarType[1] != VarNone)
          second << QString::number(p);
        if (def.ParNr != 0 && !def.Available)
          someUnavailable = true;
      }
    }
    const QString list = second.join(QLatin1Char(','));
    if (!list.isEmpty())
      for (int16_t c = 1; c <= cm.MaxChannel && !s.state.StopRequested; ++c)
        Poll_All_Params(s, c, list);
    if (stopping())
      return 1;
    handlePending(s, 1);
    if (s.cfg.PollParametersOnInit)
      Poll_All_Params(s, -1, QStringLiteral("ALL"));
    if (stopping())
      return 1;
    s.ShowBusy(QStringLiteral("Handle pending messages"), 6);
    handlePending(s, 5);
  } else {
    LoadIdentStrings(s);
  }
  if (error.isEmpty())
    handlePending(s, 1);
  if (stopping())
    return 1;

  // 7. Ready.
  s.LogMessage(Init, "System poll interval = " + QString::number(s.cfg.Polltime) + " ms");
  s.LogMessage(Init, "System poll channel batch = " + QString::number(s.cfg.PollBatch));
  s.LogMessage(Init, "System real-time poll interval = " + QString::number(s.cfg.RealtimePollTime) + " ms");
  if (someUnavailable)
    s.LogMessage(Warn, QStringLiteral("Some parameters are not available at DDE"));
  if (someNotPolled)
    s.LogMessage(Warn, QStringLiteral("Some channels are not polled"));
  s.LogMessage(Init, QStringLiteral("Server is active and ready for any client"));
  s.state.NotReady = false;

  if (error.isEmpty()) {
    if (s.poll)
      s.poll->StartPolling();
    for (const char* name : {"mnuClose", "mnuTest", "mnuShowDevice", "mnuReadAllParameters", "mnuComSpeedTest",
                             "mnuCheckConfig", "mnuServiceLog", "mnuClipboard"})
      s.enableMenu(name, true);
  }
  s.HideBusy();
  return result;
}

QString CheckConfigAndStartPolling(Server& s)
{
  support::Trace t(s.debug(), kModule, "CheckConfigAndStartPolling");
  const int16_t result = CheckConfig(s);
  if (s.state.StopRequested)
    return {}; // the shut-down closes the communication
  ShowInterfaceSettings(s);
  s.fields.set("MaxChan", QString::number(s.channels.MaxChannel));
  if (result == 0) {
    s.SetComStatus(QStringLiteral("Normal polling"));
    return {};
  }
  StopCommunication(s);
  return ErrorMessages::ErrorText(result);
}

}
