#include "app/chart_axes.h"

#include <QDate>
#include <QDateTime>
#include <QSet>
#include <QTime>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace kestrune::app {
namespace {

// Share of the data's span added on each side of a fitted range.
constexpr double Margin = 0.05;
// A fitted range reaches 0 when the gap to it is at most this share of the span.
constexpr double ZeroReach = 0.2;
// A single value shows this share of its size on each side.
constexpr double SingleValueHalfSpan = 0.1;
// How far beyond the data an alarm limit may lie and still widen the range,
// as a share of the data's span.
constexpr double LimitReach = 0.5;
// A span narrower than this share of the range's magnitude cannot be told
// apart in labels drawn from a double's 15 to 17 significant digits.
constexpr double MinRelativeSpan = 1e-12;
// Below this span the arithmetic would leave the normal doubles.
constexpr double MinSpan = 1e-300;
// Candidate steps tried after the first one that could fit: enough to pass
// the whole span from span / (MaxAxisTicks + 1) on.
constexpr int StepsTried = 24;

constexpr std::int64_t SecondMs = 1000;
constexpr std::int64_t MinuteMs = 60 * SecondMs;
constexpr std::int64_t HourMs = 60 * MinuteMs;
constexpr std::int64_t DayMs = 24 * HourMs;
// 1970-01-05, a Monday: day steps count from it, so weeks start on Mondays.
constexpr std::int64_t MondayMs = 4 * DayMs;
// The Clock axis covers 0001-01-01 to 9999-12-31 UTC.
constexpr double ClockMinMs = -62135596800000.0;
constexpr double ClockMaxMs = 253402300799999.0;

// Time steps from 10 s to four weeks; longer ones are 50, 100, 200 ... days.
constexpr std::array<std::int64_t, 19> TimeStepsMs = {
    10 * SecondMs, 15 * SecondMs, 30 * SecondMs, MinuteMs,   2 * MinuteMs, 5 * MinuteMs, 10 * MinuteMs,
    15 * MinuteMs, 30 * MinuteMs, HourMs,        2 * HourMs, 3 * HourMs,   6 * HourMs,   12 * HourMs,
    DayMs,         2 * DayMs,     7 * DayMs,     14 * DayMs, 28 * DayMs};
// Clock steps below 10 s.
constexpr std::array<std::int64_t, 9> ShortClockStepsMs = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000};

// A round step: mantissa × 10^exponent. Multiples are formed as
// (i × mantissa) / 10^-exponent, so that 3 steps of 0.1 make 0.3 and not
// 0.30000000000000004, and a tick at the edge of a range stays inside it.
struct Step {
  double mantissa = 1.0;
  int exponent = 0;

  double times(double i) const {
    const double power = std::pow(10.0, std::abs(exponent));
    return exponent >= 0 ? i * mantissa * power : i * mantissa / power;
  }
  double value() const { return times(1.0); }
  // Decimals a fixed label of a multiple needs (mantissas are whole numbers).
  int decimals() const { return std::max(0, -exponent); }
};

bool atLeast(double value, double x) { return value >= x * (1.0 - 1e-12); }

// The smallest unit × {1, 2, 5} × 10^k that is at least x (> 0).
Step decadeStepAtLeast(double x, double unit) {
  const int k = static_cast<int>(std::floor(std::log10(x / unit)));
  for (int e = k - 1; e <= k + 1; ++e)
    for (double digit : {1.0, 2.0, 5.0})
      if (const Step step{digit * unit, e}; atLeast(step.value(), x)) return step;
  return Step{unit, k + 2};
}

// The smallest time step of at least x, in units of `perMs` to a millisecond.
Step timeStepAtLeast(double x, double perMs) {
  for (std::int64_t ms : TimeStepsMs)
    if (atLeast(static_cast<double>(ms) * perMs, x)) return Step{static_cast<double>(ms) * perMs, 0};
  return decadeStepAtLeast(std::max(x, 50.0 * DayMs * perMs), DayMs * perMs);
}

