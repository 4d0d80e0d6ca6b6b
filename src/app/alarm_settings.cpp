#include "app/alarm_settings.h"

#include "core/alarm_rules.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <set>

namespace kestrune::app {

namespace {

const QString MsgFieldAtFault = QStringLiteral("%1列の%2：%3");
const QString MsgSilenceAtFault = QStringLiteral("%1：%2");
const QString On = QStringLiteral("on");

// A rule field: its key's last part, its caption and its text in a row.
struct TextField {
  const char* name;
  const QString* caption;
  QString AlarmRowText::*text;
};
const std::array<TextField, 4> TextFields = {{
    {"high", &CapAlarmHigh, &AlarmRowText::high},
    {"low", &CapAlarmLow, &AlarmRowText::low},
    {"step", &CapAlarmStep, &AlarmRowText::step},
    {"margin", &CapAlarmMargin, &AlarmRowText::margin},
}};

QString ruleKey(int column, const char* field) {
  return alarm::KeyPrefix + alarm::columnLetters(column) + QLatin1Char('.') + QLatin1String(field);
}

}  // namespace

int firstValueColumn(const settings::Conditions& conditions) {
  const std::optional<int> start = alarm::columnNumber(conditions.cursor.column.trimmed().toUpper());
  if (!start) return 0;
  return *start + (conditions.numbering ? 1 : 0) + (conditions.stamp != settings::StampMode::None ? 1 : 0);
}

AlarmTableText alarmTable(int first, int count, const conf::Values& section) {
  std::set<int> columns;
  for (int column = std::max(first, 1); first > 0 && column < first + count && column <= alarm::MaxColumn; ++column)
    columns.insert(column);
  for (auto it = section.begin(); it != section.end(); ++it) {
    const QStringList parts = it.key().split(QLatin1Char('.'));
    if (parts.size() != 3 || !alarm::isAlarmKey(it.key())) continue;
    if (const std::optional<int> column = alarm::columnNumber(parts.at(1))) columns.insert(*column);
  }
  AlarmTableText table;
  for (const int column : columns) {
    AlarmRowText row{.column = column};
    for (const TextField& field : TextFields) row.*field.text = section.value(ruleKey(column, field.name));
    row.endsRun = section.value(ruleKey(column, "end")).compare(On, Qt::CaseInsensitive) == 0;
    table.rows.push_back(row);
  }
  table.silence = section.value(alarm::KeySilence);
  return table;
}

Result<conf::Changes> alarmTableChanges(const AlarmTableText& table, const conf::Values& current) {
  conf::Values values;
  QStringList refused;
  for (const AlarmRowText& row : table.rows) {
    for (const TextField& field : TextFields) {
      const QString key = ruleKey(row.column, field.name);
      const QString text = (row.*field.text).trimmed();
      if (text.isEmpty()) continue;
      if (const Status checked = alarm::checkSetting(key, text); !checked)
        refused << MsgFieldAtFault.arg(alarm::columnLetters(row.column), *field.caption, checked.description());
      else
        values.insert(key, text);
    }
    if (row.endsRun) values.insert(ruleKey(row.column, "end"), On);
  }
  if (const QString silence = table.silence.trimmed(); !silence.isEmpty()) {
    if (const Status checked = alarm::checkSetting(alarm::KeySilence, silence); !checked)
      refused << MsgSilenceAtFault.arg(CapAlarmSilence, checked.description());
    else
      values.insert(alarm::KeySilence, silence);
  }
  if (!refused.isEmpty()) return fail(conf::ConfError::BadValue, refused.join(QLatin1Char('\n')));
  // The checks between fields (low above high, margin above step).
  const Result<alarm::AlarmRules> rules = alarm::parseRules(values);
  if (!rules) return rules.error();
  return alarm::ruleChanges(*rules, current);
}

}  // namespace kestrune::app
