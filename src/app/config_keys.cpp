#include "app/config_keys.h"

#include "core/alarm_rules.h"
#include "core/numeric_text.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <set>

namespace kestrune::app {

namespace {

using settings::Field;

const QString MsgRefusedValue = QStringLiteral("%1=%2 は使えません。%1 に使えるのは、%3です。");
const QString MsgUnknownKey = QStringLiteral("「%1」という項目はありません。項目は %2 です。");
const QString MsgNotAssignment = QStringLiteral("「%1」は 項目=値 の形ではありません。");
const QString MsgTwice = QStringLiteral("%1 が 2 回指定されています。");
const QString MsgNeedsWorkbook =
    QStringLiteral("%1 はワークブックごとの設定です。--workbook PATH でワークブックを指定してください。");

// The stamp option buttons' and the flow control codes' names, by code.
const std::array<QString, 4> StampNames = {QStringLiteral("none"), QStringLiteral("date"), QStringLiteral("time"),
                                           QStringLiteral("datetime")};
const std::array<QString, 4> FlowNames = {QStringLiteral("none"), QStringLiteral("xon"), QStringLiteral("rts"),
                                          QStringLiteral("rts-xon")};

// A refused value, with the reason where one is known.
struct Refusal {
  QString reason;
};
using Checked = std::variant<Change, Refusal>;
using Check = std::function<std::optional<Checked>(const QString&)>;

struct Key {
  QString name;
  QString accepts;
  Check check;
};

// A whole number of decimal digits within the field's range, or none.
std::optional<std::int32_t> wholeNumber(const QString& value, Field field) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
  if (!digits.match(value).hasMatch()) return std::nullopt;
  const qint64 number = value.toLongLong();
  const settings::Range range = settings::rangeOf(field);
  if (number < range.low || number > range.high) return std::nullopt;
  return static_cast<std::int32_t>(number);
}

// One of `names` regardless of case: its position.
template <std::size_t N>
std::optional<int> namedValue(const QString& value, const std::array<QString, N>& names) {
  for (std::size_t i = 0; i < N; ++i)
    if (value.compare(names.at(i), Qt::CaseInsensitive) == 0) return static_cast<int>(i);
  return std::nullopt;
}

// A key taking one of two names, setting a Boolean.
Check twoNames(const QString& onName, const QString& offName, bool settings::Conditions::*member) {
  return [onName, offName, member](const QString& v) -> std::optional<Checked> {
    bool on = false;
    if (v.compare(onName, Qt::CaseInsensitive) == 0)
      on = true;
    else if (v.compare(offName, Qt::CaseInsensitive) != 0)
      return std::nullopt;
    return Change([on, member](Pending& p) { p.settings.conditions.*member = on; });
  };
}

// A whole-number key within its field's range.
Check number(Field field, std::function<void(Pending&, std::int32_t)> set) {
  return [field, set](const QString& v) -> std::optional<Checked> {
    const auto n = wholeNumber(v, field);
    if (!n) return std::nullopt;
    return Change([set, n = *n](Pending& p) { set(p, n); });
  };
}

// The minutes box reads what is typed as a whole number, a half going to the
// even neighbour (2.5 gives 2, 3.5 gives 4); the value itself must lie within
// the range the panel shows beside the box.
std::optional<Checked> checkMinutes(const QString& value) {
  static const QRegularExpression decimal(QStringLiteral(R"(^([0-9]{1,6}(\.[0-9]{0,9})?|\.[0-9]{1,9})$)"));
  if (!decimal.match(value).hasMatch() || !settings::rangeOf(Field::Minutes).holds(readLeadingNumber(value)))
    return std::nullopt;
  const std::int32_t whole = readWholeNumber(value);
  return Change([whole](Pending& p) { p.settings.conditions.acquireTimeMs = whole * settings::MsPerMinute; });
}

// Whether the model finds nothing wrong with `field` in `conditions`.
template <typename Settings>
bool keeps(const Settings& values, std::initializer_list<Field> fields) {
  const std::vector<settings::Violation> found = settings::validate(values);
  return std::none_of(found.begin(), found.end(), [fields](const settings::Violation& v) {
    return std::find(fields.begin(), fields.end(), v.field) != fields.end();
  });
}

std::optional<Checked> checkStartCell(const QString& value) {
  static const QRegularExpression cell(QStringLiteral("^([A-Za-z]{1,2})([0-9]{1,5})$"));
  const QRegularExpressionMatch m = cell.match(value);
  if (!m.hasMatch()) return std::nullopt;
  settings::Conditions scratch;
  scratch.cursor.column = m.captured(1).toUpper();
  scratch.cursor.row = m.captured(2).toInt();
  if (!keeps(scratch, {Field::StartCell})) return std::nullopt;
  return Change([cursor = scratch.cursor](Pending& p) {
    p.settings.conditions.cursor.column = cursor.column;
    p.settings.conditions.cursor.row = cursor.row;
  });
}

// The settings text as the serial panel forms it from its lists.
std::optional<Checked> checkLine(const QString& value) {
  const Result<serial::PortConfig> config = serial::parseSettings(value);
  if (!config) return Checked(Refusal{config.description()});
  settings::LineSettings scratch;
  scratch.config = *config;
  if (!keeps(scratch, {Field::Speed, Field::Parity, Field::DataBits, Field::StopBits})) return std::nullopt;
  return Change([c = *config](Pending& p) {
    p.settings.line.config = c;
    p.lineGiven = true;
  });
}

std::optional<Checked> checkDevice(const QString& value) {
  const bool control =
      std::any_of(value.begin(), value.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
  if (!value.isEmpty() && (!value.startsWith(QLatin1Char('/')) || control || value != value.trimmed()))
    return std::nullopt;
  return Change([value](Pending& p) { p.device = value; });
}

// The broker settings of kestrune.conf, under the dialog's rules.
Check mqttCheck(const QString& key) {
  return [key](const QString& value) -> std::optional<Checked> {
    mqtt::MqttSettings scratch;
    if (const Status set = mqtt::assignSetting(scratch, key, value); !set) return Checked(Refusal{set.description()});
    return Change(
        [key, stored = mqtt::settingValue(scratch, key)](Pending& p) { mqtt::setSettingValue(p.mqtt, key, stored); });
  };
}

QString lineAccepts() {
  return QStringLiteral(
             "速度,パリティ,データビット,ストップビット（速度 %1、パリティ %2、データビット %3、"
             "ストップビット %4。例 9600,n,8,1）")
      .arg(settings::acceptedValues(Field::Speed), settings::acceptedValues(Field::Parity),
           settings::acceptedValues(Field::DataBits), settings::acceptedValues(Field::StopBits));
}

const std::vector<Key>& keyTable() {
  using settings::Conditions;
  static const std::vector<Key> keys = {
      {QStringLiteral("minutes"), settings::acceptedValues(Field::Minutes), checkMinutes},
      {QStringLiteral("rows"), settings::acceptedValues(Field::Rows),
       number(Field::Rows, [](Pending& p, std::int32_t n) { p.settings.conditions.rows = n; })},
      {QStringLiteral("start"), QStringLiteral("cell か current"),
       twoNames(QStringLiteral("cell"), QStringLiteral("current"), &Conditions::startAtCell)},
      {QStringLiteral("start-cell"), settings::acceptedValues(Field::StartCell), checkStartCell},
      {QStringLiteral("numbering"), QStringLiteral("on か off"),
       twoNames(QStringLiteral("on"), QStringLiteral("off"), &Conditions::numbering)},
      {QStringLiteral("number"), settings::acceptedValues(Field::AcquisitionNo),
       number(Field::AcquisitionNo,
              [](Pending& p, std::int32_t n) { p.settings.conditions.cursor.acquisitionNo = n; })},
      {QStringLiteral("stamp"), QStringLiteral("none、date、time、datetime のどれか"),
       [](const QString& v) -> std::optional<Checked> {
         const auto code = namedValue(v, StampNames);
         if (!code) return std::nullopt;
         return Change([mode = settings::stampModeOf(static_cast<std::int16_t>(*code))](Pending& p) {
           p.settings.conditions.stamp = mode;
         });
       }},
      {QStringLiteral("script"), QStringLiteral("builtin か file"),
       twoNames(QStringLiteral("file"), QStringLiteral("builtin"), &Conditions::scriptFromFile)},
      {QStringLiteral("port"), settings::acceptedValues(Field::Port),
       number(Field::Port,
              [](Pending& p, std::int32_t n) {
                p.settings.line.port = n;
                p.lineGiven = true;
              })},
      {QStringLiteral("line"), lineAccepts(), checkLine},
      {QStringLiteral("flow"), QStringLiteral("none、xon、rts、rts-xon のどれか"),
       [](const QString& v) -> std::optional<Checked> {
         const auto code = namedValue(v, FlowNames);
         if (!code) return std::nullopt;
         const Result<serial::FlowControl> flow = serial::flowControlFromCode(*code);
         if (!flow) return Checked(Refusal{flow.description()});
         return Change([f = *flow](Pending& p) {
           p.settings.line.flow = f;
           p.lineGiven = true;
         });
       }},
      {QStringLiteral("device"), QStringLiteral("/ で始まるデバイスのパス（空にすると既定のデバイス）"), checkDevice},
      {mqtt::KeyUrl, QStringLiteral("mqtt://ホスト[:ポート] か mqtts://ホスト[:ポート]（空にすると送信しません）"),
       mqttCheck(mqtt::KeyUrl)},
      {mqtt::KeyTopic, QStringLiteral("+ と # を含まないトピック（空にすると既定）"), mqttCheck(mqtt::KeyTopic)},
      {mqtt::KeyUser, QStringLiteral("ユーザー名（空にすると使いません）"), mqttCheck(mqtt::KeyUser)},
      {mqtt::KeyPasswordFile, QStringLiteral("あるファイルのパス（空にすると使いません）"),
       mqttCheck(mqtt::KeyPasswordFile)},
      {mqtt::KeyCaFile, QStringLiteral("あるファイルのパス（空にすると使いません）"), mqttCheck(mqtt::KeyCaFile)},
  };
  return keys;
}

// An alarm.* key of the workbook's section. Any of them may be removed (an
// empty value), so that one the program refuses can be taken out.
std::optional<QString> checkAlarm(const QString& name, const QString& value, bool workbookGiven,
                                  std::vector<Change>& changes) {
  if (!workbookGiven) return MsgNeedsWorkbook.arg(name);
  if (!value.isEmpty())
    if (const Status checked = alarm::checkSetting(name, value); !checked) return checked.description();
  changes.push_back([name, value](Pending& p) { p.alarms.insert(name, value); });
  return std::nullopt;
}

}  // namespace

QStringList configKeys() {
  QStringList keys;
  for (const Key& key : keyTable()) keys << key.name;
  return keys;
}

QString stampName(settings::StampMode mode) {
  return StampNames.at(static_cast<std::size_t>(settings::stampModeCode(mode)));
}

QString flowName(serial::FlowControl flow) {
  const int code = serial::handshakingCode(flow);
  return code >= 0 && code < static_cast<int>(FlowNames.size()) ? FlowNames.at(static_cast<std::size_t>(code))
                                                                : QString();
}

std::variant<std::vector<Change>, QStringList> checkAssignments(const QStringList& assignments, bool workbookGiven) {
  std::vector<Change> changes;
  QStringList refused;
  std::set<QString> seen;
  const QStringList keys = configKeys();
  for (const QString& assignment : assignments) {
    const qsizetype equals = assignment.indexOf(QLatin1Char('='));
    if (equals <= 0) {
      refused << MsgNotAssignment.arg(assignment);
      continue;
    }
    const QString name = assignment.left(equals);
    const QString value = assignment.mid(equals + 1);
    const auto& table = keyTable();
    const auto key = std::find_if(table.begin(), table.end(), [&name](const Key& k) { return k.name == name; });
    if (key == table.end() && !alarm::isAlarmKey(name)) {
      refused << MsgUnknownKey.arg(name, keys.join(QStringLiteral("、")));
      continue;
    }
    if (!seen.insert(name).second) {
      refused << MsgTwice.arg(name);
      continue;
    }
    // Every value is one line in its file: a line feed would add a line.
    if (const Status plain = mqtt::checkNoControlCharacter(name, value); !plain) {
      refused << plain.description();
      continue;
    }
    if (key == table.end()) {
      if (const auto message = checkAlarm(name, value, workbookGiven, changes)) refused << *message;
      continue;
    }
    const std::optional<Checked> checked = key->check(value);
    if (checked && std::holds_alternative<Change>(*checked)) {
      changes.push_back(std::get<Change>(*checked));
      continue;
    }
    QString message = MsgRefusedValue.arg(name, value, key->accepts);
    if (checked) message += QLatin1Char('\n') + std::get<Refusal>(*checked).reason;
    refused << message;
  }
  if (!refused.isEmpty()) return refused;
  return changes;
}

}  // namespace kestrune::app
