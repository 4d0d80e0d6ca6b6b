#include "app/comm_log.h"

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

struct LogCase {
  const char* name;
  const char* before;
  const char* appended;
  const char* after;
};

class CommLogTest : public ::testing::TestWithParam<LogCase> {};

TEST_P(CommLogTest, Appends) {
  CommLog log;
  log.setText(QString::fromUtf8(GetParam().before));
  log.termAppend(QString::fromUtf8(GetParam().appended));
  EXPECT_EQ(log.text(), QString::fromUtf8(GetParam().after));
}

INSTANTIATE_TEST_SUITE_P(Cases, CommLogTest,
                         ::testing::Values(LogCase{"Plain", "", "● M", "● M\r\n"},
                                           LogCase{"Second", "a\r\n", "b", "a\r\nb\r\n"},
                                           LogCase{"Empty", "a\r\n", "", "a\r\n\r\n"},
                                           LogCase{"BackspaceInside", "", "AB\bC", "AC\r\n"},
                                           LogCase{"LeadingBackspaceEatsTheLastLf", "x\r\n", "\bY", "x\rY\r\n"},
                                           LogCase{"SeveralLeadingBackspacesStillOne", "xyz", "\b\b\bW", "xyW\r\n"},
                                           LogCase{"LeadingBackspaceOnEmptyLog", "", "\bY", "Y\r\n"},
                                           LogCase{"BackspacesFromInsideToFront", "xyz", "A\b\bB", "xyB\r\n"},
                                           LogCase{"CrAndLfRemoved", "", "○ 12.5,OK\r\n", "○ 12.5,OK\r\n"},
                                           LogCase{"CrInTheMiddle", "", "a\rb\nc", "abc\r\n"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(CommLogSizeTest, ExactlyEightThousandIsKeptOneMoreIsCut) {
  CommLog log;
  log.setText(QString(8000, QLatin1Char('a')));
  log.termAppend(QStringLiteral("x"));
  EXPECT_EQ(log.text().size(), 8003);
  log.termAppend(QStringLiteral("y"));
  EXPECT_EQ(log.text(), QString(8000 - 4096, QLatin1Char('a')) + QStringLiteral("x\r\ny\r\n"));
}

TEST(CommLogSizeTest, StaysBoundedOverALongRun) {
  CommLog log;
  for (int i = 0; i < 100000; ++i) log.termAppend(QStringLiteral("○ 12.5,3.0,OK"));
  EXPECT_LE(log.text().size(), 8000 + 17);
  EXPECT_TRUE(log.text().endsWith(QStringLiteral("○ 12.5,3.0,OK\r\n")));
}

}  // namespace
}  // namespace kestrune::app
