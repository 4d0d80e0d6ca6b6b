// Alarm rules on the worksheet columns of a run's rows, and their settings in
// a workbook's section of kestrune.conf:
//   alarm.D.high=30  alarm.D.low=10  alarm.D.step=5  alarm.D.margin=0.5
//   alarm.D.end=on   alarm.silence=60
// One function reads and checks them (the config command and the alarm
// dialog share it), one writes them back as key changes.
#pragma once

#include "core/conf_text.h"
#include "core/result.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kestrune::alarm {

// The columns a worksheet has: A to IV.
inline constexpr int MaxColumn = 256;

// "A" for 1, "AB" for 28; empty outside 1..MaxColumn.
QString columnLetters(int column);
// 1 for "A", 256 for "IV"; nullopt for anything else (lower case included).
std::optional<int> columnNumber(const QString& letters);

// The rules of one worksheet column. High and low are two alarms, a range
// when both are set; step bounds the change between two numbers of the
// column. An alarm raised clears only once the value is back by `margin`.
struct ColumnRule {
  int column = 0;  // 1-based
  std::optional<double> low = {};
  std::optional<double> high = {};
  std::optional<double> step = {};
  double margin = 0;
  bool endsRun = false;  // a raised alarm of this column asks to end the run

  // Whether the column has a rule on its numbers.
  bool numeric() const { return low || high || step; }
  friend bool operator==(const ColumnRule&, const ColumnRule&) = default;
};

struct AlarmRules {
  std::vector<ColumnRule> columns;       // by column, one each
  std::optional<double> silenceSeconds;  // no row for this long raises an alarm

  bool empty() const { return columns.empty() && !silenceSeconds; }
  friend bool operator==(const AlarmRules&, const AlarmRules&) = default;
};

inline const QString KeyPrefix = QStringLiteral("alarm.");
inline const QString KeySilence = QStringLiteral("alarm.silence");

// Whether `key` belongs to the alarm settings (starts with "alarm.").
bool isAlarmKey(const QString& key);

// Checks one key and its value on their own: the key's form and column, the
// value's number and sign. An empty value stands for a key being removed and
// passes. A refusal (conf::ConfError::BadKey or BadValue) says what is wrong,
// naming the key.
Status checkSetting(const QString& key, const QString& value);

// The rules of a workbook section's values (keys other than alarm.* are not
// looked at). Refuses, naming each key at fault on a line of the description:
// a value that is not a number (or on/off for end), a negative step, margin or
// silence (silence must be more than 0), a margin larger than its column's
// step, a low above its high, a column outside A to IV and an unknown alarm.*
// key (conf::ConfError::BadValue, or BadKey when only keys are at fault).
Result<AlarmRules> parseRules(const conf::Values& values);

// The key=value changes that make a section hold `rules`: every key of the
// rules set, every other alarm.* key of `current` removed.
conf::Changes ruleChanges(const AlarmRules& rules, const conf::Values& current = {});

// A number as the settings write it: the shortest text that reads back the same.
QString numberText(double value);

}  // namespace kestrune::alarm