// The smallest step allowed on an axis of `kind` that is at least x (> 0).
Step stepAtLeast(AxisKind kind, double x) {
  switch (kind) {
    case AxisKind::Value:
      return decadeStepAtLeast(x, 1.0);
    case AxisKind::Whole:
      return decadeStepAtLeast(std::max(x, 1.0), 1.0);
    case AxisKind::ElapsedSeconds:
      return x <= 5.0 ? decadeStepAtLeast(x, 1.0) : timeStepAtLeast(x, 1.0 / SecondMs);
    case AxisKind::Clock:
      for (std::int64_t ms : ShortClockStepsMs)
        if (atLeast(static_cast<double>(ms), x)) return Step{static_cast<double>(ms), 0};
      return timeStepAtLeast(x, 1.0);
  }
  return Step{};
}

using Ticks = std::optional<std::vector<double>>;

// Multiples of `step` inside `range`; nullopt when there are more than `limit`.
Ticks multiples(ChartRange range, Step step, int limit) {
  const double first = std::ceil(range.min / step.value()) - 1.0;
  const double last = std::floor(range.max / step.value()) + 1.0;
  if (last - first + 1.0 > limit + 2.0) return std::nullopt;
  std::vector<double> out;
  for (double i = first; i <= last; ++i) {
    const double v = step.times(i) + 0.0;  // + 0.0 turns -0 into 0
    if (v < range.min || v > range.max) continue;
    if (static_cast<int>(out.size()) == limit) return std::nullopt;
    out.push_back(v);
  }
  return out;
}

std::int64_t offsetMs(std::int64_t utcMs) {
  return QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime).offsetFromUtc() * SecondMs;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The least wall-clock time (local time as milliseconds since 1970) at or
// after `wall` that lies a whole number of steps from `origin`.
std::int64_t alignUp(std::int64_t wall, std::int64_t step, std::int64_t origin) {
  return origin + (floorDiv(wall - origin - 1, step) + 1) * step;
}

// Instants in [first, last] at which the local clock shows a multiple of
// `step`, each wall-clock time once: a time the clock skips when summer time
// begins gets no tick, one it shows twice when summer time ends gets one.
Ticks clockTicks(std::int64_t first, std::int64_t last, std::int64_t step, int limit) {
  const std::int64_t origin = step >= DayMs ? MondayMs : 0;
  std::vector<double> out;
  std::int64_t wall = alignUp(first + offsetMs(first), step, origin);
  for (int visited = 0; visited < 4 * limit + 8; ++visited) {
    // The offset on either side of the wall time (an offset change lies
    // between them when the two differ) turns it into at most two instants.
    const std::int64_t before = wall - offsetMs(wall - DayMs);
    const std::int64_t after = wall - offsetMs(wall + DayMs);
    if (std::min(before, after) > last) break;
    std::optional<std::int64_t> at;
    for (std::int64_t u : {std::min(before, after), std::max(before, after)})
      if (!at && u >= first && u <= last && u + offsetMs(u) == wall) at = u;
    if (at) {
      if (static_cast<int>(out.size()) == limit) return std::nullopt;
      out.push_back(static_cast<double>(*at));
      wall += step;
    } else {
      // A wall time the clock skips when summer time begins: continue where it resumes.
      wall = std::max(wall + step, alignUp(before + offsetMs(before), step, origin));
    }
  }
  return out;
}

struct Choice {
  Step step;
  std::vector<double> values;
};

// The first candidate step from span / (limit + 1) on that gives 2 to
// `limit` ticks, else the first that gives one.
template <typename Generate>
std::optional<Choice> chooseStep(AxisKind kind, double span, int limit, Generate generate) {
  std::optional<Choice> single;
  Step step = stepAtLeast(kind, span / (limit + 1));
  for (int tried = 0; tried < StepsTried; ++tried) {
    if (Ticks values = generate(step, limit)) {
      if (values->size() >= 2) return Choice{step, std::move(*values)};
      if (values->size() == 1 && !single) single = Choice{step, std::move(*values)};
    }
    step = stepAtLeast(kind, step.value() * (1.0 + 1e-9));
  }
  return single;
}

// Fixed labels up to this length are easier to read than exponent ones.
constexpr qsizetype LongestFixedLabel = 7;

// "1.5e-9" rather than "1.5e-09", "1.2e15" rather than "1.2e+15".
QString scientificLabel(double v, const Step& step) {
  if (v == 0.0) return QStringLiteral("0");
  const int magnitude = static_cast<int>(std::floor(std::log10(std::fabs(v)) + 1e-9));
  const QString text = QString::number(v, 'e', std::max(0, magnitude - step.exponent));
  const qsizetype e = text.indexOf(QLatin1Char('e'));
  return text.left(e) + QLatin1Char('e') + QString::number(text.mid(e + 1).toInt());
}

