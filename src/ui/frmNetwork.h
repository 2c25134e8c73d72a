#pragma once
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tesmira {

class Server;

// ---- rules of the module list without widgets (tests call them directly) ----

// The setpoint field takes a percentage; instruments count 320 per percent
// (32000 = 100 %). The text to write for a typed percentage.
QString PercentToRaw(const QString& percent);
// The read-out text of a measure or setpoint reply: its numeric value (0 when
// it is no number, such as "?" or an error text) / 320, one decimal.
QString RawToPercent(const QString& reply);

// An answer of the node-address input box: the new address 1..123, 0 when
// the answer is empty (cancel), -1 when the box must be shown again.
int ParseNewNodeAddress(const QString& answer);

// Where a module sits among the others and what its move requires of its
// neighbours. Nodes without a neighbour: P = 0, N = 255.
struct NodeMovePlan {
  int P0 = 0, N0 = 255;        // neighbours below and above the old address
  int P1 = 0, N1 = 255;        // neighbours below and above the new address
  int16_t P0Channel = 0, P1Channel = 0; // a channel of each (for the writes)
  bool differs = false;        // the bus does not match the channel table
  int p0Next = -1;             // new value of P0's parameter 5, -1: unchanged
  int p1Next = -1;             // new value of P1's parameter 5, -1: unchanged
  bool p1Last = false;         // P1's parameter 4 would need the new address
  bool neighboursChange() const { return p0Next >= 0 || p1Next >= 0; }
};
struct ChannelNode {
  int16_t channel = 0;
  int node = 0;
};
// The neighbours of the old and the new address among the channels' nodes
// (channels on the old address are left out).
NodeMovePlan FindNodeNeighbours(const std::vector<ChannelNode>& channels, int oldNode, int newNode);
// Reads the neighbours' link values (read(channel, node, DDE parameter) gives
// the numeric value of the reply, 0 when none) and decides which must be
// rewritten, or that the bus differs from the channel table.
void PlanNeighbourRewrite(NodeMovePlan& plan, int oldNode, int newNode,
                          const std::function<int(int16_t channel, int node, int16_t parameter)>& read);

// The module list window: every channel the scan found, the details of the
// picked one with its memo and polling flag, a live read-out of its measure
// and setpoint ("Operation test"), the wink of the picked instrument, the
// node address change and the search for and installation of new modules.
// Modeless; the server keeps serving while it is open.
class frmNetwork : public QWidget {
  Q_OBJECT
public:
  explicit frmNetwork(Server& server, QWidget* owner);
  ~frmNetwork() override;

  // Runs when the window is shown (also when an already open window is
  // asked for again): closes it at once when there is no communication and
  // no simulation, else rebuilds the outline and starts the read-out.
  void Form_Activate();
  void fill_list();
  void ProcessOutline();
  void PrintInfo();
  void Fill_Dev_Info(int16_t channel);
  void InstrumentStartWink(int16_t channel);
  void InstrumentStopWink(int16_t channel);
  void txtDMemo_LostFocus();
  void chkPoll_Click();
  void txtSetpoint_LostFocus();
  void tmrReadOutAndControl_Timer();
  void cmdChange_Click();
  void cmdNew_Click();
  void cmdAddModule();
  void cmdCheckBusConfig_Click();
  void cmdClose_Click();

  int16_t CurrentChannel = 0;

  QTreeWidget* outFlowDevices = nullptr;
  QLineEdit* txtNode = nullptr;
  QLineEdit* txtProc = nullptr;
  QLineEdit* txtDMemo = nullptr;
  QCheckBox* chkPoll = nullptr;
  QPushButton* cmdChange = nullptr;
  QLineEdit* txtMeasure = nullptr;
  QLineEdit* txtSetpoint = nullptr;
  QPushButton* cmdTrend = nullptr; // the picked channel's trend
  QLineEdit* txtNewModule = nullptr;
  QPushButton* cmdNew = nullptr;
  QPushButton* cmdAdd = nullptr;
  QPushButton* cmdCheckBusConfig = nullptr;
  QPushButton* cmdClose = nullptr;
  QLabel* lblStatus = nullptr; // what a long operation is doing
  QTimer tmrReadOutAndControl;

protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  // A write of one byte (or 16-bit) value to node 0, process 0, waited for;
  // returns the fieldbus code (12 when no reply came).
  int16_t writeNode0(uint8_t parameter, uint8_t type, int value);
  // Reads parameters 1..5 of node 0, each only after the previous one
  // succeeded, the whole set up to RetryNetworkAccess + 1 times.
  bool readNode0Config(int values[6]);
  void endOperation(); // busy display off, polling on, read-out on
  void setStatus(const QString& text);
  void selectLine(int index);

  Server& s;
  bool m_busy = false;          // an operation owns the window
  bool m_stopping = false;      // the server is shutting down
  int16_t m_setpointChannel = 0; // the channel the setpoint field was typed for
  QTreeWidgetItem* m_pressedOnCurrent = nullptr; // a press on the line already picked
};

}
