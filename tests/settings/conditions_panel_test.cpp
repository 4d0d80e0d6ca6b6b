#include "settings/conditions_panel.h"

#include <QtEndian>

#include <gtest/gtest.h>

#include <map>

namespace kestrune::settings {
namespace {

struct FakeConditionsView final : ConditionsView {
  QString text(CondBox b) const override { return texts.count(b) ? texts.at(b) : QString(); }
  void setText(CondBox b, const QString& t) override { texts[b] = t; }
  void setBoxEnabled(CondBox b, bool e) override { enabled[b] = e; }
  int selectedOption(CondOption g) const override { return options.count(g) ? options.at(g) : -1; }
  void selectOption(CondOption g, int i) override { options[g] = i; }
  void focusBox(CondBox b) override { focused = b; }

  std::map<CondBox, QString> texts;
  std::map<CondBox, bool> enabled;
  std::map<CondOption, int> options;
  std::optional<CondBox> focused;
};

// The 16-bit fields before the start column, where a hand-made file may hold
// Booleans and modes other than the record's own.
constexpr qsizetype StampModeAt = 2;
constexpr qsizetype NumberingOnAt = 6;
constexpr qsizetype StartAtCellAt = 12;

std::int16_t storedAt(const SetupRecord& r, qsizetype offset) {
  const QByteArray bytes = *encodeSetupRecord(r);
  return static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes.at(offset)) |
                                   static_cast<std::uint8_t>(bytes.at(offset + 1)) << 8);
}

// Keeps the conditions and setup.dat's record as the session does.
struct Holder final : ConditionsHolder {
  const Conditions& conditions() const override { return values; }
  void setConditions(const Conditions& c, Rewrite rewrite) override {
    values = c;
    record.setConditions(c, rewrite);
  }
  Conditions values;
  SetupRecord record;
};

class ConditionsPanelTest : public ::testing::Test {
protected:
  // The record as read from a file holding `value` at `offset`.
  void readHandMade(qsizetype offset, std::int16_t value) {
    record.setConditions(values);
    QByteArray bytes = *encodeSetupRecord(record);
    qToLittleEndian(value, bytes.data() + offset);
    ASSERT_TRUE(decodeSetupRecord(bytes, record).ok());
    values = record.conditions();
  }

  Holder holder;
  SetupRecord& record = holder.record;
  Conditions& values = holder.values;
  FakeConditionsView view;
  ConditionsPanel panel{holder, view};
};

TEST_F(ConditionsPanelTest, OpeningWithAllFieldsZeroShowsAndStoresTheCorrections) {
  panel.showCellConditions();
  EXPECT_EQ(view.texts[CondBox::Min], QStringLiteral("1"));
  EXPECT_EQ(view.texts[CondBox::Rows], QStringLiteral("1"));
  EXPECT_EQ(view.texts[CondBox::StartCol], QStringLiteral("A"));
  EXPECT_EQ(view.texts[CondBox::StartRow], QStringLiteral("1"));
  EXPECT_EQ(view.texts[CondBox::CellNo], QStringLiteral("1"));
  EXPECT_EQ(view.options[CondOption::Cell], 0);
  EXPECT_EQ(view.options[CondOption::Time], 0);
  EXPECT_EQ(view.options[CondOption::Num], 0);
  EXPECT_EQ(view.options[CondOption::Protcol], 0);
  EXPECT_FALSE(view.enabled[CondBox::StartCol]);
  EXPECT_FALSE(view.enabled[CondBox::StartRow]);
  EXPECT_FALSE(view.enabled[CondBox::CellNo]);
  EXPECT_EQ(values.acquireTimeMs, 60000);
  EXPECT_EQ(values.rows, 1);
  EXPECT_EQ(values.cursor.column, QStringLiteral("A"));
  EXPECT_EQ(values.cursor.row, 1);
  EXPECT_EQ(values.cursor.acquisitionNo, 1);
}

TEST_F(ConditionsPanelTest, OpeningClampsAndShowsStoredValues) {
  values.acquireTimeMs = 90000;
  values.rows = 20000;
  values.cursor.row = 70000;
  values.startAtCell = true;
  readHandMade(NumberingOnAt, 5);  // not 0: numbering on
  readHandMade(StampModeAt, 7);
  values.scriptFromFile = true;
  values.cursor.acquisitionNo = 42;
  panel.showCellConditions();
  EXPECT_EQ(view.texts[CondBox::Min], QStringLiteral("1.5"));
  EXPECT_EQ(values.rows, 10000);
  EXPECT_EQ(values.cursor.row, 65000);
  EXPECT_EQ(values.stamp, StampMode::None);
  EXPECT_EQ(storedAt(record, StampModeAt), 0);    // the unknown mode is corrected in the record
  EXPECT_EQ(storedAt(record, NumberingOnAt), 5);  // a Boolean is only read
  EXPECT_EQ(view.options[CondOption::Time], 0);
  EXPECT_EQ(view.options[CondOption::Cell], 1);
  EXPECT_TRUE(view.enabled[CondBox::StartCol]);
  EXPECT_EQ(view.options[CondOption::Num], 1);
  EXPECT_TRUE(view.enabled[CondBox::CellNo]);
  EXPECT_EQ(view.options[CondOption::Protcol], 1);
  EXPECT_EQ(view.texts[CondBox::CellNo], QStringLiteral("42"));
  values.acquireTimeMs = 99999999;
  panel.showCellConditions();
  EXPECT_EQ(values.acquireTimeMs, 18000000);
}

