// The acquisition journal: every value a run writes into a workbook is also
// appended to a small text file beside it as it is written, one line per
// value and one line per completed row, so that a crash, a power cut or a
// failed save loses no reading. Opening the workbook again replays what the
// workbook lacks.
//
// The file, "NAME.kestrune-journal" beside the workbook (or, where that
// folder cannot be written, in the per-user state folder; a name longer than
// a file name may be is cut and given a hash of the whole), is UTF-8 text,
// one record a line, fields separated by tabs. Every line ends with its own
// checksum: the CRC-32 of the line's text before that last tab, as eight
// lowercase hexadecimal digits.
//   kestrune-journal 2 <workbook path> <crc>
//   identity <size> <mtime> <sha256> <crc>  the workbook file the journal
//                                      belongs to: its size, modification time
//                                      (ms since the epoch) and the SHA-256 of
//                                      its first 64 KiB; written at the start
//                                      and after each save the logger makes
//   begin <row> <next column> <number> <sheet> <crc>
//                                      a row's first value follows: the row,
//                                      where the next row starts and the
//                                      acquisition number once this row is done
//   cell <row> <column> <kind> <value> <crc>
//                                      one value, written when it goes into the
//                                      sheet (kind: n number, s text, d date, t
//                                      time, dt date and time as milliseconds
//                                      since the epoch; dm, tm, dtm the same
//                                      shown to the millisecond)
//   row <seq> <row> <cells> <next row> <next column> <number> <crc>
//                                      the row is complete: its place among the
//                                      journal's complete rows (1, 2, …), how
//                                      many values it holds, the cursor and the
//                                      acquisition number after it; a row that
//                                      filled its sheet adds the sheet the run
//                                      goes on in:
//   row <seq> <row> <cells> <next row> <next column> <number> <next sheet> <crc>
//   mark <row> <column> <sheet> <crc>  the cell was marked (its background
//                                      coloured, SpreadsheetApp::markCell) on
//                                      that sheet; a mark belongs to no row and
//                                      is written back whether its row was
//                                      saved or not, since a save may have
//                                      begun before it
//   alarms <state> <crc>               the run's alarms after the row before
//                                      it (which are raised, the previous
//                                      value of each step rule); the last one
//                                      counts
//   saved <rows> <crc>                 the workbook on disk holds the complete
//                                      rows 1 to <rows>
//   saving <time> <crc>                a save of the workbook began (ms since
//                                      the epoch); the next identity line says
//                                      how it ended
// A tab, line feed, carriage return or backslash inside a field is written as
// \t, \n, \r or \\. A line ends with LF; a CR before it is ignored.
//
// Reading is line by line, so that damage costs only what it touches:
// - the text after the last line feed was cut short by a crash and is
//   dropped without counting as damage;
// - a line whose checksum fails (or that does not read) is damaged: it is
//   skipped and counted;
// - a mark line stands on its own: it counts in no row, and the same cell
//   marked twice is one mark;
// - a cell line belongs to the open row its row number names (the latest
//   begin line for that row); a cell without one (its begin line damaged)
//   cannot be placed and counts as damaged;
// - a row whose row line is damaged or missing stays a row without end: its
//   values are still written back, it counts as not saved, and it ends where
//   its begin line says (the row below, at the next column, with the number).
//   Only the journal's last row may lack its end without damage (the crash
//   came during it); any other counts as one damaged line;
// - a row line whose value count differs from the values read for that row
//   counts the missing values as damaged lines.
// Lines found missing (the last two rules) are counted only in a journal
// where no line was found damaged, so that one damaged line counts once.
// A damaged journal is never continued, cut or deleted: it is kept under a
// new name beside it ("….damaged-YYYYMMDD-HHMMSS") and the rows it still held
// go on in a fresh journal.
//
// Version 1 journals (no checksum per line; "sheet <name>" lines; "row <next
// row> <next column> <number> <crc>" with a CRC-16 of the row's lines) are
// still read; a row whose CRC fails is damaged, and the run goes on after it.
// They are never appended to: continuing one rewrites it as version 2.
#pragma once

#include "core/durable_log.h"
#include "core/result.h"
#include "sheet/spreadsheet_app.h"

#include <QByteArray>
#include <QDateTime>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune::sheet {

