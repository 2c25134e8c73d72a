#include "frmTrend.h"

#include "core/Server.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/SystemTopic.h"
#include "dde/frmTopic.h"
#include "engine/MessageEngine.h"
#include "ui/frmTest.h"

#include "Paths.h"
#include "Prompt.h"
#include "Server.h" // ddeml::Server (platform/ddeml)

#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace tesmira {
namespace {

constexpr int kDefaultSpanMinutes = 5;
// Values come at most as often as the polling reads a channel; this bounds
// a trace whatever the poll time.
constexpr size_t kMaxPointsPerTrace = 40000;

bool same(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

}

void TrimTrend(std::deque<QPointF>& points, double cutoff)
{
  while (points.size() > 1 && points[1].x() <= cutoff)
    points.pop_front();
  if (!points.empty() && points.front().x() < cutoff)
    points.front().setX(cutoff);
}

frmTrend::frmTrend(Server& server, QWidget* owner) : QWidget(owner, Qt::Window), s(server)
{
  setObjectName("frmTrend");
  setWindowTitle("Trend");
  resize(900, 520);

  cboChannel = new QComboBox(this);
  cboChannel->setObjectName("cboChannel");
  cboChannel->setMinimumContentsLength(22);
  cboItem = new QComboBox(this);
  cboItem->setObjectName("cboItem");
  cboItem->setMinimumContentsLength(16);
  cmdAdd = new QPushButton("Add", this);
  cmdAdd->setObjectName("cmdAdd");
  cmdRemove = new QPushButton("Remove", this);
  cmdRemove->setObjectName("cmdRemove");
  spnSpan = new QSpinBox(this);
  spnSpan->setObjectName("spnSpan");
  spnSpan->setRange(1, 60);
  spnSpan->setSuffix(" min");
  spnSpan->setValue(kDefaultSpanMinutes);
  cmdPause = new QPushButton("Pause", this);
  cmdPause->setObjectName("cmdPause");
  cmdPause->setCheckable(true);
  cmdExport = new QPushButton("Export...", this);
  cmdExport->setObjectName("cmdExport");

  m_chart = new QChart;
  m_chart->legend()->setAlignment(Qt::AlignBottom);
  m_time = new QDateTimeAxis;
  m_time->setFormat("HH:mm:ss");
  m_time->setTitleText("Time");
  m_values = new QValueAxis;
  m_values->setTitleText("% (measure, setpoint) / value");
  m_chart->addAxis(m_time, Qt::AlignBottom);
  m_chart->addAxis(m_values, Qt::AlignLeft);
  chartView = new QChartView(m_chart, this);
  chartView->setObjectName("chartView");
  chartView->setRenderHint(QPainter::Antialiasing);

  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("Channel:", this));
  row->addWidget(cboChannel);
  row->addWidget(new QLabel("Item:", this));
  row->addWidget(cboItem);
  row->addWidget(cmdAdd);
  row->addWidget(cmdRemove);
  row->addStretch(1);
  row->addWidget(new QLabel("Span:", this));
  row->addWidget(spnSpan);
  row->addWidget(cmdPause);
  row->addWidget(cmdExport);
  auto* outer = new QVBoxLayout(this);
  outer->addLayout(row);
  outer->addWidget(chartView, 1);

  connect(cboChannel, &QComboBox::currentIndexChanged, this, &frmTrend::fillItems);
  connect(cmdAdd, &QPushButton::clicked, this, [this] { AddTrace(chosenTopic(), chosenItem()); });
  connect(cmdRemove, &QPushButton::clicked, this, [this] { RemoveTrace(chosenTopic(), chosenItem()); });
  connect(spnSpan, &QSpinBox::valueChanged, this, [this] { Refresh(QDateTime::currentMSecsSinceEpoch()); });
  connect(cmdPause, &QPushButton::toggled, this, [this](bool on) {
    cmdPause->setText(on ? "Resume" : "Pause");
    Refresh(QDateTime::currentMSecsSinceEpoch());
  });
  connect(cmdExport, &QPushButton::clicked, this, &frmTrend::cmdExport_Click);
  // Every value the server publishes passes here; with no traces (window
  // closed) that is one empty loop.
  connect(&s.dde->link(), &ddeml::Server::itemChanged, this, &frmTrend::onItemChanged);
  m_refresh.setInterval(1000);
  connect(&m_refresh, &QTimer::timeout, this, [this] { Refresh(QDateTime::currentMSecsSinceEpoch()); });
}

frmTrend::~frmTrend() { m_refresh.stop(); }

void frmTrend::showEvent(QShowEvent* e)
{
  QWidget::showEvent(e);
  fillChannels(); // the channels the bus has now
  m_refresh.start();
}

void frmTrend::closeEvent(QCloseEvent* e)
{
  m_refresh.stop();
  clearTraces();
  cboChannel->clear();
  SetPaused(false);
  QWidget::closeEvent(e);
}

