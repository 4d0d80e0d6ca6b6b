#include "app/config_command.h"

#include "app/setup_port.h"
#include "core/numeric_text.h"
#include "mqtt/mqtt_settings.h"
#include "serial/port_config.h"
#include "serial/port_map.h"
#include "serial/serial_panel.h"
#include "serial/termios_port.h"
#include "settings/conditions_panel.h"
#include "settings/setup_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <variant>
#include <vector>

namespace kestrune::app {

namespace {

using settings::CondBox;
using settings::CondOption;
using settings::SetupRecord;

const QString Prefix = QStringLiteral("kestrune config: ");

const QString MsgRefusedValue = QStringLiteral("%1=%2 は使えません。%1 に使えるのは、%3です。");
const QString MsgUnknownKey = QStringLiteral("「%1」という項目はありません。項目は %2 です。");
const QString MsgNotAssignment = QStringLiteral("「%1」は 項目=値 の形ではありません。");
const QString MsgTwice = QStringLiteral("%1 が 2 回指定されています。");
const QString MsgUnknownOption = QStringLiteral("オプション「%1」はありません（--dir FOLDER と --help だけです）。");
const QString MsgDirWithoutFolder = QStringLiteral("--dir のあとにフォルダーを指定してください。");
const QString MsgNothingWritten = QStringLiteral("何も書き込んでいません。");
const QString MsgDamaged = QStringLiteral(
    "%1 を読み込めません。壊れているか、ファイルではありません。ファイルを別の名前にしてから "
    "kestrune config で設定し直すと、新しい setup.dat ができます。");
const QString MsgMapUnusable = QStringLiteral("ports.conf を使えません。");
const QString MsgPortRefused = QStringLiteral(
    "%1 の Com ポートの値（port、line、flow）にプログラムが受け付けないものがあります。プログラムと同じく、"
    "受け付けたところまでと既定値を表示します。");
const QString MsgCorrected = QStringLiteral(
    "%1 の %2 は範囲の外の値です。データ取得条件の画面が開くときと同じく直して表示します（ファイルはそのままです）。");
const QString MsgSetupNotSaved = QStringLiteral("%1 に保存できませんでした。setup.dat は元のままです。");
const QString MsgRolledBack = QStringLiteral("ports.conf は元に戻しました。");
const QString MsgNotRolledBack = QStringLiteral("ports.conf を元に戻せませんでした：%1");
const QString MsgConfRolledBack = QStringLiteral("kestrune.conf は元に戻しました。");
const QString MsgConfNotRolledBack = QStringLiteral("kestrune.conf を元に戻せませんでした：%1");

const QString Usage = QStringLiteral(
    "使い方: kestrune config [--dir FOLDER] [KEY=VALUE ...]\n"
    "setup.dat と ports.conf の設定を key=value の行で表示します。KEY=VALUE を付けると、すべての値を確かめて"
    "から設定し、保存して表示します。\n"
    "項目:\n"
    "  minutes     データ取得時間（分、1～300。小数は画面と同じく整数に丸めます）\n"
    "  rows        データ測定数（1～10000）\n"
    "  start       開始セル: cell（指定したセル）か current（カレントセル）\n"
    "  start-cell  開始セル（列 A～Z、AA～IA と行 1～65000。例 B3）\n"
    "  numbering   取得番号を付けるか: on か off\n"
    "  number      次の取得番号（1 以上）\n"
    "  stamp       日時の挿入: none、date、time、datetime\n"
    "  script      スクリプト: builtin（なし）か file（ファイル記述）\n"
    "  port        Com ポートの番号（1～8）\n"
    "  line        速度,パリティ,データビット,ストップビット（例 9600,n,8,1）\n"
    "  flow        フロー制御: none、xon、rts、rts-xon\n"
    "  device      port のデバイス（ports.conf）。空にすると既定（/dev/ttyS<番号-1>）\n"
    "  mqtt.url            MQTT ブローカー（kestrune.conf）: mqtt://ホスト[:ポート] か mqtts://ホスト[:ポート]。"
    "空にすると送信しません\n"
    "  mqtt.topic          トピック。{host} と {workbook} が置き換わります（既定 kestrune/{host}/{workbook}）\n"
    "  mqtt.user           ユーザー名\n"
    "  mqtt.password-file  パスワードを 1 行目に書いたファイル\n"
    "  mqtt.ca-file        mqtts で使う CA 証明書のファイル\n"
    "終了コード: 0 成功、1 保存できなかった、2 値や引数の誤り、または setup.dat か ports.conf が使えない\n");

// The stamp option buttons' and the flow control list's positions by name.
const std::array<QString, 4> StampNames = {QStringLiteral("none"), QStringLiteral("date"), QStringLiteral("time"),
                                           QStringLiteral("datetime")};
const std::array<QString, 4> FlowNames = {QStringLiteral("none"), QStringLiteral("xon"), QStringLiteral("rts"),
                                          QStringLiteral("rts-xon")};

// Keeps what loading and saving would show in a message box, as lines.
// A failure as lines of text: its message, and its detail when it has one.
QStringList errorLines(const Error& error) {
  QStringList lines{error.description};
  if (!error.detail.isEmpty()) lines << error.detail;
  return lines;
}

// The conditions panel's boxes and options in memory. The panel's own logic
// fills them, so the listing shows what the panel shows.
class ShownConditions final : public settings::ConditionsView {
public:
  QString text(CondBox box) const override { return texts.at(static_cast<std::size_t>(box)); }
  void setText(CondBox box, const QString& text) override { texts.at(static_cast<std::size_t>(box)) = text; }
  void setBoxEnabled(CondBox, bool) override {}
  int selectedOption(CondOption group) const override { return options.at(static_cast<std::size_t>(group)); }
  void selectOption(CondOption group, int index) override { options.at(static_cast<std::size_t>(group)) = index; }
  void focusBox(CondBox) override {}