qsizetype longest(const QStringList& labels) {
  qsizetype n = 0;
  for (const QString& label : labels) n = std::max(n, label.size());
  return n;
}

// Fixed labels with the step's decimals ("1000", "0.0005"), or exponent labels
// where fixed ones grow long and those are shorter; from 10^21 on (where
// fixed ones are long, and slow to make) always exponent labels.
QStringList numberLabels(const std::vector<double>& values, const Step& step) {
  QStringList fixed, scientific;
  double magnitude = 0.0;
  for (double v : values) {
    scientific << scientificLabel(v, step);
    magnitude = std::max(magnitude, std::fabs(v));
  }
  if (magnitude >= 1e21) return scientific;
  for (double v : values) fixed << QString::number(v, 'f', step.decimals());
  return longest(fixed) > LongestFixedLabel && longest(scientific) < longest(fixed) ? scientific : fixed;
}

// "m:ss" or "h:mm:ss", with the step's decimals.
QString elapsedLabel(double seconds, int decimals, bool hours) {
  const auto perSecond = static_cast<long long>(std::llround(std::pow(10.0, decimals)));
  const long long units = std::llround(std::fabs(seconds) * static_cast<double>(perSecond));
  const long long whole = units / perSecond;
  const QChar zero(u'0');
  QString text =
      hours ? QStringLiteral("%1:%2").arg(whole / 3600).arg(whole / 60 % 60, 2, 10, zero) : QString::number(whole / 60);
  text += QStringLiteral(":%1").arg(whole % 60, 2, 10, zero);
  if (decimals > 0) text += QStringLiteral(".%1").arg(units % perSecond, decimals, 10, zero);
  return (seconds < 0.0 && units != 0 ? QStringLiteral("-") : QString()) + text;
}

QStringList elapsedLabels(const std::vector<double>& values, const Step& step, double magnitude) {
  // Under a minute, or beyond what whole seconds count exactly, plain numbers.
  if (magnitude < 60.0 || magnitude >= 1e12) return numberLabels(values, step);
  QStringList labels;
  for (double v : values) labels << elapsedLabel(v, step.decimals(), magnitude >= 3600.0);
  return labels;
}

QString timeOfDay(const QTime& time, std::int64_t stepMs, bool milliseconds) {
  if (stepMs >= MinuteMs) return time.toString(QStringLiteral("HH:mm"));
  QString text = time.toString(QStringLiteral("HH:mm:ss"));
  if (stepMs < SecondMs)
    text += QLatin1Char('.') + QStringLiteral("%1")
                                   .arg(time.msec(), 3, 10, QChar(u'0'))
                                   .left(milliseconds   ? 3
                                         : stepMs < 100 ? 2
                                                        : 1);
  return text;
}

QStringList clockLabels(const std::vector<double>& values, std::int64_t stepMs, ChartRange range, bool milliseconds) {
  const auto localDate = [](double ms) {
    return QDateTime::fromMSecsSinceEpoch(static_cast<std::int64_t>(ms), Qt::LocalTime).date();
  };
  const QDate firstDate = localDate(range.min), lastDate = localDate(range.max);
  const QString dateFormat =
      firstDate.year() != lastDate.year() ? QStringLiteral("yyyy/MM/dd") : QStringLiteral("MM/dd");
  QStringList labels;
  for (bool everyDate : {false, true}) {
    labels.clear();
    QDate previous;
    for (double v : values) {
      const QDateTime at = QDateTime::fromMSecsSinceEpoch(static_cast<std::int64_t>(v), Qt::LocalTime);
      const QString date = at.date().toString(dateFormat);
      if (stepMs >= DayMs)
        labels << date;
      else if (everyDate || (firstDate != lastDate && at.date() != previous))
        labels << date + QLatin1Char(' ') + timeOfDay(at.time(), stepMs, milliseconds);
      else
        labels << timeOfDay(at.time(), stepMs, milliseconds);
      previous = at.date();
    }
    if (QSet<QString>(labels.begin(), labels.end()).size() == labels.size()) break;
  }
  return labels;
}

