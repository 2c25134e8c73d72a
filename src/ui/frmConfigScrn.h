#pragma once
#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <string>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace tesmira {

class Server;

// Entry-text rules of the interface list, free of widgets.
// The text an entry shows: the library's name without characters outside
// the printable range 32..126.
QString InterfaceEntryText(const std::string& name);
// The port name an entry stands for: from the 8th character of an entry
// whose first five characters, trimmed, are "RS232", else from the 10th;
// trimmed either way.
QString PortNameOfEntry(const QString& entry);
// The rate options 0..7 (4800 .. 460800) and the arbitration options 0..3
// (1, 2, 3, 67). An unknown rate or arbitration selects option 3.
int32_t RateOfOption(int index);
int RateOption(int32_t rate);
uint8_t ArbitrationOfOption(int index);
int ArbitrationOption(uint8_t arbitration);
// The serial device servers named by the program setting
// "Communication"/"DeviceServers": names separated by commas or blanks.
QStringList DeviceServerNames(const QString& setting);

// "Communication settings": the interface, the RS-232 rate, the arbitration
// mode, process and parameter chaining and the automatic temporary rate. OK
// saves them, mirrors them into Commport and applies them to the session at
// once. Offered only while the communication is closed.
class frmConfigScrn : public QDialog {
  Q_OBJECT
public:
  explicit frmConfigScrn(Server& server, QWidget* owner = nullptr);

  QListWidget* lvwInterfaces;
  QGroupBox* fraBaudrate;
  QRadioButton* optBaudrate[8];
  QGroupBox* fraArbitration;
  QRadioButton* optArbitration[4];
  QGroupBox* fraChaining;
  QCheckBox* chkProcChain;
  QCheckBox* chkParChain;
  QCheckBox* chkAutoIncrease;
  QPushButton* cmdOK;
  QPushButton* cmdCancel;

  // The dialog's fields.
  QString interfaceName() const { return m_interface; }
  int32_t rate() const { return m_rate; }
  QString arbitration() const { return m_arbitration; }

  void cmdOK_Click();
  void cmdCancel_Click();

protected:
  void showEvent(QShowEvent* e) override;

private:
  void Form_Load();
  void listInterfaces();

  Server& s;
  QButtonGroup* m_rates;
  QButtonGroup* m_arbitrations;
  QString m_interface;
  int32_t m_rate = 38400;
  QString m_arbitration = QStringLiteral("67");
  uint8_t m_interfaceCount = 0;
};

}
