// What the termios port says when something fails, in one place: each failure
// with its text for the user and its PortError code, and what it finds out
// about who else holds a device (the programs with it open, a UUCP lock's
// owner), which a busy device's text names.
#pragma once

#include "core/result.h"
#include "serial/port.h"
#include "serial/uucp_lock.h"

#include <QString>
#include <QStringList>

namespace kestrune::serial {

// The description of a failed open of "Com `port`" at `device` with errno `error`.
QString openFailureText(int port, const QString& device, int error);
// The code of that failure: missing, busy, not permitted, not a terminal.
PortError openErrorCode(int error);

// The programs that have `device` open, as "name（PID n）", where /proc shows
// them; the process `skipPid` (ours, when it holds the device itself) left out.
QStringList deviceHolders(const QString& device, long skipPid = 0);

// The failures of the termios port. `device` is the device's path; `name`
// is "Com n（path）" as deviceName() gives it; `error` an errno value.
namespace port_failure {

// Opening failed with `error`; a busy device names the programs holding it.
Error openFailed(int port, const QString& device, int error);
// Another program's UUCP lock refuses the device.
Error lockedBy(int port, const QString& device, const LockHolder& holder);
// The warning about other programs that have the opened device open too.
QString alsoOpen(int port, const QString& device, const QStringList& holders);

Error notOpen(int port);
Error deviceLost(int port, const QString& device);
Error badPortNumber(int port);
Error portIsOpen(int port);
// `property` refuses `value`.
Error badValue(const QString& property, int value);
// Only 0 may be written to `property`.
Error onlyZero(const QString& property);

// The line format `settings` with flow control `flowCode` could not be set.
Error lineFormatNotSet(const QString& name, const QString& settings, int flowCode, int error);
// The driver took another line format than `settings` with `flowCode`.
Error lineFormatNotSupported(const QString& name, const QString& settings, int flowCode);
// The modem line `line` ("RTS", "DTR") could not be switched.
Error modemLineNotSet(const QString& name, const QString& line, int error);
Error breakNotSet(const QString& name, int error);
Error writeFailed(const QString& name, int error);

}  // namespace port_failure

}  // namespace kestrune::serial