AxisScale withLabels(AxisScale scale, const Choice& choice, const QStringList& labels) {
  scale.step = choice.step.value();
  for (std::size_t i = 0; i < choice.values.size(); ++i)
    scale.ticks.push_back(AxisTick{choice.values[i], labels[static_cast<qsizetype>(i)]});
  return scale;
}

double clampFinite(double v) {
  return std::clamp(v, std::numeric_limits<double>::lowest(), std::numeric_limits<double>::max());
}

}  // namespace

ChartRange fittedValueRange(ChartRange data) {
  if (!std::isfinite(data.min) || !std::isfinite(data.max)) return ChartRange{0.0, 1.0};
  const double lo = std::min(data.min, data.max);
  const double hi = std::max(data.min, data.max);
  const double magnitude = std::max(std::fabs(lo), std::fabs(hi));
  // Halves keep the arithmetic finite for data near the largest doubles.
  const double halfSpan = hi / 2.0 - lo / 2.0;
  if (2.0 * halfSpan <= magnitude * MinRelativeSpan) {
    if (magnitude == 0.0) return ChartRange{-1.0, 1.0};
    const double mid = lo / 2.0 + hi / 2.0;
    const double half = std::fabs(mid) * SingleValueHalfSpan;
    return ChartRange{clampFinite(mid - half), clampFinite(mid + half)};
  }
  const double margin = 2.0 * halfSpan * Margin;
  const double zeroReach = 2.0 * halfSpan * ZeroReach;
  if (lo >= 0.0 && lo <= zeroReach) return ChartRange{0.0, clampFinite(hi + margin)};
  if (hi <= 0.0 && -hi <= zeroReach) return ChartRange{clampFinite(lo - margin), 0.0};
  return ChartRange{clampFinite(lo - margin), clampFinite(hi + margin)};
}

ChartRange withNearbyLimits(ChartRange data, const std::vector<double>& limits) {
  const double magnitude = std::max(std::fabs(data.min), std::fabs(data.max));
  const double span = data.max - data.min;
  const double reach = span > magnitude * MinRelativeSpan ? span * LimitReach
                       : magnitude > 0.0                  ? magnitude * SingleValueHalfSpan
                                                          : 1.0;
  ChartRange out = data;
  for (const double limit : limits) {
    if (!std::isfinite(limit) || limit < data.min - reach || limit > data.max + reach) continue;
    out.min = std::min(out.min, limit);
    out.max = std::max(out.max, limit);
  }
  return out;
}

AxisScale axisScale(AxisKind kind, ChartRange range, int maxTicks, bool milliseconds) {
  const AxisScale none{range, {}, 0.0};
  const int limit = std::min(maxTicks, MaxAxisTicks);
  const double span = range.max - range.min;
  const double magnitude = std::max(std::fabs(range.min), std::fabs(range.max));
  if (limit < 1 || !std::isfinite(span) || !(span >= MinSpan) || span < magnitude * MinRelativeSpan) return none;

  if (kind == AxisKind::Clock) {
    if (range.min < ClockMinMs || range.max > ClockMaxMs) return none;
    const auto first = static_cast<std::int64_t>(std::ceil(range.min));
    const auto last = static_cast<std::int64_t>(std::floor(range.max));
    const auto choice = chooseStep(kind, span, limit, [&](const Step& step, int n) {
      return clockTicks(first, last, static_cast<std::int64_t>(step.value()), n);
    });
    if (!choice) return none;
    return withLabels(
        none, *choice,
        clockLabels(choice->values, static_cast<std::int64_t>(choice->step.value()), range, milliseconds));
  }

  const auto choice = chooseStep(kind, span, limit, [&](const Step& step, int n) { return multiples(range, step, n); });
  if (!choice) return none;
  const QStringList labels = kind == AxisKind::ElapsedSeconds ? elapsedLabels(choice->values, choice->step, magnitude)
                                                              : numberLabels(choice->values, choice->step);
  return withLabels(none, *choice, labels);
}

int maxTicksFor(double pixels, double labelPixels) {
  if (!(pixels > 0.0) || !(labelPixels >= 0.0) || !std::isfinite(labelPixels)) return 0;
  const double perTick = labelPixels + std::max(labelPixels / 2.0, 16.0);
  return static_cast<int>(std::min(std::floor(pixels / perTick), static_cast<double>(MaxAxisTicks)));
}

}  // namespace kestrune::app
