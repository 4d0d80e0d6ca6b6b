// The values of a run as chart series: every completed row's numbers, kept
// whole, and a reduced copy of each series for drawing at a given width.
// Pure logic (Qt Core); the chart window draws what this gives it.
#pragma once

#include "core/acquired_row.h"
#include "core/alarm_monitor.h"

#include "sheet/spreadsheet_app.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPointF>
#include <QString>
#include <QStringList>

#include <array>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kestrune::app {

// What the horizontal axis counts.
enum class ChartXAxis { Time, AcquisitionNo };

// What a time x value means: milliseconds since the run started, or (once a
// row carried a stamp) milliseconds since 1970-01-01 UTC, the stamp's moment.
enum class ChartTimeBase { Elapsed, Clock };

struct ChartRange {
  double min = 0.0;
  double max = 0.0;
  friend bool operator==(const ChartRange&, const ChartRange&) = default;
};

// A series' caption: its worksheet column's letters, then the column's
// header text when there is one ("D 温度").
QString chartSeriesName(const QString& letters, const QString& header);

// What the user chose about the chart of one workbook: the series (by column
// letters) that are hidden and those drawn against the right value axis, the
// span of the last rows shown while following (0: the whole run), and the
// horizontal axis. Kept per workbook in kestrune.conf.
struct ChartPrefs {
  QStringList hidden;
  QStringList right;
  int windowMinutes = 0;
  ChartXAxis xAxis = ChartXAxis::Time;

  // The spans the window offers, in minutes.
  static constexpr std::array<int, 4> WindowChoices{0, 1, 10, 60};

  // As the keys and values kestrune.conf keeps; unknown or bad values fall
  // back to the defaults.
  QMap<QString, QString> toConf() const;
  static ChartPrefs fromConf(const QMap<QString, QString>& conf);
  friend bool operator==(const ChartPrefs&, const ChartPrefs&) = default;
};

class ChartModel {
public:
  // Points `decimated` keeps per pixel column at most: first, last, lowest, highest.
  static constexpr int PointsPerColumn = 4;

  // Every row: the limit of the rows a call looks at when it is given none.
  static constexpr std::size_t AllRows = static_cast<std::size_t>(-1);

  struct Series {
    int column = 0;                   // worksheet column, 1-based
    QString letters;                  // the column's letters ("D")
    std::vector<std::uint32_t> rows;  // index of the row of each point
    std::vector<double> y;
  };

  // A completed row. Its acquisition number places it on the number axis
  // (without one, the row's ordinal 1, 2, ...); its stamp gives its time,
  // else its time since the start. Each value the workbook stores as a
  // number adds a point to the series of its cell's position in the row
  // (the number and the stamp count); the series appears with its first point.
  void addRow(const AcquiredRow& row);
  // Forgets every row, series and alarm (a new run).
  void clear();

  // Where a raised alarm crossed its limit: its series, its row and the
  // series' value there.
  struct AlarmMark {
    std::size_t series = 0;
    std::uint32_t row = 0;
    double y = 0.0;
    friend bool operator==(const AlarmMark&, const AlarmMark&) = default;
  };
  // Keeps a raised high, low or step alarm for its row (the alarm may come
  // before or after its row). Cleared alarms, NotNumber and Silence, which
  // have no point of a line, are left out.
  void addAlarm(const alarm::AlarmEvent& event);
  // The marks of the alarms whose row is among the first `rows` rows and has
  // a point in the alarm's column, in the order the alarms came.
  std::vector<AlarmMark> alarmMarks(std::size_t rows = AllRows) const;

  void setXAxis(ChartXAxis axis);
  ChartXAxis xAxis() const { return xAxis_; }
  ChartTimeBase timeBase() const { return timeBase_; }

  std::size_t rowCount() const { return elapsedMs_.size(); }
  // The worksheet row of the run's first row (0 before it, or when rows do not say).
  std::int32_t firstSheetRow() const { return firstSheetRow_; }
  // Whether rows carry acquisition numbers.
  bool numbered() const { return numbered_; }
  // Whether the rows' stamps are shown to the millisecond.
  bool stampMilliseconds() const { return stampMilliseconds_; }
  // Series in the order of their columns.
  const std::vector<Series>& series() const { return series_; }
  // Grows by one with every change; the window redraws only when it moved.
  std::uint64_t revision() const { return revision_; }
  // Grows when a series is added or removed: the window then rebuilds its lines.
  std::uint64_t layoutRevision() const { return layoutRevision_; }

