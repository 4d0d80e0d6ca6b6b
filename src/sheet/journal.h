// The acquisition journal: every value a run writes into a workbook is also
// appended to a small text file beside it, one line per cell and one line per
// completed row, so that a crash, a power cut or a failed save loses no
// reading. Opening the workbook again replays what the workbook lacks.
//
// The file, "NAME.kestrune-journal" beside the workbook (or, where that
// folder cannot be written, in the per-user state folder), is UTF-8 text:
//   kestrune-journal 1 <workbook path>
//   sheet <name>                       a run starts writing on this sheet
//   cell <row> <column> <kind> <value> one value (kind: n number, s text,
//                                      d date, t time, dt date and time as
//                                      milliseconds since the epoch)
//   row <row> <column> <number> <crc>  the row is complete: the cursor and the
//                                      acquisition number after it, and a
//                                      checksum of the row's lines
//   saved <rows>                       the workbook on disk holds the first
//                                      <rows> rows of this journal
// Fields are separated by tabs; a tab, line feed or backslash inside a field
// is written as \t, \n or \\. Only rows ended by a whole "row" line count: a
// tail cut by a crash is ignored.
#pragma once

#include "core/result.h"
#include "sheet/spreadsheet_app.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune::sheet {

struct JournalCell {
  std::int32_t row = 0;
  std::int32_t column = 0;
  CellValue value;
  friend bool operator==(const JournalCell&, const JournalCell&) = default;
};

// One completed row and where the run stood after it.
struct JournalRow {
  QString sheet;
  std::vector<JournalCell> cells;
  std::int32_t nextRow = 0;
  std::int32_t nextColumn = 0;
  std::int32_t acquisitionNo = 0;
  // The workbook on disk already held this row when the journal ended.
  bool saved = false;
};

struct JournalContents {
  QString workbookPath;
  std::vector<JournalRow> rows;
  // The length of the journal up to its last whole row (or mark): what
  // follows is cut short or damaged.
  qsizetype completeBytes = 0;
  // Rows not known to be in the workbook on disk.
  int unsavedRows() const;
};

// Where the journal of the workbook at `workbookPath` lives: beside it, or
// in the per-user folder when the workbook's folder cannot be written.
QString journalPathBeside(const QString& workbookPath);
QString journalPathForUser(const QString& workbookPath);

// Reads a journal; a damaged tail is dropped back to the last complete row.
Result<JournalContents> parseJournal(const QByteArray& bytes);

// The journal of the workbook at `workbookPath` if one exists (beside it or
// in the per-user folder), with its path; an empty path when there is none.
struct FoundJournal {
  QString path;
  JournalContents contents;
};
Result<FoundJournal> findJournal(const QString& workbookPath);

// Appends to a journal. Lines are handed to the file at the end of each row
// (so a crash of this process loses nothing written before); a worker thread
// then makes them durable with fdatasync, so a slow disk never holds up the
// caller.
class JournalWriter {
public:
  JournalWriter();
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Opens (or continues) the journal of the workbook at `workbookPath`.
  Status open(const QString& workbookPath);
  bool isOpen() const { return fd_ >= 0; }
  const QString& path() const { return path_; }

  void beginSheet(const QString& sheet);
  // Whether values wait for their row's end.
  bool rowPending() const { return !row_.isEmpty(); }
  void cell(std::int32_t row, std::int32_t column, const CellValue& value);
  // Ends the row and hands it to the file.
  Status endRow(std::int32_t nextRow, std::int32_t nextColumn, std::int32_t acquisitionNo);
  // Complete rows in the journal, those of earlier sessions included.
  int rows() const { return rows_; }
  // The workbook on disk holds the journal's first `rows` rows.
  Status markSaved(int rows);
  // Every row is known to be in the workbook on disk, and none is in progress.
  bool allSaved() const { return savedRows_ >= rows_ && row_.isEmpty(); }
  // Waits until everything handed over is on the disk.
  void flush();
  // Closes and deletes the journal: the workbook was saved with all of it.
  Status retire();
  // Closes the journal and keeps it for the next open.
  void close();

private:
  Status append(const QByteArray& bytes);
  Status moveTo(const QString& place);
  void closeFile();
  void syncLoop();

  QString workbookPath_;
  QString path_;
  int fd_ = -1;
  QByteArray row_;  // the lines of the row in progress
  int rows_ = 0;
  int savedRows_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable synced_;
  std::uint64_t handed_ = 0;   // appends so far
  std::uint64_t durable_ = 0;  // appends known to be on the disk
  bool stop_ = false;
  std::thread syncer_;
};

}  // namespace kestrune::sheet
