// One acquisition's row, built once where the acquisition ends and taken by
// every consumer as it is: the workbook and its journal, MQTT, the chart, the
// progress line. Nothing downstream sorts a row's parts back out of cell
// types or reads where it went from the settings.
#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune {

// A date/time stamp: the date only, the time of day only, or both. A
// spreadsheet stores it as a date value with a matching number format. The
// value keeps its milliseconds; `milliseconds` says whether the run shows
// stamps to the millisecond (a date alone has no time to show them in).
struct Stamp {
  enum class Kind { Date, Time, DateTime };
  QDateTime value;
  Kind kind = Kind::DateTime;
  bool milliseconds = false;
  friend bool operator==(const Stamp&, const Stamp&) = default;
};

// A received field as taken, and its number when the workbook stores it as
// one (the workbook's own typing rule, applied once).
struct AcquiredValue {
  QString text;
  std::optional<double> number;
  friend bool operator==(const AcquiredValue&, const AcquiredValue&) = default;
};

struct AcquiredRow {
  // 1 for the run's first row.
  std::uint64_t sequence = 0;
  // The acquisition number, when numbering is on.
  std::optional<std::int32_t> number;
  // The stamp, when stamps are on: taken when the acquisition's first field was cut.
  std::optional<Stamp> stamp;
  std::vector<AcquiredValue> values;
  // Where the row went: the sheet, its row and its first column (1-based).
  QString sheet;
  std::int32_t row = 0;
  std::int32_t firstColumn = 0;
  // Time since the run started, from the monotonic clock.
  std::int64_t elapsedMs = 0;

  // The cells before the values: the number and the stamp, each when present.
  int leadingCells() const { return (number ? 1 : 0) + (stamp ? 1 : 0); }
};

// The number after `number`: it wraps like the 32-bit field it is stored in.
inline std::int32_t nextAcquisitionNumber(std::int32_t number) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(number) + 1u);
}

// Takes each completed row, in the run's order.
class RowConsumer {
public:
  virtual ~RowConsumer() = default;
  virtual void take(const AcquiredRow& row) = 0;
};

}  // namespace kestrune
