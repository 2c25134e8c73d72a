#pragma once
#include <QList>
#include <QPointF>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QLineSeries;
class QPushButton;
class QSpinBox;
class QValueAxis;

namespace tesmira {

class Server;

// One plotted item: a channel topic's item and the values it took, x the
// time in ms since the epoch, y the value as plotted (percent for measure
// and setpoint, 32000 = 100 %; the number itself for other items).
struct TrendTrace {
  QString topic, item, name; // name: the parameter's short name
  bool percent = false;
  std::deque<QPointF> points;  // collected, the last span and the value before it
  QList<QPointF> shown;        // the points the chart shows now
  QLineSeries* series = nullptr;
};

// Drops the points before cutoff but the last of them, which moves to
// cutoff: the value in force when the span starts is kept.
void TrimTrend(std::deque<QPointF>& points, double cutoff);

// "Trend": chosen items of chosen channels plotted live against time. Takes
// every value from the link server's itemChanged (no requests of its own),
// so a trace changes exactly when clients see a change. A span of 1 to 60
// minutes is kept; older points are dropped. Pause freezes the picture (and
// what Export writes) while collecting goes on, so that nothing is missed
// when it resumes. Closing the window forgets the traces.
class frmTrend : public QWidget {
  Q_OBJECT
public:
  explicit frmTrend(Server& server, QWidget* owner);
  ~frmTrend() override;

  // Shows the window with the channel's measure and setpoint added to the
  // traces (the channel is chosen in the channel list); channel 0: the first
  // channel with a measure.
  void ShowChannel(int16_t channel);
  // Adds the item of a topic when it is not plotted yet; its current value
  // is the first point. False when the topic has no such item.
  bool AddTrace(const QString& topic, const QString& item);
  void RemoveTrace(const QString& topic, const QString& item);
  void SetSpanMinutes(int minutes);
  int SpanMinutes() const;
  void SetPaused(bool paused);
  bool Paused() const;
  // Trims every trace to the span ending at nowMs and, unless paused, shows
  // that span. The window's timer calls it every second.
  void Refresh(qint64 nowMs);
  // Writes the shown points as CSV (one row per value: time, topic, item,
  // name, value, unit); false with the reason when the file cannot be
  // written.
  bool ExportCsv(const QString& path, QString* error) const;
  void cmdExport_Click();
  const std::vector<std::unique_ptr<TrendTrace>>& Traces() const { return m_traces; }

  QComboBox* cboChannel = nullptr;
  QComboBox* cboItem = nullptr;
  QPushButton* cmdAdd = nullptr;
  QPushButton* cmdRemove = nullptr;
  QSpinBox* spnSpan = nullptr;
  QPushButton* cmdPause = nullptr;
  QPushButton* cmdExport = nullptr;
  QChartView* chartView = nullptr;

protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

private:
  void fillChannels();
  void fillItems();
  void onItemChanged(const QString& topic, const QString& item, const QByteArray& value);
  void append(TrendTrace& t, qint64 ms, const QString& value);
  QString chosenTopic() const;
  QString chosenItem() const;
  void clearTraces();

  Server& s;
  QChart* m_chart = nullptr;
  QDateTimeAxis* m_time = nullptr;
  QValueAxis* m_values = nullptr;
  std::vector<std::unique_ptr<TrendTrace>> m_traces;
  QString m_itemsTopic; // the topic whose items the item list shows
  QTimer m_refresh;
};

}
