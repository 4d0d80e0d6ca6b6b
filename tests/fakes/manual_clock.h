// A clock that moves only when the test moves it.
#pragma once

#include "core/clock.h"

namespace kestrune::testing {

class ManualClock final : public Clock {
public:
  explicit ManualClock(std::int32_t tick = 0, QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(9, 30, 0)))
      : tick_(tick), now_(std::move(now)) {}
  std::int32_t tickMs() override { return tick_; }
  QDateTime now() override { return now_; }

  // Advances both the counter (wrapping like the real one) and the wall clock.
  void advance(std::int32_t ms) {
    tick_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(tick_) + static_cast<std::uint32_t>(ms));
    now_ = now_.addMSecs(ms);
  }
  void setTick(std::int32_t tick) { tick_ = tick; }
  void setNow(const QDateTime& now) { now_ = now; }

private:
  std::int32_t tick_;
  QDateTime now_;
};

}  // namespace kestrune::testing
