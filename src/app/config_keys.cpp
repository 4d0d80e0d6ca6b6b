#include "app/config_keys.h"

#include "core/alarm_rules.h"
#include "core/numeric_text.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <map>
#include <set>

namespace kestrune::app {

namespace {

using settings::Field;

const QString MsgRefusedValue = QStringLiteral("%1=%2 は使えません。%1 に使えるのは、%3です。");
const QString MsgUnknownKey = QStringLiteral("「%1」という項目はありません。項目は %2 です。");
const QString MsgNotAssignment = QStringLiteral("「%1」は 項目=値 の形ではありません。");
const QString MsgTwice = QStringLiteral("%1 が 2 回指定されています。");
const QString MsgOtherChannels = QStringLiteral("、port.N、line.N、flow.N、device.N（N は CH の番号 2～8）");
const QString MsgNoPort = QStringLiteral("CH%1 にはポートがありません。%2 を使うには %3 も指定してください。");
const QString MsgTwoDevices = QStringLiteral("%1 と %2 が同じ Com%3 に別のデバイスを指定しています。");
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
  // The key this one is another name of (port.1 of port); empty for none.
  QString aliasOf = {};
  // The channel of a line key (port, line, flow, device); -1 for the others.
  int channel = -1;
};

// The name of `base` for `channel`: channel 1's keys have none of their own.
QString channelKey(const QString& base, int channel) {
  return channel == 0 ? base : base + QStringLiteral(".%1").arg(channel + 1);
}

std::size_t slot(int channel) { return static_cast<std::size_t>(channel); }

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

// A channel's port number; channels other than 1 may be given none.
Check checkPort(int channel) {
  return [channel](const QString& v) -> std::optional<Checked> {
    std::optional<std::int32_t> port;
    if (channel > 0 && v.compare(QStringLiteral("none"), Qt::CaseInsensitive) == 0)
      port = settings::NoPort;
    else
      port = wholeNumber(v, Field::Port);
    if (!port) return std::nullopt;
    return Change([channel, n = *port](Pending& p) {
      p.settings.lines.at(slot(channel)).port = n;
      p.lineGiven.at(slot(channel)) = true;
    });
  };
}

// The settings text as the serial panel forms it from its lists.
Check checkLine(int channel) {
  return [channel](const QString& value) -> std::optional<Checked> {
    const Result<serial::PortConfig> config = serial::parseSettings(value);
    if (!config) return Checked(Refusal{config.description()});
    settings::LineSettings scratch;
    scratch.config = *config;
    if (!keeps(scratch, {Field::Speed, Field::Parity, Field::DataBits, Field::StopBits})) return std::nullopt;
    return Change([channel, c = *config](Pending& p) {
      p.settings.lines.at(slot(channel)).config = c;
      p.lineGiven.at(slot(channel)) = p.needsPort.at(slot(channel)) = true;
    });
  };
}

Check checkFlow(int channel) {
  return [channel](const QString& v) -> std::optional<Checked> {
    const auto code = namedValue(v, FlowNames);
    if (!code) return std::nullopt;
    const Result<serial::FlowControl> flow = serial::flowControlFromCode(*code);
    if (!flow) return Checked(Refusal{flow.description()});
    return Change([channel, f = *flow](Pending& p) {
      p.settings.lines.at(slot(channel)).flow = f;
      p.lineGiven.at(slot(channel)) = p.needsPort.at(slot(channel)) = true;
    });
  };
}

Check checkDevice(int channel) {
  return [channel](const QString& value) -> std::optional<Checked> {
    const bool control =
        std::any_of(value.begin(), value.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
    if (!value.isEmpty() && (!value.startsWith(QLatin1Char('/')) || control || value != value.trimmed()))
      return std::nullopt;
    return Change([channel, value](Pending& p) {
      p.devices.at(slot(channel)) = value;
      p.needsPort.at(slot(channel)) = true;
    });
  };
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

// The web view's settings of kestrune.conf.
Check webCheck(const QString& key) {
  return [key](const QString& value) -> std::optional<Checked> {
    web::WebSettings scratch;
    if (const Status set = web::assignSetting(scratch, key, value); !set) return Checked(Refusal{set.description()});
    return Change(
        [key, stored = web::settingValue(scratch, key)](Pending& p) { web::setSettingValue(p.web, key, stored); });
  };
}

// The run options of kestrune.conf.
Check optionCheck(const QString& key) {
  return [key](const QString& value) -> std::optional<Checked> {
    RunOptions scratch;
    if (const Status set = run_options::assignSetting(scratch, key, value); !set)
      return Checked(Refusal{set.description()});
    return Change([key, stored = run_options::settingValue(scratch, key)](Pending& p) {
      static_cast<void>(run_options::assignSetting(p.options, key, stored));
    });
  };
}

QString lineAccepts() {
  return QStringLiteral(
             "速度,パリティ,データビット,ストップビット（速度 %1、パリティ %2、データビット %3、"
             "ストップビット %4。例 9600,n,8,1）")
      .arg(settings::acceptedValues(Field::Speed), settings::acceptedValues(Field::Parity),
           settings::acceptedValues(Field::DataBits), settings::acceptedValues(Field::StopBits));
}

// The keys of one channel's line; `aliasOf` names channel 1's own keys for
// the aliases port.1 and the like.
std::vector<Key> lineKeys(int channel, const QString& suffix = {}, bool alias = false) {
  const QStringList bases = channelKeys(0);
  const QString port = channel == 0 ? settings::acceptedValues(Field::Port)
                                    : settings::acceptedValues(Field::Port) + QStringLiteral("か none（ポートなし）");
  const QStringList accepts = {port, lineAccepts(), QStringLiteral("none、xon、rts、rts-xon のどれか"),
                               QStringLiteral("/ で始まるデバイスのパス（空にすると既定のデバイス）")};
  const std::vector<Check> checks = {checkPort(channel), checkLine(channel), checkFlow(channel), checkDevice(channel)};
  std::vector<Key> keys;
  for (qsizetype i = 0; i < bases.size(); ++i)
    keys.push_back({bases.at(i) + suffix, accepts.at(i), checks.at(static_cast<std::size_t>(i)),
                    alias ? bases.at(i) : QString(), channel});
  return keys;
}

const std::vector<Key>& keyTable() {
  using settings::Conditions;
  static const std::vector<Key> keys = [] {
    std::vector<Key> table = {
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
        {mqtt::KeyUrl, QStringLiteral("mqtt://ホスト[:ポート] か mqtts://ホスト[:ポート]（空にすると送信しません）"),
         mqttCheck(mqtt::KeyUrl)},
        {mqtt::KeyTopic, QStringLiteral("+ と # を含まないトピック（空にすると既定）"), mqttCheck(mqtt::KeyTopic)},
        {mqtt::KeyUser, QStringLiteral("ユーザー名（空にすると使いません）"), mqttCheck(mqtt::KeyUser)},
        {mqtt::KeyPasswordFile, QStringLiteral("あるファイルのパス（空にすると使いません）"),
         mqttCheck(mqtt::KeyPasswordFile)},
        {mqtt::KeyCaFile, QStringLiteral("あるファイルのパス（空にすると使いません）"), mqttCheck(mqtt::KeyCaFile)},
        {web::KeyListen,
         QStringLiteral("127.0.0.1:ポート、[::1]:ポート、0.0.0.0:ポート、[::]:ポート、localhost:ポート のどれか"
                        "（空にすると Web 表示を使いません）"),
         webCheck(web::KeyListen)},
        {web::KeyCertFile, QStringLiteral("あるファイルのパス（空にすると使いません）"), webCheck(web::KeyCertFile)},
        {web::KeyKeyFile, QStringLiteral("あるファイルのパス（空にすると使いません）"), webCheck(web::KeyKeyFile)},
        {KeyStampPrecision, run_options::acceptedValues(KeyStampPrecision), optionCheck(KeyStampPrecision)},
        {KeyRecord, run_options::acceptedValues(KeyRecord), optionCheck(KeyRecord)},
        {KeyFullSheet, run_options::acceptedValues(KeyFullSheet), optionCheck(KeyFullSheet)},
    };
    // Channel 1's keys after the conditions, the other channels' at the end.
    const auto afterScript =
        std::find_if(table.begin(), table.end(), [](const Key& k) { return k.name == QLatin1String("script"); }) + 1;
    const std::vector<Key> first = lineKeys(0);
    table.insert(afterScript, first.begin(), first.end());
    for (int channel = 1; channel < serial::ChannelCount; ++channel)
      for (Key& key : lineKeys(channel, QStringLiteral(".%1").arg(channel + 1))) table.push_back(std::move(key));
    for (Key& key : lineKeys(0, QStringLiteral(".1"), true)) table.push_back(std::move(key));
    return table;
  }();
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
  for (const Key& key : keyTable())
    if (key.aliasOf.isEmpty() && key.channel <= 0) keys << key.name;
  return keys;
}

QStringList channelKeys(int channel) {
  QStringList keys;
  for (const char* base : {"port", "line", "flow", "device"}) keys << channelKey(QLatin1String(base), channel);
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
      refused << MsgUnknownKey.arg(name, keys.join(QStringLiteral("、")) + MsgOtherChannels);
      continue;
    }
    if (!seen.insert(key == table.end() || key->aliasOf.isEmpty() ? name : key->aliasOf).second) {
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

QStringList conflicts(const Pending& pending) {
  QStringList found;
  // The first channel naming each port's device, by port.
  std::map<int, int> devicesByPort;
  for (int channel = 0; channel < serial::ChannelCount; ++channel) {
    const int port = pending.settings.lines.at(slot(channel)).port;
    if (pending.needsPort.at(slot(channel)) && port == settings::NoPort) {
      const QStringList names = channelKeys(channel);
      found << MsgNoPort.arg(channel + 1).arg(names.mid(1).join(QStringLiteral("、")), names.at(0));
      continue;
    }
    const auto& device = pending.devices.at(slot(channel));
    if (!device) continue;
    const auto [first, added] = devicesByPort.emplace(port, channel);
    if (!added && *pending.devices.at(slot(first->second)) != *device)
      found << MsgTwoDevices.arg(channelKeys(first->second).at(3), channelKeys(channel).at(3)).arg(port);
  }
  return found;
}

}  // namespace kestrune::app
