// The full sheet the .xls benchmarks write and read: 65,536 rows x 10
// columns of a logger's readings (a unique label, a status word, whole and
// fractional numbers, date/time stamps, typed text).
#pragma once

#include "sheet/xls/workbook.h"

#include <cstdint>
#include <string>

namespace kestrune::bench {

constexpr std::uint32_t Rows = 65536;
constexpr std::uint32_t Columns = 10;

inline xls::Value cellValue(std::uint32_t row, std::uint32_t column) {
  using xls::DateKind;
  using xls::DateTimeValue;
  switch (column) {
    case 0:
      return "sample " + std::to_string(row);
    case 1:
      return std::string(row % 7 == 0 ? "NG" : "OK");
    case 2:
      return static_cast<double>(row);
    case 3:
      return DateTimeValue{45000.0 + row / 1440.0, DateKind::DateTime};
    case 4:
      return DateTimeValue{(row % 86400) / 86400.0, DateKind::TimeOnly};
    case 5:
      return xls::parseTyped(std::to_string(row % 1000) + ".25");
    default:
      return row * 0.001 + column;
  }
}

// Writes the full sheet into a new workbook at `path`.
inline xls::XlsStatus writeFullSheet(const std::string& path) {
  xls::Workbook book = xls::Workbook::createEmpty();
  for (std::uint32_t r = 0; r < Rows; ++r)
    for (std::uint32_t c = 0; c < Columns; ++c)
      if (auto st = book.setCell(0, r, c, cellValue(r, c)); !st) return st;
  return book.save(path);
}

}  // namespace kestrune::bench
