#include "core/alarm_rules.h"

#include <QLocale>

#include <cmath>
#include <map>
#include <variant>

namespace kestrune::alarm {

namespace {

const QString MsgUnknownKey = QStringLiteral(
    "「%1」というアラームの項目はありません。使えるのは alarm.列.high、alarm.列.low、alarm.列.step、"
    "alarm.列.margin、alarm.列.end（列は A～IV）と alarm.silence です。");
const QString MsgBadColumn = QStringLiteral("%1 の列「%2」は使えません。列は A～IV（大文字）です。");
const QString MsgNotNumber = QStringLiteral("%1=%2 は使えません。%1 には数値を書きます。");
const QString MsgNegative = QStringLiteral("%1=%2 は使えません。%1 は 0 以上の数値です。");
const QString MsgSilence = QStringLiteral("%1=%2 は使えません。%1 は 0 より大きい秒数です。");
const QString MsgOnOff = QStringLiteral("%1=%2 は使えません。%1 は on か off です。");
const QString MsgLowAboveHigh =
    QStringLiteral("alarm.%1.low=%2 が alarm.%1.high=%3 より大きくなっています。下限は上限以下にしてください。");
const QString MsgMarginAboveStep = QStringLiteral(
    "alarm.%1.margin=%2 が alarm.%1.step=%3 より大きいと、変化幅のアラームが解除されません。margin は step "
    "以下にしてください。");

enum class Field { High, Low, Step, Margin, End, Silence };

struct ParsedKey {
  Field field;
  int column = 0;
};

const QString On = QStringLiteral("on");
const QString Off = QStringLiteral("off");

// The key's field and column, or the refusal naming it.
std::variant<ParsedKey, QString> parseKey(const QString& key) {
  if (key == KeySilence) return ParsedKey{Field::Silence};
  const QStringList parts = key.split(QLatin1Char('.'));
  static const std::map<QString, Field> fields = {
      {QStringLiteral("high"), Field::High}, {QStringLiteral("low"), Field::Low},
      {QStringLiteral("step"), Field::Step}, {QStringLiteral("margin"), Field::Margin},
      {QStringLiteral("end"), Field::End},
  };
  const auto field = parts.size() == 3 ? fields.find(parts.at(2)) : fields.end();
  if (parts.at(0) + QLatin1Char('.') != KeyPrefix || field == fields.end()) return MsgUnknownKey.arg(key);
  const std::optional<int> column = columnNumber(parts.at(1));
  if (!column) return MsgBadColumn.arg(key, parts.at(1));
  return ParsedKey{field->second, *column};
}

std::optional<double> finiteNumber(const QString& text) {
  if (text != text.trimmed()) return std::nullopt;
  bool ok = false;
  const double value = text.toDouble(&ok);
  if (!ok || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The value of a field: a number (or for end, whether on), or the refusal.
std::variant<double, QString> parseValue(const QString& key, Field field, const QString& value) {
  if (field == Field::End) {
    if (value.compare(On, Qt::CaseInsensitive) == 0) return 1.0;
    if (value.compare(Off, Qt::CaseInsensitive) == 0) return 0.0;
    return MsgOnOff.arg(key, value);
  }
  const std::optional<double> number = finiteNumber(value);
  if (!number) return MsgNotNumber.arg(key, value);
  if (field == Field::Silence && *number <= 0) return MsgSilence.arg(key, value);
  if ((field == Field::Step || field == Field::Margin) && *number < 0) return MsgNegative.arg(key, value);
  return *number;
}

}  // namespace

QString columnLetters(int column) {
  if (column < 1 || column > MaxColumn) return {};
  QString letters;
  for (int n = column; n > 0; n = (n - 1) / 26) letters.prepend(QChar(static_cast<char16_t>(u'A' + (n - 1) % 26)));
  return letters;
}

std::optional<int> columnNumber(const QString& letters) {
  if (letters.isEmpty() || letters.size() > 2) return std::nullopt;
  int column = 0;
  for (const QChar c : letters) {
    if (c < QLatin1Char('A') || c > QLatin1Char('Z')) return std::nullopt;
    column = column * 26 + (c.unicode() - u'A' + 1);
  }
  if (column > MaxColumn) return std::nullopt;
  return column;
}

bool isAlarmKey(const QString& key) { return key.startsWith(KeyPrefix); }

QString numberText(double value) { return QString::number(value, 'g', QLocale::FloatingPointShortest); }

Status checkSetting(const QString& key, const QString& value) {
  const auto parsed = parseKey(key);
  if (const QString* refused = std::get_if<QString>(&parsed)) return fail(conf::ConfError::BadKey, *refused);
  if (value.isEmpty()) return {};
  const auto checked = parseValue(key, std::get<ParsedKey>(parsed).field, value);
  if (const QString* refused = std::get_if<QString>(&checked)) return fail(conf::ConfError::BadValue, *refused);
  return {};
}

Result<AlarmRules> parseRules(const conf::Values& values) {
  QStringList refused;
  bool badValue = false;
  AlarmRules rules;
  std::map<int, ColumnRule> columns;
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (!isAlarmKey(it.key())) continue;
    const auto parsed = parseKey(it.key());
    if (const QString* message = std::get_if<QString>(&parsed)) {
      refused << *message;
      continue;
    }
    const auto [field, column] = std::get<ParsedKey>(parsed);
    const auto value = parseValue(it.key(), field, it.value());
    if (const QString* message = std::get_if<QString>(&value)) {
      refused << *message;
      badValue = true;
      continue;
    }
    const double number = std::get<double>(value);
    if (field == Field::Silence) {
      rules.silenceSeconds = number;
      continue;
    }
    ColumnRule& rule = columns[column];
    rule.column = column;
    switch (field) {
      case Field::High:
        rule.high = number;
        break;
      case Field::Low:
        rule.low = number;
        break;
      case Field::Step:
        rule.step = number;
        break;
      case Field::Margin:
        rule.margin = number;
        break;
      case Field::End:
        rule.endsRun = number != 0;
        break;
      case Field::Silence:
        break;
    }
  }
  for (const auto& [column, rule] : columns) {
    const QString letters = columnLetters(column);
    if (rule.low && rule.high && *rule.low > *rule.high) {
      refused << MsgLowAboveHigh.arg(letters, numberText(*rule.low), numberText(*rule.high));
      badValue = true;
    }
    if (rule.step && rule.margin > *rule.step) {
      refused << MsgMarginAboveStep.arg(letters, numberText(rule.margin), numberText(*rule.step));
      badValue = true;
    }
    // A column left with nothing but defaults (end=off, margin=0) has no rule.
    if (!(rule == ColumnRule{.column = column})) rules.columns.push_back(rule);
  }
  if (!refused.isEmpty())
    return fail(badValue ? conf::ConfError::BadValue : conf::ConfError::BadKey, refused.join(QLatin1Char('\n')));
  return rules;
}

conf::Changes ruleChanges(const AlarmRules& rules, const conf::Values& current) {
  conf::Changes changes;
  QStringList kept;
  const auto set = [&changes, &kept](const QString& key, const QString& value) {
    changes.append({key, value});
    kept << key;
  };
  for (const ColumnRule& rule : rules.columns) {
    const QString base = KeyPrefix + columnLetters(rule.column) + QLatin1Char('.');
    if (rule.high) set(base + QStringLiteral("high"), numberText(*rule.high));
    if (rule.low) set(base + QStringLiteral("low"), numberText(*rule.low));
    if (rule.step) set(base + QStringLiteral("step"), numberText(*rule.step));
    if (rule.margin != 0) set(base + QStringLiteral("margin"), numberText(rule.margin));
    if (rule.endsRun) set(base + QStringLiteral("end"), On);
  }
  if (rules.silenceSeconds) set(KeySilence, numberText(*rules.silenceSeconds));
  for (auto it = current.begin(); it != current.end(); ++it)
    if (isAlarmKey(it.key()) && !kept.contains(it.key())) changes.append({it.key(), QString()});
  return changes;
}

}  // namespace kestrune::alarm