void frmTrend::ShowChannel(int16_t channel)
{
  fillChannels();
  const QString measure = frmTopic::itemName(s.db->ParNrMeasure);
  for (int i = 0; channel <= 0 && i < cboChannel->count(); ++i)
    if (s.dde->link().hasItem(frmTopic::topicNameOf(int16_t(cboChannel->itemData(i).toInt())), measure))
      channel = int16_t(cboChannel->itemData(i).toInt());
  const int i = cboChannel->findData(int(channel));
  if (i >= 0)
    cboChannel->setCurrentIndex(i);
  const QString topic = frmTopic::topicNameOf(channel);
  for (int16_t p : {s.db->ParNrMeasure, s.db->ParNrSetpoint})
    if (p > 0)
      AddTrace(topic, frmTopic::itemName(p));
  show();
  raise();
  activateWindow();
  Refresh(QDateTime::currentMSecsSinceEpoch());
}

void frmTrend::fillChannels()
{
  const int current = cboChannel->currentData().toInt();
  const QSignalBlocker block(cboChannel);
  cboChannel->clear();
  const ChannelModel& m = s.channels;
  for (int c = 1; c <= m.ChannelCount && c < int(m.ChannelTable.size()); ++c)
    if (s.dde->link().hasTopic(frmTopic::topicNameOf(int16_t(c))))
      cboChannel->addItem(ChannelEntry(c, m.ChannelTable[size_t(c)].Dev_Nodenr, m.ChannelTable[size_t(c)].Dev_Proc), c);
  cboChannel->setCurrentIndex(std::max(0, cboChannel->findData(current)));
  fillItems();
}

void frmTrend::fillItems()
{
  // The topic's own item list and parameter names, as a client discovers them.
  const QString topic = chosenTopic();
  // The item stays chosen while the channel does; another channel starts
  // at its measure.
  const QString item = same(topic, m_itemsTopic) ? chosenItem() : QString();
  m_itemsTopic = topic;
  cboItem->clear();
  const ddeml::Server& link = s.dde->link();
  const QStringList items = link.item(topic, SystemTopic::itemListName()).split('\t', Qt::SkipEmptyParts);
  const QStringList names = link.item(topic, SystemTopic::itemNamesName()).split('\t');
  for (qsizetype i = 0; i < items.size(); ++i)
    cboItem->addItem(items[i] + ' ' + names.value(i), items[i]);
  const int keep = cboItem->findData(item);
  const int measure = cboItem->findData(frmTopic::itemName(s.db->ParNrMeasure));
  cboItem->setCurrentIndex(keep >= 0 ? keep : std::max(0, measure));
}

QString frmTrend::chosenTopic() const
{
  const int c = cboChannel->currentData().toInt();
  return c > 0 ? frmTopic::topicNameOf(int16_t(c)) : QString();
}

QString frmTrend::chosenItem() const { return cboItem->currentData().toString(); }

bool frmTrend::AddTrace(const QString& topic, const QString& item)
{
  ddeml::Server& link = s.dde->link();
  if (topic.isEmpty() || !link.hasItem(topic, item))
    return false;
  for (const auto& t : m_traces)
    if (same(t->topic, topic) && same(t->item, item))
      return true;
  auto t = std::make_unique<TrendTrace>();
  t->topic = topic;
  t->item = item;
  const int16_t p = frmTopic::parseIndex(item);
  if (p >= 0 && size_t(p) < s.db->ParameterTable.size())
    t->name = s.db->ParameterTable[size_t(p)].Name.trimmed();
  t->percent = p > 0 && (p == s.db->ParNrMeasure || p == s.db->ParNrSetpoint);
  t->series = new QLineSeries;
  t->series->setName(QStringLiteral("%1 %2 %3%4").arg(topic, item, t->name, t->percent ? " [%]" : ""));
  m_chart->addSeries(t->series);
  t->series->attachAxis(m_time);
  t->series->attachAxis(m_values);
  append(*t, QDateTime::currentMSecsSinceEpoch(), link.item(topic, item));
  m_traces.push_back(std::move(t));
  return true;
}

void frmTrend::RemoveTrace(const QString& topic, const QString& item)
{
  const auto it = std::find_if(m_traces.begin(), m_traces.end(), [&](const auto& t) {
    return same(t->topic, topic) && same(t->item, item);
  });
  if (it == m_traces.end())
    return;
  m_chart->removeSeries((*it)->series);
  delete (*it)->series;
  m_traces.erase(it);
}

void frmTrend::clearTraces()
{
  for (const auto& t : m_traces) {
    m_chart->removeSeries(t->series);
    delete t->series;
  }
  m_traces.clear();
}

