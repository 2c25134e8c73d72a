// The trend window of a whole server in this process, on a pseudo-terminal
// to the virtual bus: opened from the module list for the controller, fed by
// a setpoint poked through the link, its span trimmed and its data exported.
#include "ServerRig.h"

#include "dde/DdeServer.h"
#include "ui/frmNetwork.h"
#include "ui/frmTrend.h"

#include "Server.h" // ddeml::Server

#include <QComboBox>
#include <QDateTime>
#include <cmath>
#include <QLineSeries>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace tesmira;

class TestTrend : public QObject {
  Q_OBJECT
  serverrig::Rig p;
  frmTrend* trend = nullptr;

  double last(int trace, bool shown) const
  {
    // NaN until the trace has its first point (the waits below poll this).
    const TrendTrace& t = *trend->Traces()[size_t(trace)];
    if (shown ? t.series->points().isEmpty() : t.points.empty())
      return std::nan("");
    return shown ? t.series->points().last().y() : t.points.back().y();
  }

  // Opens the trend window from the module list with the controller, C(3),
  // picked (each case opens it itself, so a case runs alone too).
  bool openTrend()
  {
    if (!p.main() || !p.menu("mnuConfiguration"))
      return false;
    auto* list = qobject_cast<frmNetwork*>(p.main()->forms.value("frmNetwork").data());
    if (!list)
      return false;
    for (QTreeWidgetItemIterator it(list->outFlowDevices); *it; ++it)
      if ((*it)->text(0).startsWith("Ch: 3,"))
        list->outFlowDevices->setCurrentItem(*it);
    list->cmdTrend->click();
    trend = qobject_cast<frmTrend*>(p.main()->forms.value("frmTrend").data());
    return trend && trend->isVisible();
  }

private slots:
  void initTestCase()
  {
    qputenv("TESMIRA_SORA32_TIMEOUT_MS", "250");
    const QString e = p.start(460800);
    QVERIFY2(e.isEmpty(), qPrintable(e));
  }

  // Measure and setpoint of the channel picked in the module list, in
  // percent; the poked setpoint steps at once, the measure follows; a
  // paused picture stays while collecting goes on.
  void liveFromTheModuleList()
  {
    QVERIFY(openTrend());
    QCOMPARE(trend->Traces().size(), size_t(2));
    QCOMPARE(trend->Traces()[0]->series->name(), QString("C(3) P(8) measure [%]"));
    QCOMPARE(trend->Traces()[1]->series->name(), QString("C(3) P(9) setpoint [%]"));

    QCOMPARE(p.s->dde->link().poke("C(3)", "P(9)", "16000"), QString());
    QTRY_COMPARE(last(1, true), 50.0);
    QTRY_VERIFY_WITH_TIMEOUT(last(0, true) > 25 && last(0, true) <= 50.5, 10000);

    trend->cmdPause->click();
    QCOMPARE(p.s->dde->link().poke("C(3)", "P(9)", "8000"), QString());
    QTRY_COMPARE(last(1, false), 25.0);
    trend->Refresh(QDateTime::currentMSecsSinceEpoch());
    QCOMPARE(last(1, true), 50.0);
    trend->cmdPause->click();
    QTRY_COMPARE(last(1, true), 25.0);
    // The series steps: the old value up to the poke, then the new one.
    const QList<QPointF> line = trend->Traces()[1]->series->points();
    QCOMPARE(line[line.size() - 3].y(), 50.0);
    QCOMPARE(line[line.size() - 3].x(), line[line.size() - 2].x());
  }

  // The channel list shows every channel; an item chosen stays chosen when
  // the list is filled again (the window shown anew) and another channel
  // starts at its measure; Add adds the chosen trace, Remove takes it away.
  void choosingATrace()
  {
    QVERIFY(openTrend());
    QComboBox* ch = trend->cboChannel;
    QComboBox* item = trend->cboItem;
    QCOMPARE(ch->count(), 8);
    QCOMPARE(ch->currentData().toInt(), 3);
    QCOMPARE(item->currentData().toString(), QString("P(8)"));
    item->setCurrentIndex(item->findData("P(55)"));
    trend->hide();
    trend->show(); // fills the channel list again
    QCOMPARE(ch->currentData().toInt(), 3);
    QCOMPARE(item->currentData().toString(), QString("P(55)"));
    trend->cmdAdd->click();
    QCOMPARE(trend->Traces().size(), size_t(3));
    QCOMPARE(trend->Traces()[2]->series->name().left(10), QString("C(3) P(55)"));
    trend->cmdRemove->click();
    QCOMPARE(trend->Traces().size(), size_t(2));
    QCOMPARE(trend->Traces()[1]->series->name(), QString("C(3) P(9) setpoint [%]"));
    ch->setCurrentIndex(ch->findData(4));
    QCOMPARE(item->currentData().toString(), QString("P(8)"));
    trend->close();
  }

  // Export writes the shown points; a span later only the value in force
  // at its start is left, one point per trace.
  void exportAndSpan()
  {
    QVERIFY(openTrend());
    QCOMPARE(p.s->dde->link().poke("C(3)", "P(9)", "24000"), QString());
    QTRY_COMPARE(last(1, true), 75.0);
    const QString file = p.home.file("trend.csv");
    p.prompt.files = {file, p.home.file("no-such-folder/trend.csv")};
    trend->cmdExport->click();
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
    QCOMPARE(rows.first(), QString("Time,Topic,Item,Name,Value,Unit"));
    qsizetype shown = 0;
    for (const auto& t : trend->Traces())
      shown += t->shown.size();
    QCOMPARE(rows.size() - 1, shown);
    QVERIFY(rows.filter(QRegularExpression(R"(^\d{4}-\d\d-\d\d [\d:.]+,C\(3\),P\(9\),setpoint,75,%$)")).size() == 1);

    p.prompt.asked.clear();
    trend->cmdExport->click();
    QCOMPARE(p.prompt.asked.size(), 1);
    QVERIFY(p.prompt.asked[0].text.startsWith("The trend could not be written to "));

    trend->SetSpanMinutes(1);
    const qint64 later = QDateTime::currentMSecsSinceEpoch() + 120000;
    trend->Refresh(later);
    for (const auto& t : trend->Traces()) {
      QCOMPARE(t->points.size(), size_t(1));
      QCOMPARE(t->points.front().x(), double(later - 60000));
    }
    QCOMPARE(last(1, true), 75.0);
    trend->close();
  }
};

QTEST_MAIN(TestTrend)
#include "tst_trend.moc"
