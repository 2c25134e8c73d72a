#include "SpeedTest.h"

#include "bus/Communication.h"
#include "core/Server.h"
#include "engine/MessageEngine.h"
#include "engine/frmPollTime.h"

#include "Debug.h"
#include "Prompt.h"

#include <QCoreApplication>
#include <QTime>
#include <cmath>

namespace tesmira {
namespace {

const char* kModule = "modSpeedTest";

double secondsSinceMidnight() { return QTime::currentTime().msecsSinceStartOfDay() / 1000.0; }

struct Round {
  int rate = 0;
  int errors = 0;
};

// 100 reads of one parameter, stopped early after more than 10 failures.
// False when the clock did not advance (or passed midnight) meanwhile.
bool speedRound(Server& s, int16_t channel, int16_t parameter, const QString& name, Round& out)
{
  const ChannelRec* r = s.channels.channel(channel);
  s.ShowBusy(QStringLiteral("Performing communication speed test for your system.\r\n"
                            "Reading parameter %1: '%2' 100 times from channel %3.")
               .arg(parameter)
               .arg(name)
               .arg(channel),
             0);
  const double start = secondsSinceMidnight();
  out.errors = 0;
  for (int i = 0; i < 100 && r; ++i) {
    const QString value = s.engine->Read_from_Soranet_direct(r->Dev_Nodenr, 0, channel, parameter);
    if (value == QLatin1String("?") || value == QLatin1String("n/a"))
      ++out.errors;
    if (out.errors > 10)
      break;
    QCoreApplication::processEvents();
  }
  s.HideBusy();
  const double elapsed = secondsSinceMidnight() - start;
  if (elapsed <= 0)
    return false;
  out.rate = int(std::lround(100.0 / elapsed));
  return true;
}

}

// A number, written as a number may be ("3", "3.0", "3e0"), that is a whole
// channel in range.
bool SpeedTestChannelAccepted(const QString& answer, int maxChannel)
{
  bool ok = false;
  const double channel = answer.trimmed().toDouble(&ok);
  return ok && channel == std::trunc(channel) && channel >= 1 && channel <= maxChannel;
}

bool LNAAnswerAccepted(const QString& answer, const QString& defaultText)
{
  if (answer.isEmpty() || answer == defaultText)
    return true;
  bool ok = false;
  const double v = answer.trimmed().toDouble(&ok);
  return ok && answer.size() < 4 && v >= 1 && v <= 124;
}

QString SpeedTestResultText(int ratePna, int errorsPna, int rateMeasure, int errorsMeasure)
{
  QString text = QStringLiteral("Speed performance reading pna = %1 messages/second, communication failed %2 times.\r\n"
                                "Speed performance reading measure = %3 messages/second, communication failed %4 "
                                "times.")
                   .arg(ratePna)
                   .arg(errorsPna)
                   .arg(rateMeasure)
                   .arg(errorsMeasure);
  if (errorsPna > 10 || errorsMeasure > 10)
    text += QStringLiteral("\r\n\r\nMaximum amount of errors reached in this test!");
  return text;
}

void mnuComSpeedTest_Click(Server& s)
{
  support::Trace trace(s.debug(), kModule, "mnuComSpeedTest_Click");
  if (s.poll)
    s.poll->StopPolling();
  if (s.engine)
    s.engine->HandleOutstandingMsg();
  s.SetComStatus(QStringLiteral("Speed test"));
  const int maxChannel = s.channels.MaxChannel;
  const QString question = QStringLiteral("Enter a value from 1 to %1 for the channel number\r\n"
                                          "Be sure this channel is active in your SORANET system right now.")
                             .arg(maxChannel);
  QString answer;
  do {
    answer.clear();
    if (!support::prompt().InputBox(question, QStringLiteral("Communication speed test settings"),
                                    QStringLiteral("1"), answer))
      answer.clear();
  } while (!answer.isEmpty() && !SpeedTestChannelAccepted(answer, maxChannel));

  if (!answer.isEmpty() && s.engine) {
    const auto channel = int16_t(answer.trimmed().toDouble());
    Round pna, measure;
    if (speedRound(s, channel, 2, QStringLiteral("pna"), pna) &&
        speedRound(s, channel, 8, QStringLiteral("measure"), measure))
      support::prompt().MsgBox(SpeedTestResultText(pna.rate, pna.errors, measure.rate, measure.errors),
                               support::Prompt::Ok, support::Prompt::Information,
                               QStringLiteral("Communication speed test"));
    else
      support::prompt().MsgBox(QStringLiteral("Error in speedtest procedure, process will be canceled!"),
                               support::Prompt::Ok, support::Prompt::Exclamation, QStringLiteral("Speed test error"));
  }
  if (s.poll)
    s.poll->StartPolling();
}

void mnuLNA_Click(Server& s)
{
  support::Trace trace(s.debug(), kModule, "mnuLNA_Click");
  const QString defaultText = QString::number(s.cfg.SystemLNA);
  const QString question = QStringLiteral("Enter a value from 1 to %1 for the highest node address in your SORANET "
                                          "system.\r\n(The real actual system highest node address value is set as "
                                          "default.)")
                             .arg(124);
  QString answer;
  do {
    answer.clear();
    if (!support::prompt().InputBox(question, QStringLiteral("Last Node Address"), defaultText, answer))
      answer.clear();
  } while (!LNAAnswerAccepted(answer, defaultText));
  if (answer.isEmpty() || answer == defaultText)
    return;
  s.channels.ManualLNA = uint8_t(std::lround(answer.trimmed().toDouble()));
  if (s.state.CommOpen &&
      support::prompt().MsgBox(QStringLiteral("Check SORANET configuration?"), support::Prompt::YesNo,
                               support::Prompt::Question) == support::Prompt::AnswerYes)
    RestartCommunication(s);
}

}
