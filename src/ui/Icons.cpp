#include "Icons.h"

#include <QPainter>
#include <QtMath>

namespace tesmira::Icons {

QIcon programIcon(int resource)
{
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  // A pipe with a flow arrow; the busy frames light one of two dots.
  p.setBrush(QColor(0, 84, 147));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(2, 2, 28, 28, 6, 6);
  p.setBrush(Qt::white);
  p.drawRect(6, 13, 14, 6);
  QPolygon arrow;
  arrow << QPoint(19, 8) << QPoint(27, 16) << QPoint(19, 24);
  p.drawPolygon(arrow);
  if (resource == 102 || resource == 103) {
    p.setBrush(QColor(255, 196, 0));
    p.drawEllipse(resource == 102 ? QPoint(9, 7) : QPoint(9, 25), 3, 3);
  }
  return QIcon(pm);
}

QPixmap busyStrip(int size)
{
  QPixmap strip(size * 8, size);
  strip.fill(Qt::transparent);
  QPainter p(&strip);
  p.setRenderHint(QPainter::Antialiasing);
  const double r = size * 0.35;
  for (int f = 0; f < 8; ++f) {
    const QPointF centre(f * size + size / 2.0, size / 2.0);
    for (int d = 0; d < 8; ++d) {
      const double angle = (d * 45.0 - 90.0) * M_PI / 180.0;
      const int shade = d == f ? 40 : 190;
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(shade, shade + 20 > 255 ? 255 : shade + 20, 255));
      p.drawEllipse(centre + QPointF(std::cos(angle) * r, std::sin(angle) * r), size / 12.0, size / 12.0);
    }
  }
  return strip;
}

}
