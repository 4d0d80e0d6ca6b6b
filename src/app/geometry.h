// Window geometry given in twips (1/1440 inch), converted for the screen.
#pragma once

#include <QRect>

class QWidget;

namespace kestrune::app {

int twipsToPixels(int twips, double dpi);
// A rectangle in twips (left, top, width, height) in pixels for `widget`'s screen.
QRect twipsRect(const QWidget& widget, int left, int top, int width, int height);
int twipsFor(const QWidget& widget, int twips);
// Places `window` at the top of its screen, horizontally centred.
void placeTopCentre(QWidget& window);

}  // namespace kestrune::app
