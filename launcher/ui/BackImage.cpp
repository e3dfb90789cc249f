#include "BackImage.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace startell {

QPixmap DrawBackImage(QSize size) {
  QPixmap pm(size);
  const qreal w = size.width();
  const qreal h = size.height();
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, h);
  sky.setColorAt(0, QColor(8, 10, 30));
  sky.setColorAt(1, QColor(30, 24, 60));
  p.fillRect(QRectF(0, 0, w, h), sky);

  // Truss with five fixtures, each throwing a cone of light to the floor.
  const qreal trussY = h * 0.08;
  p.fillRect(QRectF(w * 0.06, trussY - 3, w * 0.88, 6), QColor(90, 90, 100));
  const QColor beams[] = {QColor(255, 80, 80), QColor(255, 190, 60), QColor(250, 250, 220),
                          QColor(80, 200, 255), QColor(180, 100, 255)};
  const int n = 5;
  for (int i = 0; i < n; ++i) {
    const qreal x = w * (0.14 + 0.72 * i / (n - 1));
    const qreal floorX = w * 0.5 + (x - w * 0.5) * 0.45;
    QColor c = beams[i];
    QPainterPath cone;
    cone.moveTo(x - 4, trussY + 8);
    cone.lineTo(x + 4, trussY + 8);
    cone.lineTo(floorX + w * 0.09, h * 0.86);
    cone.lineTo(floorX - w * 0.09, h * 0.86);
    cone.closeSubpath();
    QLinearGradient g(0, trussY, 0, h * 0.86);
    c.setAlpha(150);
    g.setColorAt(0, c);
    c.setAlpha(25);
    g.setColorAt(1, c);
    p.fillPath(cone, g);

    QRadialGradient pool(floorX, h * 0.86, w * 0.1);
    c.setAlpha(120);
    pool.setColorAt(0, c);
    c.setAlpha(0);
    pool.setColorAt(1, c);
    p.setPen(Qt::NoPen);
    p.setBrush(pool);
    p.drawEllipse(QPointF(floorX, h * 0.86), w * 0.1, h * 0.05);

    p.setBrush(QColor(40, 40, 48));
    p.drawRoundedRect(QRectF(x - 7, trussY, 14, 11), 3, 3);
    p.setBrush(beams[i]);
    p.drawEllipse(QPointF(x, trussY + 10), 4, 2);
  }

  QFont f(QStringLiteral("DejaVu Sans"));
  f.setStyleHint(QFont::SansSerif);
  f.setBold(true);
  f.setPixelSize(static_cast<int>(h * 0.2));
  p.setFont(f);
  const QRectF title(0, h * 0.38, w, h * 0.26);
  p.setPen(QColor(0, 0, 0, 160));
  p.drawText(title.translated(2, 2), Qt::AlignCenter, QStringLiteral("Calvera"));
  p.setPen(QColor(245, 240, 255));
  p.drawText(title, Qt::AlignCenter, QStringLiteral("Calvera"));
  return pm;
}

}  // namespace startell
