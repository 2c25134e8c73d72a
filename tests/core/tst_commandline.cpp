#include "core/CommandLine.h"

#include <QtTest>

using namespace tesmira;

class TestCommandLine : public QObject {
  Q_OBJECT
private slots:
  void split_data()
  {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("tokens");
    QTest::newRow("blank runs") << "  /o   client  " << QStringList{"/O", "CLIENT"};
    QTest::newRow("quoted with blanks") << "/s \"my dir/app x\"" << QStringList{"/S", "MY DIR/APP X"};
    QTest::newRow("unclosed quote") << "\"a b c" << QStringList{"A B C"};
    QTest::newRow("empty pair") << "\"\" x" << QStringList{"", "X"};
    QTest::newRow("empty") << "" << QStringList{};
  }
  void split()
  {
    QFETCH(QString, line);
    QFETCH(QStringList, tokens);
    int16_t count = -1;
    QStringList got;
    SplitCommandLine(line, ' ', count, got);
    QCOMPARE(got, tokens);
    QCOMPARE(count, int16_t(tokens.size()));
  }

  void evaluate()
  {
    Options a;
    QCOMPARE(EvaluateCommandLine("/o /nt /x /OX /b /r /q /d 8352", a), QString());
    QVERIFY(a.OptOpenCom && !a.TrayIconEnabled && a.OptBusyWindow && a.OptAllowRemove && a.OptQuiet);
    QVERIFY(a.ConfigCheckDisabled && a.ServiceColumns && !a.OptSimulate);
    QVERIFY(a.ClientProgram.isEmpty()); // 8352 is never the client
    Options b;
    QCOMPARE(EvaluateCommandLine("/S /O \"/opt/My Tools/logger\"", b), QString());
    QVERIFY(b.OptSimulate && b.OptOpenCom);
    QCOMPARE(b.ClientProgram, QString("/OPT/MY TOOLS/LOGGER"));
    QCOMPARE(b.ClientProgramAsTyped, QString("/opt/My Tools/logger"));
    // An unquoted path with blanks is refused (the text: tst_startup); the
    // walk goes on past the bad token.
    Options c;
    QVERIFY(!EvaluateCommandLine("/o /opt/My Tools/logger", c).isEmpty());
    QVERIFY(c.OptOpenCom);
  }

  void join()
  {
    QCOMPARE(JoinArguments({"/o", "a b", ""}), QString("/o \"a b\" \"\""));
  }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
