// The trace: failures that are handled where they happen but still worth
// knowing about (a port parameter the driver refused, a break that could not
// be set). Library layers report them here instead of dropping them; the
// program decides where they go: standard error for `--verbose` headless
// runs, a log file in the user's cache folder for the windows.
#pragma once

#include "core/result.h"

#include <QString>

#include <functional>

namespace kestrune {

using TraceSink = std::function<void(const QString& line)>;

// Where trace lines go from now on; an empty sink drops them (the default).
void setTraceSink(TraceSink sink);

// One line: `where` (the operation) and what went wrong.
void trace(const QString& where, const QString& what);
// The failure of `status`, if it failed; returns whether it succeeded.
bool traceFailure(const QString& where, const Status& status);

// A sink appending time-stamped lines to the file at `path` (its folder is
// made). The file is started afresh when it passes `maxBytes`, so it never
// grows without bound.
TraceSink fileTraceSink(const QString& path, qint64 maxBytes = 1024 * 1024);

}  // namespace kestrune
