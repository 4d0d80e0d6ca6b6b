#include "sheet/a1.h"
#include "sheet/spreadsheet_app.h"

#include <gtest/gtest.h>

namespace kestrune::sheet {
namespace {

struct ColumnCase {
  std::int32_t column;
  const char* letters;
};

class ColumnLettersTest : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(ColumnLettersTest, LettersAndBack) {
  const ColumnCase& c = GetParam();
  EXPECT_EQ(columnLetters(c.column), QString::fromLatin1(c.letters));
  const auto parsed = parseA1(QString::fromLatin1(c.letters) + QStringLiteral("1"));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->column, c.column);
}

INSTANTIATE_TEST_SUITE_P(Cases, ColumnLettersTest,
                         ::testing::Values(ColumnCase{1, "A"}, ColumnCase{26, "Z"}, ColumnCase{27, "AA"},
                                           ColumnCase{52, "AZ"}, ColumnCase{53, "BA"}, ColumnCase{235, "IA"},
                                           ColumnCase{256, "IV"}, ColumnCase{702, "ZZ"}, ColumnCase{703, "AAA"},
                                           ColumnCase{16384, "XFD"}));

TEST(AddressTest, AbsoluteAddress) {
  EXPECT_EQ(absoluteAddress({12, 2}), QStringLiteral("$B$12"));
  EXPECT_EQ(absoluteAddress({7, 28}), QStringLiteral("$AB$7"));
  EXPECT_EQ(absoluteAddress({3, 16384}), QStringLiteral("$XFD$3"));
}

struct ParseCase {
  const char* text;
  bool ok;
  CellRef cell;
};

class ParseA1Test : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseA1Test, Parses) {
  const auto r = parseA1(QString::fromUtf8(GetParam().text));
  ASSERT_EQ(r.ok(), GetParam().ok) << GetParam().text;
  if (r) {
    EXPECT_EQ(*r, GetParam().cell);
  } else {
    EXPECT_TRUE(r.error().is(SheetError::BadAddress));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseA1Test,
                         ::testing::Values(ParseCase{"B12", true, {12, 2}}, ParseCase{"$B$12", true, {12, 2}},
                                           ParseCase{"b12", true, {12, 2}}, ParseCase{"IA65000", true, {65000, 235}},
                                           ParseCase{"12", false, {}}, ParseCase{"B", false, {}},
                                           ParseCase{"B0", false, {}}, ParseCase{"", false, {}},
                                           ParseCase{"B12x", false, {}}, ParseCase{"Ｂ12", false, {}},
                                           ParseCase{"B99999999999", false, {}}, ParseCase{" B12", false, {}}));

}  // namespace
}  // namespace kestrune::sheet