struct JournalCell {
  std::int32_t row = 0;
  std::int32_t column = 0;
  CellValue value;
  friend bool operator==(const JournalCell&, const JournalCell&) = default;
};

// One row and where the run stood after it.
struct JournalRow {
  QString sheet;
  std::int32_t row = 0;  // the row its values are in
  std::vector<JournalCell> cells;
  std::int32_t nextRow = 0;
  std::int32_t nextColumn = 0;
  std::int32_t acquisitionNo = 0;
  // The sheet the next row goes into when it is not this row's: the run
  // went on in a new sheet after this one.
  QString nextSheet;
  // The workbook on disk already held this row when the journal ended.
  bool saved = false;
  // The row's end was read; without it the row stops where its start said.
  bool ended = true;
  // An "alarms" line followed the row: the run's alarms had taken it.
  bool alarmsTaken = false;
};

// A cell that was marked.
struct JournalMark {
  QString sheet;
  std::int32_t row = 0;
  std::int32_t column = 0;
  friend bool operator==(const JournalMark&, const JournalMark&) = default;
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

// A symbolic link in a journal's place: neither it nor where it points is used.
inline const QString MsgJournalIsLink = QStringLiteral(
    "%1 はシンボリックリンクのため、取得データの記録に使いません（リンク先のファイルには触れません）。"
    "リンクを消すか名前を変えてください。");

struct JournalContents {
  int version = 0;
  QString workbookPath;
  std::vector<JournalRow> rows;
  // Every cell marked, in the order first marked; rows count none of them.
  std::vector<JournalMark> marks;
  // The run's alarms after its latest row that had them (the last "alarms"
  // line); empty without one.
  QString alarmState;
  // The length of the journal up to its last whole line: what follows was
  // cut short.
  qsizetype completeBytes = 0;
  // Lines skipped because they, or the row they belong to, are damaged.
  int damagedLines = 0;
  // The workbook file as last recorded; none in journals of earlier versions.
  std::optional<WorkbookIdentity> identity;
  // A save began after that record and its end never reached the journal:
  // when it began.
  std::optional<qint64> savingSinceMs;
  // The number of the last complete row (rows count from the journal's
  // first, also those a moved journal no longer holds), and the "saved" mark.
  qint64 lastRowNumber = 0;
  qint64 savedMark = 0;
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

// Reads a journal (see above); fails only when no line of it reads as one.
// An empty file, or one cut within its first line, holds nothing.
Result<JournalContents> parseJournal(const QByteArray& bytes);

// Reads a file without following a symbolic link in its place.
Result<QByteArray> readJournalFile(const QString& path);

// The journal of the workbook at `workbookPath` if one exists (beside it or
// in the per-user folder), with its path; an empty path when there is none.
// A file there that is no journal at all is found with every line damaged.
// A symbolic link in either place is neither read nor followed: `refused`
// says so, and the other place is still looked at.
struct FoundJournal {
  QString path;
  JournalContents contents;
  QStringList refused;
  // The other place's journal when both hold one (a move could not remove
  // the old one): it goes less far, and goes with the one found.
  QString behind;
};
Result<FoundJournal> findJournal(const QString& workbookPath);

// Why a journal is kept under another name.
enum class JournalAside {
  Orphan,     // written for another file
  Damaged,    // not every line of it could be read
  Unwritten,  // its rows could not be written into the workbook
};
// Keeps a journal under a new name beside it ("….orphan-YYYYMMDD-HHMMSS",
// "….damaged-…" or "….unwritten-…", another never overwritten); returns
// that name.
Result<QString> setJournalAside(const QString& journalPath, const QDateTime& now,
                                JournalAside why = JournalAside::Orphan);

// Where a value's row is and how the run stands once that row is complete.
struct RowStart {
  std::int32_t row = 0;
  std::int32_t nextColumn = 0;
  std::int32_t numberAfter = 0;
};

// Appends to a journal. Each value is handed to the file as it is written
// (so a crash of this process loses nothing written before); a worker thread
// then makes it durable with fdatasync, so a slow disk never holds up the
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
  // journal to continue where it is not the usual place. A symbolic link in
  // a journal's place is never followed. A journal of an earlier version is
  // rewritten in this one; a damaged one is kept aside (keptAside()) and a
  // fresh one goes on with the rows it still held.
  Status open(const QString& workbookPath, const QString& journalPath = {});
  bool isOpen() const { return log_.isOpen(); }
  const QString& path() const { return path_; }
  // Where the last open kept a damaged journal; empty when it did not.
  const QString& keptAside() const { return keptAside_; }