TEST_F(ConditionsPanelTest, StartAtCellIsTrueOnlyForMinusOne) {
  readHandMade(StartAtCellAt, 1);
  panel.showCellConditions();
  EXPECT_EQ(view.options[CondOption::Cell], 0);
  EXPECT_FALSE(view.enabled[CondBox::StartCol]);
}

struct ColumnCase {
  const char* stored;
  const char* shown;
};

class CorrectedStartColumnTest : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(CorrectedStartColumnTest, OpeningRule) {
  EXPECT_EQ(correctedStartColumn(QString::fromLatin1(GetParam().stored)), QString::fromLatin1(GetParam().shown))
      << GetParam().stored;
}

INSTANTIATE_TEST_SUITE_P(Cases, CorrectedStartColumnTest,
                         ::testing::Values(ColumnCase{"", "A"}, ColumnCase{"B", "B"}, ColumnCase{"Z", "Z"},
                                           ColumnCase{"a", "A"}, ColumnCase{"[", "A"}, ColumnCase{"AA", "AA"},
                                           ColumnCase{"IA", "IA"}, ColumnCase{"IB", "A"}, ColumnCase{"ZZ", "A"},
                                           ColumnCase{"A1", "A"}, ColumnCase{"ABC", "AB"}, ColumnCase{"1", "A"}));

class StartColumnInputTest : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(StartColumnInputTest, LostFocusRule) {
  EXPECT_EQ(normalisedStartColumnInput(QString::fromUtf8(GetParam().stored)), QString::fromUtf8(GetParam().shown))
      << GetParam().stored;
}

INSTANTIATE_TEST_SUITE_P(Cases, StartColumnInputTest,
                         ::testing::Values(ColumnCase{"ab", "AB"}, ColumnCase{"b", "B"}, ColumnCase{"zz", "IA"},
                                           ColumnCase{"", "A"}, ColumnCase{"[", "Z"}, ColumnCase{"abc", "AB"},
                                           ColumnCase{"  c  ", "C"}, ColumnCase{"1", "A"}, ColumnCase{"a1", "A1"},
                                           ColumnCase{"iz", "IA"}, ColumnCase{"ia", "IA"}));

TEST_F(ConditionsPanelTest, StartColumnIsStoredWhenTheBoxLosesFocusAndSurvivesCancel) {
  panel.showCellConditions();
  view.texts[CondBox::StartCol] = QStringLiteral("ab");
  panel.TextStartCol_LostFocus();
  EXPECT_EQ(view.texts[CondBox::StartCol], QStringLiteral("AB"));
  EXPECT_EQ(values.cursor.column, QStringLiteral("AB"));
}

struct BoxCase {
  CondBox box;
  const char* typed;
  const char* shown;
};

class NormaliseBoxTest : public ConditionsPanelTest, public ::testing::WithParamInterface<BoxCase> {};

TEST_P(NormaliseBoxTest, LostFocus) {
  const BoxCase& c = GetParam();
  view.texts[c.box] = QString::fromUtf8(c.typed);
  switch (c.box) {
    case CondBox::Min:
      panel.TextMin_LostFocus();
      break;
    case CondBox::Rows:
      panel.TextRows_LostFocus();
      break;
    case CondBox::StartRow:
      panel.TextStartRow_LostFocus();
      break;
    case CondBox::CellNo:
      panel.TextCellNo_LostFocus();
      break;
    case CondBox::StartCol:
      break;
  }
  EXPECT_EQ(view.texts[c.box], QString::fromUtf8(c.shown)) << c.typed;
}