void frmTrend::SetSpanMinutes(int minutes) { spnSpan->setValue(minutes); }
int frmTrend::SpanMinutes() const { return spnSpan->value(); }
void frmTrend::SetPaused(bool paused) { cmdPause->setChecked(paused); }
bool frmTrend::Paused() const { return cmdPause->isChecked(); }

void frmTrend::onItemChanged(const QString& topic, const QString& item, const QByteArray& value)
{
  for (const auto& t : m_traces)
    if (same(t->topic, topic) && same(t->item, item))
      append(*t, QDateTime::currentMSecsSinceEpoch(), QString::fromUtf8(value));
}

void frmTrend::append(TrendTrace& t, qint64 ms, const QString& value)
{
  // Texts that are no number ("?", an error text) leave a gap-free line at
  // the last value.
  bool ok = false;
  const double v = MessageEngine::NumericValue(value.trimmed(), &ok);
  if (!ok)
    return;
  t.points.emplace_back(double(ms), t.percent ? v / 320.0 : v);
  TrimTrend(t.points, double(ms) - SpanMinutes() * 60000.0);
  if (t.points.size() > kMaxPointsPerTrace)
    t.points.pop_front();
}

void frmTrend::Refresh(qint64 nowMs)
{
  const double end = double(nowMs), start = end - SpanMinutes() * 60000.0;
  for (const auto& t : m_traces)
    TrimTrend(t->points, start);
  if (Paused())
    return;
  double lo = 0, hi = 0;
  bool percentOnly = true;
  for (const auto& t : m_traces) {
    t->shown = QList<QPointF>(t->points.begin(), t->points.end());
    // A value holds until the next one: the line steps at each change and
    // runs on to now.
    QList<QPointF> line;
    line.reserve(t->shown.size() * 2 + 1);
    for (const QPointF& p : std::as_const(t->shown)) {
      if (!line.isEmpty())
        line << QPointF(p.x(), line.last().y());
      line << p;
      lo = std::min(lo, p.y());
      hi = std::max(hi, p.y());
    }
    if (!line.isEmpty())
      line << QPointF(end, line.last().y());
    t->series->replace(line);
    percentOnly = percentOnly && t->percent;
  }
  m_time->setRange(QDateTime::fromMSecsSinceEpoch(qint64(start)), QDateTime::fromMSecsSinceEpoch(nowMs));
  // Grid lines a round number of seconds apart where the span allows.
  const int seconds = SpanMinutes() * 60;
  m_time->setTickCount(6);
  for (int step : {15, 30, 60, 120, 180, 300, 600})
    if (seconds % step == 0 && seconds / step <= 8) {
      m_time->setTickCount(seconds / step + 1);
      break;
    }
  if (percentOnly)
    hi = std::max(hi, 100.0);
  m_values->setRange(lo, hi > lo ? hi : lo + 1);
  m_values->applyNiceNumbers();
}

bool frmTrend::ExportCsv(const QString& path, QString* error) const
{
  struct Row {
    double ms;
    const TrendTrace* t;
    double value;
  };
  std::vector<Row> rows;
  for (const auto& t : m_traces)
    for (const QPointF& p : t->shown)
      rows.push_back({p.x(), t.get(), p.y()});
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.ms < b.ms; });
  QByteArray csv = "Time,Topic,Item,Name,Value,Unit\r\n";
  for (const Row& r : rows)
    csv += QStringLiteral("%1,%2,%3,%4,%5,%6\r\n")
             .arg(QDateTime::fromMSecsSinceEpoch(qint64(r.ms)).toString("yyyy-MM-dd HH:mm:ss.zzz"), r.t->topic,
                  r.t->item, r.t->name, QString::number(r.value, 'g', 10), r.t->percent ? "%" : "")
             .toUtf8();
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(csv) != csv.size() || !f.commit()) {
    if (error)
      *error = f.errorString();
    return false;
  }
  return true;
}

void frmTrend::cmdExport_Click()
{
  Refresh(QDateTime::currentMSecsSinceEpoch()); // paused: the frozen picture stays what is written
  QString path;
  const QString suggestion = support::Paths::personalDir() + "/trend-" +
                             QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss") + ".csv";
  if (!support::prompt().FileDialog("Export trend", "CSV files (*.csv)|*.csv|All Files (*.*)|*.*", suggestion, path) ||
      path.isEmpty())
    return;
  if (QFile::exists(path) &&
      support::prompt().MsgBox(path + " already exists.\r\nDo you want to replace it?", support::Prompt::YesNo,
                               support::Prompt::Question, "Export trend", support::Prompt::AnswerNo) !=
        support::Prompt::AnswerYes)
    return;
  QString error;
  if (!ExportCsv(path, &error))
    support::prompt().MsgBox("The trend could not be written to " + path + ":\r\n" + error, support::Prompt::Ok,
                             support::Prompt::Exclamation, "Export trend");
}

}
