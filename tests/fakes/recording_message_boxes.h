// Message boxes that record what would have been shown.
#pragma once

#include "core/message_boxes.h"

#include <QStringList>

#include <vector>

namespace kestrune::testing {

class RecordingMessageBoxes final : public MessageBoxes {
public:
  struct Shown {
    QString text;
    MessageIcon icon;
    QString informative;
  };
  void show(const QString& text, MessageIcon icon = MessageIcon::None, const QString& informative = {}) override {
    shown.push_back({text, icon, informative});
  }
  QStringList texts() const {
    QStringList out;
    for (const auto& s : shown) out << s.text;
    return out;
  }
  std::vector<Shown> shown;
};

}  // namespace kestrune::testing
