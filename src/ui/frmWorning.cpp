#include "frmWorning.h"

#include "Icons.h"
#include "core/Server.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>

namespace tesmira {

frmWorning::frmWorning(Server& server, QWidget* parent)
  : QDialog(parent, Qt::Tool | Qt::WindowTitleHint), m_server(server)
{
  setObjectName("frmWorning");
  setWindowTitle(Server::title());
  setModal(false);
  lblInfo = new QLabel(this);
  lblInfo->setWordWrap(true);
  lblInfo->setMinimumWidth(260);
  pgbProgress = new QProgressBar(this);
  pgbProgress->setRange(0, 100);
  imgStart = new QLabel(this);
  imgBusy = new QLabel(this);
  lblReset = new QLabel(this);
  lblReset->hide();
  m_picBusy = Icons::busyStrip(32);
  imgStart->setPixmap(m_picBusy.copy(0, 0, 32, 32));
  auto* grid = new QGridLayout(this);
  grid->addWidget(imgStart, 0, 0);
  grid->addWidget(imgBusy, 0, 0);
  grid->addWidget(lblInfo, 0, 1);
  grid->addWidget(pgbProgress, 1, 0, 1, 2);

  // Loading: animation on, 100 ms ticks, hourglass.
  lblReset->setText(QString());
  imgStart->show();
  imgBusy->show();
  m_animating = true;
  tmrBusy.setInterval(100);
  connect(&tmrBusy, &QTimer::timeout, this, &frmWorning::tmrBusy_Timer);
  setCursor(Qt::WaitCursor);
}

frmWorning::~frmWorning()
{
  lblReset->setText("0");
  tmrBusy.stop();
  tmrBusy.setInterval(0);
  unsetCursor();
}

void frmWorning::setReset(const QString& text)
{
  if (lblReset->text() == text)
    return;
  lblReset->setText(text);
  m_animating = false;
  imgBusy->hide();
}

void frmWorning::tmrBusy_Timer()
{
  if (!m_animating)
    return;
  if (m_server.options.TrayIconEnabled)
    m_trayFrame = (m_trayFrame + 1) % 4;
  imgStart->hide();
  imgBusy->setPixmap(m_picBusy.copy(m_frame * 32, 0, 32, 32));
  m_frame = m_frame == 0 ? 7 : m_frame - 1;
}

void frmWorning::keyPressEvent(QKeyEvent* e)
{
  if (e->key() == Qt::Key_Escape) {
    m_server.state.EscPressed = true;
    return;
  }
  QDialog::keyPressEvent(e);
}

}
