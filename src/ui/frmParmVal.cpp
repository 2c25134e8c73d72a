#include "frmParmVal.h"

#include "WindowParts.h"

#include "core/Server.h"
#include "db/Database.h"
#include "log/LogCategory.h"

#include "Debug.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QTableWidget>
#include <QVBoxLayout>

namespace tesmira {

frmParmVal::frmParmVal(Server& server, QWidget* owner) : QWidget(owner, Qt::Window), s(server)
{
  setObjectName("frmParmVal");
  setWindowTitle("Parameter value list");
  resize(760, 560);
  grdParmVal = ListGrid(this, "grdParmVal");
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(4, 4, 4, 4);
  l->addWidget(grdParmVal);
}

void frmParmVal::showEvent(QShowEvent* e)
{
  Form_Load();
  QWidget::showEvent(e);
}

void frmParmVal::Form_Load()
{
  support::Trace trace(s.debug(), "frmParmVal", "Form_Load");
  grdParmVal->clear();
  grdParmVal->setRowCount(0);
  grdParmVal->setColumnCount(5);
  grdParmVal->setHorizontalHeaderLabels({"Nr", "Name", "Filter", "Value", "Description"});
  if (!s.db || !s.db->isOpen())
    return;
  QSqlQuery q(s.db->TheDatabase);
  q.setForwardOnly(true);
  if (!q.exec(QStringLiteral("SELECT Nr, Name, Filter, Value, Description, parameter FROM qryParValue"))) {
    s.LogMessage(Error, "Parameter value list: " + q.lastError().text());
    return;
  }
  const auto& table = s.db->ParameterTable;
  int row = 0;
  while (q.next()) {
    const int parameter = q.value(5).toInt();
    if (s.cfg.HideAdvancedParameters && parameter >= 0 && size_t(parameter) < table.size() &&
        table[size_t(parameter)].Advanced)
      continue;
    grdParmVal->insertRow(row);
    for (int col = 0; col < 5; ++col)
      grdParmVal->setItem(row, col, new QTableWidgetItem(q.value(col).toString().trimmed()));
    ++row;
  }
  grdParmVal->resizeColumnsToContents();
}

}
