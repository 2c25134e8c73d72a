// The real tesmira program, headless, in the modes that follow the scan:
// simulation without a bus (/S), and on soranet-sim over a pseudo-terminal
// the interface acquisition, an instrument behind the interface changing
// identity, the modified-parameter check and the quiet rule of code 34.
#include "ProcessRig.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

using ddeml::AdviseEvent;
using ddeml::AdviseMode;
using ddeml::Client;
using processrig::Program;

namespace {

// Values of hot advise events per item until each item has count of them or
// timeoutMs has passed.
QHash<QString, QStringList> collect(Client& c, const QStringList& items, int count, int timeoutMs)
{
  QHash<QString, QStringList> seen;
  QDeadlineTimer dl(timeoutMs);
  AdviseEvent e;
  auto done = [&] {
    for (const QString& i : items)
      if (seen.value(i).size() < count)
        return false;
    return true;
  };
  while (!done() && c.nextAdvise(&e, int(std::max<qint64>(1, dl.remainingTime()))))
    if (e.kind == AdviseEvent::Kind::Data)
      seen[e.item] << QString::fromUtf8(e.value);
  return seen;
}

// Modules: an interface without direct access, a meter behind it that
// reports an interface identification (so it is tracked), a controller and
// a readout module of an older type.
const char* kScenario = R"({"modules": [
  {"node": 1, "type": 1, "number": "IF0000001", "channels": [1]},
  {"node": 3, "type": 3, "number": "FM0000003", "channels": [1], "ifiId": 200},
  {"node": 4, "type": 4, "number": "FC0000004", "channels": [1]},
  {"node": 5, "type": 5, "number": "RO0000005", "channels": [1, 2, 3]}]})";

}

class TestProgramModes : public QObject {
  Q_OBJECT

private slots:
  // /S serves the device table's channels with default values and answers
  // pokes itself: the measure follows a poked setpoint step by step with the
  // valve output alongside, P(1) shows the ident, commands come back at once.
  void simulationWithoutBus()
  {
    Program p;
    // A first run on the virtual bus stores its modules in the device table.
    QVERIFY(p.startOn("SIM", {"/NT", "/O", "/D"}));
    QVERIFY(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000));
    QCOMPARE(p.stop(), 0);

    QVERIFY(p.startOn("SIM", {"/NT", "/S", "/O"}));
    QVERIFY(until([&] { return p.get("C(3)", "P(9)") == "0"; }));
    QCOMPARE(QStringList({p.get("Server", "OpenCom"), p.get("Server", "Status"), p.get("C(3)", "P(8)")}),
             QStringList({"0", "Simulation", "0"}));

