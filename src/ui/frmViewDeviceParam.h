#pragma once
#include <QList>
#include <QString>
#include <QVariant>
#include <QWidget>

class QLineEdit;
class QPushButton;
class QSqlRecord;
class QSqlTableModel;
class QTableView;

namespace tesmira {

class Server;

// What an edit of one database column may hold.
struct CellRule {
  enum Kind { Text, Whole, Number, YesNo, TypeLetter, Key };
  QString column;
  Kind kind = Text;
  bool required = false; // may not be left empty
  double low = 0, high = 0; // range of Whole (inclusive)
  int maxLength = 0; // Text: 0 = any length
};
// The rules of every column of FlowDevices or AllParameters, in column order.
// Keys (a parameter's number and short name, a device type's ID) tie the
// device table's columns to the parameters and are not edited here.
QList<CellRule> CellRules(const QString& table, const QSqlRecord& record);
// Checks an edit against its rule; on success stored is what goes into the
// database (0/1 for yes/no, a number, NULL for an empty optional cell).
// Returns the message for the operator, empty when the edit is accepted.
QString CheckCellEdit(const CellRule& rule, const QVariant& value, QVariant& stored);

// The database viewer: the device types (FlowDevices) and the parameter
// definitions (AllParameters) in editable grids bound to the database file.
// A changed row is written when the operator leaves it and agrees; a bad
// edit is refused with a message and never reaches the file. Closing the
// viewer after a change reloads the device types and the parameter table,
// so the running server uses the edited definitions.
class frmViewDeviceParam : public QWidget {
  Q_OBJECT
public:
  explicit frmViewDeviceParam(Server& server, QWidget* owner = nullptr);
  ~frmViewDeviceParam() override;

  QTableView* grdDevices;
  QTableView* grdParameters;
  QLineEdit* txtSearch;
  QPushButton* cmdSearch;
  QLineEdit* txtID;
  QPushButton* cmdParam;

  QSqlTableModel* datDevices() const { return m_devices; }
  QSqlTableModel* datParameters() const { return m_parameters; }

  void Form_Load();
  void cmdSearch_Click();
  void cmdParam_Click();
  // Asks about the changed row of a grid (when it has one) and saves or
  // discards it; false when the save failed.
  bool leaveRow(QSqlTableModel* model);

protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

private:
  void bind(QTableView* view, QSqlTableModel*& model, const QString& table);

  Server& s;
  QSqlTableModel* m_devices = nullptr;
  QSqlTableModel* m_parameters = nullptr;
  bool m_changed = false;
};

}
