#include "app/config_command.h"

#include "app/config_save.h"
#include "core/alarm_rules.h"
#include "settings/setup_file.h"

#include <QFile>

#include <cstdio>
#include <optional>
#include <vector>

namespace kestrune::app {

namespace {

const QString Prefix = QStringLiteral("kestrune config: ");

const QString MsgUnknownOption =
    QStringLiteral("オプション「%1」はありません（--dir FOLDER、--workbook PATH と --help だけです）。");
const QString MsgDirWithoutFolder = QStringLiteral("--dir のあとにフォルダーを指定してください。");
const QString MsgWorkbookWithoutPath = QStringLiteral("--workbook のあとにワークブックのパスを指定してください。");
const QString MsgWorkbookControl =
    QStringLiteral("--workbook のパスに制御文字（改行、タブなど）が含まれています。kestrune.conf には書けません。");
const QString MsgAlarmsRefused =
    QStringLiteral("kestrune.conf の [%1] のアラームの設定に使えないものがあります。書かれているとおりに表示します。");
const QString MsgNothingWritten = QStringLiteral("何も書き込んでいません。");
const QString MsgDamaged = QStringLiteral(
    "%1 を読み込めません。壊れているか、ファイルではありません。ファイルを別の名前にしてから "
    "kestrune config で設定し直すと、新しい setup.dat ができます。");
const QString MsgMapUnusable = QStringLiteral("ports.conf を使えません。");
const QString MsgPortRefused = QStringLiteral(
    "%1 の Com ポートの値（port、line、flow）にプログラムが受け付けないものがあります。プログラムと同じく、"
    "受け付けたところまでと既定値を表示します。");
const QString MsgChannelRefused = QStringLiteral(
    "%1 の CH%2 の値（%3）にプログラムが受け付けないものがあります。受け付けたところまでと既定値を表示します。");
const QString MsgCorrected = QStringLiteral(
    "%1 の %2 は範囲の外の値です。データ取得条件の画面が開くときと同じく直して表示します（ファイルはそのままです）。");

const QString Usage = QStringLiteral(
    "使い方: kestrune config [--dir FOLDER] [--workbook PATH] [KEY=VALUE ...]\n"
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
    "  port.N、line.N、flow.N、device.N  CH N（2～8）の同じ項目。port.N=none でポートなし。"
    "ポートのある CH だけを表示します（port.1 などは port などと同じ）\n"
    "  mqtt.url            MQTT ブローカー（kestrune.conf）: mqtt://ホスト[:ポート] か mqtts://ホスト[:ポート]。"
    "空にすると送信しません\n"
    "  mqtt.topic          トピック。{host} と {workbook} が置き換わります（既定 kestrune/{host}/{workbook}）\n"
    "  mqtt.user           ユーザー名\n"
    "  mqtt.password-file  パスワードを 1 行目に書いたファイル\n"
    "  mqtt.ca-file        mqtts で使う CA 証明書のファイル\n"
    "  http.listen         Web 表示を待ち受けるアドレス（kestrune.conf）: 127.0.0.1:8080 など。空にすると使いません\n"
    "  http.cert-file      Web 表示の https に使う証明書（PEM）。127.0.0.1 と ::1 以外で待ち受けるときに必要\n"
    "  http.key-file       その秘密鍵（PEM）\n"
    "  stamp-precision     日時のセルの表示: s（秒まで）か ms（ミリ秒まで）。値はいつもミリ秒まで持ちます\n"
    "  record              実行の記録（ブックの横の .kestrune-record）を残すか: on か off\n"
    "  full-sheet          シートの最終行まで書いたら: end（取得を終える）か continue（新しいシートに続ける）\n"
    "--workbook PATH を付けると、そのワークブックのアラーム（kestrune.conf のブックの欄）も表示し、設定できます。"
    "列は A～IV。値を空にすると項目を消します:\n"
    "  alarm.列.high    上限。値がこれを超えるとアラーム\n"
    "  alarm.列.low     下限。値がこれを下回るとアラーム\n"
    "  alarm.列.step    前の数値からの変化の上限（0 以上）\n"
    "  alarm.列.margin  解除の幅（0 以上、既定 0）。上限 - 幅 以下、下限 + 幅 以上、変化が step - 幅 以下で解除\n"
    "  alarm.列.end     アラームで取得を終えるか: on か off\n"
    "  alarm.silence    新しい行がこの秒数来ないとアラーム（0 より大きい数）\n"
    "終了コード: 0 成功、1 保存できなかった、2 値や引数の誤り、または setup.dat か ports.conf が使えない\n");

// A failure as lines of text: its message, and its detail when it has one.
QStringList errorLines(const Error& error) {
  QStringList lines{error.description};
  if (!error.detail.isEmpty()) lines << error.detail;
  return lines;
}

// Why a setup.dat that loadSetup refused cannot be used, as far as the
// record says.
QString damageReason(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return file.errorString();
  settings::SetupRecord scratch;
  return settings::decodeSetupRecord(file.read(static_cast<qint64>(settings::SetupRecordSize)), scratch).description();
}

Result<Current> loadCurrent(const settings::SettingsFolder& folder, const std::optional<QString>& workbook,
                            QStringList& notes) {
  Current now;
  now.workbook = workbook;
  now.map = serial::PortMap::load(folder.readPath(serial::PortMapFileName));
  if (!now.map.error().isEmpty())
    return fail(serial::PortError::MapUnreadable, MsgMapUnusable + QLatin1Char('\n') + now.map.error());

  const QString path = folder.readPath(settings::SetupFileName);
  const Result<settings::SetupLoad> loaded = settings::loadSetup(now.stored, path);
  if (!loaded) {
    QStringList lines{MsgDamaged.arg(path)};
    lines << errorLines(loaded.error());
    if (const QString reason = damageReason(path); !reason.isEmpty()) lines << reason;
    return fail(settings::SetupError::Unreadable, lines.join(QLatin1Char('\n')));
  }
  if (*loaded == settings::SetupLoad::Missing) {
    // A new file starts with the conditions the panel shows for none, and
    // slot 0 holding the line as the program stores it when it leaves.
    now.settings.conditions = settings::corrected({});
    now.stored.setConditions(now.settings.conditions);
    now.stored.setLine(0, now.settings.lines[0]);
  } else {
    now.fileExists = true;
    now.settings.conditions = now.stored.conditions();
    for (int channel = 0; channel < serial::ChannelCount; ++channel) {
      settings::LineSettings& line = now.settings.lines.at(static_cast<std::size_t>(channel));
      if (settings::readStoredLine(now.stored.storedLine(static_cast<std::size_t>(channel)), line, channel)) continue;
      notes << (channel == 0 ? MsgPortRefused.arg(path)
                             : MsgChannelRefused.arg(path)
                                   .arg(channel + 1)
                                   .arg(channelKeys(channel).mid(0, 3).join(QStringLiteral("、"))));
    }
  }
  const auto conf = mqtt::readConf(folder.readPath(mqtt::ConfFileName));
  if (!conf) return conf.error();
  now.mqtt = *conf;
  const auto webConf = web::readConf(folder.readPath(mqtt::ConfFileName));
  if (!webConf) return webConf.error();
  now.web = *webConf;
  const auto options = run_options::readConf(folder.readPath(mqtt::ConfFileName));
  if (!options) return options.error();
  now.options = *options;
  if (workbook) {
    const Result<conf::Values> section = conf::readWorkbookConf(folder.readPath(mqtt::ConfFileName), *workbook);
    if (!section) return section.error();
    now.workbookConf = *section;
  }
  return now;
}

// The workbook's alarm keys: its rules as the program reads them, or, where
// it refuses them, the keys as they stand, with a note saying why.
QString alarmListing(const Current& now, QStringList& notes) {
  const Result<alarm::AlarmRules> rules = alarm::parseRules(now.workbookConf);
  conf::Changes lines;
  if (rules) {
    lines = alarm::ruleChanges(*rules);
    if (!rules->silenceSeconds) lines.append({alarm::KeySilence, QString()});
  } else {
    notes << MsgAlarmsRefused.arg(conf::workbookSection(*now.workbook)) << rules.description().split(QLatin1Char('\n'));
    for (auto it = now.workbookConf.begin(); it != now.workbookConf.end(); ++it)
      if (alarm::isAlarmKey(it.key())) lines.append({it.key(), it.value()});
  }
  QString out;
  for (const auto& [key, value] : lines) out += key + QLatin1Char('=') + value + QLatin1Char('\n');
  return out;
}

// Checks the alarm keys together, as the section would hold them, and makes
// the changes those of the rules read (numbers and on/off as the program
// writes them). The refusals; none when the rules are good.
QStringList settleAlarms(const Current& now, Pending& pending) {
  if (pending.alarms.isEmpty()) return {};
  conf::Values merged = now.workbookConf;
  for (auto it = pending.alarms.begin(); it != pending.alarms.end(); ++it) {
    if (it.value().isEmpty())
      merged.remove(it.key());
    else
      merged.insert(it.key(), it.value());
  }
  const Result<alarm::AlarmRules> rules = alarm::parseRules(merged);
  if (!rules) return rules.description().split(QLatin1Char('\n'));
  pending.alarms.clear();
  for (const auto& [key, value] : alarm::ruleChanges(*rules, now.workbookConf)) pending.alarms.insert(key, value);
  return {};
}

QString listing(const Current& now, const QString& path, QStringList& notes) {
  const settings::Conditions& stored = now.settings.conditions;
  const settings::Conditions shown = settings::corrected(stored);
  if (now.fileExists) {
    QStringList corrected;
    if (shown.acquireTimeMs != stored.acquireTimeMs) corrected << QStringLiteral("minutes");
    if (shown.rows != stored.rows) corrected << QStringLiteral("rows");
    if (shown.cursor.column != stored.cursor.column || shown.cursor.row != stored.cursor.row)
      corrected << QStringLiteral("start-cell");
    if (shown.cursor.acquisitionNo != stored.cursor.acquisitionNo) corrected << QStringLiteral("number");
    if (!corrected.isEmpty()) notes << MsgCorrected.arg(path, corrected.join(QStringLiteral("、")));
  }
  const settings::LineSettings& line = now.settings.lines[0];
  QStringList values = {
      QString::number(static_cast<double>(shown.acquireTimeMs) / settings::MsPerMinute, 'g', 15),
      QString::number(shown.rows),
      shown.startAtCell ? QStringLiteral("cell") : QStringLiteral("current"),
      shown.cursor.column + QString::number(shown.cursor.row),
      shown.numbering ? QStringLiteral("on") : QStringLiteral("off"),
      QString::number(shown.cursor.acquisitionNo),
      stampName(shown.stamp),
      shown.scriptFromFile ? QStringLiteral("file") : QStringLiteral("builtin"),
      QString::number(line.port),
      serial::settingsText(line.config),
      flowName(line.flow),
      now.map.entry(line.port),
  };
  for (const QString& key : mqtt::settingKeys()) values << mqtt::settingValue(now.mqtt, key);
  for (const QString& key : web::settingKeys()) values << web::settingValue(now.web, key);
  for (const QString& key : run_options::settingKeys()) values << run_options::settingValue(now.options, key);
  QStringList keys = configKeys();
  // Then the other channels that have a port.
  for (int channel = 1; channel < serial::ChannelCount; ++channel) {
    const settings::LineSettings& other = now.settings.lines.at(static_cast<std::size_t>(channel));
    if (other.port == settings::NoPort) continue;
    keys << channelKeys(channel);
    values << QString::number(other.port) << serial::settingsText(other.config) << flowName(other.flow)
           << now.map.entry(other.port);
  }
  QString out;
  for (qsizetype i = 0; i < keys.size(); ++i) out += keys.at(i) + QLatin1Char('=') + values.at(i) + QLatin1Char('\n');
  if (now.workbook) out += alarmListing(now, notes);
  return out;
}

QString messageLines(const QStringList& lines) {
  QString out;
  for (const QString& line : lines) out += Prefix + line + QLatin1Char('\n');
  return out;
}

// Takes the option `name` at arguments[i], as "NAME VALUE" or "NAME=VALUE":
// its value, empty when it has none; nullopt when arguments[i] is not it.
std::optional<QString> optionValue(const QStringList& arguments, qsizetype& i, const QString& name) {
  const QString& argument = arguments.at(i);
  if (argument == name) return i + 1 < arguments.size() ? arguments.at(++i) : QString();
  if (argument.startsWith(name + QLatin1Char('='))) return argument.mid(name.size() + 1);
  return std::nullopt;
}

}  // namespace

ConfigResult runConfig(const settings::SettingsFolder& folder, const QStringList& assignments,
                       const std::optional<QString>& workbook) {
  ConfigResult result;
  QStringList notes;
  std::vector<Change> changes;
  if (workbook && conf::hasControlCharacter(conf::workbookSection(*workbook)))
    return {ConfigRefused, {}, messageLines({MsgWorkbookControl, MsgNothingWritten})};
  if (!assignments.isEmpty()) {
    auto checked = checkAssignments(assignments, workbook.has_value());
    if (auto* refused = std::get_if<QStringList>(&checked)) {
      *refused << MsgNothingWritten;
      return {ConfigRefused, {}, messageLines(*refused)};
    }
    changes = std::get<std::vector<Change>>(std::move(checked));
  }

  Result<Current> now = loadCurrent(folder, workbook, notes);
  if (!now) return {ConfigRefused, {}, messageLines({now.description(), MsgNothingWritten})};

  if (!changes.empty()) {
    Pending pending{now->settings, {}, {}, {}, now->mqtt, now->web, now->options};
    for (const Change& change : changes) change(pending);
    if (QStringList refused = conflicts(pending) + settleAlarms(*now, pending); !refused.isEmpty())
      return {ConfigRefused, {}, messageLines(refused << MsgNothingWritten)};
    if (const QStringList failed = saveChanges(folder, *now, pending); !failed.isEmpty())
      return {ConfigNotSaved, {}, messageLines(failed)};
    // The listing shows the files as saved.
    notes.clear();
    now = loadCurrent(folder, workbook, notes);
    if (!now) return {ConfigNotSaved, {}, messageLines({now.description()})};
  }
  result.out = listing(*now, folder.readPath(settings::SetupFileName), notes);
  result.err = messageLines(notes);
  return result;
}

ConfigResult configCommand(const QStringList& arguments, const QString& programDir) {
  std::optional<QString> dir;
  std::optional<QString> workbook;
  QStringList assignments;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments.at(i);
    if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) return {ConfigDone, Usage, {}};
    if (auto value = optionValue(arguments, i, QStringLiteral("--dir"))) {
      if (value->isEmpty()) return {ConfigRefused, {}, messageLines({MsgDirWithoutFolder})};
      dir = value;
    } else if (auto path = optionValue(arguments, i, QStringLiteral("--workbook"))) {
      if (path->isEmpty()) return {ConfigRefused, {}, messageLines({MsgWorkbookWithoutPath})};
      workbook = path;
    } else if (argument.startsWith(QLatin1Char('-'))) {
      return {ConfigRefused, {}, messageLines({MsgUnknownOption.arg(argument)}) + Usage};
    } else {
      assignments << argument;
    }
  }
  const settings::SettingsFolder folder =
      dir ? settings::SettingsFolder::fixed(*dir) : settings::SettingsFolder::forProgram(programDir);
  return runConfig(folder, assignments, workbook);
}

int configMain(const QStringList& arguments, const QString& programDir) {
  const ConfigResult result = configCommand(arguments, programDir);
  std::fputs(result.out.toUtf8().constData(), stdout);
  std::fputs(result.err.toUtf8().constData(), stderr);
  return result.status;
}

}  // namespace kestrune::app
