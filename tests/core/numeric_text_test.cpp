#include "core/numeric_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestrune {
namespace {

struct NumberCase {
  const char* text;
  double value;
};

class ReadLeadingNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadLeadingNumberTest, Reads) {
  EXPECT_DOUBLE_EQ(readLeadingNumber(QString::fromUtf8(GetParam().text)), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadLeadingNumberTest,
                         ::testing::Values(NumberCase{"60", 60}, NumberCase{"  1 2 3 ", 123}, NumberCase{"-5", -5},
                                           NumberCase{"+7", 7}, NumberCase{"2.5", 2.5}, NumberCase{".5", 0.5},
                                           NumberCase{"1.", 1}, NumberCase{"1.2.3", 1.2}, NumberCase{"1e3", 1000},
                                           NumberCase{"1E-2", 0.01}, NumberCase{"2d2", 200}, NumberCase{"1e", 1},
                                           NumberCase{"1e+", 1}, NumberCase{"12abc", 12}, NumberCase{"abc", 0},
                                           NumberCase{"", 0}, NumberCase{"-", 0}, NumberCase{".", 0},
                                           NumberCase{"&H1F", 31}, NumberCase{"&hff", 255}, NumberCase{"&O17", 15},
                                           NumberCase{"&O8", 0}, NumberCase{"&X1", 0}, NumberCase{"1\t0", 10},
                                           NumberCase{"1,000", 1}, NumberCase{"１２", 0}));

TEST(ReadLeadingNumberTest, HugeExponentsGiveInfinityOrZero) {
  EXPECT_EQ(readLeadingNumber(QStringLiteral("1e400")), std::numeric_limits<double>::infinity());
  EXPECT_EQ(readLeadingNumber(QStringLiteral("-1e400")), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(readLeadingNumber(QStringLiteral("1e-400")), 0.0);
}

struct WholeCase {
  const char* text;
  std::int32_t value;
};

class ReadWholeNumberTest : public ::testing::TestWithParam<WholeCase> {};

TEST_P(ReadWholeNumberTest, RoundsHalfToEvenAndClamps) {
  EXPECT_EQ(readWholeNumber(QString::fromUtf8(GetParam().text)), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadWholeNumberTest,
                         ::testing::Values(WholeCase{"2.5", 2}, WholeCase{"3.5", 4}, WholeCase{"-2.5", -2},
                                           WholeCase{"0.5", 0}, WholeCase{"1.5", 2}, WholeCase{"2.4999", 2},
                                           WholeCase{"99999999999", 2147483647},
                                           WholeCase{"-99999999999", -2147483647 - 1}, WholeCase{"1e20", 2147483647},
                                           WholeCase{"x", 0}));

}  // namespace
}  // namespace kestrune
