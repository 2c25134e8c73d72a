#include "frmViewDeviceParam.h"

#include "frmMain.h"
#include "frmParmList.h"
#include "config/DeviceTable.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "db/Database.h"
#include "log/LogCategory.h"

#include "Debug.h"
#include "Prompt.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QSqlError>
#include <QSqlField>
#include <QSqlRecord>
#include <QSqlTableModel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <functional>

namespace tesmira {
namespace {

const QString kDeviceTable = QStringLiteral("Device table");
const QString kParameterTable = QStringLiteral("Parameter table");

// A table model that checks every edit against the column's rule before it
// is kept; refused edits are told through onRefused and change nothing.
// Rows are written only by submitAll (the viewer asks first).
class CheckedTableModel : public QSqlTableModel {
public:
  CheckedTableModel(QObject* parent, const QSqlDatabase& db) : QSqlTableModel(parent, db) {}
  QList<CellRule> rules;
  std::function<void(const QString&)> onRefused;

  Qt::ItemFlags flags(const QModelIndex& index) const override
  {
    Qt::ItemFlags f = QSqlTableModel::flags(index);
    if (index.column() < rules.size() && rules[index.column()].kind == CellRule::Key)
      f &= ~Qt::ItemIsEditable;
    return f;
  }
  bool setData(const QModelIndex& index, const QVariant& value, int role) override
  {
    if (role != Qt::EditRole || index.column() >= rules.size())
      return QSqlTableModel::setData(index, value, role);
    QVariant stored;
    const QString error = CheckCellEdit(rules[index.column()], value, stored);
    if (!error.isEmpty()) {
      if (onRefused)
        onRefused(error);
      return false;
    }
    // Unchanged text leaves the row clean.
    if (data(index, Qt::EditRole) == stored)
      return true;
    return QSqlTableModel::setData(index, stored, role);
  }
};

bool isYesText(const QString& t, bool& yes)
{
  static const QStringList yesTexts = {"1", "true", "x", "yes", "-1"};
  static const QStringList noTexts = {"0", "false", "-", "no", ""};
  const QString l = t.trimmed().toLower();
  yes = yesTexts.contains(l);
  return yes || noTexts.contains(l);
}

QString range(double low, double high)
{
  return QStringLiteral("%1 to %2").arg(low).arg(high);
}

}

QList<CellRule> CellRules(const QString& table, const QSqlRecord& record)
{
  QList<CellRule> rules;
  const bool parameters = table.compare(QLatin1String("AllParameters"), Qt::CaseInsensitive) == 0;
  bool offers = false; // FlowDevices: from IDENTSTRNG on, one yes/no column per parameter
  for (int i = 0; i < record.count(); ++i) {
    const QSqlField f = record.field(i);
    const QString name = f.name();
    const QString l = name.toLower();
    CellRule r;
    r.column = name;
    r.required = f.requiredStatus() == QSqlField::Required;
    const auto whole = [&r](double low, double high) {
      r.kind = CellRule::Whole;
      r.low = low;
      r.high = high;
    };
    if (parameters) {
      if (l == "parameter" || l == "name")
        r.kind = CellRule::Key;
      else if (l == "read" || l == "write" || l == "poll" || l == "advanced" || l == "secured" ||
               l == "highly secured" || l == "available")
        r.kind = CellRule::YesNo;
      else if (l == "vartype" || l == "vartype2")
        r.kind = CellRule::TypeLetter;
      else if (l == "process")
        whole(0, 254);
      else if (l == "fbnr")
        whole(0, 255);
      else if (l == "varlength")
        whole(-2, 255);
      else if (l == "group0" || l == "group1" || l == "group2")
        whole(0, 255);
      else if (l == "min" || l == "max")
        r.kind = CellRule::Number;
    } else {
      offers = offers || l == "identstrng";
      if (l == "id")
        r.kind = CellRule::Key;
      else if (offers)
        r.kind = CellRule::YesNo;
      else if (l == "dev_type") {
        r.maxLength = 7;
        r.required = true;
      } else if (l == "dev_name")
        r.maxLength = 30;
      else if (l == "dev_channels")
        whole(1, 255);
      else if (l == "dev_functions")
        whole(1, 6);
    }
    rules.append(r);
  }
  return rules;
}

QString CheckCellEdit(const CellRule& rule, const QVariant& value, QVariant& stored)
{
  const QString text = value.toString().trimmed();
  const QString what = rule.column + ": ";
  if (rule.kind == CellRule::Key)
    return what + "the number and short name of a parameter and the ID of a device type tie the device table's "
                  "columns to the parameters; they are not changed here.";
  if (text.isEmpty() && rule.kind != CellRule::YesNo) {
    if (rule.required)
      return what + "may not be empty.";
    stored = QVariant();
    return {};
  }
  switch (rule.kind) {
  case CellRule::YesNo: {
    bool yes = false;
    if (!isYesText(text, yes))
      return what + "must be 1 or 0 (X or -, True or False).";
    stored = yes ? 1 : 0;
    return {};
  }
  case CellRule::TypeLetter:
    if (text.size() != 1 || !QStringLiteral("cifl").contains(text.toLower()))
      return what + "must be one of the letters c (byte or string), i (integer), f (float), l (long), or empty.";
    stored = text;
    return {};
  case CellRule::Whole: {
    const double v = text.toDouble();
    if (!IsNumeric(text) || v != std::floor(v) || v < rule.low || v > rule.high)
      return what + "must be a whole number from " + range(rule.low, rule.high) + ".";
    stored = qlonglong(v);
    return {};
  }
  case CellRule::Number:
    if (!IsNumeric(text))
      return what + "must be a number.";
    stored = text.toDouble();
    return {};
  default:
    if (rule.maxLength > 0 && text.size() > rule.maxLength)
      return what + QStringLiteral("may hold at most %1 characters.").arg(rule.maxLength);
    stored = value.toString();
    return {};
  }
}

frmViewDeviceParam::frmViewDeviceParam(Server& server, QWidget* owner) : QWidget(owner, Qt::Window), s(server)
{
  setObjectName("frmViewDeviceParam");
  setWindowTitle("View modules/parameters");
  resize(1000, 680);
  const auto grid = [this](const char* name) {
    auto* v = new QTableView(this);
    v->setObjectName(QString::fromLatin1(name));
    v->setSelectionBehavior(QAbstractItemView::SelectItems);
    v->setAlternatingRowColors(true);
    v->verticalHeader()->setDefaultSectionSize(v->fontMetrics().height() + 6);
    return v;
  };
  grdDevices = grid("grdDevices");
  grdParameters = grid("grdParameters");
  const auto framed = [this](const QString& caption, QWidget* inner) {
    auto* box = new QGroupBox(caption, this);
    auto* l = new QVBoxLayout(box);
    l->setContentsMargins(4, 4, 4, 4);
    l->addWidget(inner);
    return box;
  };
  auto* split = new QSplitter(Qt::Vertical, this);
  split->addWidget(framed(kDeviceTable, grdDevices));
  split->addWidget(framed(kParameterTable, grdParameters));
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 2);

