// Round ticks with short, distinct labels for the chart's axes, and the value
// range a chart shows for its data. Pure logic (Qt Core): the chart window
// asks how many labels fit, then places the ticks this returns.
#pragma once

#include "app/chart_model.h"

#include <QString>

#include <vector>

namespace kestrune::app {

enum class AxisKind {
  // Measured values: steps of 1, 2 or 5 times a power of ten.
  Value,
  // Acquisition numbers: 1-2-5 steps of at least 1, whole-number labels.
  Whole,
  // Seconds since the run started: 1-2-5 steps up to 5 s, then 10, 15, 30 s,
  // 1, 2, 5, 10, 15, 30 min, 1, 2, 3, 6, 12 h, 1, 2, 7, 14, 28 days, then
  // 50, 100, 200, 500 ... days. Labels are seconds ("12.5") while the axis
  // stays under a minute, then "m:ss", from an hour on "h:mm:ss"; a
  // sub-second step adds its decimals ("1:02.5").
  ElapsedSeconds,
  // Milliseconds since 1970 UTC, shown in local time: 10, 20, 50, 100, 200,
  // 500 ms, 1, 2, 5 s, then the steps of ElapsedSeconds from 10 s on. Ticks
  // fall where the local clock shows a multiple of the step (15 min on :00
  // :15 :30 :45, 6 h on 0, 6, 12 and 18 o'clock, days at midnight, 7 and 14
  // days on Mondays).
  Clock,
};

struct AxisTick {
  double value = 0.0;
  QString label;
};

struct AxisScale {
  ChartRange range;
  std::vector<AxisTick> ticks;
  // Distance between neighbouring ticks in the axis's unit; 0 without ticks.
  // On a Clock axis the nominal step: where the offset from UTC changes
  // between two ticks (summer time), they lie an hour nearer or farther.
  double step = 0.0;
};

// Most ticks an axis gets, however long it is.
inline constexpr int MaxAxisTicks = 200;

// The value range a chart shows for data spanning `data`: the data with 5 %
// of their span added on each side. The range starts (or ends) at 0 instead
// when the data lie on one side of 0 and the gap between 0 and the data is at
// most a fifth of the data's span (2..100 shows 0..104.9, 36..63 shows
// 34.65..64.35); otherwise it never crosses 0. A single value v shows
// v ± 10 % (0 shows -1..1); data that are not finite show 0..1.
ChartRange fittedValueRange(ChartRange data);

// The data's extent taken out to the alarm limits that lie near it, so a
// limit the values approach shows with them. A limit counts when it lies
// within half the data's span beyond them (a single value v: within 10 % of
// v, or 1 for 0): the data then keep at least half the height, and a limit
// far off leaves the data as they are rather than squashing them into a line.
// Limits that are not finite are left out.
ChartRange withNearbyLimits(ChartRange data, const std::vector<double>& limits);

// Ticks at multiples of one round step inside `range` on an axis of `kind`:
// at most `maxTicks` (and MaxAxisTicks), the smallest step that gives at
// least 2 of them, or else 1. The range comes back unchanged. No ticks for a
// range that is empty, reversed, not finite, or too narrow for its magnitude
// to give distinct labels (narrower than a 10^12th of it), nor for maxTicks
// below 1; a Clock range must lie within the years 1 to 9999.
//
// Labels are distinct and show the decimals the step needs ("1.5", "2.0" for
// a step of 0.5); a number whose fixed form is longer than its exponent form,
// and any from 10^21 on, is written as "1.2e15". Clock labels: "HH:mm:ss.z"
// or "HH:mm:ss.zz" for sub-second steps, "HH:mm:ss" for second steps, "HH:mm"
// for minutes and hours, "MM/dd" for days. When the range crosses midnight,
// the first tick and the first of each new day carry the date ("MM/dd HH:mm"),
// every tick does when a time of day would repeat; when it crosses a new
// year, dates carry the year ("yyyy/MM/dd"). With `milliseconds` (stamps
// shown to the millisecond) sub-second clock labels are "HH:mm:ss.zzz".
AxisScale axisScale(AxisKind kind, ChartRange range, int maxTicks, bool milliseconds = false);

// How many ticks fit along `pixels` when each label needs `labelPixels` and
// the gap after it half of that, but at least 16 pixels (0 to MaxAxisTicks).
int maxTicksFor(double pixels, double labelPixels);

}  // namespace kestrune::app
