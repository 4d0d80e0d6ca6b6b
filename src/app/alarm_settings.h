// What the alarm dialog edits: one row of text per worksheet column and the
// silence time, taken from a workbook's section of kestrune.conf and turned
// back into key changes after the same checks `kestrune config` makes.
#pragma once

#include "core/conf_text.h"
#include "core/result.h"
#include "settings/settings_model.h"

#include <QString>

#include <vector>

namespace kestrune::app {

// Captions of the rule fields, also used to name a field at fault.
inline const QString CapAlarmHigh = QStringLiteral("上限");
inline const QString CapAlarmLow = QStringLiteral("下限");
inline const QString CapAlarmStep = QStringLiteral("変化幅");
inline const QString CapAlarmMargin = QStringLiteral("解除の幅");
inline const QString CapAlarmEnd = QStringLiteral("取得を終える");
inline const QString CapAlarmSilence = QStringLiteral("無応答（秒）");

// The rules of one column as the dialog shows them: empty text is no rule.
struct AlarmRowText {
  int column = 0;  // 1-based
  QString high = {};
  QString low = {};
  QString step = {};
  QString margin = {};
  bool endsRun = false;
  friend bool operator==(const AlarmRowText&, const AlarmRowText&) = default;
};

struct AlarmTableText {
  std::vector<AlarmRowText> rows = {};  // by column
  QString silence = {};
  friend bool operator==(const AlarmTableText&, const AlarmTableText&) = default;
};

// The number of value columns shown when the last run's rows are unknown.
inline constexpr int DefaultAlarmColumns = 10;

// The first column a run writes values to: the start column, after the
// number and the stamp when those are on; 0 when the start column is unusable.
int firstValueColumn(const settings::Conditions& conditions);

// The rows for `count` columns from `first` (clipped to the sheet) and for
// every column the section's alarm keys name, each with the section's text
// as it stands (so a value the checks refuse is shown to be mended).
AlarmTableText alarmTable(int first, int count, const conf::Values& section);

// The changes that make `current` (the section read now) hold what `table`
// says: every field checked as `kestrune config` checks it, then the rules
// as a whole. A refusal names each column and field at fault, one a line.
Result<conf::Changes> alarmTableChanges(const AlarmTableText& table, const conf::Values& current);

}  // namespace kestrune::app