  txtSearch = new QLineEdit(this);
  txtSearch->setObjectName("txtSearch");
  txtSearch->setMaximumWidth(80);
  cmdSearch = new QPushButton("Search", this);
  cmdSearch->setObjectName("cmdSearch");
  txtID = new QLineEdit(this);
  txtID->setObjectName("txtID");
  txtID->setMaximumWidth(60);
  cmdParam = new QPushButton("Parameters of type", this);
  cmdParam->setObjectName("cmdParam");
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("Parameter:", this));
  row->addWidget(txtSearch);
  row->addWidget(cmdSearch);
  row->addSpacing(24);
  row->addWidget(new QLabel("Device type ID:", this));
  row->addWidget(txtID);
  row->addWidget(cmdParam);
  row->addStretch(1);
  auto* outer = new QVBoxLayout(this);
  outer->addWidget(split, 1);
  outer->addLayout(row);

  connect(cmdSearch, &QPushButton::clicked, this, [this] { cmdSearch_Click(); });
  connect(txtSearch, &QLineEdit::returnPressed, this, [this] { cmdSearch_Click(); });
  connect(cmdParam, &QPushButton::clicked, this, [this] { cmdParam_Click(); });
}

frmViewDeviceParam::~frmViewDeviceParam() = default;

void frmViewDeviceParam::showEvent(QShowEvent* e)
{
  if (!m_devices)
    Form_Load();
  QWidget::showEvent(e);
}

