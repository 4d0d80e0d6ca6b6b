// Reading and writing setup.dat, and carrying the serial parameters of
// channel 0 between the record's slot 0 and the channel's port.
#pragma once

#include "core/message_boxes.h"
#include "serial/port.h"
#include "settings/setup_record.h"

#include <QString>

namespace kestrune::settings {

inline const QString SetupFileName = QStringLiteral("setup.dat");
inline const QString MsgLoadFailed = QStringLiteral("設定条件の読込に失敗しました");
inline const QString MsgSaveFailed = QStringLiteral("設定条件の保存に失敗しました");

// Reads `path` into `record` and applies slot 0 to `port` (port number,
// settings, flow control). A missing file changes nothing and says nothing.
// A file that cannot be read, a malformed record or a value the port refuses
// shows "設定条件の読込に失敗しました"; what was read before keeps its value.
// Returns false after a failure.
bool loadSetup(SetupRecord& record, serial::Port& port, const QString& path, MessageBoxes& boxes);

// Copies `port`'s values into slot 0 and writes the record to `path`. The new
// 2048 bytes and whatever the old file held after its first 2048 bytes go to a
// temporary file in the same folder, which then replaces the old file, so a
// failure never leaves a damaged file. A failure shows
// "設定条件の保存に失敗しました" and leaves the old file as it was. Returns
// false after a failure.
bool saveSetup(SetupRecord& record, const serial::Port& port, const QString& path, MessageBoxes& boxes);

}  // namespace kestrune::settings
