#include "frmStartUp.h"

#include "Icons.h"
#include "core/Server.h"
#include "core/clsGeneral.h"

#include "Paths.h"

#include <QLabel>
#include <QVBoxLayout>

namespace tesmira {

frmStartUp::frmStartUp(Server& server, QWidget* owner)
  : QWidget(owner, Qt::SplashScreen | Qt::WindowStaysOnTopHint)
{
  setObjectName("frmStartUp");
  auto* layout = new QVBoxLayout(this);
  m_picture = new QLabel(this);
  m_picture->setPixmap(Icons::programIcon(101).pixmap(64, 64));
  m_picture->setAlignment(Qt::AlignCenter);
  auto* title = new QLabel(QStringLiteral("<b style='font-size:16pt'>%1</b><br>%2")
                             .arg(Server::title(), server.general ? server.general->sVersion() : QString()),
                           this);
  title->setAlignment(Qt::AlignCenter);
  auto* note = new QLabel(QStringLiteral("Starting the Soranet server..."), this);
  note->setAlignment(Qt::AlignCenter);
  layout->addWidget(m_picture);
  layout->addWidget(title);
  layout->addWidget(note);
  setStyleSheet("frmStartUp { background: white; border: 1px solid #005493; }");
  resize(320, 200);
  if (owner)
    move(owner->geometry().center() - rect().center());
}

void frmStartUp::setPicture(const QString& file)
{
  if (file.isEmpty())
    return;
  QPixmap pm(support::Paths::programDir() + '/' + file);
  if (!pm.isNull())
    m_picture->setPixmap(pm);
}

}
