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
    QTest::newRow("quote glued") << "a\"b c\"" << QStringList{"A\"B", "C\""};
    QTest::newRow("empty") << "" << QStringList{};
  }
  void split()
  {
    QFETCH(QString, line);
    QFETCH(QStringList, tokens);
    int16_t count = -1;
    QStringList got, typed;
    SplitCommandLine(line, ' ', count, got, &typed);
    QCOMPARE(got, tokens);
    QCOMPARE(count, int16_t(tokens.size()));
    for (int i = 0; i < got.size(); ++i)
      QCOMPARE(typed.at(i).toUpper(), got.at(i));
  }

  void evaluate()
  {
    const QString usage = "Invalid command line options.\r\n"
                          "Usage: [Path]Tesmira[.exe] [/d | /o | /s] [path][client][.exe]";
    {
      Options o;
      o.TrayIconEnabled = false; // EvaluateCommandLine sets it first
      QCOMPARE(EvaluateCommandLine("", o), QString());
      QVERIFY(o.TrayIconEnabled);
      QVERIFY(o.ClientProgram.isEmpty());
    }
    {
      Options o;
      QCOMPARE(EvaluateCommandLine("/o /nt /x /OX /b /r /q /d 8352", o), QString());
      QVERIFY(o.OptOpenCom && !o.TrayIconEnabled && o.OptBusyWindow && o.OptAllowRemove && o.OptQuiet);
      QVERIFY(o.ConfigCheckDisabled && o.ServiceColumns && !o.OptSimulate);
      QVERIFY(o.ClientProgram.isEmpty()); // 8352 is never the client
    }
    {
      Options o;
      QCOMPARE(EvaluateCommandLine("/S /O \"/opt/My Tools/logger\"", o), QString());
      QVERIFY(o.OptSimulate && o.OptOpenCom);
      QCOMPARE(o.ClientProgram, QString("/OPT/MY TOOLS/LOGGER"));
      QCOMPARE(o.ClientProgramAsTyped, QString("/opt/My Tools/logger"));
    }
    {
      // Two non-option arguments, or an unquoted path with blanks: usage.
      Options o;
      QCOMPARE(EvaluateCommandLine("first second", o), usage);
      QCOMPARE(o.ClientProgram, QString("SECOND"));
      Options p;
      QCOMPARE(EvaluateCommandLine("/o /opt/My Tools/logger", p), usage);
      QVERIFY(p.OptOpenCom); // the walk goes on past the bad token
    }
  }

  void join()
  {
    QCOMPARE(JoinArguments({"/o", "a b", ""}), QString("/o \"a b\" \"\""));
  }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
