// The headless runner: one acquisition run of the session without windows,
// the log on standard output and messages on standard error. Enter continues a paused script; Ctrl+C,
// SIGTERM, SIGHUP and SIGQUIT end the run as End does. The workbook is then saved and closed and the
// settings written.
#pragma once

#include "app/acquisition_session.h"

#include <QString>

namespace kestrune::app {

// Exit statuses of a headless run.
// A run ended early by a signal exits with 128 + the signal's number, as a
// shell reports it: 129 SIGHUP, 130 SIGINT (Ctrl+C), 131 SIGQUIT, 143 SIGTERM.
enum HeadlessExit : int {
  ExitFinished = 0,       // the script ran to its end
  ExitCouldNotStart = 2,  // the workbook, its active sheet, the port or the script could not be used
  ExitNotSaved = 3,       // the workbook could not be saved or take every row; those rows wait in the journal
  ExitSheetFull = 4,      // the sheet's last row was reached before the script's end
  ExitJournalLost = 5,    // no journal could be written any more: acquiring stopped, the workbook was saved
  ExitAlarm = 6,          // an alarm whose rule ends the run (alarm.COLUMN.end=on) was raised
  ExitHangup = 129,       // its terminal or SSH session closed (SIGHUP)
  ExitInterrupted = 130,  // Ctrl+C (SIGINT)
  ExitQuit = 131,         // Ctrl+\ (SIGQUIT)
  ExitTerminated = 143,   // a stop request (SIGTERM), as systemctl stop sends
};

// Runs an acquisition into the workbook at `workbookPath`; returns an exit
// status. The session's messages go to `boxes`. The web view listens where
// `serve` says, or where kestrune.conf's http.listen does without it.
int runHeadless(AcquisitionSession& session, MessageBoxes& boxes, const QString& workbookPath,
                const QString& serve = {});

}  // namespace kestrune::app
