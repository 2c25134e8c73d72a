#pragma once
#include <QString>

namespace tesmira {

class Server;

// Two operator commands of the Communication and SORANET menus: the
// communication speed test, which reads two typical parameters of one
// channel 100 times each and reports how many replies per second came and
// how many reads failed; and the last node address, with which the operator
// fixes the highest node address the next system scan uses.

// The channel prompt accepts a whole number from 1 to maxChannel.
bool SpeedTestChannelAccepted(const QString& answer, int maxChannel);
// The node address prompt accepts an empty answer (Cancel), the default
// unchanged, or a number of at most three characters from 1 to 124.
bool LNAAnswerAccepted(const QString& answer, const QString& defaultText);
// The result message; a count of more than 10 errors adds the warning line.
QString SpeedTestResultText(int ratePna, int errorsPna, int rateMeasure, int errorsMeasure);

// "Spee&d test": polling stopped, channel asked, two rounds of 100 reads,
// result shown, polling started again (also after a cancel or an error).
void mnuComSpeedTest_Click(Server& s);
// "&Last node address": asks for the highest node address; a new value
// becomes the manual last node address and, while the communication is
// open and the operator agrees, the bus configuration is checked again
// with it.
void mnuLNA_Click(Server& s);

}
