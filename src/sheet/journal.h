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
//   identity <size> <mtime> <sha256>   the workbook file the journal belongs
//                                      to: its size, modification time (ms
//                                      since the epoch) and the SHA-256 of its
//                                      first 64 KiB; written at the start and
//                                      after each save the logger makes
//   saving <time>                      a save of the workbook began (ms since
//                                      the epoch); the next identity line
//                                      says how it ended
// Fields are separated by tabs; a tab, line feed or backslash inside a field
// is written as \t, \n or \\. Only rows ended by a whole "row" line count: a
// tail cut by a crash is ignored.
#pragma once

#include "core/result.h"
#include "sheet/spreadsheet_app.h"

#include <QByteArray>
#include <QDateTime>
#include <QSet>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
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

// Which file a workbook is, so that a journal is never replayed into a file
// that took the place of the one it was written for.
struct WorkbookIdentity {
  qint64 size = 0;
  qint64 modifiedMs = 0;  // ms since the epoch
  QByteArray headSha256;  // hex SHA-256 of the first WorkbookHeadBytes bytes
  friend bool operator==(const WorkbookIdentity&, const WorkbookIdentity&) = default;
};
constexpr qint64 WorkbookHeadBytes = 64 * 1024;

Result<WorkbookIdentity> identifyWorkbook(const QString& path);

struct JournalContents {
  QString workbookPath;
  std::vector<JournalRow> rows;
  // The length of the journal up to its last whole row (or mark): what
  // follows is cut short or damaged.
  qsizetype completeBytes = 0;
  // The workbook file as last recorded; none in journals of earlier versions.
  std::optional<WorkbookIdentity> identity;
  // A save began after that record and its end never reached the journal:
  // when it began.
  std::optional<qint64> savingSinceMs;
  // Rows not known to be in the workbook on disk.
  int unsavedRows() const;
  // Whether the workbook file `current` is the one this journal was written
  // for: the recorded file, or (a save was under way) a file written after
  // that save began. Journals without a record fit any file.
  bool fits(const std::optional<WorkbookIdentity>& current) const;
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

// Keeps a journal that does not belong to its workbook under a new name beside
// it ("….orphan-YYYYMMDD-HHMMSS", another never overwritten); returns that name.
Result<QString> setJournalAside(const QString& journalPath, const QDateTime& now);

// Appends to a journal. Lines are handed to the file at the end of each row
// (so a crash of this process loses nothing written before); a worker thread
// then makes them durable with fdatasync, so a slow disk never holds up the
// caller. A write or a sync that fails moves the journal, whole, to its other
// place (the user's folder, or back beside the workbook); when that fails too
// the journal is lost and says so.
class JournalWriter {
public:
  JournalWriter();
  ~JournalWriter();
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  // Opens (or continues) the journal of the workbook at `workbookPath`; a new
  // journal records the workbook file's identity. `journalPath` names the
  // journal to continue where it is not the usual place.
  Status open(const QString& workbookPath, const QString& journalPath = {});
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
  // A save of the workbook begins (`nowMs`: ms since the epoch). Until
  // endSave, a crash leaves a journal that accepts the file as it was and a
  // file written since.
  Status beginSave(qint64 nowMs);
  // The save ended: `saved` is the file it left, none when it failed and the
  // file stays as it was. Also for saves nobody announced (any save seen).
  Status endSave(const std::optional<WorkbookIdentity>& saved);
  // Every row is known to be in the workbook on disk, and none is in progress.
  bool allSaved() const { return savedRows_ >= rows_ && row_.isEmpty(); }
  // Waits until everything handed over is on the disk; a failed sync moves
  // the journal as a failed write does.
  Status flush();
  // Complete rows known to be on the disk (safe to call from any thread).
  int durableRows() const;
  // The journal could not be written where it was nor anywhere else: why.
  // It holds the rows that reached it before; nothing more is appended.
  const QString& lostReason() const { return lostReason_; }
  // Why the journal last moved to its other place (empty when it has not):
  // a write or a sync failed where it was.
  const QString& movedBecause() const { return movedFrom_; }
  // Closes and deletes the journal: the workbook was saved with all of it.
  Status retire();
  // Closes the journal and keeps it for the next open.
  void close();

private:
  // Lines of a row; `rowsAfter`: the complete rows once these bytes are in
  // (-1: the row goes on).
  Status append(const QByteArray& bytes, int rowsAfter = -1);
  // A line about the file (saving, saved, identity), as the file and as the
  // copy count rows.
  Status appendMark(const QByteArray& fileBytes, const QByteArray& copyBytes);
  Status write(const QByteArray& fileBytes, const QByteArray& copyBytes, int rowsAfter);
  Status takeSyncFailure();
  // Writes the journal's whole lines again at its other place.
  Status moveAway(const Status& why);
  Status lose(const Status& why);
  Status moveTo(const QString& place);
  void closeFile();
  void syncLoop();

  QString workbookPath_;
  QString path_;
  int fd_ = -1;
  QByteArray row_;  // the lines of the row in progress
  int rows_ = 0;
  int savedRows_ = 0;
  std::optional<WorkbookIdentity> identity_;  // as last written
  bool saving_ = false;                       // a "saving" line waits for its end

  // What the journal holds, kept in memory so that it can be written again
  // elsewhere when its disk fails (reading it back may fail too). Once every
  // row is in the saved workbook it shrinks to the last row, whose row line
  // holds the cursor.
  QByteArray copy_;
  int copyBase_ = 0;  // rows before the copy's first
  int fileBase_ = 0;  // rows before the file's first
  QByteArray headerLine_;
  QByteArray sheetLine_;
  QByteArray rowLines_;      // lines of the row in progress already written
  QByteArray lastRowLines_;  // lines of the last complete row
  QByteArray savingLine_;
  QSet<QString> failedPlaces_;  // places a write or sync failed at in this session
  QString lostReason_;
  QString movedFrom_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable synced_;
  std::uint64_t handed_ = 0;   // appends so far
  std::uint64_t durable_ = 0;  // appends known to be on the disk
  bool stop_ = false;
  int syncError_ = 0;    // errno of a failed fdatasync not yet reported
  int handedRows_ = 0;   // complete rows in what was handed over
  int durableRows_ = 0;  // complete rows known to be on the disk
  std::thread syncer_;
};

}  // namespace kestrune::sheet
