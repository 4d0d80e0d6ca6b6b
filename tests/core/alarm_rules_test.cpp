// The alarm settings of a workbook's section: what is read into rules, what
// is refused and with which key named, and rules written back as changes.
#include "core/alarm_rules.h"

#include <gtest/gtest.h>

namespace kestrune::alarm {
namespace {

TEST(AlarmRulesTest, SectionValuesGiveRulesOrARefusalNamingTheKey) {
  struct Case {
    const char* what;
    conf::Values values;
    std::optional<AlarmRules> rules;  // nullopt: refused
    QStringList named = {};           // what the refusal must name
  };
  const Case cases[] = {
      {"no alarm keys, other keys not looked at", {{"chart.hidden", "x"}}, AlarmRules{}},
      {"a range with margin and end, and silence",
       {{"alarm.D.high", "30"},
        {"alarm.D.low", "-1.5e1"},
        {"alarm.D.margin", "0.5"},
        {"alarm.D.end", "ON"},
        {"alarm.silence", "60"}},
       AlarmRules{{ColumnRule{.column = 4, .low = -15, .high = 30, .margin = 0.5, .endsRun = true}}, 60}},
      {"columns in order, the last one IV; a low equal to the high; step 0",
       {{"alarm.IV.step", "0"}, {"alarm.AB.low", "2"}, {"alarm.AB.high", "2"}, {"alarm.A.end", "off"}},
       AlarmRules{{ColumnRule{.column = 28, .low = 2, .high = 2}, ColumnRule{.column = 256, .step = 0}}, std::nullopt}},
      {"a margin as large as the step",
       {{"alarm.C.step", "2"}, {"alarm.C.margin", "2"}},
       AlarmRules{{ColumnRule{.column = 3, .step = 2, .margin = 2}}, std::nullopt}},
      {"not a number", {{"alarm.D.high", "3O"}}, std::nullopt, {"alarm.D.high=3O"}},
      {"infinity is not a number", {{"alarm.D.low", "inf"}}, std::nullopt, {"alarm.D.low=inf"}},
      {"a number with a thousands comma", {{"alarm.D.low", "1,000"}}, std::nullopt, {"alarm.D.low=1,000"}},
      {"a negative step", {{"alarm.D.step", "-1"}}, std::nullopt, {"alarm.D.step=-1"}},
      {"a negative margin", {{"alarm.D.high", "1"}, {"alarm.D.margin", "-0.1"}}, std::nullopt, {"alarm.D.margin=-0.1"}},
      {"a negative silence", {{"alarm.silence", "-5"}}, std::nullopt, {"alarm.silence=-5"}},
      {"no silence of 0 s", {{"alarm.silence", "0"}}, std::nullopt, {"alarm.silence=0"}},
      {"end neither on nor off", {{"alarm.D.end", "yes"}}, std::nullopt, {"alarm.D.end=yes"}},
      {"a low above the high",
       {{"alarm.D.high", "10"}, {"alarm.D.low", "10.5"}},
       std::nullopt,
       {"alarm.D.low=10.5", "alarm.D.high=10"}},
      {"a margin larger than the step",
       {{"alarm.E.step", "1"}, {"alarm.E.margin", "1.5"}},
       std::nullopt,
       {"alarm.E.margin=1.5"}},
      {"a column past IV", {{"alarm.IW.high", "1"}}, std::nullopt, {"alarm.IW.high", "IW"}},
      {"a column of three letters", {{"alarm.AAA.high", "1"}}, std::nullopt, {"alarm.AAA.high"}},
      {"a column in lower case", {{"alarm.d.high", "1"}}, std::nullopt, {"alarm.d.high"}},
      {"no column", {{"alarm..high", "1"}}, std::nullopt, {"alarm..high"}},
      {"an unknown field", {{"alarm.D.limit", "1"}}, std::nullopt, {"「alarm.D.limit」"}},
      {"an unknown key", {{"alarm.silent", "1"}}, std::nullopt, {"「alarm.silent」"}},
      {"every fault named at once",
       {{"alarm.D.high", "x"}, {"alarm.Q.step", "-2"}},
       std::nullopt,
       {"alarm.D.high=x", "alarm.Q.step=-2"}},
  };
  for (const Case& c : cases) {
    const Result<AlarmRules> parsed = parseRules(c.values);
    if (c.rules) {
      ASSERT_TRUE(parsed) << c.what << ": " << parsed.description().toStdString();
      EXPECT_EQ(*parsed, *c.rules) << c.what;
      // Written back into an empty section and read again: the same rules.
      conf::Values written;
      for (const auto& [key, value] : ruleChanges(*parsed)) {
        ASSERT_FALSE(value.isEmpty()) << c.what;
        written.insert(key, value);
      }
      EXPECT_EQ(parseRules(written).value(), *c.rules) << c.what;
      continue;
    }
    ASSERT_FALSE(parsed) << c.what;
    for (const QString& name : c.named)
      EXPECT_TRUE(parsed.description().contains(name)) << c.what << ": " << parsed.description().toStdString();
    // A fault of one key alone is refused by the check of that key alone.
    if (c.values.size() == 1) {
      EXPECT_FALSE(checkSetting(c.values.firstKey(), c.values.first())) << c.what;
    }
  }
}

TEST(AlarmRulesTest, ChangesSetTheRulesAndRemoveOtherAlarmKeysOnly) {
  const conf::Values current = {{"alarm.D.high", "30"},  {"alarm.D.margin", "1"}, {"alarm.E.step", "2"},
                                {"alarm.silence", "10"}, {"chart.hidden", "1"},   {"alarm.D.end", "off"}};
  const AlarmRules rules{{ColumnRule{.column = 4, .high = 0.1, .margin = 1}}, std::nullopt};
  const conf::Changes expected = {{"alarm.D.high", "0.1"},
                                  {"alarm.D.margin", "1"},
                                  {"alarm.D.end", ""},
                                  {"alarm.E.step", ""},
                                  {"alarm.silence", ""}};
  EXPECT_EQ(ruleChanges(rules, current), expected);
}

TEST(AlarmRulesTest, ColumnLettersRoundTripOverTheSheet) {
  for (int column = 1; column <= MaxColumn; ++column) ASSERT_EQ(columnNumber(columnLetters(column)), column) << column;
  EXPECT_EQ(columnLetters(28), QStringLiteral("AB"));
  EXPECT_EQ(columnLetters(256), QStringLiteral("IV"));
  EXPECT_TRUE(columnLetters(0).isEmpty());
  EXPECT_TRUE(columnLetters(257).isEmpty());
}

}  // namespace
}  // namespace kestrune::alarm
