#include "app/run_progress.h"

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

struct ProgressCase {
  const char* name;
  RunProgress progress;
  std::optional<int> permille;
  const char* line;
};

class RunProgressTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(RunProgressTest, FiguresAndTheirLine) {
  const ProgressCase& c = GetParam();
  EXPECT_EQ(c.progress.permille(), c.permille);
  EXPECT_EQ(progressLine(c.progress), QString::fromUtf8(c.line));
}

INSTANTIATE_TEST_SUITE_P(
    Edges, RunProgressTest,
    ::testing::Values(
        ProgressCase{"AtTheStart", {0, 100, 0, 0, {}, {}}, 0, "0 / 100 行 (0%)　経過 0:00:00　－ 行/分　最終行: －"},
        ProgressCase{"RowsOnly",
                     {25, 100, 90000, 0, {"7", "12.5"}, {}},
                     250,
                     "25 / 100 行 (25%)　経過 0:01:30　16.7 行/分　最終行: 7, 12.5"},
        ProgressCase{"RowLimitReached",
                     {100, 100, 3600000, 0, {}, {}},
                     1000,
                     "100 / 100 行 (100%)　経過 1:00:00　1.67 行/分　最終行: －"},
        // The time limit is the further of the two: it decides the bar.
        ProgressCase{"TimeAheadOfRows",
                     {1, 10000, 45000, 60000, {"x"}, {}},
                     750,
                     "1 / 10000 行 (75%)　経過 0:00:45　残り 0:00:15　1.33 行/分　最終行: x"},
        // Past the limit (the last acquisition finishing): nothing negative, nothing above 100 %.
        ProgressCase{"PastTheTimeLimit",
                     {3, 10000, 61500, 60000, {}, {}},
                     1000,
                     "3 / 10000 行 (100%)　経過 0:01:01　残り 0:00:00　2.93 行/分　最終行: －"},
        ProgressCase{"NoLimitAtAll", {5, 0, 999, 0, {}, {}}, std::nullopt, "5 行　経過 0:00:00　－ 行/分　最終行: －"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CellTextTest, ValuesAsALineShowsThem) {
  const QDateTime when(QDate(2026, 12, 7), QTime(9, 5, 3));
  EXPECT_EQ(cellText(QStringLiteral("12.5")), QStringLiteral("12.5"));
  EXPECT_EQ(cellText(std::int32_t{-42}), QStringLiteral("-42"));
  EXPECT_EQ(cellText(sheet::Stamp{when, sheet::Stamp::Kind::DateTime}), QStringLiteral("2026/12/07 9:05:03"));
  EXPECT_EQ(cellText(sheet::Stamp{when, sheet::Stamp::Kind::Date}), QStringLiteral("2026/12/07"));
  EXPECT_EQ(cellText(sheet::Stamp{when, sheet::Stamp::Kind::Time}), QStringLiteral("9:05:03"));
}

}  // namespace
}  // namespace kestrune::app