  std::array<QString, 5> texts;
  std::array<int, 4> options{-1, -1, -1, -1};
};

// The settings folder as the program sees it when it starts: setup.dat's
// record as stored (or as a new file starts), channel 0's port as the program
// sets it from slot 0, and the port map.
struct Current {
  SetupRecord stored;
  bool fileExists = false;
  int port = 1;
  QString line;
  serial::FlowControl flow = serial::FlowControl::None;
  serial::PortMap map;
  mqtt::MqttSettings mqtt;
};

// The record a new setup.dat starts with: the conditions the panel shows for
// an empty record, and slot 0 holding the port's values as the program stores
// them when it leaves. So the listing and a new file agree.
SetupRecord newRecord(const serial::Port& port) {
  SetupRecord record;
  ShownConditions shown;
  settings::ConditionsPanel(record, shown).showCellConditions();
  record.commPort[0] = static_cast<std::int16_t>(port.commPort());
  record.commSettings[0] = port.settings().toLatin1();
  record.setHandshaking(0, slotFlowControl(port.handshaking()));
  return record;
}

// Why a setup.dat that loadSetup refused cannot be used, as far as the
// record says.
QString damageReason(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return file.errorString();
  SetupRecord scratch;
  return settings::decodeSetupRecord(file.read(static_cast<qint64>(settings::SetupRecordSize)), scratch).description();
}

Result<Current> loadCurrent(const settings::SettingsFolder& folder, QStringList& notes) {
  Current now;
  now.map = serial::PortMap::load(folder.readPath(serial::PortMapFileName));
  if (!now.map.error().isEmpty()) return fail(MsgMapUnusable + QLatin1Char('\n') + now.map.error());

  // A port that is never opened: it only takes slot 0's values as the
  // program's port would, refusing the same ones.
  serial::TermiosPort port(now.map);
  const QString path = folder.readPath(settings::SetupFileName);
  const Result<settings::SetupLoad> loaded = settings::loadSetup(now.stored, path);
  if (!loaded) {
    QStringList lines{MsgDamaged.arg(path)};
    lines << errorLines(loaded.error());
    if (const QString reason = damageReason(path); !reason.isEmpty()) lines << reason;
    return fail(lines.join(QLatin1Char('\n')));
  }
  if (*loaded == settings::SetupLoad::Missing) {
    now.stored = newRecord(port);
  } else {
    now.fileExists = true;
    SetupRecord applied;
    if (!loadSetupAndPort(applied, port, path)) notes << MsgPortRefused.arg(path);
  }
  const auto conf = mqtt::readConf(folder.readPath(mqtt::ConfFileName));
  if (!conf) return fail(conf.description());
  now.mqtt = *conf;
  now.port = port.commPort();
  now.line = port.settings();
  now.flow = port.handshaking();
  return now;
}

QString listing(const Current& now, const QString& path, QStringList& notes) {
  SetupRecord shownRecord = now.stored;
  ShownConditions shown;
  settings::ConditionsPanel(shownRecord, shown).showCellConditions();
  if (now.fileExists) {
    const SetupRecord& s = now.stored;
    QStringList corrected;
    if (shownRecord.acquireTimeMs != s.acquireTimeMs) corrected << QStringLiteral("minutes");
    if (shownRecord.measureCount != s.measureCount) corrected << QStringLiteral("rows");
    if (shownRecord.startCol != s.startCol || shownRecord.startRow != s.startRow)
      corrected << QStringLiteral("start-cell");
    if (shownRecord.acquisitionNo != s.acquisitionNo) corrected << QStringLiteral("number");
    if (!corrected.isEmpty()) notes << MsgCorrected.arg(path, corrected.join(QStringLiteral("、")));
  }
  const auto option = [&shown](CondOption group) { return shown.options.at(static_cast<std::size_t>(group)); };
  const auto box = [&shown](CondBox b) { return shown.texts.at(static_cast<std::size_t>(b)); };
  const int stamp = option(CondOption::Time);
  const int flow = serial::handshakingCode(now.flow);
  QStringList values = {
      box(CondBox::Min),
      box(CondBox::Rows),
      option(CondOption::Cell) == 1 ? QStringLiteral("cell") : QStringLiteral("current"),
      box(CondBox::StartCol) + box(CondBox::StartRow),
      option(CondOption::Num) == 1 ? QStringLiteral("on") : QStringLiteral("off"),
      box(CondBox::CellNo),
      stamp >= 0 && stamp < static_cast<int>(StampNames.size()) ? StampNames.at(static_cast<std::size_t>(stamp))
                                                                : QString(),
      option(CondOption::Protcol) == 1 ? QStringLiteral("file") : QStringLiteral("builtin"),
      QString::number(now.port),
      now.line,
      flow >= 0 && flow < static_cast<int>(FlowNames.size()) ? FlowNames.at(static_cast<std::size_t>(flow)) : QString(),
      now.map.entry(now.port),
  };
  for (const QString& key : mqtt::settingKeys()) values << mqtt::settingValue(now.mqtt, key);
  const QStringList keys = configKeys();
  QString out;
  for (qsizetype i = 0; i < keys.size(); ++i) out += keys.at(i) + QLatin1Char('=') + values.at(i) + QLatin1Char('\n');
  return out;
}

// What the assignments change, applied in turn to a copy of the record.
struct Pending {
  SetupRecord record;
  std::optional<int> port;
  std::optional<QString> device;
  mqtt::MqttSettings mqtt;
};
using Change = std::function<void(Pending&)>;

// A refused value: what the key accepts, and the reason where one is known.
struct Refusal {
  QString reason;
};

using Checked = std::variant<Change, Refusal>;

// A whole number of decimal digits within [low, high], or none.
std::optional<std::int32_t> wholeNumber(const QString& value, std::int64_t low, std::int64_t high) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,10}$"));
  if (!digits.match(value).hasMatch()) return std::nullopt;
  const qint64 number = value.toLongLong();
  if (number < low || number > high) return std::nullopt;
  return static_cast<std::int32_t>(number);
}

