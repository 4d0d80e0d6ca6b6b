#include "core/clock.h"

#include "fakes/manual_clock.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestrune {
namespace {

constexpr std::int32_t Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t Min = std::numeric_limits<std::int32_t>::min();

struct ElapsedCase {
  const char* name;
  std::int32_t from;
  std::int32_t to;
  std::int32_t expected;
};

class ElapsedTest : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(ElapsedTest, DifferenceOnTheThirtyTwoBitCounter) {
  const ElapsedCase& c = GetParam();
  EXPECT_EQ(elapsedMs(c.from, c.to), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ElapsedTest,
                         ::testing::Values(ElapsedCase{"Simple", 1000, 1010, 10}, ElapsedCase{"Zero", 5, 5, 0},
                                           ElapsedCase{"Backwards", 1010, 1000, -10},
                                           ElapsedCase{"AcrossSignBoundary", Max - 4, Min + 5, 10},
                                           ElapsedCase{"AcrossWrapAround", -3, 7, 10},
                                           ElapsedCase{"FromMinimum", Min, Min + 1, 1},
                                           ElapsedCase{"NearlyHalfRange", 0, Max, Max}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ManualClockTest, AdvanceWrapsLikeTheRealCounter) {
  testing::ManualClock clock(Max - 2);
  const std::int32_t before = clock.tickMs();
  clock.advance(10);
  EXPECT_EQ(clock.tickMs(), Min + 7);
  EXPECT_EQ(elapsedMs(before, clock.tickMs()), 10);
}

TEST(SystemClockTest, CounterDoesNotRunBackwards) {
  SystemClock clock;
  const std::int32_t a = clock.tickMs();
  const std::int32_t b = clock.tickMs();
  EXPECT_GE(elapsedMs(a, b), 0);
  EXPECT_TRUE(clock.now().isValid());
}

}  // namespace
}  // namespace kestrune
