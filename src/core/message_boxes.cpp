#include "core/message_boxes.h"

#include <cstdio>

#include <unistd.h>

namespace kestrune {

void StderrMessageBoxes::show(const QString& text, MessageIcon icon, const QString& informative) {
  const char* kind = "";
  switch (icon) {
    case MessageIcon::None:
    case MessageIcon::Information:
      break;
    case MessageIcon::Warning:
      kind = " [warning]";
      break;
    case MessageIcon::Critical:
      kind = " [error]";
      break;
  }
  QString message = ApplicationTitle + QString::fromLatin1(kind) + QStringLiteral(": ") + text;
  if (!informative.isEmpty()) message += QLatin1Char('\n') + informative;
  const QByteArray line = message.toUtf8();
  // On a terminal a status line may be showing: the message replaces it.
  if (::isatty(STDERR_FILENO) == 1) std::fputs("\r\033[K", stderr);
  std::fprintf(stderr, "%s\n", line.constData());
  std::fflush(stderr);
}

}  // namespace kestrune
