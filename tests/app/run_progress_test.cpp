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
        // A row limit alone has no remainder before the first row gives a rate.
        ProgressCase{"AtTheStart",
                     {0, 100, 0, 0, {}, std::nullopt, false, std::nullopt, {}},
                     0,
                     "0 / 100 行 (0%)　経過 0:00:00　残り －　－ 行/分　最終取得: －"},
        // 75 rows left at 25 rows in 1:30: 4:30 more.
        ProgressCase{"RowsOnly",
                     {25, 100, 90000, 0, {"12.5"}, 7, false, std::nullopt, {}},
                     250,
                     "25 / 100 行 (25%)　経過 0:01:30　残り 0:04:30　16.7 行/分　最終取得: No.7　値: 12.5"},
        ProgressCase{"RowLimitReached",
                     {100, 100, 3600000, 0, {}, std::nullopt, false, std::nullopt, {}},
                     1000,
                     "100 / 100 行 (100%)　経過 1:00:00　残り 0:00:00　1.67 行/分　最終取得: －"},
        // The time limit is the further of the two: it decides the bar and the remainder.
        ProgressCase{"TimeAheadOfRows",
                     {1, 10000, 45000, 60000, {"x"}, std::nullopt, false, std::nullopt, {}},
                     750,
                     "1 / 10000 行 (75%)　経過 0:00:45　残り 0:00:15　1.33 行/分　最終取得: 値: x"},
        // The row limit comes first: 10 rows left at one every 2 s, though 50 minutes of time are left.
        ProgressCase{"RowsAheadOfTime",
                     {90, 100, 180000, 3180000, {"9:05:03", "OK"}, 41, false, std::nullopt, {}},
                     900,
                     "90 / 100 行 (90%)　経過 0:03:00　残り 0:00:20　30.0 行/分　最終取得: No.41　値: 9:05:03, OK"},
        // Past the limit (the last acquisition finishing): nothing negative, nothing above 100 %.
        ProgressCase{"PastTheTimeLimit",
                     {3, 10000, 61500, 60000, {}, std::nullopt, false, std::nullopt, {}},
                     1000,
                     "3 / 10000 行 (100%)　経過 0:01:01　残り 0:00:00　2.93 行/分　最終取得: －"},
        // Ended by the row limit with time to spare: no remainder counts on.
        ProgressCase{"Ended",
                     {100, 100, 200000, 3600000, {"1"}, 100, true, std::nullopt, {}},
                     1000,
                     "100 / 100 行 (100%)　経過 0:03:20　完了　30.0 行/分　最終取得: No.100　値: 1"},
        // The workbook stopped taking values after 7 rows.
        ProgressCase{
            "WorkbookLost",
            {12, 100, 60000, 0, {"x"}, 12, false, 7, {}},
            120,
            "12 / 100 行（ブックに書込済み 7 行、5 行は未書込） (12%)　経過 0:01:00　残り 0:07:20　12.0 行/分　"
            "最終取得（ブック未書込）: No.12　値: x"},
        // Several instruments: each channel's state ends the line.
        ProgressCase{"TwoChannels",
                     {5, 0, 999, 0, {}, std::nullopt, false, std::nullopt, {{0, false}, {2, true}}},
                     std::nullopt,
                     "5 行　経過 0:00:00　－ 行/分　最終取得: －　CH1 接続中　CH3 切断中"},
        // Eight channels: each state once, its channels in ranges, the lowest channel's state first.
        ProgressCase{"EightChannels",
                     {5,
                      0,
                      999,
                      0,
                      {},
                      std::nullopt,
                      false,
                      std::nullopt,
                      {{1, true}, {0, true}, {2, false}, {3, false}, {4, false}, {5, true}, {6, false}, {7, true}}},
                     std::nullopt,
                     "5 行　経過 0:00:00　－ 行/分　最終取得: －　CH1,2,6,8 切断中　CH3-5,7 接続中"},
        ProgressCase{"NoLimitAtAll",
                     {5, 0, 999, 0, {}, std::nullopt, false, std::nullopt, {}},
                     std::nullopt,
                     "5 行　経過 0:00:00　－ 行/分　最終取得: －"}),
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
