#include "sheet/a1.h"

#include "sheet/spreadsheet_app.h"

#include <limits>

namespace kestrune::sheet {

QString columnLetters(std::int32_t column) {
  QString letters;
  for (std::int64_t n = column; n > 0; n = (n - 1) / 26)
    letters.prepend(QChar(static_cast<char16_t>(u'A' + (n - 1) % 26)));
  return letters;
}

QString absoluteAddress(const CellRef& cell) {
  return QLatin1Char('$') + columnLetters(cell.column) + QLatin1Char('$') + QString::number(cell.row);
}

Result<CellRef> parseA1(const QString& address) {
  const auto bad = [&address] {
    return fail(SheetError::BadAddress, QStringLiteral("セル番地「%1」が正しくありません").arg(address));
  };
  qsizetype i = 0;
  const qsizetype n = address.size();
  if (i < n && address[i] == QLatin1Char('$')) ++i;
  std::int64_t column = 0;
  const qsizetype lettersStart = i;
  for (; i < n && address[i].isLetter() && address[i].unicode() < 128; ++i) {
    column = column * 26 + (address[i].toUpper().unicode() - u'A' + 1);
    if (column > std::numeric_limits<std::int32_t>::max()) return bad();
  }
  if (i == lettersStart) return bad();
  if (i < n && address[i] == QLatin1Char('$')) ++i;
  const qsizetype digitsStart = i;
  std::int64_t row = 0;
  for (; i < n && address[i].isDigit() && address[i].unicode() < 128; ++i) {
    row = row * 10 + (address[i].unicode() - u'0');
    if (row > std::numeric_limits<std::int32_t>::max()) return bad();
  }
  if (i == digitsStart || i != n || row < 1) return bad();
  return CellRef{static_cast<std::int32_t>(row), static_cast<std::int32_t>(column)};
}

}  // namespace kestrune::sheet
