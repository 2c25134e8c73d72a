#pragma once
#include <QList>
#include <array>
#include <QString>
#include <cstdint>
#include <vector>

namespace tesmira {

// One row of the channel table: what the device table says about a channel
// and what the scan learned of its module.
struct ChannelRec {
  int16_t Dev_ID = 0;       // device type ID
  QString Dev_Name;         // device type code, 7 characters padded
  QString Dev_Ver;          // module number, 20 characters padded
  uint8_t Dev_Nodenr = 0;   // node address
  uint8_t Dev_Proc = 0;     // process number
  uint8_t Dev_Chan = 0;     // channel the device-table row was written for
  QString Dev_Memo;         // user's memo, 64 characters padded
  bool ModulePresent = false; // the module answered the probe reads
  bool Polling = false;       // included in periodic polling
  int16_t Modify = 0;         // takes part in the modified-parameter check
  bool DirectAccess = false;  // addressed with the parameter table's processes as they are
  bool IsIfiChannel = false;  // device type follows the interface's identification number
};

// The channel model: which channels exist, where they live on the bus, and
// per channel and parameter whether the parameter is offered, how many
// retries it has left, which value type requests use and whether it follows
// the interface instrument. Filled by the system scan and the device-table
// reconciliation; read by the message engine and the topics.
//
// Per channel-and-parameter tables are indexed [channel][parameter] with
// channel 0..ChannelCount and parameter 0..MaxParNr + 1.
struct ChannelModel {
  // ChanNodeProc[channel] = {node, process}, channel 0..MaxChannel.
  std::vector<std::array<int16_t, 2>> ChanNodeProc;
  std::vector<ChannelRec> ChannelTable; // 0..ChannelCount
  std::vector<std::vector<uint8_t>> ParAvailable;   // booleans
  std::vector<std::vector<int32_t>> ParRetryCount;
  std::vector<std::vector<uint8_t>> ChanParIfiFlag; // booleans
  std::vector<std::vector<uint8_t>> ParVarType;     // VarTypeCode

  int16_t MaxChannel = 0;     // channels reported by the library
  int16_t DBChannelCount = 0; // rows of the device table
  int16_t ChannelCount = 0;   // the larger of the two

  uint8_t ManualLNA = 0;
  uint8_t ScanLimit = 0;
  // Nodes that answered this scan's node walk (none when it did not walk):
  // the configuration read must contain each of them.
  std::vector<int> WalkedNodes;
  bool InterfaceIsKdxHost = false;
  bool InterfaceIsBusmaster = false;
  bool AllChannelsModifiable = false;

  // Safe accessors: out-of-range indices read as false / 0.
  bool available(int channel, int parameter) const
  {
    return channel >= 0 && channel < int(ParAvailable.size()) && parameter >= 0 &&
           parameter < int(ParAvailable[channel].size()) && ParAvailable[channel][parameter];
  }
  const ChannelRec* channel(int c) const
  {
    return c >= 0 && c < int(ChannelTable.size()) ? &ChannelTable[c] : nullptr;
  }

  // Sizes the per channel-and-parameter tables to channels 0..channelCount
  // and parameters 0..maxParNr + 1, all cleared.
  void resizeParameterTables(int channelCount, int maxParNr)
  {
    const size_t rows = size_t(channelCount) + 1, cols = size_t(maxParNr) + 2;
    ParAvailable.assign(rows, std::vector<uint8_t>(cols, 0));
    ParRetryCount.assign(rows, std::vector<int32_t>(cols, 0));
    ChanParIfiFlag.assign(rows, std::vector<uint8_t>(cols, 0));
    ParVarType.assign(rows, std::vector<uint8_t>(cols, 255));
  }

  // Forgets every channel (closing the communication).
  void clear()
  {
    ChanNodeProc.assign(1, {0, 0});
    ChannelTable.assign(1, ChannelRec{});
    ParAvailable.clear();
    ParRetryCount.clear();
    ChanParIfiFlag.clear();
    ParVarType.clear();
    MaxChannel = DBChannelCount = ChannelCount = 0;
    AllChannelsModifiable = false;
  }
};

}
