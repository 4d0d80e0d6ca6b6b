#include "core/tab_fields.h"

namespace kestrune {

QByteArray escapeField(const QString& text) {
  QByteArray out;
  for (const char c : text.toUtf8()) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::optional<QString> unescapeField(QByteArrayView field) {
  QByteArray out;
  for (qsizetype i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c == '\\') {
      if (++i == field.size()) return std::nullopt;
      switch (field[i]) {
        case '\\':
          c = '\\';
          break;
        case 't':
          c = '\t';
          break;
        case 'n':
          c = '\n';
          break;
        case 'r':
          c = '\r';
          break;
        default:
          return std::nullopt;
      }
    }
    out += c;
  }
  return QString::fromUtf8(out);
}

}  // namespace kestrune
