#include "app/chart_model.h"

#include "sheet/a1.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace kestrune::app {

namespace {

constexpr std::uint32_t NoPoint = std::numeric_limits<std::uint32_t>::max();

const QString PrefHidden = QStringLiteral("chart.hidden");
const QString PrefRight = QStringLiteral("chart.right");
const QString PrefWindow = QStringLiteral("chart.window");
const QString PrefXAxis = QStringLiteral("chart.x");
const QString XTime = QStringLiteral("time");
const QString XNumber = QStringLiteral("number");

const QByteArray CsvNumber = QByteArrayLiteral("取得番号");
const QByteArray CsvClock = QByteArrayLiteral("時刻");
const QByteArray CsvElapsed = QByteArrayLiteral("経過時間 [秒]");

// Column letters as a sorted list without repeats or anything else.
QStringList columnList(const QString& text) {
  QStringList out;
  for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString letters = part.trimmed().toUpper();
    const bool valid = !letters.isEmpty() && letters.size() <= 3 &&
                       std::all_of(letters.begin(), letters.end(), [](QChar c) { return c >= u'A' && c <= u'Z'; });
    if (valid && !out.contains(letters)) out << letters;
  }
  out.sort();
  return out;
}

// A CSV field: quoted when it holds a separator, a quote or a line break.
QByteArray csvField(const QString& text) {
  QByteArray bytes = text.toUtf8();
  if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\n') && !bytes.contains('\r')) return bytes;
  bytes.replace('"', QByteArrayLiteral("\"\""));
  return '"' + bytes + '"';
}

// The shortest text that reads back as the same double.
QByteArray shortest(double v) {
  std::array<char, 32> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), v);
  return ec == std::errc() ? QByteArray(buffer.data(), static_cast<qsizetype>(end - buffer.data())) : QByteArray();
}

}  // namespace

QString chartSeriesName(const QString& letters, const QString& header) {
  const QString trimmed = header.simplified();
  return trimmed.isEmpty() ? letters : letters + QLatin1Char(' ') + trimmed;
}

QMap<QString, QString> ChartPrefs::toConf() const {
  return {{PrefHidden, hidden.join(QLatin1Char(','))},
          {PrefRight, right.join(QLatin1Char(','))},
          {PrefWindow, QString::number(windowMinutes)},
          {PrefXAxis, xAxis == ChartXAxis::Time ? XTime : XNumber}};
}

