#include "core/clock.h"

#include <chrono>

namespace kestrune {

std::int32_t elapsedMs(std::int32_t from, std::int32_t to) {
  const auto difference = static_cast<std::uint32_t>(to) - static_cast<std::uint32_t>(from);
  return static_cast<std::int32_t>(difference);
}

std::int32_t SystemClock::tickMs() {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms)));
}

QDateTime SystemClock::now() { return QDateTime::currentDateTime(); }

void ClockStepWatch::reset(std::int32_t tick, const QDateTime& wall) {
  tick_ = tick;
  wall_ = wall;
}

std::optional<std::int64_t> ClockStepWatch::check(std::int32_t tick, const QDateTime& wall) {
  if (!wall_.isValid() || !wall.isValid()) {
    reset(tick, wall);
    return std::nullopt;
  }
  const std::int64_t step = wall_.msecsTo(wall) - std::int64_t{elapsedMs(tick_, tick)};
  reset(tick, wall);
  if (step > -ThresholdMs && step < ThresholdMs) return std::nullopt;
  return step;
}

}  // namespace kestrune
