#pragma once
#include <QList>
#include <QString>
#include <QWidget>

class QTableWidget;
class QVariant;

namespace tesmira {

class Server;

// One column of the parameter list: its heading, the AllParameters column
// it shows and whether that is a yes/no column ("X" / "-").
struct ParameterListColumn {
  QString heading;
  QString field;
  bool yesNo = false;
};
// The columns in order: "Advanced" only while advanced parameters are shown,
// the service columns only with 8352 on the command line.
QList<ParameterListColumn> ParameterListColumns(bool hideAdvanced, bool serviceColumns);
// A cell's text: "X"/"-" for a yes/no column, empty for an empty value.
QString ParameterListCell(const ParameterListColumn& column, const QVariant& value);

// The parameter list: the parameter definitions of the database, all of
// them or those that one device type offers.
class frmParmList : public QWidget {
  Q_OBJECT
public:
  explicit frmParmList(Server& server, QWidget* owner = nullptr);

  QTableWidget* grdParameterList;

  // Fills the list with every parameter and shows it.
  void ShowForm();
  // Fills the list with the parameters that device type id offers (every
  // parameter when the type has no row) and shows it.
  void Show(long id);

private:
  void fill(bool byType, long id);
  void InitGrid();

  Server& s;
  QList<ParameterListColumn> m_columns;
};

}
