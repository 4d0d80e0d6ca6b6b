#include "app/chart_model.h"

#include <algorithm>
#include <array>
#include <limits>

namespace kestrune::app {

namespace {

const QString SeriesNamePattern = QStringLiteral("列 %1");

constexpr std::uint32_t NoPoint = std::numeric_limits<std::uint32_t>::max();

}  // namespace

QString chartSeriesName(int column) { return SeriesNamePattern.arg(column); }

void ChartModel::Extent::take(double v) {
  if (!any) {
    min = max = v;
    any = true;
    return;
  }
  min = std::min(min, v);
  max = std::max(max, v);
}

void ChartModel::addRow(const AcquiredRow& r) {
  const auto row = static_cast<std::uint32_t>(elapsedMs_.size());
  std::optional<std::int64_t> stampMs;
  if (r.stamp && r.stamp->value.isValid()) stampMs = r.stamp->value.toMSecsSinceEpoch();
  if (stampMs && timeBase_ == ChartTimeBase::Elapsed) startClock(r.elapsedMs, *stampMs);

  const double t = timeOf(r.elapsedMs, stampMs);
  const double number = r.number ? *r.number : static_cast<double>(row) + 1.0;
  elapsedMs_.push_back(r.elapsedMs);
  noteX(timeX_, timeSorted_, t);
  noteX(numberX_, numberSorted_, number);

  bool plotted = false;
  const int leading = r.leadingCells();
  for (std::size_t i = 0; i < r.values.size(); ++i) {
    const std::optional<double> y = r.values[i].number;
    if (!y) continue;
    Series& s = seriesAt(leading + static_cast<int>(i) + 1);
    s.rows.push_back(row);
    s.y.push_back(*y);
    yExtent_.take(*y);
    plotted = true;
  }
  if (plotted) {
    timeExtent_.take(t);
    numberExtent_.take(number);
  }
  ++revision_;
}

void ChartModel::clear() {
  const bool hadSeries = !series_.empty();
  const ChartXAxis axis = xAxis_;
  const std::uint64_t revision = revision_;
  const std::uint64_t layoutRevision = layoutRevision_;
  *this = ChartModel();
  xAxis_ = axis;
  revision_ = revision + 1;
  layoutRevision_ = layoutRevision + (hadSeries ? 1 : 0);
}

void ChartModel::setXAxis(ChartXAxis axis) {
  if (axis == xAxis_) return;
  xAxis_ = axis;
  ++revision_;
}

std::optional<ChartRange> ChartModel::xRange() const {
  const Extent& e = xAxis_ == ChartXAxis::Time ? timeExtent_ : numberExtent_;
  if (!e.any) return std::nullopt;
  return ChartRange{e.min, e.max};
}

std::optional<ChartRange> ChartModel::yRange() const {
  if (!yExtent_.any) return std::nullopt;
  return ChartRange{yExtent_.min, yExtent_.max};
}

double ChartModel::x(std::uint32_t row) const { return xs()[row]; }

QList<QPointF> ChartModel::decimated(std::size_t index, double xMin, double xMax, int pixels) const {
  QList<QPointF> out;
  if (index >= series_.size() || pixels <= 0 || !(xMin <= xMax)) return out;
  const Series& s = series_[index];
  const std::vector<double>& xv = xs();
  const auto xAt = [&](std::size_t i) { return xv[s.rows[i]]; };
  const auto pointAt = [&](std::size_t i) { return QPointF(xAt(i), s.y[i]); };
  const std::size_t n = s.rows.size();
  const bool sorted = xSorted();

  // Sorted x: the range is a slice found by binary search, and the points
  // just outside it carry the line to the edges.
  std::size_t lo = 0, hi = n;
  if (sorted) {
    lo = static_cast<std::size_t>(
        std::partition_point(s.rows.begin(), s.rows.end(), [&](std::uint32_t r) { return xv[r] < xMin; }) -
        s.rows.begin());
    hi = static_cast<std::size_t>(std::partition_point(s.rows.begin() + static_cast<std::ptrdiff_t>(lo), s.rows.end(),
                                                       [&](std::uint32_t r) { return xv[r] <= xMax; }) -
                                  s.rows.begin());
    if (hi - lo <= static_cast<std::size_t>(PointsPerColumn) * static_cast<std::size_t>(pixels)) {
      const std::size_t from = lo > 0 ? lo - 1 : lo;
      const std::size_t to = hi < n ? hi + 1 : hi;
      out.reserve(static_cast<qsizetype>(to - from));
      for (std::size_t i = from; i < to; ++i) out.append(pointAt(i));
      return out;
    }
  }

  struct Bucket {
    std::uint32_t first = NoPoint, last = NoPoint, low = NoPoint, high = NoPoint;
  };
  std::vector<Bucket> buckets(static_cast<std::size_t>(pixels));
  const double span = xMax - xMin;
  const double scale = span > 0.0 ? pixels / span : 0.0;
  for (std::size_t i = lo; i < hi; ++i) {
    const double x = xAt(i);
    if (!sorted && (x < xMin || x > xMax)) continue;
    const auto column = std::min(static_cast<std::size_t>((x - xMin) * scale), buckets.size() - 1);
    Bucket& b = buckets[column];
    const auto k = static_cast<std::uint32_t>(i);
    if (b.first == NoPoint) {
      b = Bucket{k, k, k, k};
      continue;
    }
    b.last = k;
    if (s.y[i] < s.y[b.low]) b.low = k;
    if (s.y[i] > s.y[b.high]) b.high = k;
  }

  out.reserve(static_cast<qsizetype>(buckets.size()) * PointsPerColumn + 2);
  if (sorted && lo > 0) out.append(pointAt(lo - 1));
  for (const Bucket& b : buckets) {
    if (b.first == NoPoint) continue;
    std::array<std::uint32_t, PointsPerColumn> keep{b.first, b.low, b.high, b.last};
    std::sort(keep.begin(), keep.end());
    const auto end = std::unique(keep.begin(), keep.end());
    for (auto it = keep.begin(); it != end; ++it) out.append(pointAt(*it));
  }
  if (sorted && hi < n) out.append(pointAt(hi));
  return out;
}

ChartModel::Series& ChartModel::seriesAt(int column) {
  const auto it =
      std::lower_bound(series_.begin(), series_.end(), column, [](const Series& s, int c) { return s.column < c; });
  if (it != series_.end() && it->column == column) return *it;
  ++layoutRevision_;
  Series added;
  added.column = column;
  added.name = chartSeriesName(column);
  return *series_.insert(it, std::move(added));
}

double ChartModel::timeOf(std::int64_t elapsedMs, const std::optional<std::int64_t>& stampMs) const {
  if (timeBase_ == ChartTimeBase::Elapsed) return static_cast<double>(elapsedMs);
  if (stampMs) return static_cast<double>(*stampMs);
  return static_cast<double>(clockAnchorMs_ + (elapsedMs - clockAnchorElapsedMs_));
}

// The first stamp puts the time axis on the clock: the rows before it move
// there by their elapsed time, counted from this row's.
void ChartModel::startClock(std::int64_t elapsedMs, std::int64_t stampMs) {
  timeBase_ = ChartTimeBase::Clock;
  clockAnchorMs_ = stampMs;
  clockAnchorElapsedMs_ = elapsedMs;
  timeSorted_ = true;
  for (std::size_t r = 0; r < elapsedMs_.size(); ++r) {
    timeX_[r] = timeOf(elapsedMs_[r], std::nullopt);
    if (r > 0 && timeX_[r] < timeX_[r - 1]) timeSorted_ = false;
  }
  timeExtent_ = Extent();
  for (const Series& s : series_)
    for (const std::uint32_t r : s.rows) timeExtent_.take(timeX_[r]);
}

void ChartModel::noteX(std::vector<double>& xs, bool& sorted, double v) {
  if (!xs.empty() && v < xs.back()) sorted = false;
  xs.push_back(v);
}

}  // namespace kestrune::app
