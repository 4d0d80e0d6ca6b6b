#include "sheet/xls/value.h"

#include <gtest/gtest.h>

namespace kestrune::xls {
namespace {

struct TypedCase {
  const char* input;
  bool isNumber;
  double number;
};

class ParseTypedTest : public ::testing::TestWithParam<TypedCase> {};

TEST_P(ParseTypedTest, NumbersBecomeNumbersEverythingElseText) {
  const TypedCase& c = GetParam();
  const Value v = parseTyped(c.input);
  if (c.isNumber) {
    ASSERT_TRUE(std::holds_alternative<double>(v)) << c.input;
    EXPECT_DOUBLE_EQ(std::get<double>(v), c.number) << c.input;
  } else {
    ASSERT_TRUE(std::holds_alternative<std::string>(v)) << c.input;
    EXPECT_EQ(std::get<std::string>(v), c.input);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseTypedTest,
    ::testing::Values(TypedCase{"12", true, 12}, TypedCase{"  -3.25  ", true, -3.25}, TypedCase{"+7", true, 7},
                      TypedCase{"1e3", true, 1000}, TypedCase{"2.5E-2", true, 0.025}, TypedCase{"-0", true, 0},
                      TypedCase{"007", true, 7}, TypedCase{"1.", true, 1}, TypedCase{".5", true, 0.5},
                      TypedCase{"-.5", true, -0.5}, TypedCase{"+.12E+01", true, 1.2}, TypedCase{" 1.e2 ", true, 100},
                      TypedCase{"-0.", true, 0}, TypedCase{".", false, 0}, TypedCase{"-.", false, 0},
                      TypedCase{".e5", false, 0}, TypedCase{"1..2", false, 0}, TypedCase{"1.2.3", false, 0},
                      TypedCase{"1e", false, 0}, TypedCase{"1e+", false, 0}, TypedCase{"--1", false, 0},
                      TypedCase{"1 2", false, 0}, TypedCase{"=1+2", false, 0}, TypedCase{"=A1", false, 0},
                      TypedCase{"", false, 0}, TypedCase{"   ", false, 0}, TypedCase{"0x10", false, 0},
                      TypedCase{"1,000", false, 0}, TypedCase{"inf", false, 0}, TypedCase{"nan", false, 0},
                      TypedCase{"1e999", false, 0}, TypedCase{"\t5", false, 0}, TypedCase{"12abc", false, 0}));

struct FormatCase {
  std::uint16_t ifmt;
  const char* code;  // nullptr: built-in format without a FORMAT record
  std::optional<DateKind> kind;
  bool fractions = false;  // shows fractions of a second
};

class DateFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(DateFormatTest, Classifies) {
  const FormatCase& c = GetParam();
  const auto code = c.code ? std::optional<std::string>(c.code) : std::nullopt;
  EXPECT_EQ(dateKindOfFormat(c.ifmt, code), c.kind) << (c.code ? c.code : "") << " " << c.ifmt;
  EXPECT_EQ(formatShowsSecondFractions(c.code ? c.code : ""), c.fractions) << (c.code ? c.code : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DateFormatTest,
    ::testing::Values(
        FormatCase{14, nullptr, DateKind::DateOnly}, FormatCase{22, nullptr, DateKind::DateTime},
        FormatCase{18, nullptr, DateKind::TimeOnly}, FormatCase{46, nullptr, DateKind::TimeOnly},
        FormatCase{31, nullptr, DateKind::DateOnly}, FormatCase{57, nullptr, DateKind::DateOnly},
        FormatCase{0, nullptr, std::nullopt}, FormatCase{2, nullptr, std::nullopt},
        FormatCase{44, nullptr, std::nullopt}, FormatCase{164, "yyyy/mm/dd", DateKind::DateOnly},
        FormatCase{164, "h:mm:ss", DateKind::TimeOnly}, FormatCase{164, "yyyy/mm/dd h:mm:ss", DateKind::DateTime},
        FormatCase{164, "mmm", DateKind::DateOnly}, FormatCase{164, "[h]:mm", DateKind::TimeOnly},
        FormatCase{164, "0.00\" days\"", std::nullopt}, FormatCase{164, "[Red]0.00", std::nullopt},
        FormatCase{164, "#,##0.00", std::nullopt}, FormatCase{164, "General", std::nullopt},
        FormatCase{164, "0\\d", std::nullopt}, FormatCase{164, "_(* #,##0_)", std::nullopt},
        FormatCase{164, "0.00;[Red]dd", std::nullopt},
        FormatCase{164, "[$-411]ggge\"\xe5\xb9\xb4\"m\"\xe6\x9c\x88\"d\"\xe6\x97\xa5\"", DateKind::DateOnly},
        FormatCase{164, "hh:mm:ss.000", DateKind::TimeOnly, true},
        FormatCase{164, "yyyy/mm/dd hh:mm:ss.000", DateKind::DateTime, true},
        FormatCase{164, "[ss].00", DateKind::TimeOnly, true}, FormatCase{164, "mm:ss.0", DateKind::TimeOnly, true},
        FormatCase{164, "h:mm:ss\".0\"", DateKind::TimeOnly, false},
        FormatCase{164, "h:mm:ss\\.0", DateKind::TimeOnly, false},
        FormatCase{164, "h:mm:ss;ss.000", DateKind::TimeOnly, false}));

struct SerialCase {
  CivilDateTime when;
  bool date1904;
  double serial;
};

class SerialTest : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialTest, CivilToSerial) {
  const SerialCase& c = GetParam();
  auto s = serialFromCivil(c.when, c.date1904);
  ASSERT_TRUE(s.ok()) << s.description();
  EXPECT_NEAR(s.value(), c.serial, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Cases, SerialTest,
                         ::testing::Values(SerialCase{{1900, 1, 1}, false, 1}, SerialCase{{1900, 2, 28}, false, 59},
                                           SerialCase{{1900, 3, 1}, false, 61},
                                           SerialCase{{2023, 3, 15, 12}, false, 45000.5},
                                           SerialCase{{1904, 1, 1}, true, 0},
                                           SerialCase{{2000, 1, 2, 3, 4}, true, 35065 + (3 * 60 + 4) / 1440.0},
                                           SerialCase{{2024, 2, 29, 23, 59, 59.5}, false, 45351 + 86399.5 / 86400}));

TEST(SerialTest, RejectsInvalidAndPreEpochDates) {
  const CivilDateTime bad[] = {{2023, 2, 29},  {2023, 13, 1},    {2023, 1, 0},
                               {1899, 12, 31}, {2023, 1, 1, 24}, {2023, 1, 1, 0, 60}};
  for (const auto& w : bad) EXPECT_FALSE(serialFromCivil(w, false).ok()) << w.year << "-" << w.month << "-" << w.day;
  EXPECT_FALSE(serialFromCivil({1903, 12, 31}, true).ok());
}

}  // namespace
}  // namespace kestrune::xls