// One of `names` regardless of case: its position.
template <std::size_t N>
std::optional<int> namedValue(const QString& value, const std::array<QString, N>& names) {
  for (std::size_t i = 0; i < N; ++i)
    if (value.compare(names.at(i), Qt::CaseInsensitive) == 0) return static_cast<int>(i);
  return std::nullopt;
}

std::optional<bool> onOff(const QString& value, const QString& onName, const QString& offName) {
  if (value.compare(onName, Qt::CaseInsensitive) == 0) return true;
  if (value.compare(offName, Qt::CaseInsensitive) == 0) return false;
  return std::nullopt;
}

struct Key {
  QString name;
  QString accepts;
  std::function<std::optional<Checked>(const QString&)> check;
};

// The minutes box reads what is typed as a whole number, a half going to the
// even neighbour (2.5 gives 2, 3.5 gives 4); the value itself must lie within
// the range the panel shows beside the box.
std::optional<Checked> checkMinutes(const QString& value) {
  static const QRegularExpression decimal(QStringLiteral(R"(^([0-9]{1,6}(\.[0-9]{0,9})?|\.[0-9]{1,9})$)"));
  if (!decimal.match(value).hasMatch()) return std::nullopt;
  const double minutes = readLeadingNumber(value);
  if (minutes < settings::MinMinutes || minutes > settings::MaxMinutes) return std::nullopt;
  const std::int32_t whole = readWholeNumber(value);
  return Change([whole](Pending& p) { p.record.acquireTimeMs = whole * settings::MsPerMinute; });
}

