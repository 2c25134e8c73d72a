#pragma once
// A server world for the topic tests: private settings and runtime folders,
// the default parameter database, the link service registered through the
// single-instance check, scripted prompts, and a channel model filled by hand.
#include "TestHome.h"

#include "../ddeml/LinkTestUtil.h"

#include "core/Server.h"
#include "core/Startup.h"
#include "db/Database.h"
#include "dde/DdeServer.h"
#include "dde/ServerTopic.h"
#include "log/Logger.h"

#include "Client.h"
#include "Server.h" // ddeml::Server (platform/ddeml)
#include "Prompt.h"
#include "Setting.h"

#include <QFile>
#include <QSqlQuery>
#include <QtTest>

namespace ddetest {

using linktest::inThread;
using linktest::waitFor;

struct World {
  TestHome home;
  support::ScriptedPrompt prompt;
  tesmira::Server s;
  QString logPath;

  explicit World(bool takeServiceName = true)
  {
    support::setPrompt(&prompt);
    QDir().mkpath(home.path() + "/data/Tesmira32");
    QFile::copy(qEnvironmentVariable("TESMIRA_BIN_DIR") + "/Tesmira.mdb", home.defaultDatabase());
    QFile::setPermissions(home.defaultDatabase(), QFile::ReadOwner | QFile::WriteOwner);
    s.createGeneral(".");
    s.createServices();
    if (!s.db->InitDB().isEmpty() || !s.db->LoadParameterTable().isEmpty())
      qFatal("the default database did not load");
    // Nothing else serves: the check takes the service name.
    if (takeServiceName && (!tesmira::CheckServer(s).isEmpty() || !s.dde->registered()))
      qFatal("the link service was not registered");
  }
  ~World() { support::setPrompt(nullptr); }

  tesmira::DdeServer& dde() { return *s.dde; }

  // Channels 1..count; channel c offers the parameters listed for it.
  void fillChannels(int count, const QList<QList<int>>& offered)
  {
    auto& m = s.channels;
    m.MaxChannel = m.DBChannelCount = m.ChannelCount = int16_t(count);
    m.ChannelTable.assign(size_t(count) + 1, tesmira::ChannelRec{});
    m.ChanNodeProc.assign(size_t(count) + 1, {0, 0});
    m.resizeParameterTables(count, s.db->MaxParNr);
    for (int c = 1; c <= count; ++c) {
      m.ChannelTable[c].Dev_Nodenr = uint8_t(2 + c);
      m.ChannelTable[c].Polling = true;
      for (int p : offered.value(c - 1))
        m.ParAvailable[c][p] = 1;
    }
  }

  // A log file that takes every line.
  void openLog()
  {
    logPath = home.file("server.log");
    prompt.files << logPath;
    if (s.log->OpenLogFile(false) != 0)
      qFatal("the log file did not open");
  }
  QString logText() const
  {
    QFile f(logPath);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
  }

  // The server accepts client pokes (communication open, ready).
  void serving()
  {
    s.state.CommOpen = true;
    s.state.NotReady = false;
  }
};

// Client calls block, so they run on a worker thread while the server's
// event loop turns here.
inline bool request(const QString& topic, const QString& item, QString* value,
                    ddeml::ClientError* error = nullptr)
{
  return inThread([&] {
    ddeml::Client c;
    const bool ok = c.connect("Tesmira", topic, 3000) && c.request(item, value, 3000);
    if (error)
      *error = c.error();
    return ok;
  });
}

// The requested text, or "!topic" / "!item" for the refusal.
inline QString got(const QString& topic, const QString& item)
{
  QString v;
  ddeml::ClientError e;
  if (request(topic, item, &v, &e))
    return v;
  return e == ddeml::ClientError::NoTopic ? "!topic" : e == ddeml::ClientError::NoItem ? "!item" : "!other";
}

inline bool poke(const QString& topic, const QString& item, const QByteArray& value,
                 ddeml::ClientError* error = nullptr)
{
  return inThread([&] {
    ddeml::Client c;
    const bool ok = c.connect("Tesmira", topic, 3000) && c.poke(item, value, 5000);
    if (error)
      *error = c.error();
    return ok;
  });
}

// True when the poke was refused as failed (not for a missing topic or item).
inline bool pokeRefused(const QString& topic, const QString& item, const QByteArray& value)
{
  ddeml::ClientError e;
  return !poke(topic, item, value, &e) && e == ddeml::ClientError::PokeFailed;
}

}
