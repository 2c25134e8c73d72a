#pragma once
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QSqlQuery;

namespace tesmira {

class Server;

// One device type of the FlowDevices table. Positions in DeviceTypeTable
// equal the IDs, which run 1, 2, 3 ... in stored order.
struct DeviceTypeRec {
  int16_t ID = 0;
  QString DEV_TYPE;   // type code, 7 characters padded
  QString Dev_Name;   // description, 30 characters padded
  int16_t Dev_Channels = 1;
  int16_t Dev_Functions = 0;
};

// The device types of the database and the reconciliation of the device
// table NetDevPar (one row per channel, row n in stored order = channel n)
// with what the fieldbus library has just read from the bus. It also fills
// the channel model (Server::channels) from the device table and probes
// every module with a few direct reads.
//
// Created once by Server::createServices; it installs the open-communication
// branch of the interface display (Server::InterfaceDisplayOpen). Runs on the
// main thread only; database writes go through the server's connection with
// bound values.
class DeviceTable {
public:
  explicit DeviceTable(Server& s);

  // 0..DeviceTypeCount; position 0 is an empty record.
  std::vector<DeviceTypeRec> DeviceTypeTable;
  int16_t DeviceTypeCount = 0;
  // [type ID][parameter], 0..DeviceTypeCount x 0..MaxParNr + 1: the type
  // offers the parameter.
  std::vector<std::vector<uint8_t>> DevParAvailable;

  // Loads FlowDevices into DeviceTypeTable and DevParAvailable (a parameter's
  // column is the one named after its Name without trailing blanks; a
  // parameter without such a column is not offered). Returns the database's
  // error text, empty on success.
  QString LoadDeviceTypes();

  // Compares the bus configuration (MaxChannel, ChanNodeProc and the
  // library's module types and numbers) with NetDevPar, asks the operator
  // before rewriting the table (the /D option answers yes and logs a
  // warning), fills the channel model from the table and probes the
  // modules. Returns whether the table was rewritten; ok is false when the
  // operator refused or an error occurred, error then holds the text (empty
  // for a refusal).
  bool FillNodeInfo(bool& ok, QString& error);

  // Rewrites NetDevPar from the bus configuration: rows that differ are
  // edited, missing ones appended, surplus ones deleted. Returns the
  // database's error text, empty on success.
  QString Load_DB();

  // The node addresses of the NetDevPar rows, each once; empty when the
  // table cannot be read.
  std::vector<int> StoredNodes();

  // Sets a channel's Polling flag in memory and in its NetDevPar row.
  void SetChanPolled(int16_t channel, bool polled);
  // Sets a channel's memo (cut or padded to 64 characters) in memory and in
  // its NetDevPar row.
  void SetChanMemo(int16_t channel, const QString& memo);

  // DEV_TYPE of the type whose ID is id (searched from position 1), padded
  // to 7 characters; empty when there is none.
  QString DevTypeOf(int id) const;
  bool offers(int typeId, int parameter) const
  {
    return typeId >= 0 && typeId < int(DevParAvailable.size()) && parameter >= 0 &&
           parameter < int(DevParAvailable[typeId].size()) && DevParAvailable[typeId][parameter];
  }

  // The open-communication branch of the interface display: sets the
  // caption and the interface type field from the interface module and
  // returns whether the port field is shown.
  bool ShowInterfaceSettingsOpen();

private:
  // Reconciliation questions; true for yes (always yes under /D).
  bool ask(const QString& text, const QString& title);
  // Fills the channel model from NetDevPar and probes the modules.
  QString fillChannelModel();
  void probeModule(int16_t channel);
  // A probe read (ScanRead): a lost or damaged reply is asked for again;
  // `repeated` asks again after any failure, up to RetryNetworkAccess + 1
  // reads. Returns the last code, value the last value.
  int16_t probe(uint8_t node, uint8_t process, uint8_t parameter, uint8_t type, uint8_t length,
                QVariant& value, bool repeated);
  // Opens "SELECT rowid, ... FROM NetDevPar" in stored order.
  bool openDeviceTable(QSqlQuery& q, QString& error);

  Server& s;
};

}
