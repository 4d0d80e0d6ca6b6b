// The values of a run as chart series: every completed row's numbers, kept
// whole, and a reduced copy of each series for drawing at a given width.
// Pure logic (Qt Core); the chart window draws what this gives it.
#pragma once

#include "core/acquired_row.h"

#include "sheet/spreadsheet_app.h"

#include <QList>
#include <QPointF>
#include <QString>

#include <cstdint>
#include <optional>
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

// The series caption: "列 3" for the third value of a row.
QString chartSeriesName(int column);

class ChartModel {
public:
  // Points `decimated` keeps per pixel column at most: first, last, lowest, highest.
  static constexpr int PointsPerColumn = 4;

  struct Series {
    int column = 0;  // 1-based position of the value in its row
    QString name;
    std::vector<std::uint32_t> rows;  // index of the row of each point
    std::vector<double> y;
  };

  // A completed row. Its acquisition number places it on the number axis
  // (without one, the row's ordinal 1, 2, ...); its stamp gives its time,
  // else its time since the start. Each value the workbook stores as a
  // number adds a point to the series of its cell's position in the row
  // (the number and the stamp count); the series appears with its first point.
  void addRow(const AcquiredRow& row);
  // Forgets every row and series (a new run).
  void clear();

  void setXAxis(ChartXAxis axis);
  ChartXAxis xAxis() const { return xAxis_; }
  ChartTimeBase timeBase() const { return timeBase_; }

  std::size_t rowCount() const { return elapsedMs_.size(); }
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

  // The x value of row `row` (below rowCount()) on the current axis.
  double x(std::uint32_t row) const;

  // Series `index` for drawing `pixels` columns wide over [xMin, xMax]: the
  // points as they are when there are few, else per pixel column the first,
  // last, lowest and highest point, in their order, so no extreme is lost.
  // One point beyond each end of the range is kept so the line reaches the
  // edge. Empty for an unknown series, no width or an empty range.
  QList<QPointF> decimated(std::size_t index, double xMin, double xMax, int pixels) const;

private:
  struct Extent {
    double min = 0.0;
    double max = 0.0;
    bool any = false;
    void take(double v);
  };
  Series& seriesAt(int column);
  double timeOf(std::int64_t elapsedMs, const std::optional<std::int64_t>& stampMs) const;
  void startClock(std::int64_t elapsedMs, std::int64_t stampMs);
  void noteX(std::vector<double>& xs, bool& sorted, double v);
  const std::vector<double>& xs() const { return xAxis_ == ChartXAxis::Time ? timeX_ : numberX_; }
  bool xSorted() const { return xAxis_ == ChartXAxis::Time ? timeSorted_ : numberSorted_; }

  ChartXAxis xAxis_ = ChartXAxis::Time;
  ChartTimeBase timeBase_ = ChartTimeBase::Elapsed;
  // The first stamped row: its stamp and its elapsed time place the rows
  // without a stamp on the clock.
  std::int64_t clockAnchorMs_ = 0;
  std::int64_t clockAnchorElapsedMs_ = 0;
  // Per row.
  std::vector<std::int64_t> elapsedMs_;
  std::vector<double> timeX_;
  std::vector<double> numberX_;
  // Whether each axis's x values never go down (rows then form a sorted
  // list that can be cut by binary search).
  bool timeSorted_ = true;
  bool numberSorted_ = true;
  // Extents of the x values of rows that have a point, and of all y values.
  Extent timeExtent_;
  Extent numberExtent_;
  Extent yExtent_;
  std::vector<Series> series_;
  std::uint64_t revision_ = 0;
  std::uint64_t layoutRevision_ = 0;
};

}  // namespace kestrune::app
