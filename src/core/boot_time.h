// When this computer started: a file written before then (a lock) belongs to
// a process of an earlier boot, whatever process has its number now.
#pragma once

#include <QtGlobal>

#include <optional>

namespace kestrune {

// The boot time from /proc/stat, in seconds since the epoch.
std::optional<qint64> bootSeconds();

}  // namespace kestrune
