// The dashboard in a real browser: Debian's chromium, headless, opens the
// address the console prints (token in the address, then the cookie), runs
// the page's script against the real tesmirad on the virtual bus, and the
// page it renders shows channel C(3) with the setpoint just written.
#include "Http.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestDashboard : public QObject {
  Q_OBJECT
  processrig::Program server;
  quint16 port = freePort();
  QString chromium = QStandardPaths::findExecutable("chromium");

  // The page as chromium renders it after virtualMs of page time.
  QByteArray render(const QString& url, const QStringList& extra = {})
  {
    QTemporaryDir profile;
    QProcess p;
    p.start(chromium, QStringList{"--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                                  "--disable-component-update", "--disable-sync", "--no-first-run",
                                  "--user-data-dir=" + profile.path(), "--virtual-time-budget=8000"} +
                        extra + QStringList{url});
    if (!p.waitForFinished(90000))
      p.kill();
    return p.readAllStandardOutput();
  }

private slots:
  void initTestCase()
  {
    if (chromium.isEmpty()) {
      // CI installs the browser; there a missing one is a fault.
      QVERIFY2(qgetenv("CI") != "true", "chromium is not installed");
      QSKIP("chromium is not installed (apt-get install chromium): the dashboard is not tested in a browser");
    }
    QVERIFY2(startWeb(server, port,
                      "[Communication]\nInterfaceName=SIM\n[Settings]\nPollParametersOnInit=True\nPollTime=20\n"),
             server.output().constData());
  }

  // The card of C(3) names its instrument and shows the setpoint written
  // over the link (16000 of 32000: 50 %, in the unit of its capacity), with
  // an entry for a new one; a meter's card (C(2)) has neither.
  void channelCard()
  {
    QVERIFY(server.put("C(3)", "P(9)", "16000"));
    const QRegularExpression line("Dashboard at (http://\\S+)");
    const QRegularExpressionMatch m = line.match(QString::fromLocal8Bit(server.output()));
    QVERIFY(m.hasMatch());
    QString dom;
    const QRegularExpression card(
      "<article class=\"card\" aria-labelledby=\"ch-3\">.*?<span class=\"topic\">C\\(3\\)</span> "
      "<span class=\"device\">DMFC</span>.*?<dd class=\"setpoint\">50\\.0 %<span class=\"units\">50\\.00 ln/min</span></dd>.*?<form class=\"write\">",
      QRegularExpression::DotMatchesEverythingOption);
    // The page keeps connecting until the channels are there.
    QVERIFY2(server.until([&] {
      dom = QString::fromUtf8(render(m.captured(1), {"--dump-dom"}));
      return card.match(dom).hasMatch();
    }, 120000), qPrintable(dom.right(3000)));
    QVERIFY(dom.contains("<span id=\"comstatus\">Normal polling</span>"));
    const QString meter = QRegularExpression("aria-labelledby=\"ch-2\">(.*?)</article>",
                                             QRegularExpression::DotMatchesEverythingOption)
                            .match(dom)
                            .captured(1);
    QVERIFY2(meter.contains("<div hidden=\"\"><dt>Setpoint</dt>") && meter.contains("<form class=\"write\" hidden=\"\">"),
             qPrintable(meter));
  }
};

QTEST_GUILESS_MAIN(TestDashboard)
#include "tst_dashboard.moc"
