#include "app/run_record.h"

#include "sheet/xls/value.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

#include <chrono>

namespace kestrune::app {

namespace {

// The serial a stamp of the run gets in a workbook of the 1900 date system,
// computed as the built-in spreadsheet computes it, so that the two compare
// exactly.
double stampSerial1900(const Stamp& stamp) {
  const QTime time = stamp.value.time();
  if (stamp.kind == Stamp::Kind::Time) return time.msecsSinceStartOfDay() / (86400.0 * 1000.0);
  const QDate date = stamp.value.date();
  xls::CivilDateTime civil{date.year(), date.month(), date.day()};
  if (stamp.kind == Stamp::Kind::DateTime) {
    civil.hour = time.hour();
    civil.minute = time.minute();
    civil.second = time.second() + time.msec() / 1000.0;
  }
  const xls::XlsResult<double> serial = xls::serialFromCivil(civil, false);
  return serial ? serial.value() : 0.0;
}

QString isoText(const QDateTime& when) {
  return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString stampText(const Stamp& stamp) {
  switch (stamp.kind) {
    case Stamp::Kind::Date:
      return stamp.value.date().toString(Qt::ISODate);
    case Stamp::Kind::Time:
      return stamp.value.time().toString(Qt::ISODateWithMs);
    case Stamp::Kind::DateTime:
      break;
  }
  return isoText(stamp.value);
}

QJsonObject rowJson(const QString& run, qint64 sequence, const QString& sheet, std::int32_t row, std::int32_t column,
                    std::optional<std::int32_t> number, const std::vector<RecordCell>& cells) {
  QJsonArray array;
  for (const RecordCell& cell : cells) array.append(cellJson(cell));
  QJsonObject object{{QStringLiteral("run"), run}, {QStringLiteral("seq"), sequence}, {QStringLiteral("sheet"), sheet},
                     {QStringLiteral("row"), row}, {QStringLiteral("col"), column},   {QStringLiteral("cells"), array}};
  if (number) object.insert(QStringLiteral("no"), *number);
  return object;
}

}  // namespace

QString recordPathFor(const QString& workbookPath) {
  const QFileInfo info(workbookPath);
  return info.absoluteDir().filePath(fitFileName(info.fileName(), RecordSuffix));
}

RecordCell recordCell(const sheet::CellValue& value) {
  if (const auto* text = std::get_if<QString>(&value)) {
    const xls::Value typed = xls::parseTyped(text->toStdString());
    if (const auto* number = std::get_if<double>(&typed)) return *number;
    if (text->isEmpty()) return std::monostate{};
    return *text;
  }
  if (const auto* number = std::get_if<std::int32_t>(&value)) return static_cast<double>(*number);
  const Stamp& stamp = std::get<Stamp>(value);
  return RecordStamp{stampText(stamp), stampSerial1900(stamp)};
}

std::vector<RecordCell> recordCells(const AcquiredRow& row) {
  std::vector<RecordCell> cells;
  if (row.number) cells.emplace_back(static_cast<double>(*row.number));
  if (row.stamp) cells.push_back(recordCell(*row.stamp));
  for (const AcquiredValue& value : row.values) {
    if (value.number)
      cells.emplace_back(*value.number);
    else if (value.text.isEmpty())
      cells.emplace_back(std::monostate{});
    else
      cells.emplace_back(value.text);
  }
  return cells;
}

QJsonValue cellJson(const RecordCell& cell) {
  if (const auto* number = std::get_if<double>(&cell)) return *number;
  if (const auto* text = std::get_if<QString>(&cell)) return *text;
  if (const auto* stamp = std::get_if<RecordStamp>(&cell))
    return QJsonObject{{QStringLiteral("time"), stamp->time}, {QStringLiteral("serial"), stamp->serial}};
  return QJsonValue::Null;
}

RecordCell cellFromJson(const QJsonValue& value) {
  if (value.isDouble()) return value.toDouble();
  if (value.isString()) return value.toString();
  if (value.isObject()) {
    const QJsonObject o = value.toObject();
    return RecordStamp{o.value(QStringLiteral("time")).toString(), o.value(QStringLiteral("serial")).toDouble()};
  }
  return std::monostate{};
}

QByteArray chainHash(const QByteArray& previous, const QByteArray& kind, const QByteArray& json) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(previous);
  hash.addData("\t");
  hash.addData(kind);
  hash.addData("\t");
  hash.addData(json);
  return hash.result().toHex();
}

ParsedRecord parseRecord(const QByteArray& bytes) {
  ParsedRecord parsed;
  const QList<QByteArray> lines = wholeLines(bytes, parsed.wholeBytes);
  parsed.tornTail = parsed.wholeBytes < bytes.size();
  int number = 0;
  for (const QByteArray& text : lines) {
    ++number;
    const QList<QByteArray> fields = text.split('\t');
    QJsonParseError error;
    const QJsonDocument document = fields.size() == 3 ? QJsonDocument::fromJson(fields[1], &error) : QJsonDocument();
    const bool reads =
        fields.size() == 3 && error.error == QJsonParseError::NoError && document.isObject() && fields[2].size() == 64;
    if (!reads) {
      parsed.brokenLines.push_back(number);
      // The next line chains on the hash this one states, where it states one.
      if (fields.size() >= 2 && fields.back().size() == 64) parsed.lastHash = fields.back();
      continue;
    }
    if (chainHash(parsed.lastHash, fields[0], fields[1]) != fields[2]) parsed.brokenLines.push_back(number);
    parsed.lastHash = fields[2];
    parsed.lines.push_back({number, fields[0], document.object()});
  }
  return parsed;
}

RunRecord::RunRecord() = default;
RunRecord::~RunRecord() { static_cast<void>(close()); }  // a failure at the end has no one left to tell

QByteArray RunRecord::line(const QByteArray& kind, QJsonObject object) {
  const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
  lastHash_ = chainHash(lastHash_, kind, json);
  ++lines_;
  return kind + '\t' + json + '\t' + lastHash_ + '\n';
}

LogStatus RunRecord::append(std::function<QByteArray()> make) {
  if (!log_.isOpen()) return log_.append({}, lines_);  // the log's own refusal
  {
    const std::lock_guard lock(queueMutex_);
    if (writeFailure_) {
      const LogError failure = *writeFailure_;
      writeFailure_.reset();
      return failure;
    }
    queued_.push_back(std::move(make));
  }
  queueWake_.notify_one();
  return {};
}

namespace {
constexpr std::chrono::milliseconds WriteInterval{200};
}  // namespace

void RunRecord::writeLoop() {
  std::unique_lock lock(queueMutex_);
  for (;;) {
    queueWake_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
    if (queued_.empty()) return;  // stopping, and every line handed over is written
    // The lines of a while go out in one write and one sync: the journal
    // holds each row until the record is closed, and its recovery fills in
    // what a crash kept from the record.
    queueWake_.wait_for(lock, WriteInterval, [this] { return stopping_ || urgent_; });
    urgent_ = false;
    std::vector<std::function<QByteArray()>> jobs;
    jobs.swap(queued_);
    const bool skip = failed_;
    busy_ = true;
    lock.unlock();
    // A record with a gap would prove nothing about the lines after it.
    LogStatus written;
    if (!skip) {
      QByteArray bytes;
      for (const auto& make : jobs) bytes += make();
      written = log_.append(bytes, lines_);
    }
    lock.lock();
    if (!written) {
      failed_ = true;
      writeFailure_ = written.error();
    }
    busy_ = false;
    ++batchesWritten_;
    written_.notify_all();
  }
}

void RunRecord::writeNow() {
  std::unique_lock lock(queueMutex_);
  // The batch that takes what is queued now is the next one to end.
  const std::uint64_t wanted = batchesWritten_ + (queued_.empty() ? 0 : 1) + (writing() ? 1 : 0);
  urgent_ = true;
  queueWake_.notify_one();
  written_.wait(lock, [&] { return batchesWritten_ >= wanted || !writer_.joinable(); });
}

void RunRecord::stopWriter() {
  if (!writer_.joinable()) return;
  {
    const std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  queueWake_.notify_one();
  writer_.join();
  stopping_ = false;
}

LogStatus RunRecord::open(const QString& path, const std::vector<sheet::JournalRow>& journalRows,
                          const QDateTime& now) {
  const LogResult<QByteArray> held = log_.open(path, true);
  if (!held) return held.error();
  failed_ = false;
  writeFailure_.reset();
  const LogStatus repaired = repair(*held, journalRows, now);
  writer_ = std::thread([this] { writeLoop(); });
  return repaired;
}

LogStatus RunRecord::repair(const QByteArray& held, const std::vector<sheet::JournalRow>& journalRows,
                            const QDateTime& now) {
  const ParsedRecord parsed = parseRecord(held);
  if (parsed.tornTail)
    if (LogStatus cut = log_.cut(parsed.wholeBytes); !cut) return cut;
  lastHash_ = parsed.lastHash;
  lines_ = static_cast<qint64>(parsed.lines.size());
  log_.resetCount(lines_);
  runId_.clear();

  // The last run, and whether it ended.
  QJsonObject header;
  QJsonObject lastRow;
  qint64 rows = 0;
  bool ended = true;
  for (const RecordLine& l : parsed.lines) {
    if (l.kind == "run") {
      header = l.object;
      lastRow = {};
      rows = 0;
      ended = false;
    } else if (l.kind == "row" && l.object.value(QStringLiteral("run")) == header.value(QStringLiteral("run"))) {
      lastRow = l.object;
      ++rows;
    } else if (l.kind == "end" || (l.kind == "note" && l.object.value(QStringLiteral("ends-run")).toBool())) {
      ended = true;
    }
  }
  if (ended) return {};

  // The journal's rows after the last one the record holds are this run's
  // rows a crash kept from the record; the run's first place when it holds none.
  const QString run = header.value(QStringLiteral("run")).toString();
  const QJsonObject& place = lastRow.isEmpty() ? header.value(QStringLiteral("first")).toObject() : lastRow;
  const QString sheet = place.value(QStringLiteral("sheet")).toString();
  const int row = place.value(QStringLiteral("row")).toInt();
  std::size_t from = journalRows.size();
  for (std::size_t i = journalRows.size(); i-- > 0;) {
    if (journalRows[i].sheet == sheet && journalRows[i].row == row) {
      from = lastRow.isEmpty() ? i : i + 1;
      break;
    }
  }
  QByteArray bytes;
  const QString time = isoText(now);
  if (from < journalRows.size())
    bytes += line("note", QJsonObject{{QStringLiteral("run"), run},
                                      {QStringLiteral("event"), QStringLiteral("recovered-rows")},
                                      {QStringLiteral("time"), time},
                                      {QStringLiteral("count"), static_cast<qint64>(journalRows.size() - from)}});
  for (std::size_t i = from; i < journalRows.size(); ++i) {
    const sheet::JournalRow& written = journalRows[i];
    if (written.cells.empty()) continue;
    std::vector<RecordCell> cells;
    std::optional<std::int32_t> number;
    const std::int32_t first = written.cells.front().column;
    for (const sheet::JournalCell& cell : written.cells) {
      while (std::ssize(cells) < cell.column - first) cells.emplace_back(std::monostate{});
      if (const auto* n = std::get_if<std::int32_t>(&cell.value)) number = *n;
      cells.push_back(recordCell(cell.value));
    }
    bytes += line("row", rowJson(run, ++rows, written.sheet, written.row, first, number, cells));
  }
  bytes += line("note", QJsonObject{{QStringLiteral("run"), run},
                                    {QStringLiteral("event"), QStringLiteral("ended-by-recovery")},
                                    {QStringLiteral("time"), time},
                                    {QStringLiteral("rows"), rows},
                                    {QStringLiteral("ends-run"), true}});
  return log_.append(bytes, lines_);
}

LogStatus RunRecord::beginRun(QJsonObject header) {
  runId_ = QUuid::createUuid().toString(QUuid::WithoutBraces);
  rows_ = 0;
  header.insert(QStringLiteral("run"), runId_);
  // The run's header is on the disk before its first row can be: the rows
  // a crash keeps from the record are found again under it.
  const LogStatus handed = append([this, header] { return line("run", header); });
  if (!handed) return handed;
  writeNow();
  return log_.sync();
}

LogStatus RunRecord::take(const AcquiredRow& row) {
  if (runId_.isEmpty()) return {};
  return append([this, run = runId_, sequence = ++rows_, row] {
    return line("row", rowJson(run, sequence, row.sheet, row.row, row.firstColumn, row.number, recordCells(row)));
  });
}

LogStatus RunRecord::noteClockStep(qint64 stepMs, const QDateTime& wallNow) {
  if (runId_.isEmpty()) return {};
  const QJsonObject note{{QStringLiteral("run"), runId_},
                         {QStringLiteral("event"), QStringLiteral("clock-step")},
                         {QStringLiteral("time"), isoText(wallNow)},
                         {QStringLiteral("step-ms"), stepMs}};
  return append([this, note] { return line("note", note); });
}

LogStatus RunRecord::endRun(const QDateTime& now) {
  if (runId_.isEmpty()) return {};
  const QJsonObject end{
      {QStringLiteral("run"), runId_}, {QStringLiteral("rows"), rows_}, {QStringLiteral("end"), isoText(now)}};
  const LogStatus ended = append([this, end] { return line("end", end); });
  runId_.clear();
  return ended;
}

LogStatus RunRecord::close() {
  stopWriter();
  if (!log_.isOpen()) return {};
  std::optional<LogError> failure;
  failure.swap(writeFailure_);
  const LogStatus synced = log_.sync();
  log_.close();
  runId_.clear();
  if (failure) return *failure;
  return synced;
}

}  // namespace kestrune::app
