// Message boxes with an OK button, captioned with the application title.
// The desktop shows them modally, the headless runner prints them, tests record them.
#pragma once

#include "core/result.h"

#include <QString>

namespace kestrune {

inline const QString ApplicationTitle = QStringLiteral("Kestrune");

enum class MessageIcon { None, Information, Warning, Critical };

class MessageBoxes {
public:
  virtual ~MessageBoxes() = default;
  // Shows `text` and returns when the user has acknowledged it. `informative`
  // (may be empty) says more below it: why, where, what to do.
  virtual void show(const QString& text, MessageIcon icon = MessageIcon::None, const QString& informative = {}) = 0;
};

// Prints each message as a line "Kestrune: text" on standard error, its
// informative text on the lines after it.
class StderrMessageBoxes final : public MessageBoxes {
public:
  void show(const QString& text, MessageIcon icon = MessageIcon::None, const QString& informative = {}) override;
};

// Shows a failure: its description, and its detail below it.
inline void showError(MessageBoxes& boxes, const Error& error) {
  boxes.show(error.description, MessageIcon::None, error.detail);
}

}  // namespace kestrune
