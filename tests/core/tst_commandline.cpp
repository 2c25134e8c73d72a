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
    // (A word before the last that is no option, an unquoted path with
    // blanks among them, is refused: tst_startup.)
  }

  // The dash options before anything starts: help before anything after
  // it, --log in both forms, and every other dash argument refused rather
  // than taken for the client program. The /X options and the client pass
  // through in their order (up to a refusal, which ends the walk). (Each
  // spelling of help and version, and the refusals' texts, as the programs
  // answer them: tst_startup.)
  void dashOptions_data()
  {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("logPath");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("rest");
    using D = DashOptions;
    QTest::newRow("slash options and client") << QStringList{"/O", "/x", "client"} << int(D::Serve) << ""
                                              << "" << QStringList{"/O", "/x", "client"};
    QTest::newRow("log, separate") << QStringList{"/o", "--log", "a b.log", "c"} << int(D::Serve) << "a b.log"
                                   << "" << QStringList{"/o", "c"};
    QTest::newRow("log, joined") << QStringList{"--log=a b.log", "/o", "c"} << int(D::Serve) << "a b.log" << ""
                                 << QStringList{"/o", "c"};
    QTest::newRow("log's file may start with a dash") << QStringList{"--log", "-x.log"} << int(D::Serve)
                                                      << "-x.log" << "" << QStringList{};
    QTest::newRow("--help") << QStringList{"--help", "--bogus"} << int(D::Help) << "" << "" << QStringList{};
    QTest::newRow("/?") << QStringList{"/?"} << int(D::Help) << "" << "" << QStringList{};
    QTest::newRow("-x") << QStringList{"/o", "-x", "--help"} << int(D::UsageError) << ""
                        << "unknown option '-x'" << QStringList{"/o"};
    QTest::newRow("a lone dash") << QStringList{"-"} << int(D::UsageError) << "" << "unknown option '-'"
                                 << QStringList{};
  }
  void dashOptions()
  {
    QFETCH(QStringList, args);
    QFETCH(int, action);
    QFETCH(QString, logPath);
    QFETCH(QString, error);
    QFETCH(QStringList, rest);
    const DashOptions d = ParseDashOptions(args);
    QCOMPARE(std::tuple(int(d.action), d.logPath, d.error, d.rest), std::tuple(action, logPath, error, rest));
  }

  void join()
  {
    QCOMPARE(JoinArguments({"/o", "a b", ""}), QString("/o \"a b\" \"\""));
  }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
