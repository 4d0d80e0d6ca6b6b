#include "app/config_save.h"

#include "settings/setup_file.h"

#include <QFile>
#include <QFileInfo>

#include <array>
#include <functional>
#include <map>
#include <utility>

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

bool globalChanges(const Current& now, const Pending& pending) {
  return !(pending.mqtt == now.mqtt) || !(pending.web == now.web) || !(pending.options == now.options);
}

// The global settings (the broker's, the web view's, the run options), then
// the alarm keys of the workbook's section. A failure after the first write
// gives the file its old contents back.
QStringList saveConf(const settings::SettingsFolder& folder, const Current& now, const Pending& pending,
                     const ConfBefore& before) {
  const std::array<std::pair<bool, std::function<Status()>>, 3> writes{{
      {!(pending.mqtt == now.mqtt), [&] { return mqtt::writeConf(before.path, pending.mqtt); }},
      {!(pending.web == now.web), [&] { return web::writeConf(before.path, pending.web); }},
      {!(pending.options == now.options), [&] { return run_options::writeConf(before.path, pending.options); }},
  }};
  bool written = false;
  for (const auto& [changed, write] : writes) {
    if (!changed) continue;
    if (const Status saved = write(); !saved) {
      QStringList lines{saved.description()};
      if (!written) return lines << MsgNothingWritten;
      const Status restored = before.restore();
      return lines << (restored ? MsgConfRolledBack : MsgConfNotRolledBack.arg(restored.description()));
    }
    written = true;
  }
  if (!now.workbook || pending.alarms.isEmpty()) return {};
  // What the broker settings were just written into, or the file read.
  const QString readPath = written ? before.path : folder.readPath(mqtt::ConfFileName);
  const Status saved = conf::writeWorkbookConf(readPath, before.path, *now.workbook, pending.alarms);
  if (saved) return {};
  QStringList lines{saved.description()};
  if (!written) return lines << MsgNothingWritten;
  const Status restored = before.restore();
  return lines << (restored ? MsgConfRolledBack : MsgConfNotRolledBack.arg(restored.description()));
}

// setup.dat's record with the changes: only what changed is written over
// what the file holds.
settings::SetupRecord changedRecord(const Current& now, const Pending& pending) {
  settings::SetupRecord record = now.stored;
  record.setConditions(pending.settings.conditions);
  for (std::size_t channel = 0; channel < pending.settings.lines.size(); ++channel) {
    const settings::LineSettings& line = pending.settings.lines.at(channel);
    // A line given is written even where it reads the same from a slot the
    // program refused, so the program takes the slot again; a channel left
    // without a port has nothing to take.
    const bool given = pending.lineGiven.at(channel) && line.port != settings::NoPort;
    if (given || !(line == now.settings.lines.at(channel))) record.setLine(channel, line);
  }
  return record;
}

// ports.conf first, as the serial panel does at OK, then setup.dat. When
// setup.dat cannot be written, ports.conf gets its old entries back.
QStringList saveSetupAndMap(const settings::SettingsFolder& folder, const Current& now, const Pending& pending) {
  const serial::PortMapFile mapFile{folder.readPath(serial::PortMapFileName),
                                    folder.writePath(serial::PortMapFileName)};
  // The devices given for the channels' ports (conflicts() found no port
  // given two), and the entries they replace.
  std::map<int, QString> changes;
  std::map<int, QString> oldEntries;
  for (std::size_t channel = 0; channel < pending.devices.size(); ++channel) {
    const int port = pending.settings.lines.at(channel).port;
    const auto& device = pending.devices.at(channel);
    if (!device || *device == now.map.entry(port)) continue;
    changes[port] = *device;
    oldEntries[port] = now.map.entry(port);
  }
  const bool mapChanges = !changes.empty();
  if (mapChanges) {
    const Result<serial::PortMap> saved = serial::PortMap::save(mapFile, changes);
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
    const Result<serial::PortMap> restored = serial::PortMap::save(mapFile, oldEntries);
    lines << (restored ? MsgRolledBack : MsgNotRolledBack.arg(restored.description()));
  }
  return lines;
}

}  // namespace

QStringList saveChanges(const settings::SettingsFolder& folder, const Current& now, const Pending& pending) {
  const bool confChanges = globalChanges(now, pending) || (now.workbook && !pending.alarms.isEmpty());
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