  // The x extent of all points on the current axis, and the y extent; nullopt
  // without points.
  std::optional<ChartRange> xRange() const;
  std::optional<ChartRange> yRange() const;
  // The x extent of the rows of the last `spanMs` milliseconds among the
  // first `rows` rows (counted back from the last of them); nullopt without rows.
  std::optional<ChartRange> recentXRange(std::int64_t spanMs, std::size_t rows = AllRows) const;

  // The x value of row `row` (below rowCount()) on the current axis.
  double x(std::uint32_t row) const;

  // Series `index` for drawing `pixels` columns wide over [xMin, xMax]: the
  // points as they are when there are few, else per pixel column the first,
  // last, lowest and highest point, in their order, so no extreme is lost.
  // One point beyond each end of the range is kept so the line reaches the
  // edge. Empty for an unknown series, no width or an empty range.
  // Only the first `rows` rows count (a paused view).
  QList<QPointF> decimated(std::size_t index, double xMin, double xMax, int pixels, std::size_t rows = AllRows) const;

  // Series `column`'s index (by worksheet column), if it has one.
  std::optional<std::size_t> seriesIndex(int column) const;

  // The row among the first `rows` whose x is nearest to `x`; nullopt without rows.
  std::optional<std::uint32_t> nearestRow(double x, std::size_t rows = AllRows) const;
  // Series `index`'s value in row `row`, if it has one there.
  std::optional<double> valueAt(std::size_t index, std::uint32_t row) const;
  // The time of row `row`: its clock time once stamps put the axis on the
  // clock (milliseconds since 1970 UTC), else nullopt.
  std::optional<std::int64_t> clockMs(std::uint32_t row) const;
  std::int64_t elapsedMs(std::uint32_t row) const { return elapsedMs_[row]; }
  // The acquisition number of row `row` (its ordinal without numbering).
  double number(std::uint32_t row) const { return numberX_[row]; }

  // The rows among the first `rows` whose x lies in [xMin, xMax] and that
  // have a point in one of `series` (indexes, with their captions `names`),
  // as CSV in UTF-8: the acquisition number when rows carry one, the time in
  // ISO 8601 with its UTC offset when stamps give it, the seconds since the
  // start, then a column per series (empty where a row has no value).
  QByteArray csv(double xMin, double xMax, const std::vector<std::size_t>& series, const QStringList& names,
                 std::size_t rows = AllRows) const;

private:
  struct Extent {
    double min = 0.0;
    double max = 0.0;
    bool any = false;
    void take(double v);
  };
  Series& seriesAt(int column);
  std::optional<std::uint32_t> rowOfSequence(std::uint64_t sequence, std::size_t rows) const;
  double timeOf(std::int64_t elapsedMs, const std::optional<std::int64_t>& stampMs) const;
  void startClock(std::int64_t elapsedMs, std::int64_t stampMs);
  void noteX(std::vector<double>& xs, bool& sorted, double v);
  const std::vector<double>& xs() const { return xAxis_ == ChartXAxis::Time ? timeX_ : numberX_; }
  bool xSorted() const { return xAxis_ == ChartXAxis::Time ? timeSorted_ : numberSorted_; }
  // How many of a series' points belong to the first `rows` rows.
  std::size_t pointsWithin(const Series& s, std::size_t rows) const;

  ChartXAxis xAxis_ = ChartXAxis::Time;
  ChartTimeBase timeBase_ = ChartTimeBase::Elapsed;
  // The first stamped row: its stamp and its elapsed time place the rows
  // without a stamp on the clock.
  std::int64_t clockAnchorMs_ = 0;
  std::int64_t clockAnchorElapsedMs_ = 0;
  // Per row.
  std::vector<std::int64_t> elapsedMs_;
  std::vector<std::uint64_t> sequences_;
  std::vector<double> timeX_;
  std::vector<double> numberX_;
  // Whether each axis's x values never go down (rows then form a sorted
  // list that can be cut by binary search).
  bool timeSorted_ = true;
  bool numberSorted_ = true;
  bool sequencesSorted_ = true;
  // Raised alarms: the row's sequence and the worksheet column.
  std::vector<std::pair<std::uint64_t, int>> alarms_;
  // Extents of the x values of rows that have a point, and of all y values.
  Extent timeExtent_;
  Extent numberExtent_;
  Extent yExtent_;
  std::int32_t firstSheetRow_ = 0;
  bool numbered_ = false;
  bool stampMilliseconds_ = false;
  std::vector<Series> series_;
  std::uint64_t revision_ = 0;
  std::uint64_t layoutRevision_ = 0;
};

}  // namespace kestrune::app
