// How runs keep their record, global lines of kestrune.conf:
//   stamp-precision=s|ms   what the stamp cells show (the value always keeps milliseconds)
//   record=on|off          a run record kept beside the workbook
//   full-sheet=end|continue what a run does when its sheet's last row is written
// A missing or empty key is its default (s, off, end).
#pragma once

#include "core/result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace kestrune {

inline const QString KeyStampPrecision = QStringLiteral("stamp-precision");
inline const QString KeyRecord = QStringLiteral("record");
inline const QString KeyFullSheet = QStringLiteral("full-sheet");

struct RunOptions {
  bool stampMilliseconds = false;
  bool record = false;
  bool continueFullSheet = false;
  friend bool operator==(const RunOptions&, const RunOptions&) = default;
};

namespace run_options {

// The keys in listing order.
QStringList settingKeys();
// The values one key accepts, for messages: "s か ms".
QString acceptedValues(const QString& key);
// Checks one value for `key`; an empty value is the default.
Status checkSetting(const QString& key, const QString& value);
QString settingValue(const RunOptions& options, const QString& key);
// Sets `key` when checkSetting accepts `value`; a refused value changes nothing.
Status assignSetting(RunOptions& options, const QString& key, const QString& value);
// The global lines of kestrune.conf's text; a value it does not know is the default.
RunOptions parseConf(const QByteArray& text);
// Reads the file at `path`; a missing file gives the defaults.
Result<RunOptions> readConf(const QString& path);
// Writes the keys into the file at `path`, every other line as it was.
Status writeConf(const QString& path, const RunOptions& options);

}  // namespace run_options
}  // namespace kestrune
