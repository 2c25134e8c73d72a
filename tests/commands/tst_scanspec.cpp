// The scan specification of bulk reads (which parameters, in which order,
// which elements are refused) and the reduction of a command on C(0) to its
// code and specification. Pure rules over the default parameter database.
#include "TestHome.h"

#include "Prompt.h"
#include "core/Server.h"
#include "db/Database.h"
#include "dde/Commands.h"
#include "engine/BulkRead.h"

#include <QtTest>

using namespace tesmira;

namespace {
const QString kInvalid = "Invalid scan parameters format";
}

class TestScanSpec : public QObject {
  Q_OBJECT
  TestHome home;
  support::ScriptedPrompt prompt;
  std::unique_ptr<Server> s;

  QList<int16_t> list(const QString& spec, QString* error = nullptr)
  {
    QString e;
    const QList<int16_t> l = ScanParameterList(*s, spec, e);
    if (error)
      *error = e;
    return l;
  }
  QList<int16_t> inGroup(int g) const
  {
    QList<int16_t> l;
    for (int p = 1; p <= s->db->MaxParNr; ++p) {
      const auto& G = s->db->ParameterTable[size_t(p)].Group;
      if (G[0] == g || G[1] == g || G[2] == g)
        l << int16_t(p);
    }
    return l;
  }

private slots:
  void initTestCase()
  {
    support::setPrompt(&prompt);
    QDir().mkpath(QFileInfo(home.defaultDatabase()).path());
    QVERIFY(QFile::copy(qEnvironmentVariable("TESMIRA_BIN_DIR") + "/Tesmira.mdb", home.defaultDatabase()));
    s = std::make_unique<Server>();
    s->createGeneral(".");
    s->createServices();
    QCOMPARE(s->db->InitDB(), QString());
    QCOMPARE(s->db->LoadParameterTable(), QString());
    QVERIFY(s->db->MaxParNr > 20);
  }
  void cleanupTestCase()
  {
    s.reset();
    support::setPrompt(nullptr);
  }

  void allAndNumbers()
  {
    const int max = s->db->MaxParNr;
    QString e;
    for (const char* all : {"ALL", "all", " aLl "}) {
      const QList<int16_t> l = list(all, &e);
      QCOMPARE(l.size(), max);
      QCOMPARE(l.first(), int16_t(1));
      QCOMPARE(l.last(), int16_t(max));
      QVERIFY(e.isEmpty());
    }
    // ALL is the whole text only, never one element among others.
    QCOMPARE(list("8,ALL", &e), QList<int16_t>{8});
    QCOMPARE(e, kInvalid);
    // Order as given, a repeat read twice, a descending range.
    QCOMPARE(list("1,8,12-10", &e), (QList<int16_t>{1, 8, 12, 11, 10}));
    QVERIFY(e.isEmpty());
    QCOMPARE(list("9, 9 ,3-4", &e), (QList<int16_t>{9, 9, 3, 4}));
    QVERIFY(e.isEmpty());
    // Numbers outside 1..MaxParNr are dropped without a message.
    QCOMPARE(list(QString("0,%1,5,%2").arg(max + 1).arg(30000), &e), QList<int16_t>{5});
    QVERIFY(e.isEmpty());
    // Range ends above MaxParNr come down to it.
    QCOMPARE(list(QString("%1-%2").arg(max - 1).arg(max + 50), &e), (QList<int16_t>{int16_t(max - 1), int16_t(max)}));
    QCOMPARE(list(QString("%1-%2").arg(max + 9).arg(max - 1), &e), (QList<int16_t>{int16_t(max), int16_t(max - 1)}));
    QVERIFY(e.isEmpty());
  }

  void groups()
  {
    QString e;
    const QList<int16_t> g3 = inGroup(3);
    QVERIFY(g3.contains(8) && g3.contains(9));
    QCOMPARE(list("GROUP 3", &e), g3);
    QCOMPARE(list("group3", &e), g3);
    QCOMPARE(list("GrOuP5", &e), inGroup(5));
    QVERIFY(e.isEmpty());
    // Group 0 means every parameter.
    QCOMPARE(list("GROUP 0", &e).size(), int(s->db->MaxParNr));
    QVERIFY(e.isEmpty());
    // A group that is no number is refused; the good elements still count.
    QCOMPARE(list("GROUP x,8", &e), QList<int16_t>{8});
    QCOMPARE(e, kInvalid);
  }

  void refusedElements_data()
  {
    QTest::addColumn<QString>("spec");
    QTest::addColumn<QList<int16_t>>("read");
    QTest::newRow("leading dash") << "-5,8" << QList<int16_t>{8};
    QTest::newRow("trailing dash") << "5-,8" << QList<int16_t>{8};
    QTest::newRow("range from 0") << "0-3" << QList<int16_t>{};
    QTest::newRow("range to 0") << "3-0,2" << QList<int16_t>{2};
    QTest::newRow("empty") << "" << QList<int16_t>{};
    QTest::newRow("blank element") << "8,,9" << QList<int16_t>{8, 9};
    QTest::newRow("word") << "setpoint,9" << QList<int16_t>{9};
    QTest::newRow("decimal") << "2.5" << QList<int16_t>{};
    QTest::newRow("sql") << "1 OR 1=1" << QList<int16_t>{};
  }
  void refusedElements()
  {
    QFETCH(QString, spec);
    QFETCH(QList<int16_t>, read);
    QString e;
    QCOMPARE(list(spec, &e), read);
    QCOMPARE(e, kInvalid);
  }

  void commandLanguage_data()
  {
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("fits");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("spec");
    QTest::newRow("ALL") << "ALL" << true << -1 << "ALL";
    QTest::newRow("all") << "all" << true << -1 << "ALL";
    QTest::newRow("-1") << "-1" << true << -1 << "ALL";
    QTest::newRow("channel") << "3" << true << 3 << "ALL";
    QTest::newRow("group") << "2.5" << true << 2 << "GROUP5";
    QTest::newRow("group 99") << "2.99" << true << 2 << "GROUP99";
    QTest::newRow("group out of range") << "2.100" << true << 2 << "ALL";
    QTest::newRow("negative group") << "3.-1" << true << 3 << "ALL";
    QTest::newRow("all channels, group") << "-1.2" << true << -1 << "GROUP2";
    QTest::newRow("empty group") << "4." << true << 4 << "GROUP0";
    QTest::newRow("code") << "-7" << true << -7 << "ALL";
    QTest::newRow("blanks") << " -10 " << true << -10 << "ALL";
    QTest::newRow("half to even, down") << "25e-1" << true << 2 << "ALL";
    QTest::newRow("half to even, up") << "35e-1" << true << 4 << "ALL";
    QTest::newRow("word") << "open" << true << 0 << "ALL";
    QTest::newRow("sql") << "1 OR 1=1" << true << 0 << "ALL";
    QTest::newRow("too large") << "40000" << false << 0 << "ALL";
    QTest::newRow("group too large") << "2.70000" << false << 2 << "ALL";
  }
  void commandLanguage()
  {
    QFETCH(QString, command);
    QFETCH(bool, fits);
    int16_t code = 99;
    QString spec;
    QCOMPARE(Commands::ParseCommand(command, code, spec), fits);
    if (!fits)
      return;
    QTEST(int(code), "code");
    QTEST(spec, "spec");
  }
};

QTEST_MAIN(TestScanSpec)
#include "tst_scanspec.moc"
