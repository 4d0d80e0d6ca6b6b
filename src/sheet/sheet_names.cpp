#include "sheet/sheet_names.h"

#include <QRegularExpression>

namespace kestrune::sheet {

namespace {

bool taken(const QString& name, const QStringList& existing) { return existing.contains(name, Qt::CaseInsensitive); }

// `text` cut to at most `length` UTF-16 characters, never inside a surrogate pair.
QString cut(const QString& text, int length) {
  if (text.size() <= length) return text;
  if (length > 0 && text.at(length - 1).isHighSurrogate()) --length;
  return text.left(length);
}

}  // namespace

std::optional<QString> continuationSheetName(const QString& first, const QStringList& existing) {
  QString base = first;
  static const QRegularExpression counted(QStringLiteral("^(.+) \\((\\d+)\\)$"));
  if (const QRegularExpressionMatch m = counted.match(first); m.hasMatch() && taken(m.captured(1), existing))
    base = m.captured(1);
  if (base.isEmpty()) return std::nullopt;
  // Every name tried differs, so one of the first existing.size() + 1 is free.
  for (qsizetype n = 2; n <= existing.size() + 2; ++n) {
    const QString suffix = QStringLiteral(" (%1)").arg(n);
    const QString stem = cut(base, MaxSheetNameLength - static_cast<int>(suffix.size()));
    if (stem.isEmpty()) return std::nullopt;
    const QString name = stem + suffix;
    if (!taken(name, existing)) return name;
  }
  return std::nullopt;
}

}  // namespace kestrune::sheet
