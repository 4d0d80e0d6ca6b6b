// Reading and writing setup.dat. Pure file operations on the record; the
// application carries the port values between the record and the port.
#pragma once

#include "core/result.h"
#include "settings/setup_record.h"

#include <QString>

namespace kestrune::settings {

inline const QString SetupFileName = QStringLiteral("setup.dat");
inline const QString MsgLoadFailed = QStringLiteral("設定条件の読込に失敗しました");
inline const QString MsgSaveFailed = QStringLiteral("設定条件の保存に失敗しました");

// How loadSetup went: no file (nothing changed), or a record read in full.
enum class SetupLoad { Missing, Loaded };

// Reads `path` into `record`. A file that cannot be read or a malformed record
// fails with "設定条件の読込に失敗しました"; what was read before keeps its value.
Result<SetupLoad> loadSetup(SetupRecord& record, const QString& path);

// Writes the record to `path`. The new 2048 bytes and whatever the old file
// held after its first 2048 bytes go to a temporary file in the same folder,
// which then replaces the old file, so a failure never leaves a damaged file.
// A failure returns "設定条件の保存に失敗しました" and leaves the old file as it
// was.
Status saveSetup(const SetupRecord& record, const QString& path);

}  // namespace kestrune::settings
