#include "app/dialog_message_boxes.h"

#include <QLabel>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>

namespace kestrune::app {

namespace {

// Widens `label` to its longest line, up to `limit` pixels; beyond that it
// wraps. The label's own layout decides (a selectable text has margins).
void fitLabel(QLabel* label, int limit) {
  if (!label || label->text().isEmpty()) return;
  const bool wrapped = label->wordWrap();
  label->setWordWrap(true);
  const int unwrapped = label->heightForWidth(QWIDGETSIZE_MAX / 2);
  int width = 0;
  for (const QString& line : label->text().split(QLatin1Char('\n')))
    width = std::max(width, label->fontMetrics().horizontalAdvance(line));
  while (width < limit && label->heightForWidth(width) > unwrapped) width += 2;
  label->setWordWrap(wrapped);
  label->setMinimumWidth(std::min(width, limit));
}

}  // namespace

std::unique_ptr<QMessageBox> DialogMessageBoxes::makeBox(const QString& text, MessageIcon icon,
                                                         const QString& informative) const {
  QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
  switch (icon) {
    case MessageIcon::None:
      break;
    case MessageIcon::Information:
      qtIcon = QMessageBox::Information;
      break;
    case MessageIcon::Warning:
      qtIcon = QMessageBox::Warning;
      break;
    case MessageIcon::Critical:
      qtIcon = QMessageBox::Critical;
      break;
  }
  auto box = std::make_unique<QMessageBox>(qtIcon, ApplicationTitle, text, QMessageBox::Ok, parent_);
  if (!informative.isEmpty()) box->setInformativeText(informative);
  int limit = MaxTextWidth;
  if (const QScreen* screen = parent_ ? parent_->screen() : box->screen())
    limit = std::min(limit, screen->availableGeometry().width() * 8 / 10);
  fitLabel(box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")), limit);
  fitLabel(box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")), limit);
  return box;
}

void DialogMessageBoxes::show(const QString& text, MessageIcon icon, const QString& informative) {
  // A modal box runs its own event loop, so reception and timers go on meanwhile.
  makeBox(text, icon, informative)->exec();
}

}  // namespace kestrune::app
