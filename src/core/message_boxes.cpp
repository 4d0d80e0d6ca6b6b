#include "core/message_boxes.h"

#include <cstdio>

namespace kestrune {

void StderrMessageBoxes::show(const QString& text, MessageIcon icon) {
  const char* kind = "";
  switch (icon) {
    case MessageIcon::None:
    case MessageIcon::Information: break;
    case MessageIcon::Warning: kind = " [warning]"; break;
    case MessageIcon::Critical: kind = " [error]"; break;
  }
  const QByteArray line = (ApplicationTitle + QString::fromLatin1(kind) + QStringLiteral(": ") + text).toUtf8();
  std::fprintf(stderr, "%s\n", line.constData());
  std::fflush(stderr);
}

}  // namespace kestrune
