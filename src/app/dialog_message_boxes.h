// Message boxes on the desktop: modal, OK only, captioned "Kestrune".
#pragma once

#include "core/message_boxes.h"

#include <memory>

class QMessageBox;
class QWidget;

namespace kestrune::app {

class DialogMessageBoxes final : public MessageBoxes {
public:
  void show(const QString& text, MessageIcon icon = MessageIcon::None, const QString& informative = {}) override;
  // The window the boxes are centred on; null centres them on the screen.
  void setParentWindow(QWidget* parent) { parent_ = parent; }

  // The box `show` runs, not yet shown. Its texts are as wide as their
  // longest line up to MaxTextWidth (or 80 % of the screen), so a short
  // message is one line and a long one wraps at that width, not at Qt's
  // narrower default that splits Japanese words and paths.
  std::unique_ptr<QMessageBox> makeBox(const QString& text, MessageIcon icon, const QString& informative) const;
  static constexpr int MaxTextWidth = 900;

private:
  QWidget* parent_ = nullptr;
};

}  // namespace kestrune::app
