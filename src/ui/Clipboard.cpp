#include "Clipboard.h"

#include "core/Server.h"
#include "log/LogCategory.h"
#include "operator/ServiceLog.h"

#include <QClipboard>
#include <QGuiApplication>

namespace tesmira {

void mnuClipboard_Click(Server& s)
{
  QClipboard* clipboard = QGuiApplication::clipboard();
  clipboard->clear();
  clipboard->setText(SystemOverviewText(s, QDateTime::currentDateTime()));
  s.LogMessage(Init, QStringLiteral("System configuration overview copied to clipboard"));
}

}