INSTANTIATE_TEST_SUITE_P(Cases, NormaliseBoxTest,
                         ::testing::Values(BoxCase{CondBox::Min, "0", "1"}, BoxCase{CondBox::Min, "abc", "1"},
                                           BoxCase{CondBox::Min, "500", "300"}, BoxCase{CondBox::Min, "2.5", "2"},
                                           BoxCase{CondBox::Min, "3.5", "4"}, BoxCase{CondBox::Min, "1.5", "2"},
                                           BoxCase{CondBox::Min, " 4 5 ", "45"}, BoxCase{CondBox::Min, "&H10", "16"},
                                           BoxCase{CondBox::Rows, "0", "1"}, BoxCase{CondBox::Rows, "10001", "10000"},
                                           BoxCase{CondBox::Rows, "007", "7"},
                                           BoxCase{CondBox::StartRow, "65001", "65000"},
                                           BoxCase{CondBox::StartRow, "-3", "1"}, BoxCase{CondBox::CellNo, "0", "1"},
                                           BoxCase{CondBox::CellNo, "123456", "123456"},
                                           BoxCase{CondBox::CellNo, "99999999999999", "2147483647"}));

TEST_F(ConditionsPanelTest, EnterKeys) {
  view.texts[CondBox::Min] = QStringLiteral("999");
  panel.TextMin_Enter();
  EXPECT_EQ(view.texts[CondBox::Min], QStringLiteral("300"));
  EXPECT_EQ(view.focused, CondBox::Rows);
  view.focused.reset();
  view.texts[CondBox::Rows] = QStringLiteral("0");
  panel.TextRows_Enter();
  EXPECT_EQ(view.texts[CondBox::Rows], QStringLiteral("1"));
  EXPECT_FALSE(view.focused.has_value());
  panel.TextStartCol_Enter();
  EXPECT_EQ(view.focused, CondBox::StartRow);
}

TEST_F(ConditionsPanelTest, OptionButtonsOnlyEnable) {
  panel.showCellConditions();
  panel.OptionCell_Click(1);
  EXPECT_TRUE(view.enabled[CondBox::StartCol]);
  EXPECT_TRUE(view.enabled[CondBox::StartRow]);
  panel.OptionCell_Click(0);
  EXPECT_FALSE(view.enabled[CondBox::StartRow]);
  panel.OptionNum_Click(1);
  EXPECT_TRUE(view.enabled[CondBox::CellNo]);
  EXPECT_FALSE(values.startAtCell);
}

TEST_F(ConditionsPanelTest, OkStoresEveryField) {
  panel.showCellConditions();
  view.texts[CondBox::Min] = QStringLiteral("45");
  view.texts[CondBox::Rows] = QStringLiteral("120");
  view.texts[CondBox::StartRow] = QStringLiteral("12");
  view.texts[CondBox::CellNo] = QStringLiteral("7");
  view.options[CondOption::Cell] = 1;
  view.options[CondOption::Time] = 2;
  view.options[CondOption::Num] = 1;
  view.options[CondOption::Protcol] = 1;
  panel.CommandCellOk();
  EXPECT_EQ(values.acquireTimeMs, 45 * 60000);
  EXPECT_EQ(values.rows, 120);
  EXPECT_EQ(values.cursor.row, 12);
  EXPECT_EQ(values.cursor.acquisitionNo, 7);
  EXPECT_TRUE(values.startAtCell);
  EXPECT_EQ(values.stamp, StampMode::Time);
  EXPECT_TRUE(values.numbering);
  EXPECT_TRUE(values.scriptFromFile);
  view.options[CondOption::Time] = 3;
  view.options[CondOption::Num] = 0;
  panel.CommandCellOk();
  EXPECT_EQ(values.stamp, StampMode::DateAndTime);
  EXPECT_FALSE(values.numbering);
}

TEST_F(ConditionsPanelTest, StampOptionsAndModesCorrespond) {
  const struct {
    int option;
    StampMode stored;
    int shown;  // when the panel opens again
  } cases[] = {{0, StampMode::None, 0},
               {1, StampMode::Date, 1},
               {2, StampMode::Time, 2},
               {3, StampMode::DateAndTime, 3},
               {-1, StampMode::DateAndTime, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    view.options[CondOption::Time] = c.option;
    panel.CommandCellOk();
    EXPECT_EQ(values.stamp, c.stored);
    EXPECT_EQ(storedAt(record, StampModeAt), c.shown);
    panel.showCellConditions();
    EXPECT_EQ(view.options[CondOption::Time], c.shown);
  }
}

TEST_F(ConditionsPanelTest, OkStoresHandMadeBooleansInTheRecordsOwnForm) {
  readHandMade(NumberingOnAt, 5);
  readHandMade(StartAtCellAt, 1);
  panel.showCellConditions();
  panel.CommandCellOk();
  EXPECT_EQ(storedAt(record, NumberingOnAt), -1);
  EXPECT_EQ(storedAt(record, StartAtCellAt), 0);
}

TEST_F(ConditionsPanelTest, OkKeepsHalfMinutesFromAnUnvisitedBox) {
  values.acquireTimeMs = 90000;
  panel.showCellConditions();
  panel.CommandCellOk();
  EXPECT_EQ(values.acquireTimeMs, 90000);
}

}  // namespace
}  // namespace kestrune::settings
