#include "info/logo.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <array>

namespace kestrune::info {

namespace {

// The picture in the 64 x 64 units of packaging/kestrune.svg; keep both alike.
constexpr qreal ViewBox = 64.0;
const QColor Background(0x17, 0x45, 0x5a);
const QColor Trace(0xff, 0xff, 0xff);
const QColor Baseline(0x7f, 0xb3, 0xc8);
const QColor Sample(0xf2, 0xa0, 0x3d);
constexpr std::array<QPointF, 8> TracePoints = {QPointF(10, 38), QPointF(17, 38), QPointF(22, 22), QPointF(28, 46),
                                                QPointF(34, 14), QPointF(40, 42), QPointF(44, 32), QPointF(52, 32)};

}  // namespace

void paintLogo(QPainter& painter, const QRectF& target) {
  if (target.isEmpty()) return;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.translate(target.topLeft());
  painter.scale(target.width() / ViewBox, target.height() / ViewBox);

  painter.setPen(Qt::NoPen);
  painter.setBrush(Background);
  painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(Baseline, 2.5, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(10, 52), QPointF(54, 52));

  painter.setPen(QPen(Trace, 4.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawPolyline(QPolygonF(QList<QPointF>(TracePoints.begin(), TracePoints.end())));

  painter.setPen(Qt::NoPen);
  painter.setBrush(Sample);
  painter.drawEllipse(QPointF(52, 32), 5.5, 5.5);
  painter.restore();
}

QPixmap logoPixmap(int size, qreal devicePixelRatio) {
  if (size <= 0) return {};
  const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
  const int pixels = static_cast<int>(size * ratio + 0.5);
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  {
    QPainter painter(&pixmap);
    paintLogo(painter, QRectF(0, 0, pixels, pixels));
  }
  pixmap.setDevicePixelRatio(ratio);
  return pixmap;
}

QIcon logoIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(logoPixmap(size));
  return icon;
}

}  // namespace kestrune::info
