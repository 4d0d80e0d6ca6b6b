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

}  // namespace kestrune