void frmViewDeviceParam::bind(QTableView* view, QSqlTableModel*& model, const QString& table)
{
  auto* m = new CheckedTableModel(this, s.db->TheDatabase);
  m->setTable(table);
  m->setEditStrategy(QSqlTableModel::OnManualSubmit);
  m->rules = CellRules(table, m->record());
  const QString title = table == QLatin1String("FlowDevices") ? kDeviceTable : kParameterTable;
  m->onRefused = [this, title](const QString& error) {
    support::prompt().MsgBox(error, support::Prompt::Ok, support::Prompt::Exclamation, title);
  };
  model = m;
  view->setModel(m);
  // Leaving a changed row asks; the answer is acted on once the view has
  // finished moving, because saving reads the table again.
  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this, m, view](const QModelIndex& current, const QModelIndex& previous) {
            if (!previous.isValid() || !m->isDirty())
              return;
            QTimer::singleShot(0, this, [this, m, view, row = current.row(), col = current.column()] {
              leaveRow(m);
              view->setCurrentIndex(m->index(row, col));
            });
          });
}

void frmViewDeviceParam::Form_Load()
{
  support::Trace trace(s.debug(), "frmViewDeviceParam", "Form_Load");
  if (!s.db || !s.db->isOpen())
    return;
  bind(grdDevices, m_devices, QStringLiteral("FlowDevices"));
  bind(grdParameters, m_parameters, QStringLiteral("AllParameters"));
  if (s.cfg.HideAdvancedParameters)
    m_parameters->setFilter(QStringLiteral("Advanced = 0"));
  for (QSqlTableModel* m : {m_devices, m_parameters})
    if (!m->select())
      s.LogMessage(Error, m->tableName() + ": " + m->lastError().text());
  for (QSqlTableModel* m : {m_devices, m_parameters})
    while (m->canFetchMore())
      m->fetchMore();
  grdParameters->resizeColumnsToContents();
  for (int col = 0; col < m_parameters->columnCount(); ++col)
    grdParameters->setColumnWidth(col, std::min(grdParameters->columnWidth(col), 260));
}

bool frmViewDeviceParam::leaveRow(QSqlTableModel* model)
{
  if (!model || !model->isDirty())
    return true;
  const QString title = model == m_devices ? kDeviceTable : kParameterTable;
  if (support::prompt().MsgBox("Save changes to the database?", support::Prompt::YesNo, support::Prompt::Question,
                               title) != support::Prompt::AnswerYes) {
    model->revertAll();
    return true;
  }
  if (model->submitAll()) {
    m_changed = true;
    return true;
  }
  // SQLite writes a row in one statement: a refused row leaves the file as
  // it was, and the grid shows the file again.
  const QString error = model->lastError().text();
  model->revertAll();
  support::prompt().MsgBox("The change was not saved: " + error, support::Prompt::Ok, support::Prompt::Critical,
                           title);
  return false;
}

void frmViewDeviceParam::cmdSearch_Click()
{
  if (!m_parameters)
    return;
  const QString text = txtSearch->text().trimmed();
  bool ok = false;
  const int wanted = text.toInt(&ok);
  if (!ok) {
    support::prompt().MsgBox("Type the number of a parameter to search for.", support::Prompt::Ok,
                             support::Prompt::Exclamation, kParameterTable);
    return;
  }
  const int column = m_parameters->fieldIndex(QStringLiteral("Parameter"));
  for (int row = 0; row < m_parameters->rowCount(); ++row)
    if (m_parameters->data(m_parameters->index(row, column)).toInt() == wanted) {
      grdParameters->setCurrentIndex(m_parameters->index(row, column));
      grdParameters->scrollTo(m_parameters->index(row, column));
      return;
    }
  support::prompt().MsgBox(QStringLiteral("Parameter %1 is not in the parameter table%2.")
                             .arg(wanted)
                             .arg(s.cfg.HideAdvancedParameters ? QStringLiteral(" (advanced ones are hidden)")
                                                               : QString()),
                           support::Prompt::Ok, support::Prompt::Information, kParameterTable);
}

void frmViewDeviceParam::cmdParam_Click()
{
  bool ok = false;
  const long id = IsNumeric(txtID->text()) ? ToLong(txtID->text(), &ok) : 0;
  frmMain* main = frmMain::of(s);
  if (auto* list = main ? qobject_cast<frmParmList*>(main->forms.value("frmParmList")) : nullptr)
    list->Show(id);
}

void frmViewDeviceParam::closeEvent(QCloseEvent* e)
{
  leaveRow(m_devices);
  leaveRow(m_parameters);
  if (m_changed) {
    m_changed = false;
    if (s.devices) {
      const QString error = s.devices->LoadDeviceTypes();
      if (!error.isEmpty())
        s.LogMessage(Error, "Device types: " + error);
    }
    if (s.db)
      s.db->LoadParameterTable();
    s.LogMessage(Init, "The edited device types and parameter definitions are in use.");
  }
  QWidget::closeEvent(e);
}

}
