#include "app/geometry.h"

#include <QScreen>
#include <QWidget>

#include <cmath>

namespace kestrune::app {

int twipsToPixels(int twips, double dpi) { return static_cast<int>(std::lround(twips * dpi / 1440.0)); }

int twipsFor(const QWidget& widget, int twips) { return twipsToPixels(twips, widget.logicalDpiX()); }

QRect twipsRect(const QWidget& widget, int left, int top, int width, int height) {
  return {twipsFor(widget, left), twipsFor(widget, top), twipsFor(widget, width), twipsFor(widget, height)};
}

void placeTopCentre(QWidget& window) {
  const QScreen* screen = window.screen();
  if (!screen) return;
  const QRect available = screen->availableGeometry();
  const int frameWidth = window.frameGeometry().width();
  window.move(available.left() + (available.width() - frameWidth) / 2, available.top());
}

}  // namespace kestrune::app
