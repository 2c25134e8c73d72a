#pragma once
// A serving server in this process: real parameter database, virtual bus on
// a pseudo-terminal, channel topics, the link service registered (clients
// connect through real sockets) and a log file that takes every line.
#include "../dde/DdeTestUtil.h"
#include "../engine/EngineWorld.h"

#include "dde/Commands.h"
#include "dde/frmTopic.h"
#include "engine/BulkRead.h"

#include <QRegularExpression>

namespace commandstest {

using ddetest::poke;
using ddetest::request;
using linktest::waitFor;

struct World : enginetest::World {
  QString logPath;

  bool serve()
  {
    if (!start())
      return false;
    if (!tesmira::CheckServer(s()).isEmpty() || !s().dde->registered())
      return fail("the link service was not registered");
    logPath = home.file("server.log");
    prompt.files << logPath;
    if (s().log->OpenLogFile(false) != 0)
      return fail("the log file did not open");
    return true;
  }

  QStringList logLines() const
  {
    QFile f(logPath);
    if (!f.open(QIODevice::ReadOnly))
      return {};
    return QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  }
  // Lines written since mark (the number of lines at some earlier moment).
  QStringList logSince(int mark) const { return logLines().mid(mark); }
  int logMark() const { return int(logLines().size()); }

  // "Ch003   P009": the channel and parameter columns of a parameter line.
  static QString column(int channel, int parameter)
  {
    return QStringLiteral("Ch%1   P%2").arg(channel, 3, 10, QLatin1Char('0')).arg(parameter, 3, 10, QLatin1Char('0'));
  }
  // Parameters of the Read lines of a channel among lines, in order.
  static QList<int> readParameters(const QStringList& lines, int channel)
  {
    QList<int> out;
    const QRegularExpression re(QStringLiteral("Read\tCh%1   P(\\d{3})").arg(channel, 3, 10, QLatin1Char('0')));
    for (const QString& l : lines)
      if (auto m = re.match(l); m.hasMatch())
        out << m.captured(1).toInt();
    return out;
  }

  QString item(int channel, int p) const { return enginetest::World::item(channel, p); }

  // The channel of the first module with this device type.
  int channelOfType(int type) const
  {
    const auto& t = server->channels.ChannelTable;
    for (size_t c = 1; c < t.size(); ++c)
      if (t[c].Dev_ID == type)
        return int(c);
    return 0;
  }
};

}