ChartPrefs ChartPrefs::fromConf(const QMap<QString, QString>& conf) {
  ChartPrefs prefs;
  prefs.hidden = columnList(conf.value(PrefHidden));
  prefs.right = columnList(conf.value(PrefRight));
  bool ok = false;
  const int minutes = conf.value(PrefWindow).toInt(&ok);
  if (ok && std::find(WindowChoices.begin(), WindowChoices.end(), minutes) != WindowChoices.end())
    prefs.windowMinutes = minutes;
  if (conf.value(PrefXAxis) == XNumber) prefs.xAxis = ChartXAxis::AcquisitionNo;
  return prefs;
}

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
  if (row == 0) firstSheetRow_ = r.row;
  if (r.number) numbered_ = true;
  if (r.stamp) stampMilliseconds_ = r.stamp->milliseconds;

  const double t = timeOf(r.elapsedMs, stampMs);
  const double number = r.number ? *r.number : static_cast<double>(row) + 1.0;
  elapsedMs_.push_back(r.elapsedMs);
  if (!sequences_.empty() && r.sequence < sequences_.back()) sequencesSorted_ = false;
  sequences_.push_back(r.sequence);
  noteX(timeX_, timeSorted_, t);
  noteX(numberX_, numberSorted_, number);

  bool plotted = false;
  // Rows that do not say where they went are placed from column A.
  const int first = std::max(1, r.firstColumn) + r.leadingCells();
  for (std::size_t i = 0; i < r.values.size(); ++i) {
    const std::optional<double> y = r.values[i].number;
    if (!y) continue;
    Series& s = seriesAt(first + static_cast<int>(i));
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

void ChartModel::addAlarm(const alarm::AlarmEvent& event) {
  // A recovered row's alarm belongs to the interrupted run, not to this chart.
  if (event.state != alarm::AlarmState::Raised || event.column <= 0 || event.recovered) return;
  if (event.kind != alarm::AlarmKind::High && event.kind != alarm::AlarmKind::Low &&
      event.kind != alarm::AlarmKind::Step)
    return;
  alarms_.emplace_back(event.sequence, event.column);
  ++revision_;
}

std::vector<ChartModel::AlarmMark> ChartModel::alarmMarks(std::size_t rows) const {
  std::vector<AlarmMark> marks;
  const std::size_t n = std::min(rows, rowCount());
  for (const auto& [sequence, column] : alarms_) {
    const std::optional<std::uint32_t> row = rowOfSequence(sequence, n);
    const std::optional<std::size_t> series = seriesIndex(column);
    if (!row || !series) continue;
    if (const std::optional<double> y = valueAt(*series, *row)) marks.push_back({*series, *row, *y});
  }
  return marks;
}

// Rows come in the run's order, so their sequences rise; should they not (a
// run that counts its rows again), the latest row of the sequence counts.
std::optional<std::uint32_t> ChartModel::rowOfSequence(std::uint64_t sequence, std::size_t rows) const {
  const auto end = sequences_.begin() + static_cast<std::ptrdiff_t>(rows);
  if (sequencesSorted_) {
    const auto at = std::lower_bound(sequences_.begin(), end, sequence);
    if (at == end || *at != sequence) return std::nullopt;
    return static_cast<std::uint32_t>(at - sequences_.begin());
  }
  for (std::size_t r = rows; r > 0; --r)
    if (sequences_[r - 1] == sequence) return static_cast<std::uint32_t>(r - 1);
  return std::nullopt;
}

std::optional<std::size_t> ChartModel::seriesIndex(int column) const {
  const auto it =
      std::lower_bound(series_.begin(), series_.end(), column, [](const Series& s, int c) { return s.column < c; });
  if (it == series_.end() || it->column != column) return std::nullopt;
  return static_cast<std::size_t>(it - series_.begin());
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

std::optional<ChartRange> ChartModel::recentXRange(std::int64_t spanMs, std::size_t rows) const {
  const std::size_t n = std::min(rows, rowCount());
  if (n == 0) return std::nullopt;
  const std::int64_t from = elapsedMs_[n - 1] - std::min(spanMs, elapsedMs_[n - 1]);
  // Elapsed time never goes down: the rows of the span are a tail.
  const auto first = std::lower_bound(elapsedMs_.begin(), elapsedMs_.begin() + static_cast<std::ptrdiff_t>(n), from) -
                     elapsedMs_.begin();
  const std::vector<double>& xv = xs();
  const auto [lo, hi] = std::minmax_element(xv.begin() + first, xv.begin() + static_cast<std::ptrdiff_t>(n));
  // A clock set back within the span must not widen it past the span.
  if (xAxis_ == ChartXAxis::Time) return ChartRange{std::max(*lo, *hi - static_cast<double>(spanMs)), *hi};
  return ChartRange{*lo, *hi};
}

double ChartModel::x(std::uint32_t row) const { return xs()[row]; }

std::size_t ChartModel::pointsWithin(const Series& s, std::size_t rows) const {
  if (rows >= rowCount()) return s.rows.size();
  return static_cast<std::size_t>(std::lower_bound(s.rows.begin(), s.rows.end(), rows) - s.rows.begin());
}

std::optional<std::uint32_t> ChartModel::nearestRow(double x, std::size_t rows) const {
  const std::size_t n = std::min(rows, rowCount());
  if (n == 0) return std::nullopt;
  const std::vector<double>& xv = xs();
  const auto distance = [&](std::size_t r) { return std::abs(xv[r] - x); };
  std::size_t best = 0;
  if (xSorted()) {
    const auto after = static_cast<std::size_t>(
        std::lower_bound(xv.begin(), xv.begin() + static_cast<std::ptrdiff_t>(n), x) - xv.begin());
    best = after == n ? n - 1 : after;
    if (after > 0 && distance(after - 1) <= distance(best)) best = after - 1;
  } else {
    for (std::size_t r = 1; r < n; ++r)
      if (distance(r) < distance(best)) best = r;
  }
  return static_cast<std::uint32_t>(best);
}

std::optional<double> ChartModel::valueAt(std::size_t index, std::uint32_t row) const {
  if (index >= series_.size()) return std::nullopt;
  const Series& s = series_[index];
  const auto it = std::lower_bound(s.rows.begin(), s.rows.end(), row);
  if (it == s.rows.end() || *it != row) return std::nullopt;
  return s.y[static_cast<std::size_t>(it - s.rows.begin())];
}

std::optional<std::int64_t> ChartModel::clockMs(std::uint32_t row) const {
  if (timeBase_ != ChartTimeBase::Clock) return std::nullopt;
  return static_cast<std::int64_t>(timeX_[row]);
}

QByteArray ChartModel::csv(double xMin, double xMax, const std::vector<std::size_t>& series, const QStringList& names,
                           std::size_t rows) const {
  QByteArray out;
  if (numbered_) out += CsvNumber + ',';
  if (timeBase_ == ChartTimeBase::Clock) out += CsvClock + ',';
  out += CsvElapsed;
  for (qsizetype i = 0; i < names.size(); ++i) out += ',' + csvField(names[i]);
  out += "\r\n";

  // Each series' next point: rows are visited in order, so its points are too.
  std::vector<std::size_t> next(series.size(), 0);
  const std::vector<double>& xv = xs();
  const std::size_t n = std::min(rows, rowCount());
  for (std::size_t r = 0; r < n; ++r) {
    bool any = false;
    for (std::size_t k = 0; k < series.size(); ++k) {
      const Series& s = series_[series[k]];
      while (next[k] < s.rows.size() && s.rows[next[k]] < r) ++next[k];
      any = any || (next[k] < s.rows.size() && s.rows[next[k]] == r);
    }
    if (!any || xv[r] < xMin || xv[r] > xMax) continue;
    const auto row = static_cast<std::uint32_t>(r);
    if (numbered_) out += shortest(numberX_[r]) + ',';
    if (const std::optional<std::int64_t> ms = clockMs(row)) {
      const QDateTime local = QDateTime::fromMSecsSinceEpoch(*ms);
      out += local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toUtf8() + ',';
    }
    out += shortest(static_cast<double>(elapsedMs_[r]) / 1000.0);
    for (std::size_t k = 0; k < series.size(); ++k) {
      out += ',';
      const Series& s = series_[series[k]];
      if (next[k] < s.rows.size() && s.rows[next[k]] == r) out += shortest(s.y[next[k]]);
    }
    out += "\r\n";
  }
  return out;
}

QList<QPointF> ChartModel::decimated(std::size_t index, double xMin, double xMax, int pixels, std::size_t rows) const {
  QList<QPointF> out;
  if (index >= series_.size() || pixels <= 0 || !(xMin <= xMax)) return out;
  const Series& s = series_[index];
  const std::vector<double>& xv = xs();
  const auto xAt = [&](std::size_t i) { return xv[s.rows[i]]; };
  const auto pointAt = [&](std::size_t i) { return QPointF(xAt(i), s.y[i]); };
  const std::size_t n = pointsWithin(s, rows);
  const bool sorted = xSorted();

  // Sorted x: the range is a slice found by binary search, and the points
  // just outside it carry the line to the edges.
  std::size_t lo = 0, hi = n;
  if (sorted) {
    const auto end = s.rows.begin() + static_cast<std::ptrdiff_t>(n);
    lo = static_cast<std::size_t>(
        std::partition_point(s.rows.begin(), end, [&](std::uint32_t r) { return xv[r] < xMin; }) - s.rows.begin());
    hi = static_cast<std::size_t>(std::partition_point(s.rows.begin() + static_cast<std::ptrdiff_t>(lo), end,
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
  added.letters = sheet::columnLetters(column);
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