std::optional<Checked> checkStartCell(const QString& value) {
  static const QRegularExpression cell(QStringLiteral("^([A-Za-z]{1,2})([0-9]{1,5})$"));
  const QRegularExpressionMatch m = cell.match(value);
  if (!m.hasMatch()) return std::nullopt;
  // A column is valid when the box keeps it as typed when it loses the focus
  // (it turns ZZ into IA) and the panel keeps it when it opens.
  const QString typed = m.captured(1).toUpper();
  const QByteArray column = typed.toLatin1();
  if (settings::normalisedStartColumnInput(typed) != typed || settings::correctedStartColumn(column) != column)
    return std::nullopt;
  const auto row = wholeNumber(m.captured(2), settings::MinStartRow, settings::MaxStartRow);
  if (!row) return std::nullopt;
  return Change([column, r = *row](Pending& p) {
    p.record.startCol = column;
    p.record.startRow = r;
  });
}

// The settings text as the serial panel forms it from its lists and the port
// stores it: speed, parity letter, data bits and stop bits from the lists.
std::optional<Checked> checkLine(const QString& value) {
  const Result<serial::PortConfig> config = serial::parseSettings(value);
  if (!config) return Checked(Refusal{config.description()});
  const QString text = serial::settingsText(*config);
  const QStringList fields = text.split(QLatin1Char(','));
  QStringList parities;
  for (const QString& entry : serial::panelListItems(serial::RsList::Parity)) parities << entry.left(1).toLower();
  if (!serial::panelListItems(serial::RsList::Speed).contains(fields.at(0)) || !parities.contains(fields.at(1)) ||
      !serial::panelListItems(serial::RsList::DataBits).contains(fields.at(2)) ||
      !serial::panelListItems(serial::RsList::StopBits).contains(fields.at(3)))
    return std::nullopt;
  return Change([stored = text.toLatin1()](Pending& p) { p.record.commSettings[0] = stored; });
}

