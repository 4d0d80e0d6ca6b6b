// Message boxes with an OK button, captioned with the application title.
// The desktop shows them modally, the headless runner prints them, tests record them.
#pragma once

#include <QString>

namespace kestrune {

inline const QString ApplicationTitle = QStringLiteral("Kestrune");

enum class MessageIcon { None, Information, Warning, Critical };

class MessageBoxes {
public:
  virtual ~MessageBoxes() = default;
  // Shows `text` and returns when the user has acknowledged it.
  virtual void show(const QString& text, MessageIcon icon = MessageIcon::None) = 0;
};

// Prints each message as one line "Kestrune: text" on standard error.
class StderrMessageBoxes final : public MessageBoxes {
public:
  void show(const QString& text, MessageIcon icon = MessageIcon::None) override;
};

}  // namespace kestrune
