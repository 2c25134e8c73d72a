// The real tesmira program, headless, against a virtual bus on a
// pseudo-terminal (or a serial device server on TCP) held by this test, in
// the moments a user or the machine picks: stopped in the middle of a scan or
// a bulk read, the bus lost under it, a database it cannot use.
#include "ProcessRig.h"
#include "SqlFile.h"

#include <QtTest>

#include <csignal>
#include <unistd.h>

using processrig::Bus;
using processrig::Program;

namespace {

bool polling(Program& p) { return p.until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000); }

}

class TestRobustProgram : public QObject {
  Q_OBJECT

private slots:
  // A stop signal at any moment: the nested operation unwinds, the ordered
  // shut-down runs once, and nothing is left in the runtime folder. A second
  // signal once the patience for the ordered shut-down is over (here none)
  // ends the program at once, without leftovers either.
  void stopAtAnyMoment_data()
  {
    QTest::addColumn<QString>("transport");
    QTest::addColumn<bool>("openAtStart");
    QTest::addColumn<QString>("during"); // status shown, or the command poked
    QTest::newRow("scan after OpenCom") << "pty" << false << "Scanning SORANET";
    QTest::newRow("scan of a /O start") << "pty" << true << "Scanning SORANET";
    QTest::newRow("bulk read ALL") << "pty" << true << "ALL";
    QTest::newRow("polling over tcp") << "tcp" << true << "Normal polling";
    QTest::newRow("second signal") << "pty" << true << "forced";
  }
  void stopAtAnyMoment()
  {
    QFETCH(QString, transport);
    QFETCH(bool, openAtStart);
    QFETCH(QString, during);
    Bus bus(40);
    const QString line = bus.serve(transport);
    QVERIFY2(!line.isEmpty(), qPrintable(bus.error));
    Program p;
    if (during == "forced")
      p.env.insert("TESMIRA_FORCE_STOP_AFTER", "0");
    QVERIFY2(p.startOn(line, openAtStart ? QStringList{"/NT", "/O"} : QStringList{"/NT"}), p.output().constData());
    QProcess poke;
    poke.setProcessEnvironment(p.env);
    if (!openAtStart)
      poke.start(p.bin + "/tesmira-dde", {"poke", "Tesmira", "Server", "OpenCom", "1"});
    if (during == "ALL") {
      QVERIFY(polling(p));
      // The command item says ALL from the run's start to its end (many
      // seconds on this line): the stop comes once its link shows that.
      QProcess item;
      item.setProcessEnvironment(p.env);
      item.start(p.bin + "/tesmira-dde", {"advise", "Tesmira", "C(0)", "P(0)"});
      QByteArray seen;
      const auto shows = [&](const QByteArray& value) {
        item.waitForReadyRead(50);
        return (seen += item.readAllStandardOutput()).split('\n').contains(value);
      };
      QVERIFY2(until([&] { return shows("0"); }, 10000), seen.constData());
      poke.start(p.bin + "/tesmira-dde", {"poke", "Tesmira", "C(0)", "P(0)", "ALL"});
      QVERIFY2(until([&] { return shows("ALL"); }, 10000), seen.constData());
    } else if (during != "forced") {
      QVERIFY2(p.until([&] { return p.get("Server", "Status") == during; }, 30000), p.output().constData());
    }
    // Within 5 s, and nothing left in the runtime folder.
    if (during == "forced")
      QCOMPARE(p.signalled({SIGTERM, SIGINT}), 1);
    else
      QCOMPARE(p.signalled({SIGTERM}), 0);
    QVERIFY(!QFile::exists(p.home.runtime() + "/dde/Tesmira") && !QFile::exists(p.home.runtime() + "/Tesmira.lock"));
    if (!openAtStart) {
      // The poke that the stop cut short is answered with the reason.
      QVERIFY(poke.waitForFinished(5000));
      QVERIFY2(poke.exitCode() != 0 && poke.readAllStandardError().contains(
                                           "The server is shutting down: the communication was not opened"),
               "the OpenCom poke was answered OK");
    }
    poke.waitForFinished(5000);
  }

