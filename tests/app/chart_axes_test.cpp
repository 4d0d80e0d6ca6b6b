// Chart axes: round steps, ticks inside the range, distinct labels, local
// time across summer time changes, and the value range fitted to the data.
#include "app/chart_axes.h"

#include <QDateTime>
#include <QSet>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace kestrune::app {
namespace {

constexpr std::int64_t DayMs = 86400000;

// Steps a reader expects: 1, 2 or 5 × 10^k (× unit), at least `least`.
bool isDecade(double step, double unit, double least) {
  const double m = step / unit / std::pow(10.0, std::floor(std::log10(step / unit) + 1e-9));
  return step >= least && (std::fabs(m - 1) < 1e-9 || std::fabs(m - 2) < 1e-9 || std::fabs(m - 5) < 1e-9);
}
// Round times in seconds, then 50, 100, 200, 500 ... days.
bool isRoundTime(double s) {
  for (double r : {10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800,
                   1209600, 2419200})
    if (s == r) return true;
  return isDecade(s, 86400, 50 * 86400);
}
bool allowed(AxisKind kind, double step) {
  if (kind == AxisKind::ElapsedSeconds) return step < 10 ? isDecade(step, 1, 0) : isRoundTime(step);
  if (kind == AxisKind::Clock) return step < 10000 ? isDecade(step, 1, 10) : isRoundTime(step / 1000);
  return isDecade(step, 1, kind == AxisKind::Whole ? 1 : 0);
}

// A Clock range is local time ("2024-03-31T00:00"), read once TZ is set.
double at(AxisKind kind, const char* text) {
  if (kind != AxisKind::Clock || !std::strchr(text, 'T')) return std::strtod(text, nullptr);
  return double(QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs).toMSecsSinceEpoch());
}

std::int64_t wallMs(double utcMs) {
  return std::int64_t(utcMs) + QDateTime::fromMSecsSinceEpoch(std::int64_t(utcMs)).offsetFromUtc() * 1000;
}

