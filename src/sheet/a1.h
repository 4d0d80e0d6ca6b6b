// Cell addresses in A1 form: column letters and 1-based numbers.
#pragma once

#include "core/result.h"

#include <QString>

#include <cstdint>

namespace kestrune::sheet {

// A cell position, 1-based.
struct CellRef {
  std::int32_t row = 1;
  std::int32_t column = 1;
  friend bool operator==(const CellRef&, const CellRef&) = default;
};

// "A" for 1, "Z" for 26, "AA" for 27, "IV" for 256, "XFD" for 16384.
QString columnLetters(std::int32_t column);
// The absolute address "$B$12".
QString absoluteAddress(const CellRef& cell);
// Reads "B12", "$B$12" or "b12" (letters, then a row number from 1). Anything
// else, such as a bare row number or a bare column, fails.
Result<CellRef> parseA1(const QString& address);

}  // namespace kestrune::sheet
