// The millisecond counter and the wall clock, behind one seam so that tests
// drive time by hand.
#pragma once

#include <QDateTime>

#include <cstdint>
#include <optional>

namespace kestrune {

class Clock {
public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary origin as a signed 32-bit counter. It
  // passes its sign boundary and wraps around like the Windows tick counter.
  virtual std::int32_t tickMs() = 0;
  // Local date and time, for stamps, the error label and clock steps.
  virtual QDateTime now() = 0;
};

// Milliseconds from `from` to `to` on the 32-bit counter, correct across the
// sign boundary and the wrap-around (the difference is taken modulo 2^32).
// A negative result means `to` lies before `from`.
std::int32_t elapsedMs(std::int32_t from, std::int32_t to);

// The system's monotonic clock, truncated to 32 bits.
class SystemClock final : public Clock {
public:
  std::int32_t tickMs() override;
  QDateTime now() override;
};

// Notices steps of the wall clock (an NTP correction, a manual change) by
// comparing how far it advanced between two readings with how far the
// monotonic counter did. Both are read together, so only a step makes them
// differ by much; the threshold stays far above the readings' skew and far
// below any step worth noting. The wall clock is compared as an instant, so a
// change of the local offset (summer time) is no step. Two readings more than
// the counter's range (24.8 days) apart cannot be compared and read as a step.
class ClockStepWatch {
public:
  static constexpr std::int64_t ThresholdMs = 1000;

  // The readings the next check compares with.
  void reset(std::int32_t tick, const QDateTime& wall);
  // The wall clock's step since the last reading, positive when it went
  // forward, when it reaches the threshold; the readings become the new
  // reference either way. Nothing before the first reset.
  std::optional<std::int64_t> check(std::int32_t tick, const QDateTime& wall);

private:
  std::int32_t tick_ = 0;
  QDateTime wall_;
};

}  // namespace kestrune