using K = AxisKind;
// clang-format off
struct AxisCase {
  const char *name; AxisKind kind; const char *min, *max; int maxTicks, atLeast;
  const char* labels;  // joined by "|", checked where given
  bool milliseconds = false;  // stamps shown to the millisecond
};
const AxisCase axisCases[] = {
    {"value", K::Value, "36.6", "63.0", 6, 5, "40|45|50|55|60"},
    {"half steps", K::Value, "0.9", "2.1", 4, 3, "1.0|1.5|2.0"},
    {"negative", K::Value, "-50.25", "-44.75", 6, 6, "-50|-49|-48|-47|-46|-45"},
    {"crossing 0", K::Value, "-3", "40", 10, 9, "0|5|10|15|20|25|30|35|40"},
    {"far from 0", K::Value, "1e6", "1000000.001", 6, 6,
     "1000000.0000|1000000.0002|1000000.0004|1000000.0006|1000000.0008|1000000.0010"},
    {"huge", K::Value, "1e15", "2e15", 6, 6, "1.0e15|1.2e15|1.4e15|1.6e15|1.8e15|2.0e15"},
    {"tiny", K::Value, "0", "1e-9", 6, 6, "0|2e-10|4e-10|6e-10|8e-10|1.0e-9"},
    {"at most 200", K::Value, "-1e300", "1e300", 100000, 100, nullptr},
    {"one tick", K::Value, "36.6", "63.0", 1, 1, "50"},
    {"no ticks wanted", K::Value, "0", "10", 0, 0, nullptr},
    {"not a number", K::Value, "nan", "10", 6, 0, nullptr},
    {"infinite", K::Value, "0", "inf", 6, 0, nullptr},
    {"zero span", K::Value, "5", "5", 6, 0, nullptr},
    {"reversed", K::Value, "10", "0", 6, 0, nullptr},
    {"beyond a double's digits", K::Value, "1e15", "1000000000000000.125", 6, 0, nullptr},
    {"numbers", K::Whole, "24.8", "28.6", 6, 4, "25|26|27|28"},
    {"numbers not below 1", K::Whole, "0.5", "2.5", 20, 2, "1|2"},
    {"seconds", K::ElapsedSeconds, "1.009", "12.5", 6, 6, "2|4|6|8|10|12"},
    {"half seconds", K::ElapsedSeconds, "0", "3", 8, 7, "0.0|0.5|1.0|1.5|2.0|2.5|3.0"},
    {"minutes", K::ElapsedSeconds, "-5", "1000", 6, 4, "0:00|5:00|10:00|15:00"},
    {"hours", K::ElapsedSeconds, "0", "90000", 6, 5, "0:00:00|6:00:00|12:00:00|18:00:00|24:00:00"},
    {"minute tenths", K::ElapsedSeconds, "59.75", "60.25", 6, 5, "0:59.8|0:59.9|1:00.0|1:00.1|1:00.2"},
    {"decades", K::ElapsedSeconds, "0", "1e9", 6, 2, nullptr},
    {"clock seconds", K::Clock, "2024-05-06T02:03:40.5", "2024-05-06T02:04:10", 6, 6,
     "02:03:45|02:03:50|02:03:55|02:04:00|02:04:05|02:04:10"},
    {"clock fifths", K::Clock, "2024-05-06T02:03:40", "2024-05-06T02:03:41", 6, 6,
     "02:03:40.0|02:03:40.2|02:03:40.4|02:03:40.6|02:03:40.8|02:03:41.0"},
    {"fifths to the millisecond", K::Clock, "2024-05-06T02:03:40", "2024-05-06T02:03:41", 6, 6,
     "02:03:40.000|02:03:40.200|02:03:40.400|02:03:40.600|02:03:40.800|02:03:41.000", true},
    {"quarters", K::Clock, "2024-05-06T09:07", "2024-05-06T10:20", 6, 5, "09:15|09:30|09:45|10:00|10:15"},
    {"summer time begins", K::Clock, "2024-03-31T00:00", "2024-03-31T06:00", 6, 6, "00:00|01:00|03:00|04:00|05:00|06:00"},
    {"summer time ends", K::Clock, "2024-10-27T00:00", "2024-10-27T06:00", 7, 7,
     "00:00|01:00|02:00|03:00|04:00|05:00|06:00"},
    {"skipped hour in tenths", K::Clock, "2024-03-31T01:59:59.5", "2024-03-31T03:00:00.4", 10, 10,
     "01:59:59.5|01:59:59.6|01:59:59.7|01:59:59.8|01:59:59.9|03:00:00.0|03:00:00.1|03:00:00.2|03:00:00.3|03:00:00.4"},
    {"past midnight", K::Clock, "2024-05-06T18:00", "2024-05-07T09:00", 6, 6,
     "05/06 18:00|21:00|05/07 00:00|03:00|06:00|09:00"},
    {"new year", K::Clock, "2024-12-31T22:00", "2025-01-01T02:00", 5, 5,
     "2024/12/31 22:00|23:00|2025/01/01 00:00|01:00|02:00"},
    {"hours over days", K::Clock, "2024-10-25T00:00", "2024-10-29T00:00", 20, 17, nullptr},
    {"weeks", K::Clock, "2024-05-01T00:00", "2024-07-20T00:00", 8, 5, "05/13|05/27|06/10|06/24|07/08"},
    {"years", K::Clock, "2019-06-01T00:00", "2026-01-01T00:00", 6, 2, nullptr},
    {"clock out of range", K::Clock, "0", "1e300", 6, 0, nullptr},
};
// clang-format on

