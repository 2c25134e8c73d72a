#include "frmParmList.h"

#include "WindowParts.h"

#include "config/DeviceTable.h"
#include "core/Server.h"
#include "db/Database.h"
#include "engine/MessageEngine.h"
#include "log/LogCategory.h"

#include "Debug.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

namespace tesmira {

QList<ParameterListColumn> ParameterListColumns(bool hideAdvanced, bool serviceColumns)
{
  QList<ParameterListColumn> c = {
    {"Nr", "Parameter", false},   {"Name", "LongName", false},   {"Avail.", "Available", true},
    {"Type", "VarType", false},   {"Type2", "VarType2", false},  {"StrLen", "VarLength", false},
    {"Min value", "Min", false},  {"Max value", "Max", false},   {"Read", "Read", true},
    {"Write", "Write", true},     {"Poll", "Poll", true}};
  if (!hideAdvanced)
    c.append({"Advanced", "Advanced", true});
  c.append({"Secured", "Secured", true});
  if (serviceColumns)
    c += QList<ParameterListColumn>{{"Highly secured", "Highly secured", true},
                                    {"Group 0", "Group0", false},
                                    {"Group 1", "Group1", false},
                                    {"Group 2", "Group2", false},
                                    {"Process", "Process", false},
                                    {"FBnr", "FBnr", false},
                                    {"Description", "Description", false},
                                    {"DDE str", "Name", false}};
  return c;
}

QString ParameterListCell(const ParameterListColumn& column, const QVariant& value)
{
  if (value.isNull() || value.toString().isEmpty())
    return {};
  if (column.field == QLatin1String("Min") || column.field == QLatin1String("Max")) {
    // Limits read as the values they bound: a whole number within the
    // 32-bit range as its digits, any other as a float value text.
    bool ok = false;
    const double v = value.toString().trimmed().toDouble(&ok);
    if (ok && v == std::trunc(v) && std::abs(v) <= 2147483647.0)
      return QString::number(qint64(v));
    if (ok)
      return MessageEngine::FloatText(v);
  }
  if (!column.yesNo)
    return value.toString().trimmed();
  const QString t = value.toString().trimmed();
  const bool yes = t.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0 || t.toDouble() != 0;
  return yes ? QStringLiteral("X") : QStringLiteral("-");
}

frmParmList::frmParmList(Server& server, QWidget* owner) : QWidget(owner, Qt::Window), s(server)
{
  setObjectName("frmParmList");
  setWindowTitle("Parameter list");
  resize(1000, 560);
  grdParameterList = ListGrid(this, "grdParameterList");
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(4, 4, 4, 4);
  l->addWidget(grdParameterList);
}

void frmParmList::ShowForm()
{
  fill(false, 0);
  show();
  raise();
}

void frmParmList::Show(long id)
{
  fill(true, id);
  show();
  raise();
}

void frmParmList::InitGrid()
{
  m_columns = ParameterListColumns(s.cfg.HideAdvancedParameters, s.options.ServiceColumns);
  grdParameterList->clear();
  grdParameterList->setRowCount(0);
  grdParameterList->setColumnCount(int(m_columns.size()));
  QStringList headings;
  for (const ParameterListColumn& c : m_columns)
    headings << c.heading;
  grdParameterList->setHorizontalHeaderLabels(headings);
}

void frmParmList::fill(bool byType, long id)
{
  support::Trace trace(s.debug(), "frmParmList", "Show");
  QString sql = QStringLiteral("SELECT * FROM [AllParameters]");
  QString caption = QStringLiteral("Parameter list");
  if (byType && s.db) {
    QList<int16_t> offered;
    const QString error = s.db->AvailableParams(s.db->DBPath, id, offered);
    if (!error.isEmpty())
      s.LogMessage(Error, "Parameter list: " + error);
    // {0} is the list of a type without a row: the whole table is shown.
    if (offered != QList<int16_t>{0}) {
      QStringList numbers;
      for (int16_t p : offered)
        numbers << QString::number(p);
      sql += " WHERE Parameter = " + numbers.join(" OR Parameter = ");
      caption += QStringLiteral(" of device type %1").arg(id);
      if (s.devices && id > 0 && size_t(id) < s.devices->DeviceTypeTable.size())
        caption += " (" + s.devices->DeviceTypeTable[size_t(id)].DEV_TYPE.trimmed() + ")";
    }
  }
  setWindowTitle(caption);
  InitGrid();
  if (!s.db || !s.db->isOpen())
    return;
  QSqlQuery q(s.db->TheDatabase);
  if (!q.exec(sql)) {
    s.LogMessage(Error, "Parameter list: " + q.lastError().text());
    return;
  }
  const long n = Database::RecordCount(q);
  grdParameterList->setRowCount(int(n));
  const QSqlRecord rec = q.record();
  const int advanced = rec.indexOf("Advanced");
  int row = 0;
  for (bool more = n > 0; more; more = q.next()) {
    if (s.cfg.HideAdvancedParameters && advanced >= 0 &&
        ParameterListCell({{}, {}, true}, q.value(advanced)) == QLatin1String("X"))
      continue;
    for (int col = 0; col < m_columns.size(); ++col) {
      const int field = rec.indexOf(m_columns[col].field);
      const QString text = field < 0 ? QString() : ParameterListCell(m_columns[col], q.value(field));
      auto* item = new QTableWidgetItem(text);
      if (m_columns[col].yesNo)
        item->setTextAlignment(Qt::AlignCenter);
      grdParameterList->setItem(row, col, item);
    }
    ++row;
  }
  grdParameterList->setRowCount(row);
  grdParameterList->resizeColumnsToContents();
  for (int col = 0; col < grdParameterList->columnCount(); ++col)
    grdParameterList->setColumnWidth(col, std::min(grdParameterList->columnWidth(col), 320));
}

}