    Client c;
    QVERIFY(c.connect("Tesmira", "C(3)"));
    QVERIFY(c.advise("P(8)", AdviseMode::Hot));
    QVERIFY(c.advise("P(55)", AdviseMode::Hot));
    collect(c, {"P(8)", "P(55)"}, 1, 3000); // the current values
    QVERIFY(p.put("C(3)", "P(9)", "100"));
    const auto seen = collect(c, {"P(8)", "P(55)"}, 7, 5000);
    QCOMPARE(seen.value("P(8)"), QStringList({"53", "78", "90", "95", "98", "99", "100"}));
    QCOMPARE(seen.value("P(55)"),
             QStringList({"1006784", "1009984", "1011520", "1012160", "1012544", "1012672", "1012800"}));
    // A client poking the setpoint faster than the 200 ms step for a
    // second still sees the measure move meanwhile.
    QElapsedTimer poking;
    poking.start();
    while (poking.elapsed() < 1000)
      QVERIFY(p.put("C(3)", "P(9)", "200"));
    QVERIFY2(p.get("C(3)", "P(8)").toInt() > 100, qPrintable(p.get("C(3)", "P(8)")));
    QVERIFY(p.put("C(3)", "P(1)", "9"));
    QCOMPARE(p.get("C(3)", "P(1)"), QString(QChar(4)) + "FC0000004");
    QVERIFY(p.put("C(3)", "P(0)", "ALL"));
    QCOMPARE(p.get("C(3)", "P(0)"), QString("0"));
    // The communication is neither closed nor opened under the simulation.
    for (const char* value : {"0", "1"}) {
      Client server;
      QVERIFY(server.connect("Tesmira", "Server"));
      QVERIFY(!server.poke("OpenCom", QString(value), 5000));
      QVERIFY2(server.errorString().contains(
                 "Simulation is on: switch it off before opening or closing the communication"),
               qPrintable(server.errorString()));
    }
    QCOMPARE(QStringList({p.get("Server", "OpenCom"), p.get("Server", "ComStatus"), p.get("C(3)", "P(9)")}),
             QStringList({"0", "Simulation", "200"}));
    QCOMPARE(p.stop(), 0);
  }

  // On soranet-sim: acquisition set up at the scan and ended on close; ident
  // strings in P(1); with IndirectPolling a value changed on the instrument
  // reaches its link, without it it does not; the tracked instrument that
  // turns into another type loses and gains items and its device-table row;
  // code 34 is reported for the controller and kept quiet for the old type.
  void interfaceInstrumentsOnPseudoTerminal_data()
  {
    QTest::addColumn<bool>("indirect");
    QTest::newRow("indirect polling") << true;
    QTest::newRow("without") << false;
  }
  void interfaceInstrumentsOnPseudoTerminal()
  {
    QFETCH(bool, indirect);
    Program p;
    QVERIFY(p.write("bus.json", kScenario));
    processrig::Bus bus;
    bus.faults = {p.home.file("bus.json"), "--no-pacing", "--status", "5:65:0:34", "--status", "4:1:0:34"};
    const QString pty = bus.serve("pty");
    QVERIFY2(!pty.isEmpty(), qPrintable(bus.error));
    p.env.insert("TESMIRA_COM3", pty);
    QVERIFY(p.start("[Communication]\nInterfaceName=COM3\n[Settings]\nPollParametersOnInit=False\nIndirectPolling=" +
                      QByteArray(indirect ? "True" : "False") + "\n",
                    {"/NT", "/O", "/D"}));
    QVERIFY(until([&] { return p.get("Server", "ComStatus") == "Normal polling"; }, 30000));
    // The program's console lines.
    QByteArray out;
    auto outputHas = [&](const char* text) {
      return until([&] {
        out = p.output();
        return out.contains(text);
      });
    };
    QVERIFY(outputHas("Data acquisition at interface started"));
    QCOMPARE(p.get("C(2)", "P(1)"), QString(QChar(3)) + "FM0000003");

    // A setpoint slope (not polled) changed on the controller's keyboard.
    Client c;
    QVERIFY(c.connect("Tesmira", "C(3)"));
    QVERIFY(c.advise("P(10)", AdviseMode::Hot));
    collect(c, {"P(10)"}, 1, 3000);
    QVERIFY(bus.sim->write("set 4 1 2 777\n") > 0 && bus.sim->waitForBytesWritten(3000));
    const QStringList slope = collect(c, {"P(10)"}, 1, indirect ? 10000 : 3000).value("P(10)");
    QCOMPARE(slope.contains("777"), indirect);

    if (indirect) {
      // The meter behind the interface is now a pressure meter.
      QCOMPARE(p.get("C(2)", "P(13)"), QString("polycnstA"));
      QVERIFY(bus.sim->write("identify 3 6 PM0000003\n") > 0 && bus.sim->waitForBytesWritten(3000));
      QVERIFY(until([&] { return p.get("C(2)", "P(49)") == "pressure"; }, 15000));
      QCOMPARE(p.get("C(2)", "P(13)"), QString("<none>"));
      QVERIFY(until([&] { return p.deviceId(2) == 6; }));
      QCOMPARE(p.deviceValue("Dev_Ver", 2).toString(), QString("PM0000003"));
    }

    auto reported = [&](const char* column) {
      for (const QByteArray& l : out.split('\n'))
        if (l.contains(column) && l.contains("Error in received data"))
          return true;
      return false;
    };
    // Error lines are on standard error.
    QVERIFY(until([&] {
      out = p.errors();
      return out.contains("Error in received data");
    }));
    QVERIFY(reported("Ch003"));
    QVERIFY(!reported("Ch004"));

    QVERIFY(p.put("Server", "OpenCom", "0"));
    QVERIFY(outputHas("Data acquisition at interface has been ended"));
    QCOMPARE(p.stop(), 0);
  }
};

QTEST_MAIN(TestProgramModes)
#include "tst_program_modes.moc"