  // Line noise during the scan (replies damaged or lost): the scan finds
  // every channel, or it fails saying which node it could not read and
  // changes nothing. Never "configuration OK" with fewer channels, never a
  // rewritten device table, so a client's channel never moves to another
  // instrument. Each row opens the communication anew on a noisy bus, one
  // seed of the noise after the other. A module that answers the node walk
  // but never the configuration read is named, and the scan is refused.
  void noisyScanKeepsChannels_data()
  {
    QTest::addColumn<QStringList>("noise");
    QTest::addColumn<int>("seeds");
    QTest::addColumn<bool>("refused");
    QTest::newRow("10% damaged, 5% lost") << QStringList{"--corrupt", "0.1", "--drop", "0.05"} << 5 << false;
    QTest::newRow("2% damaged") << QStringList{"--corrupt", "0.02"} << 3 << false;
    QTest::newRow("node 3 outside the configuration read") << QStringList{"--unanswered", "3:0:28"} << 1 << true;
  }
  void noisyScanKeepsChannels()
  {
    QFETCH(QStringList, noise);
    QFETCH(int, seeds);
    QFETCH(bool, refused);
    Program p;
    const QString link = p.home.file("ttyBUS");
    p.env.insert("TESMIRA_COM3", link);
    const auto deviceTable = [&p] {
      QString rows;
      for (int c = 1; p.deviceColumn("Dev_Nodenr", c) >= 0; ++c)
        rows += QString("%1:%2/%3/%4 ").arg(c).arg(p.deviceColumn("Dev_Nodenr", c)).arg(p.deviceColumn("Dev_Proc", c))
                    .arg(p.deviceId(c));
      return rows;
    };
    QString stored;
    {
      Bus clean;
      QVERIFY2(!clean.serve("pty", link).isEmpty(), qPrintable(clean.error));
      // A failed opening is not tried again by itself: each seed is one
      // opening of this test's.
      QVERIFY(p.startOn("COM3", {"/NT", "/O"}, "ReopenAfterLoss=False\n"));
      QVERIFY2(polling(p), p.output().constData());
      stored = deviceTable();
      QCOMPARE(stored.count(' '), 8);
      QVERIFY(p.put("Server", "OpenCom", "0"));
    }
    int complete = 0, failed = 0;
    for (int seed = 1; seed <= seeds; ++seed) {
      Bus noisy;
      noisy.faults = noise + QStringList{"--seed", QString::number(seed)};
      QVERIFY2(!noisy.serve("pty", link).isEmpty(), qPrintable(noisy.error));
      const qsizetype from = p.output().size(), fromErrors = p.errors().size();
      QVERIFY(p.put("Server", "OpenCom", "1")); // answered when the scan is over
      // Console lines, then Error and Warn lines.
      const QByteArray out = p.output().mid(from) + p.errors().mid(fromErrors);
      const QByteArray row = "seed " + QByteArray::number(seed) + ":\n" + out;
      QCOMPARE(deviceTable(), stored);
      QVERIFY2(!out.contains("Local RS232"), row.constData());
      if (refused) {
        // The configuration is read twice (RetryNetworkAccess 0: once more).
        const QByteArray again = "No configuration from node 3; reading the SORANET system configuration again";
        QVERIFY2(out.count(again) == 1, row.constData());
        QVERIFY2(out.contains("Error\tModule at node 3 answered but is missing from the SORANET system "
                              "configuration; device table and channel numbers are kept"),
                 row.constData());
        QVERIFY2(out.contains("Error\tReading SORANET system configuration FAILED"), row.constData());
        QCOMPARE(p.get("C(3)", "P(1)"), QString("<none>"));
      }
      if (out.contains("Reading SORANET system configuration OK")) {
        QVERIFY2(!refused && out.contains("8 DDE topics (channels) active"), row.constData());
        QCOMPARE(p.get("Server", "MaxChan"), QString("8"));
        ++complete;
      } else {
        QVERIFY2(out.contains("missing from the SORANET system configuration; device table and channel numbers are "
                              "kept") ||
                     out.contains("Connection to SORANET interface FAILED"),
                 row.constData());
        QCOMPARE(p.get("Server", "OpenCom"), QString("0"));
        ++failed;
      }
      QVERIFY(p.put("Server", "OpenCom", "0"));
    }
    qInfo("%d scans complete, %d refused", complete, failed);
    QCOMPARE(p.signalled({SIGTERM}), 0);
  }

  // The bus unplugged under a polling server: said once, pokes refused with
  // the reason; plugged back in, the server opens it anew by itself.
  void lostBusIsSaid()
  {
    for (const QString transport : {"pty", "tcp"}) { // tcp: a serial device server
      Bus bus;
      Program p;
      const QString link = p.home.file("ttyBUS");
      QString line = bus.serve(transport, link);
      QVERIFY2(!line.isEmpty(), qPrintable(bus.error));
      if (transport == "pty") {
        p.env.insert("TESMIRA_COM3", link);
        line = "COM3";
      }
      QVERIFY(p.startOn(line, {"/NT", "/O"}));
      QVERIFY2(polling(p), p.output().constData());
      QVERIFY(p.put("C(3)", "P(9)", "8000"));

      bus.unplug();
      QVERIFY(p.until([&] { return p.get("Server", "Status") == "Polling failure"; }, 15000));
      ddeml::Client c;
      QVERIFY(c.connect("Tesmira", "C(3)") && !c.poke("P(9)", QString("12000")));
      QVERIFY2(c.errorString().contains("the communication to SORANET is lost ("), qPrintable(c.errorString()));
      QCOMPARE(p.errors().count("Communication to SORANET lost on " + line.toUtf8() + ": "), 1);

      // Back on a bus whose controller has its process claimed by another
      // application: the write reaches it again (on a new conversation: the
      // channel topics are made anew), and its refusal reaches the client
      // word for word.
      bus.faults = {"--status", "4:1:1:1"};
      QVERIFY(!bus.serve(transport, link).isEmpty());
      QVERIFY2(polling(p), p.output().constData());
      QVERIFY(c.connect("Tesmira", "C(3)") && !c.poke("P(9)", QString("12000")));
      QCOMPARE(c.errorString(),
               QString("This process is claimed by another application and cannot be operated by your PC-application"));
      QCOMPARE(p.signalled({SIGTERM}), 0);
    }
  }

