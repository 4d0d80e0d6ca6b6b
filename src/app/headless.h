// The headless runner: one acquisition run without windows, with the same
// Start, the same ticks on a real 10 ms timer, the log on standard output and
// message boxes on standard error. Enter continues a paused script; Ctrl+C
// ends the run as End does. The workbook is then saved and closed and the
// settings written.
#pragma once

#include "app/logger.h"

#include <QString>

namespace kestrune::app {

// Exit statuses of a headless run.
enum HeadlessExit : int {
  ExitFinished = 0,       // the script ran to its end
  ExitCouldNotStart = 2,  // the workbook, its active sheet, the port or the script could not be used
  ExitInterrupted = 130,  // ended by Ctrl+C or SIGTERM before the script's end
};

// Runs an acquisition into the workbook at `workbookPath`; returns an exit status.
int runHeadless(Logger& logger, const QString& workbookPath);

}  // namespace kestrune::app
