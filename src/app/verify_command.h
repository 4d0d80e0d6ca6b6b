// `kestrune verify BOOK.xls [--json]`: compares a workbook with its run
// record (run_record.h) and says, per run, which rows are still as acquired
// and what changed since: cells, rows removed or moved, rows added in the
// run's area, and a record whose hash chain is broken or cut. It reads both
// files and writes neither.
#pragma once

#include "app/run_record.h"
#include "sheet/xls/workbook.h"

#include <QString>
#include <QStringList>

#include <cstdio>
#include <vector>

namespace kestrune::app {

struct VerifyFinding {
  enum class Kind {
    Changed,      // a cell differs: acquired and current values
    Moved,        // the row's values are now at `toRow`
    Removed,      // the row's values are nowhere in its columns
    Added,        // a row in the run's area that no run wrote
    ChainBroken,  // the record's line `line` does not follow from the one before
    TornTail,     // the record ends inside a line
    Unended,      // the run has no end line
  };
  Kind kind = Kind::Changed;
  QString run;  // empty for the record's own findings
  QString sheet;
  int row = 0;     // 1-based
  int column = 0;  // 1-based, for Changed
  int toRow = 0;   // for Moved
  int line = 0;    // the record's line, for ChainBroken and TornTail
  QString acquired;
  QString current;
  friend bool operator==(const VerifyFinding&, const VerifyFinding&) = default;
};

struct VerifyRun {
  QString id;
  QString start;
  QString end;
  QStringList sheets;
  qint64 rows = 0;         // rows the record holds for it
  qint64 intact = 0;       // still as acquired
  qint64 overwritten = 0;  // written over by a later run
  bool ended = false;
};

struct VerifyReport {
  std::vector<VerifyRun> runs;
  std::vector<VerifyFinding> findings;  // in order: per run, then the record's own
};

VerifyReport verifyWorkbook(const ParsedRecord& record, const xls::Workbook& workbook);

// One finding as a line of Japanese text.
QString findingText(const VerifyFinding& finding);
// The report as text, one finding a line; and as JSON for other programs.
QString reportText(const VerifyReport& report);
QByteArray reportJson(const VerifyReport& report, const QString& workbookPath, const QString& recordPath);

// The command: its arguments after "verify". Exit 0 when everything
// matches, 1 with findings, 2 when the workbook or the record cannot be read.
int verifyMain(const QStringList& arguments, std::FILE* out, std::FILE* err);

}  // namespace kestrune::app
