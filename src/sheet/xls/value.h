// Cell values of the .xls engine and the pure conversions around them: typed
// input ("12.5" is a number), date formats, and calendar dates to serials.
#pragma once

#include "sheet/xls/xls_result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestrune::xls {

enum class DateKind { DateOnly, TimeOnly, DateTime };

// A date/time is a serial day number in the workbook's date system (1900 or
// 1904) shown through a date format of the given kind. When written,
// `milliseconds` asks for a format that shows them (times only); read back it
// is always false.
struct DateTimeValue {
  double serial = 0.0;
  DateKind kind = DateKind::DateTime;
  bool milliseconds = false;
  bool operator==(const DateTimeValue&) const = default;
};

// An error value (#DIV/0! and the like), as read from BOOLERR or a formula.
struct CellError {
  std::uint8_t code = 0;
  bool operator==(const CellError&) const = default;
};

// Empty, text (UTF-8), number, boolean, date/time, error.
using Value = std::variant<std::monostate, std::string, double, bool, DateTimeValue, CellError>;

// Typed input: text that reads as a plain number (optional surrounding spaces,
// optional sign, digits, optional '.' with digits, optional exponent) becomes
// a number; everything else, including text starting with '=', stays text.
Value parseTyped(std::string_view text);

// Whether a number format shows a date or time, and which kind. `code` is the
// FORMAT record's text when the workbook has one for `ifmt`.
std::optional<DateKind> dateKindOfFormat(std::uint16_t ifmt, const std::optional<std::string>& code);

// Format code the engine uses when it writes a date/time of the given kind,
// with the seconds' thousandths when `milliseconds` (a date alone has none).
std::string_view dateFormatCode(DateKind kind, bool milliseconds = false);
// Whether a format code shows fractions of a second ("ss.000").
bool formatShowsSecondFractions(std::string_view code);

struct CivilDateTime {
  int year = 1900, month = 1, day = 1;
  int hour = 0, minute = 0;
  double second = 0.0;
};

// Serial number of a calendar date and time in the 1900 or 1904 system.
// Dates before the system's epoch, or invalid fields, fail.
XlsResult<double> serialFromCivil(const CivilDateTime& when, bool date1904);

}  // namespace kestrune::xls