std::optional<Checked> checkDevice(const QString& value) {
  const bool control =
      std::any_of(value.begin(), value.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
  if (!value.isEmpty() && (!value.startsWith(QLatin1Char('/')) || control || value != value.trimmed()))
    return std::nullopt;
  return Change([value](Pending& p) { p.device = value; });
}

// The broker settings of kestrune.conf. A file is stored by its absolute path:
// the program may run from another folder (as a service does).
std::function<std::optional<Checked>(const QString&)> mqttCheck(const QString& key) {
  return [key](const QString& value) -> std::optional<Checked> {
    if (const Status checked = mqtt::checkSetting(key, value); !checked) return Checked(Refusal{checked.description()});
    const bool file = key == mqtt::KeyPasswordFile || key == mqtt::KeyCaFile;
    const QString stored = file && !value.isEmpty() ? QFileInfo(value).absoluteFilePath() : value;
    return Change([key, stored](Pending& p) { mqtt::setSettingValue(p.mqtt, key, stored); });
  };
}

QString lineAccepts() {
  QStringList parities;
  for (const QString& entry : serial::panelListItems(serial::RsList::Parity)) parities << entry.left(1).toLower();
  return QStringLiteral(
             "速度,パリティ,データビット,ストップビット（速度 %1、パリティ %2、データビット %3、"
             "ストップビット %4。例 9600,n,8,1）")
      .arg(serial::panelListItems(serial::RsList::Speed).join(QLatin1Char('/')), parities.join(QLatin1Char('/')),
           serial::panelListItems(serial::RsList::DataBits).join(QLatin1Char('/')),
           serial::panelListItems(serial::RsList::StopBits).join(QLatin1Char('/')));
}

const std::vector<Key>& keyTable() {
  static const std::vector<Key> keys = {
      {QStringLiteral("minutes"),
       QStringLiteral("%1～%2 の数（小数は整数の分に丸めます）").arg(settings::MinMinutes).arg(settings::MaxMinutes),
       checkMinutes},
      {QStringLiteral("rows"), QStringLiteral("%1～%2 の整数").arg(settings::MinRows).arg(settings::MaxRows),
       [](const QString& v) -> std::optional<Checked> {
         const auto rows = wholeNumber(v, settings::MinRows, settings::MaxRows);
         if (!rows) return std::nullopt;
         return Change([n = *rows](Pending& p) { p.record.measureCount = n; });
       }},
      {QStringLiteral("start"), QStringLiteral("cell か current"),
       [](const QString& v) -> std::optional<Checked> {
         const auto atCell = onOff(v, QStringLiteral("cell"), QStringLiteral("current"));
         if (!atCell) return std::nullopt;
         return Change([on = *atCell](Pending& p) { p.record.setStartAtCell(on); });
       }},
      {QStringLiteral("start-cell"),
       QStringLiteral("列 A～Z か AA～IA と行 %1～%2（例 B3）").arg(settings::MinStartRow).arg(settings::MaxStartRow),
       checkStartCell},
      {QStringLiteral("numbering"), QStringLiteral("on か off"),
       [](const QString& v) -> std::optional<Checked> {
         const auto on = onOff(v, QStringLiteral("on"), QStringLiteral("off"));
         if (!on) return std::nullopt;
         return Change([numbering = *on](Pending& p) { p.record.setNumberingOn(numbering); });
       }},
      {QStringLiteral("number"),
       QStringLiteral("%1～%2 の整数").arg(settings::MinAcquisitionNo).arg(std::numeric_limits<std::int32_t>::max()),
       [](const QString& v) -> std::optional<Checked> {
         const auto number = wholeNumber(v, settings::MinAcquisitionNo, std::numeric_limits<std::int32_t>::max());
         if (!number) return std::nullopt;
         return Change([n = *number](Pending& p) { p.record.acquisitionNo = n; });
       }},
      {QStringLiteral("stamp"), QStringLiteral("none、date、time、datetime のどれか"),
       [](const QString& v) -> std::optional<Checked> {
         const auto index = namedValue(v, StampNames);
         if (!index) return std::nullopt;
         static constexpr std::array modes = {settings::StampMode::None, settings::StampMode::Date,
                                              settings::StampMode::Time, settings::StampMode::DateAndTime};
         return Change(
             [mode = modes.at(static_cast<std::size_t>(*index))](Pending& p) { p.record.setStampMode(mode); });
       }},
      {QStringLiteral("script"), QStringLiteral("builtin か file"),
       [](const QString& v) -> std::optional<Checked> {
         const auto fromFile = onOff(v, QStringLiteral("file"), QStringLiteral("builtin"));
         if (!fromFile) return std::nullopt;
         return Change([on = *fromFile](Pending& p) { p.record.setScriptFromFile(on); });
       }},
      {QStringLiteral("port"), QStringLiteral("1～%1 の整数").arg(serial::panelListItems(serial::RsList::Port).size()),
       [](const QString& v) -> std::optional<Checked> {
         const auto port = wholeNumber(v, 1, serial::panelListItems(serial::RsList::Port).size());
         if (!port) return std::nullopt;
         return Change([n = *port](Pending& p) {
           p.record.commPort[0] = static_cast<std::int16_t>(n);
           p.port = n;
         });
       }},
      {QStringLiteral("line"), lineAccepts(), checkLine},
      {QStringLiteral("flow"), QStringLiteral("none、xon、rts、rts-xon のどれか"),
       [](const QString& v) -> std::optional<Checked> {
         const auto code = namedValue(v, FlowNames);
         if (!code) return std::nullopt;
         const Result<serial::FlowControl> flow = serial::flowControlFromCode(*code);
         if (!flow) return Checked(Refusal{flow.description()});
         return Change([f = slotFlowControl(*flow)](Pending& p) { p.record.setHandshaking(0, f); });
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

// Checks every assignment; the changes in argument order, or the messages of
// every one refused.
std::variant<std::vector<Change>, QStringList> checkAssignments(const QStringList& assignments) {
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
    if (key == table.end()) {
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

QString messageLines(const QStringList& lines) {
  QString out;
  for (const QString& line : lines) out += Prefix + line + QLatin1Char('\n');
  return out;
}

// Writes the changes: ports.conf first, as the serial panel does at OK, then
// setup.dat. When setup.dat cannot be written, ports.conf gets its old entry
// back, so a failure leaves both files meaning what they meant. Returns the
// messages of a failure; none when everything was written.
QStringList saveSetupAndMap(const settings::SettingsFolder& folder, const Current& now, const Pending& pending) {
  const int port = pending.port.value_or(now.port);
  const serial::PortMapFile mapFile{folder.readPath(serial::PortMapFileName),
                                    folder.writePath(serial::PortMapFileName)};
  const QString oldEntry = now.map.entry(port);
  const bool mapChanges = pending.device && *pending.device != oldEntry;
  if (mapChanges) {
    const Result<serial::PortMap> saved = serial::PortMap::save(mapFile, {{port, *pending.device}});
    if (!saved) return {saved.description(), MsgNothingWritten};
  }
  if (now.fileExists && pending.record == now.stored) return {};
  const QString path = folder.writePath(settings::SetupFileName);
  const Status saved = settings::saveSetup(pending.record, path);
  if (saved) return {};
  QStringList lines{MsgSetupNotSaved.arg(path)};
  lines << errorLines(saved.error());
  if (mapChanges) {
    const Result<serial::PortMap> restored = serial::PortMap::save(mapFile, {{port, oldEntry}});
    lines << (restored ? MsgRolledBack : MsgNotRolledBack.arg(restored.description()));
  }
  return lines;
}

// kestrune.conf first; when setup.dat or ports.conf then cannot be written it
// gets its old settings back.
QStringList save(const settings::SettingsFolder& folder, const Current& now, const Pending& pending) {
  const bool mqttChanges = !(pending.mqtt == now.mqtt);
  const QString confPath = folder.writePath(mqtt::ConfFileName);
  if (mqttChanges) {
    if (const Status saved = mqtt::writeConf(confPath, pending.mqtt); !saved)
      return {saved.description(), MsgNothingWritten};
  }
  QStringList failed = saveSetupAndMap(folder, now, pending);
  if (!failed.isEmpty() && mqttChanges) {
    const Status restored = mqtt::writeConf(confPath, now.mqtt);
    failed << (restored ? MsgConfRolledBack : MsgConfNotRolledBack.arg(restored.description()));
  }
  return failed;
}

}  // namespace

QStringList configKeys() {
  QStringList keys;
  for (const Key& key : keyTable()) keys << key.name;
  return keys;
}

ConfigResult runConfig(const settings::SettingsFolder& folder, const QStringList& assignments) {
  ConfigResult result;
  QStringList notes;
  std::vector<Change> changes;
  if (!assignments.isEmpty()) {
    auto checked = checkAssignments(assignments);
    if (auto* refused = std::get_if<QStringList>(&checked)) {
      *refused << MsgNothingWritten;
      return {ConfigRefused, {}, messageLines(*refused)};
    }
    changes = std::get<std::vector<Change>>(std::move(checked));
  }

  Result<Current> now = loadCurrent(folder, notes);
  if (!now) return {ConfigRefused, {}, messageLines({now.description(), MsgNothingWritten})};

  if (!changes.empty()) {
    Pending pending{now->stored, std::nullopt, std::nullopt, now->mqtt};
    for (const Change& change : changes) change(pending);
    if (const QStringList failed = save(folder, *now, pending); !failed.isEmpty())
      return {ConfigNotSaved, {}, messageLines(failed)};
    // The listing shows the files as saved.
    notes.clear();
    now = loadCurrent(folder, notes);
    if (!now) return {ConfigNotSaved, {}, messageLines({now.description()})};
  }
  result.out = listing(*now, folder.readPath(settings::SetupFileName), notes);
  result.err = messageLines(notes);
  return result;
}

ConfigResult configCommand(const QStringList& arguments, const QString& programDir) {
  std::optional<QString> dir;
  QStringList assignments;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments.at(i);
    if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) return {ConfigDone, Usage, {}};
    if (argument == QLatin1String("--dir")) {
      if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty())
        return {ConfigRefused, {}, messageLines({MsgDirWithoutFolder})};
      dir = arguments.at(++i);
    } else if (argument.startsWith(QLatin1String("--dir="))) {
      dir = argument.mid(6);
      if (dir->isEmpty()) return {ConfigRefused, {}, messageLines({MsgDirWithoutFolder})};
    } else if (argument.startsWith(QLatin1Char('-'))) {
      return {ConfigRefused, {}, messageLines({MsgUnknownOption.arg(argument)}) + Usage};
    } else {
      assignments << argument;
    }
  }
  const settings::SettingsFolder folder =
      dir ? settings::SettingsFolder::fixed(*dir) : settings::SettingsFolder::forProgram(programDir);
  return runConfig(folder, assignments);
}

int configMain(const QStringList& arguments, const QString& programDir) {
  const ConfigResult result = configCommand(arguments, programDir);
  std::fputs(result.out.toUtf8().constData(), stdout);
  std::fputs(result.err.toUtf8().constData(), stderr);
  return result.status;
}

}  // namespace kestrune::app
