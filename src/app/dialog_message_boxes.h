// Message boxes on the desktop: modal, OK only, captioned "Kestrune".
#pragma once

#include "core/message_boxes.h"

class QWidget;

namespace kestrune::app {

class DialogMessageBoxes final : public MessageBoxes {
public:
  void show(const QString& text, MessageIcon icon = MessageIcon::None, const QString& informative = {}) override;
  // The window the boxes are centred on; null centres them on the screen.
  void setParentWindow(QWidget* parent) { parent_ = parent; }

private:
  QWidget* parent_ = nullptr;
};

}  // namespace kestrune::app
