// The Kestrune logo, drawn with QPainter so that no SVG module is needed at
// run time. It is the same picture as packaging/kestrune.svg (a 64 x 64 view
// box): a dark rounded square, a white signal trace, an orange sample point.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QRectF>

class QPainter;

namespace kestrune::info {

// Draws the logo scaled into `target`.
void paintLogo(QPainter& painter, const QRectF& target);
// The logo on a transparent square pixmap of `size` device-independent pixels.
QPixmap logoPixmap(int size, qreal devicePixelRatio = 1.0);
// The logo at the usual icon sizes, for window icons.
QIcon logoIcon();

}  // namespace kestrune::info