TEST(ChartAxesTest, TicksAreRoundMultiplesInsideTheRangeWithDistinctLabels) {
  const QByteArray savedTz = qgetenv("TZ");
  qputenv("TZ", "Europe/Berlin");
  tzset();
  for (const AxisCase& c : axisCases) {
    SCOPED_TRACE(c.name);
    const ChartRange range{at(c.kind, c.min), at(c.kind, c.max)};
    const AxisScale scale = axisScale(c.kind, range, c.maxTicks, c.milliseconds);
    const auto& ticks = scale.ticks;
    EXPECT_EQ(std::memcmp(&scale.range, &range, sizeof range), 0) << "the range comes back as given";
    EXPECT_LE(int(ticks.size()), std::min(c.maxTicks, MaxAxisTicks));
    EXPECT_GE(int(ticks.size()), c.atLeast);
    QStringList labels;
    for (const AxisTick& t : ticks) {
      EXPECT_TRUE(t.value >= range.min && t.value <= range.max) << t.value;
      labels << t.label;
    }
    EXPECT_EQ(QSet<QString>(labels.begin(), labels.end()).size(), labels.size()) << "labels repeat";
    if (c.labels) {
      EXPECT_EQ(labels.join(u'|').toStdString(), c.labels);
    }
    if (ticks.size() >= 2) {
      EXPECT_TRUE(allowed(c.kind, scale.step)) << scale.step;
    }
    const double slack = 4e-16 * std::max(std::fabs(range.min), std::fabs(range.max)) + 1e-9 * scale.step;
    for (std::size_t i = 1; i < ticks.size(); ++i) {
      const double a = ticks[i - 1].value, b = ticks[i].value;
      if (c.kind != AxisKind::Clock) {
        EXPECT_NEAR(b - a, scale.step, slack);
        continue;
      }
      // The local clock shows a multiple of the step (days: midnight) and
      // moves one step between ticks unless the offset from UTC changed.
      const auto step = std::int64_t(scale.step);
      EXPECT_EQ(wallMs(b) % std::min(step, DayMs), 0) << labels[qsizetype(i)].toStdString();
      if (wallMs(b) - b == wallMs(a) - a) {
        EXPECT_EQ(wallMs(b) - wallMs(a), step) << labels[qsizetype(i)].toStdString();
      }
    }
  }
  qputenv("TZ", savedTz);
  tzset();
}

TEST(ChartAxesTest, FittedRangeReachesZeroOnlyWhenTheDataAreNearIt) {
  // clang-format off
  const struct { double min, max, fittedMin, fittedMax; } cases[] = {
      {36, 63, 34.65, 64.35}, {2, 100, 0, 104.9}, {-50, -45, -50.25, -44.75}, {5, 5, 4.5, 5.5}, {-3, 40, -5.15, 42.15},
      {25, 100, 21.25, 103.75}, {14, 89, 0, 92.75}, {0, 10, 0, 10.5}, {-10, 0, -10.5, 0}, {0, 0, -1, 1}, {NAN, 1, 0, 1},
      {1e6, 1e6, 9e5, 1.1e6}, {1e308, 1.79e308, 0.9605e308, 1.7976931348623157e308}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.min) + ".." + std::to_string(c.max));
    const ChartRange fitted = fittedValueRange({c.min, c.max});
    EXPECT_NEAR(fitted.min, c.fittedMin, 1e-9 * std::fabs(c.fittedMin));
    EXPECT_NEAR(fitted.max, c.fittedMax, 1e-9 * std::fabs(c.fittedMax));
    EXPECT_GE(axisScale(AxisKind::Value, fitted, 6).ticks.size(), 2u) << "what a chart shows gets ticks";
  }
}

TEST(ChartAxesTest, TicksThatFitALength) {
  const struct {
    double pixels, labelPixels;
    int expected;
  } cases[] = {{800, 60, 8}, {400, 15, 12}, {20, 15, 0}, {0, 10, 0}, {NAN, 10, 0}, {100, NAN, 0}, {1e12, 10, 200}};
  for (const auto& c : cases) EXPECT_EQ(maxTicksFor(c.pixels, c.labelPixels), c.expected) << c.pixels;
}

// Limits near the data widen the range; one far off would squash the data and is left out.
TEST(ChartAxesTest, NearbyLimitsWidenTheRange) {
  const struct {
    ChartRange data;
    std::vector<double> limits;
    ChartRange expected;
  } cases[] = {
      {{10, 20}, {}, {10, 20}},   {{10, 20}, {25, 5}, {5, 25}},   {{10, 20}, {25.5, 30}, {10, 20}},
      {{10, 20}, {15}, {10, 20}}, {{10, 20}, {3, 200}, {10, 20}}, {{50, 50}, {54}, {50, 54}},
      {{50, 50}, {56}, {50, 50}}, {{0, 0}, {-1, 2}, {-1, 0}},     {{10, 20}, {NAN, INFINITY}, {10, 20}},
  };
  for (const auto& c : cases) {
    const ChartRange got = withNearbyLimits(c.data, c.limits);
    EXPECT_TRUE(got == c.expected) << c.data.min << ".." << c.data.max << " with " << c.limits.size() << " limits gave "
                                   << got.min << ".." << got.max;
  }
}

}  // namespace
}  // namespace kestrune::app
