#include "core/message_boxes.h"

#include <cstdio>

namespace kestrune {

void StderrMessageBoxes::show(const QString& text, MessageIcon icon, const QString& informative) {
  const char* kind = "";
  switch (icon) {
    case MessageIcon::None:
    case MessageIcon::Information: break;
    case MessageIcon::Warning: kind = " [warning]"; break;
    case MessageIcon::Critical: kind = " [error]"; break;
  }
  QString message = ApplicationTitle + QString::fromLatin1(kind) + QStringLiteral(": ") + text;
  if (!informative.isEmpty()) message += QLatin1Char('\n') + informative;
  const QByteArray line = message.toUtf8();
  std::fprintf(stderr, "%s\n", line.constData());
  std::fflush(stderr);
}

}  // namespace kestrune
