#include "app/config_save.h"

#include "settings/setup_file.h"

#include <QFile>
#include <QFileInfo>

namespace kestrune::app {

namespace {

const QString MsgNothingWritten = QStringLiteral("何も書き込んでいません。");
const QString MsgSetupNotSaved = QStringLiteral("%1 に保存できませんでした。setup.dat は元のままです。");
const QString MsgRolledBack = QStringLiteral("ports.conf は元に戻しました。");
const QString MsgNotRolledBack = QStringLiteral("ports.conf を元に戻せませんでした：%1");
const QString MsgConfRolledBack = QStringLiteral("kestrune.conf は元に戻しました。");
const QString MsgConfNotRolledBack = QStringLiteral("kestrune.conf を元に戻せませんでした：%1");

// kestrune.conf as it was before the command wrote to it.
struct ConfBefore {
  QString path;
  bool existed = false;
  QByteArray text = {};

  // Gives the file its old contents back (takes away one the command made).
  Status restore() const {
    if (existed) return conf::writeConfText(path, text);
    QFile file(path);
    if (!file.exists() || file.remove()) return {};
    return fail(conf::ConfError::NotSaved, file.errorString());
  }
};

// The broker settings, then the alarm keys of the workbook's section. A
// failure of the second gives the file its old contents back.
QStringList saveConf(const settings::SettingsFolder& folder, const Current& now, const Pending& pending,
                     const ConfBefore& before) {
  const bool mqttChanges = !(pending.mqtt == now.mqtt);
  if (mqttChanges) {
    if (const Status saved = mqtt::writeConf(before.path, pending.mqtt); !saved)
      return {saved.description(), MsgNothingWritten};
  }
  if (!now.workbook || pending.alarms.isEmpty()) return {};
  // What the broker settings were just written into, or the file read.
  const QString readPath = mqttChanges ? before.path : folder.readPath(mqtt::ConfFileName);
  const Status saved = conf::writeWorkbookConf(readPath, before.path, *now.workbook, pending.alarms);
  if (saved) return {};
  QStringList lines{saved.description()};
  if (!mqttChanges) return lines << MsgNothingWritten;
  const Status restored = before.restore();
  return lines << (restored ? MsgConfRolledBack : MsgConfNotRolledBack.arg(restored.description()));
}

// setup.dat's record with the changes: only what changed is written over
// what the file holds.
settings::SetupRecord changedRecord(const Current& now, const Pending& pending) {
  settings::SetupRecord record = now.stored;
  record.setConditions(pending.settings.conditions);
  if (pending.lineGiven || !(pending.settings.line == now.settings.line)) record.setLine(0, pending.settings.line);
  return record;
}

// ports.conf first, as the serial panel does at OK, then setup.dat. When
// setup.dat cannot be written, ports.conf gets its old entry back.
QStringList saveSetupAndMap(const settings::SettingsFolder& folder, const Current& now, const Pending& pending) {
  const int port = pending.settings.line.port;
  const serial::PortMapFile mapFile{folder.readPath(serial::PortMapFileName),
                                    folder.writePath(serial::PortMapFileName)};
  const QString oldEntry = now.map.entry(port);
  const bool mapChanges = pending.device && *pending.device != oldEntry;
  if (mapChanges) {
    const Result<serial::PortMap> saved = serial::PortMap::save(mapFile, {{port, *pending.device}});
    if (!saved) return {saved.description(), MsgNothingWritten};
  }
  const settings::SetupRecord record = changedRecord(now, pending);
  if (now.fileExists && record == now.stored) return {};
  const QString path = folder.writePath(settings::SetupFileName);
  const Status saved = settings::saveSetup(record, path);
  if (saved) return {};
  QStringList lines{MsgSetupNotSaved.arg(path), saved.description()};
  if (!saved.error().detail.isEmpty()) lines << saved.error().detail;
  if (mapChanges) {
    const Result<serial::PortMap> restored = serial::PortMap::save(mapFile, {{port, oldEntry}});
    lines << (restored ? MsgRolledBack : MsgNotRolledBack.arg(restored.description()));
  }
  return lines;
}

}  // namespace

QStringList saveChanges(const settings::SettingsFolder& folder, const Current& now, const Pending& pending) {
  const bool confChanges = !(pending.mqtt == now.mqtt) || (now.workbook && !pending.alarms.isEmpty());
  ConfBefore before{folder.writePath(mqtt::ConfFileName)};
  if (confChanges) {
    before.existed = QFileInfo::exists(before.path);
    if (before.existed) {
      const Result<QByteArray> text = conf::readConfText(before.path);
      if (!text) return {text.description(), MsgNothingWritten};
      before.text = *text;
    }
    if (QStringList failed = saveConf(folder, now, pending, before); !failed.isEmpty()) return failed;
  }
  QStringList failed = saveSetupAndMap(folder, now, pending);
  if (!failed.isEmpty() && confChanges) {
    const Status restored = before.restore();
    failed << (restored ? MsgConfRolledBack : MsgConfNotRolledBack.arg(restored.description()));
  }
  return failed;
}

}  // namespace kestrune::app