  // A poked value stays: the replies of reads sent before the write do not
  // bring the old value back, and a request after the poke's OK returns it.
  void pokedValueStays()
  {
    Bus bus(40);
    const QString line = bus.serve("pty");
    QVERIFY2(!line.isEmpty(), qPrintable(bus.error));
    Program p;
    QVERIFY(p.startOn(line, {"/NT", "/O"}));
    QVERIFY2(polling(p), p.output().constData());
    ddeml::Client c;
    QVERIFY(c.connect("Tesmira", "C(3)"));
    QVERIFY(c.advise("P(9)", ddeml::AdviseMode::Hot));
    for (const char* value : {"8000", "16000", "8000", "12000", "8000", "16000"}) {
      ddeml::AdviseEvent e;
      while (c.nextAdvise(&e, 0)) {
      }
      QVERIFY(c.poke("P(9)", QString(value), 10000));
      QString now;
      QVERIFY(c.request("P(9)", &now));
      QCOMPARE(now.toDouble(), QByteArray(value).toDouble());
      QDeadlineTimer quiet(400);
      while (!quiet.hasExpired())
        if (c.nextAdvise(&e, 50) && e.kind == ddeml::AdviseEvent::Kind::Data)
          QCOMPARE(e.value.toDouble(), QByteArray(value).toDouble());
    }
    QCOMPARE(p.signalled({SIGTERM}), 0);
  }

  // A database the server cannot use is refused at start, saying why.
  void unusableDatabase_data()
  {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("says");
    const QString cannot = "cannot be opened.\r\nPlease make sure the current user has read and write permissions.";
    QTest::newRow("read-only") << "chmod" << QStringList{cannot, "The file is read-only for this user."};
    QTest::newRow("missing table") << "DROP TABLE FlowDevices"
                                   << QStringList{"the table FlowDevices is missing", "will be closed"};
    QTest::newRow("missing version table") << "DROP TABLE _Info"
                                           << QStringList{"the table _Info is missing", "will be closed"};
    QTest::newRow("missing settings mirror") << "DROP TABLE Commport"
                                             << QStringList{"the table Commport is missing", "will be closed"};
    QTest::newRow("missing column") << "ALTER TABLE NetDevPar DROP COLUMN Dev_Memo"
                                    << QStringList{"the table NetDevPar has no column Dev_Memo"};
    QTest::newRow("corrupt") << "garbage" << QStringList{cannot, "not a valid database: file is not a database"};
    QTest::newRow("empty") << "empty" << QStringList{cannot, "The file is empty: it is not a valid database."};
  }
  void unusableDatabase()
  {
    QFETCH(QString, damage);
    QFETCH(QStringList, says);
    Program p;
    const QString db = p.home.defaultDatabase();
    QDir().mkpath(QFileInfo(db).path());
    QVERIFY(QFile::copy(p.bin + "/Tesmira.mdb", db));
    QFile f(db);
    if (damage == "chmod") {
      QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
      p.withoutPermissionOverride();
    } else if (damage == "garbage" || damage == "empty") {
      QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
      if (damage == "garbage")
        f.write(QByteArray(4096, 'x'));
      f.close();
    } else {
      QVERIFY(sqlfile::exec(db, {damage}));
    }
    QVERIFY(p.write("common.ini", "[Communication]\nInterfaceName=SIM\n"));
    p.process.setProcessEnvironment(p.home.environment());
    p.process.setProcessChannelMode(QProcess::MergedChannels);
    p.process.start(p.bin + "/tesmira", {"/NT"});
    QVERIFY(p.process.waitForFinished(20000));
    QCOMPARE(p.process.exitCode(), 1);
    const QString out = QString::fromUtf8(p.process.readAll()).replace("\r\n", "\n");
    for (QString text : says)
      QVERIFY2(out.contains(text.replace("\r\n", "\n")), qPrintable(out));
  }
};

QTEST_MAIN(TestRobustProgram)
#include "tst_robust_program.moc"
