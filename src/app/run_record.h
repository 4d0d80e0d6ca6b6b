// The run record: a file kept beside a workbook, "NAME.xls.kestrune-record",
// that every run appends to while it is on (kestrune.conf's record=on) and
// that nothing ever rewrites. It says what each run wrote where, so that
// `kestrune verify` can tell later which cells of the workbook still hold
// what was acquired.
//
// The file is UTF-8 text, one record a line, for readers other than this
// program: a kind word, a tab, a JSON object, a tab, and the line's hash.
// The hash is the SHA-256, in lowercase hex, of the previous line's hash, a
// tab, the kind, a tab and the JSON text; the file's first line takes 64
// zeros as the hash before it. Editing, removing, inserting or reordering a
// line breaks the chain from that line on.
//   run   a run begins: run id, program version, host, user, workbook,
//         sheet, start cell, start time, the settings, the script (its
//         file's text or "built-in") with its SHA-256, each channel's line
//   row   a row as written: run id, sequence, sheet, row, first column, the
//         acquisition number and the cells in column order (a number, a
//         text, null for an empty cell, or a stamp {"time": ISO 8601 with
//         milliseconds, "serial": its spreadsheet serial number, 1900 system})
//   note  something that happened to the run: a clock step, a recovery
//   end   the run ended: its row count and end time
// A run a crash interrupted is ended by a recovery note, after the rows the
// journal held and the record lacked.
#pragma once

#include "core/acquired_row.h"
#include "core/durable_log.h"
#include "sheet/journal.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>
#include <vector>

namespace kestrune::app {

inline const QString RecordSuffix = QStringLiteral(".kestrune-record");

// %1: the record's path, %2: why it could not be written.
inline const QString MsgRecordFailed = QStringLiteral(
    "実行記録 %1 に書き込めませんでした（%2）。取得は続けます。ブックへの書き込みには影響ありませんが、"
    "この実行のこれ以降の行は実行記録に残りません。");

// The record of the workbook at `workbookPath`: beside it, its name cut as a
// journal's is when too long.
QString recordPathFor(const QString& workbookPath);

// A stamp as the record keeps it.
struct RecordStamp {
  QString time;       // ISO 8601 with milliseconds
  double serial = 0;  // the spreadsheet's serial number, 1900 system
  friend bool operator==(const RecordStamp&, const RecordStamp&) = default;
};
// One cell as written: empty, a number, a text, a stamp.
using RecordCell = std::variant<std::monostate, double, QString, RecordStamp>;

// A value as the workbook stores it (text typed as a spreadsheet types it).
RecordCell recordCell(const sheet::CellValue& value);
// The cells a row wrote, from its first column on: the number, the stamp, the values.
std::vector<RecordCell> recordCells(const AcquiredRow& row);
QJsonValue cellJson(const RecordCell& cell);
RecordCell cellFromJson(const QJsonValue& value);

// The hash a line with `kind` and `json` carries after `previous`.
QByteArray chainHash(const QByteArray& previous, const QByteArray& kind, const QByteArray& json);
inline const QByteArray ZeroHash(64, '0');

// One line of a record as read.
struct RecordLine {
  int number = 0;  // 1 for the file's first line
  QByteArray kind;
  QJsonObject object;
};
struct ParsedRecord {
  std::vector<RecordLine> lines;  // the lines that read, in order
  // Lines whose hash does not follow from the line before (edited, removed,
  // inserted, reordered) or that do not read at all.
  std::vector<int> brokenLines;
  bool tornTail = false;  // the file ends inside a line
  qsizetype wholeBytes = 0;
  QByteArray lastHash = ZeroHash;  // the hash the next line chains on
};
ParsedRecord parseRecord(const QByteArray& bytes);

// Appends to a workbook's record through a DurableLog (fdatasync on its own
// thread). The lines of a run are written by a thread of the record's own, so
// the acquisition's tick never waits on the file system: the journal has
// every row first, and the next open adds what a crash kept from the record.
// Failures come back as the log's, from the next call after them; the
// session tells the user.
class RunRecord {
public:
  RunRecord();
  ~RunRecord();
  // Opens (or creates) the record at `path`. A torn last line is cut. A run
  // left without end is ended with a recovery note, after `journalRows`
  // (what the journal held when the workbook was opened) that the record lacks.
  LogStatus open(const QString& path, const std::vector<sheet::JournalRow>& journalRows, const QDateTime& now);
  bool isOpen() const { return log_.isOpen(); }
  const QString& path() const { return log_.path(); }
  // Begins a run: `header` gains the run id; `sheet`, `row` and `column`
  // are where its first row goes.
  LogStatus beginRun(QJsonObject header);
  LogStatus take(const AcquiredRow& row);
  LogStatus noteClockStep(qint64 stepMs, const QDateTime& wallNow);
  LogStatus endRun(const QDateTime& now);
  const QString& runId() const { return runId_; }
  // Waits for the lines handed over and the disk, and closes.
  LogStatus close();

private:
  QByteArray line(const QByteArray& kind, QJsonObject object);
  LogStatus repair(const QByteArray& held, const std::vector<sheet::JournalRow>& journalRows, const QDateTime& now);
  // Hands a line to the writer, which makes it (its JSON and its place in
  // the hash chain) and writes it; a failure of an earlier write comes back.
  LogStatus append(std::function<QByteArray()> make);
  void writeLoop();
  // Writes what is queued without waiting for the interval, and returns once it is written.
  void writeNow();
  bool writing() const { return busy_; }
  void stopWriter();

  DurableLog log_{DurableLog::Options{0666, false}};
  // The chain and the count of lines: the writer's once it runs.
  QByteArray lastHash_ = ZeroHash;
  QString runId_;  // empty between runs
  qint64 rows_ = 0;
  qint64 lines_ = 0;

  std::mutex queueMutex_;
  std::condition_variable queueWake_;
  std::vector<std::function<QByteArray()>> queued_;
  bool stopping_ = false;
  bool urgent_ = false;
  bool busy_ = false;  // the writer holds a batch
  std::uint64_t batchesWritten_ = 0;
  std::condition_variable written_;
  std::optional<LogError> writeFailure_;  // not yet told
  bool failed_ = false;                   // nothing more is written after a failure
  std::thread writer_;
};

}  // namespace kestrune::app
