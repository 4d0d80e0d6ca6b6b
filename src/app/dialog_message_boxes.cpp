#include "app/dialog_message_boxes.h"

#include <QMessageBox>

namespace kestrune::app {

void DialogMessageBoxes::show(const QString& text, MessageIcon icon, const QString& informative) {
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
  // A modal box runs its own event loop, so reception and timers go on meanwhile.
  QMessageBox box(qtIcon, ApplicationTitle, text, QMessageBox::Ok, parent_);
  if (!informative.isEmpty()) box.setInformativeText(informative);
  box.exec();
}

}  // namespace kestrune::app
