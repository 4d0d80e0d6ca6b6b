// The millisecond counter and the wall clock, behind one seam so that tests
// drive time by hand.
#pragma once

#include <QDateTime>

#include <cstdint>

namespace kestrune {

class Clock {
public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary origin as a signed 32-bit counter. It
  // passes its sign boundary and wraps around like the Windows tick counter.
  virtual std::int32_t tickMs() = 0;
  // Local date and time, for stamps and the error label.
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

}  // namespace kestrune
