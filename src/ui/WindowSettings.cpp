#include "WindowSettings.h"

#include "core/Server.h"
#include "core/Settings.h"

#include "Setting.h"

#include <QWidget>

namespace tesmira {

void RetrieveStoredWindowSettings(Server& s, QWidget* w)
{
  if (!s.setting() || !w)
    return;
  const QString sec = QStringLiteral("Window Settings");
  bool ok = false;
  const int top = ToLong(s.setting()->GetUserSetting(sec, "Top", QString::number(w->y())), &ok);
  if (ok && top >= 0)
    w->move(w->x(), top);
  const int left = ToLong(s.setting()->GetUserSetting(sec, "Left", QString::number(w->x())), &ok);
  if (ok && left >= 0)
    w->move(left, w->y());
  // The main window is resizable, so the stored size applies.
  const int width = ToLong(s.setting()->GetUserSetting(sec, "Width", QString::number(w->width())), &ok);
  if (ok && width > 0)
    w->resize(width, w->height());
  const int height = ToLong(s.setting()->GetUserSetting(sec, "Height", QString::number(w->height())), &ok);
  if (ok && height > 0)
    w->resize(w->width(), height);
}

void StoreCurrentWindowSettings(Server& s, QWidget* w)
{
  if (!s.setting() || !w)
    return;
  const QString sec = QStringLiteral("Window Settings");
  s.setting()->SaveUserSetting(sec, "Top", QString::number(w->y()));
  s.setting()->SaveUserSetting(sec, "Left", QString::number(w->x()));
  s.setting()->SaveUserSetting(sec, "Width", QString::number(w->width()));
  s.setting()->SaveUserSetting(sec, "Height", QString::number(w->height()));
}

}
