#pragma once
#include <QWidget>

class QTableWidget;

namespace tesmira {

class Server;

// The parameter value list: the texts of the coded values of parameters
// (the stored query qryParValue), without advanced parameters while they
// are hidden.
class frmParmVal : public QWidget {
  Q_OBJECT
public:
  explicit frmParmVal(Server& server, QWidget* owner = nullptr);

  QTableWidget* grdParmVal;

  // Fills the grid from the database.
  void Form_Load();

protected:
  void showEvent(QShowEvent* e) override;

private:
  Server& s;
};

}