  // The sheet the following rows are written on.
  void beginSheet(const QString& sheet);
  // Whether a row has values and no end yet.
  bool rowPending() const { return openRow_.has_value(); }
  // One value of the row `start.row`, handed to the file at once.
  Status cell(const RowStart& start, std::int32_t column, const CellValue& value);
  // Ends the row and hands it to the file. A `nextSheet` says that the next
  // row goes into that sheet (the run goes on there); beginSheet names it
  // for the rows that follow.
  Status endRow(std::int32_t nextRow, std::int32_t nextColumn, std::int32_t acquisitionNo,
                const QString& nextSheet = {});
  // Marks a cell of `sheet`, or of the row's sheet (the one beginSheet named
  // last) when empty, handed to the file at once.
  Status mark(std::int32_t row, std::int32_t column, const QString& sheet = {});
  // The run's alarms after its latest row (AlarmMonitor's saved state); only
  // the latest counts.
  Status alarmState(const QString& state);
  // Lines appended from hold() until release() reach the file in one write:
  // a row's end with its marks and alarm state costs one system call.
  void hold() { held_ = true; }
  Status release();
  // Complete rows in the journal, those of earlier sessions included.
  int rows() const { return rows_; }
  // Marks in the journal, those of earlier sessions included.
  int marks() const { return marks_; }
  // The workbook on disk holds the journal's first `rows` rows and its
  // first `marks` marks (as rows() and marks() counted them when the save
  // began).
  Status markSaved(int rows, int marks = 0);
  // A save of the workbook begins (`nowMs`: ms since the epoch). Until
  // endSave, a crash leaves a journal that accepts the file as it was and a
  // file written since.
  Status beginSave(qint64 nowMs);
  // The save ended: `saved` is the file it left, none when it failed and the
  // file stays as it was. Also for saves nobody announced (any save seen).
  Status endSave(const std::optional<WorkbookIdentity>& saved);
  // Every row and mark is known to be in the workbook on disk, and no row is
  // in progress.
  bool allSaved() const { return savedRows_ >= rows_ && savedMarks_ >= marks_ && !openRow_; }
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
  // What a line is to the copy in memory: one of the row's values, the end
  // of a row, a cell's mark, or a line about the file.
  enum class Part { Values, RowEnd, CellMark, AlarmState, File };
  Status append(const QByteArray& bytes, Part part = Part::File);
  // Writes the journal again at its other place.
  Status moveAway(const Status& why);
  Status lose(const Status& why);
  Status moveTo(const QString& place);
  Status openPlace(const QString& place);
  Status startFresh(const QString& place, const JournalContents& carried);

  struct OpenRow {
    std::int32_t row = 0;
    int cells = 0;
  };

  QString workbookPath_;
  QString path_;
  // The file, synced by its own thread.
  DurableLog log_{DurableLog::Options{0666, false}};
  QString sheet_;                   // where the following rows are written
  std::optional<OpenRow> openRow_;  // the row in progress
  QString keptAside_;
  int rows_ = 0;
  int savedRows_ = 0;
  int marks_ = 0;
  int savedMarks_ = 0;
  std::optional<WorkbookIdentity> identity_;  // as last written
  bool saving_ = false;                       // a "saving" line waits for its end

  // What the journal holds, kept in memory so that it can be written again
  // elsewhere when its disk fails (reading it back may fail too). Once every
  // row is in the saved workbook it shrinks to the marks and the last row,
  // whose row line holds the cursor.
  QByteArray copy_;
  QByteArray headerLine_;
  QByteArray rowLines_;      // lines of the row in progress
  QByteArray lastRowLines_;  // lines of the last complete row
  QByteArray alarmLine_;     // the latest alarm state line: kept when the copy shrinks
  QByteArray markLines_;     // every mark line: kept when the copy shrinks
  QByteArray savingLine_;
  bool held_ = false;  // see hold()
  QByteArray heldBytes_;
  qint64 heldRows_ = 0;         // the rows once the held lines are written
  QSet<QString> failedPlaces_;  // places a write or sync failed at in this session
  QString lostReason_;
  QString movedFrom_;
};

}  // namespace kestrune::sheet
