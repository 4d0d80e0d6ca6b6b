// `kestrune --recover JOURNAL --workbook BOOK`: writes the rows of a journal
// that was set aside (or any journal) into a workbook the user chose, saves
// it and deletes the journal.
#pragma once

#include "sheet/spreadsheet_app.h"

#include <QString>

#include <cstdio>

namespace kestrune::app {

// Opens `workbookPath` with an application from `factory`, replays every row
// of the journal at `journalPath` into it whichever file that was written
// for, saves and closes. Says what it did on `out` and what failed on `err`.
// Returns a headless exit status: ExitFinished, ExitCouldNotStart (no such
// journal or workbook, a value that could not be written) or ExitNotSaved
// (the journal stays).
int recoverJournal(const QString& journalPath, const QString& workbookPath, sheet::SpreadsheetFactory factory,
                   std::FILE* out, std::FILE* err);

}  // namespace kestrune::app
