#include "web/web_feed.h"

#include "core/alarm_rules.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace kestrune::web {

namespace {

QString offsetText(int seconds) {
  const QChar sign = seconds < 0 ? QChar('-') : QChar('+');
  const int minutes = std::abs(seconds) / 60;
  return QStringLiteral("%1%2:%3").arg(sign).arg(minutes / 60, 2, 10, QChar('0')).arg(minutes % 60, 2, 10, QChar('0'));
}

// A CSV field, in double quotes (doubled inside) when it holds a separator,
// a quote or a line break, or starts or ends with a blank a reader would trim.
QByteArray csvField(const QString& text) {
  QByteArray field = text.toUtf8();
  const bool quote = field.contains(',') || field.contains('"') || field.contains('\n') || field.contains('\r') ||
                     (!field.isEmpty() && (field.front() == ' ' || field.back() == ' '));
  if (!quote) return field;
  field.replace("\"", "\"\"");
  return '"' + field + '"';
}

}  // namespace

QString stampText(const Stamp& stamp) {
  switch (stamp.kind) {
    case Stamp::Kind::Date:
      return stamp.value.date().toString(Qt::ISODate);
    case Stamp::Kind::Time:
      return stamp.value.time().toString(QStringLiteral("HH:mm:ss.zzz"));
    case Stamp::Kind::DateTime:
      break;
  }
  const QDateTime local = stamp.value.toLocalTime();
  return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + offsetText(local.offsetFromUtc());
}

QByteArray rowJson(const AcquiredRow& row) {
  QJsonArray values;
  QJsonArray numbers;
  for (const AcquiredValue& value : row.values) {
    values.append(value.text);
    numbers.append(value.number && std::isfinite(*value.number) ? QJsonValue(*value.number) : QJsonValue());
  }
  QJsonObject object{
      {QStringLiteral("sequence"), static_cast<qint64>(row.sequence)},
      {QStringLiteral("number"), row.number ? QJsonValue(*row.number) : QJsonValue()},
      {QStringLiteral("stamp"), row.stamp ? QJsonValue(stampText(*row.stamp)) : QJsonValue()},
      {QStringLiteral("sheet"), row.sheet},
      {QStringLiteral("row"), row.row},
      {QStringLiteral("values"), values},
      {QStringLiteral("numbers"), numbers},
  };
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

WebFeed::WebFeed() : run_(std::make_shared<Run>()) {}

WebFeed::~WebFeed() = default;

void WebFeed::beginRun() {
  auto fresh = std::make_shared<Run>();
  {
    const std::lock_guard lock(mutex_);
    run_ = std::move(fresh);
    ++marks_.run;
    marks_.lastSequence = 0;
  }
  changed_.notify_all();
}

void WebFeed::setStatus(const QJsonObject& status) {
  {
    const std::lock_guard lock(mutex_);
    status_ = status;
    ++marks_.status;
  }
  changed_.notify_all();
}

void WebFeed::addRow(const AcquiredRow& row) {
  {
    const std::lock_guard lock(mutex_);
    // The previous run's readers may still hold its rows: they keep it alive.
    run_->entries.push_back(Entry{row, {}});
    marks_.lastSequence = row.sequence;
  }
  changed_.notify_all();
}

void WebFeed::setWorkbookFile(const QString& path) {
  const std::lock_guard lock(mutex_);
  workbookFile_ = path;
}

WebFeed::Marks WebFeed::marks() const {
  const std::lock_guard lock(mutex_);
  return marks_;
}

WebFeed::Marks WebFeed::waitForChange(const Marks& seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return !(marks_ == seen); });
  return marks_;
}

void WebFeed::waitForWake(std::uint64_t wakes, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return marks_.wakes != wakes; });
}

void WebFeed::wakeAll() {
  {
    const std::lock_guard lock(mutex_);
    ++marks_.wakes;
  }
  changed_.notify_all();
}

QByteArray WebFeed::statusJson() const {
  QJsonObject status;
  std::uint64_t version = 0;
  {
    const std::lock_guard lock(mutex_);
    status = status_;
    version = marks_.status;
  }
  const std::lock_guard lock(jsonMutex_);
  if (statusJsonVersion_ != version) {
    statusJson_ = QJsonDocument(status).toJson(QJsonDocument::Compact);
    statusJsonVersion_ = version;
  }
  return statusJson_;
}

std::vector<const WebFeed::Entry*> WebFeed::entriesAfter(std::uint64_t after, std::size_t limit,
                                                         std::shared_ptr<const Run>& run, Marks& marks,
                                                         bool& more) const {
  const std::lock_guard lock(mutex_);
  run = run_;
  marks = marks_;
  const auto& entries = run_->entries;
  const auto first = std::upper_bound(entries.begin(), entries.end(), after,
                                      [](std::uint64_t sequence, const Entry& e) { return sequence < e.row.sequence; });
  const auto available = static_cast<std::size_t>(entries.end() - first);
  const std::size_t count = std::min(available, limit);
  more = available > count;
  std::vector<const Entry*> chosen;
  chosen.reserve(count);
  for (auto it = first; it != first + static_cast<std::ptrdiff_t>(count); ++it) chosen.push_back(&*it);
  return chosen;
}

const QByteArray& WebFeed::jsonOf(const Entry& entry) const {
  if (entry.json.isEmpty()) entry.json = rowJson(entry.row);
  return entry.json;
}

WebFeed::Rows WebFeed::rowsAfter(std::uint64_t after, std::size_t limit) const {
  std::shared_ptr<const Run> run;
  Marks marks;
  Rows rows;
  const std::vector<const Entry*> entries = entriesAfter(after, limit, run, marks, rows.more);
  rows.run = marks.run;
  rows.lastSequence = marks.lastSequence;
  rows.json.reserve(entries.size());
  const std::lock_guard lock(jsonMutex_);
  for (const Entry* entry : entries) {
    rows.sequences.push_back(entry->row.sequence);
    rows.json.push_back(jsonOf(*entry));
  }
  return rows;
}

QString WebFeed::workbookFile() const {
  const std::lock_guard lock(mutex_);
  return workbookFile_;
}

QByteArray WebFeed::csv() const {
  std::shared_ptr<const Run> run;
  Marks marks;
  bool more = false;
  const std::vector<const Entry*> entries = entriesAfter(0, SIZE_MAX, run, marks, more);
  QJsonArray columns;
  {
    const std::lock_guard lock(mutex_);
    columns = status_.value(QStringLiteral("columns")).toArray();
  }
  std::size_t width = static_cast<std::size_t>(columns.size());
  for (const Entry* entry : entries) width = std::max(width, entry->row.values.size());

  QByteArray text(
      "\xEF\xBB\xBF"
      "sequence,number,stamp");
  for (std::size_t i = 0; i < width; ++i) {
    QString name;
    if (i < static_cast<std::size_t>(columns.size())) {
      const QJsonObject column = columns.at(static_cast<qsizetype>(i)).toObject();
      name = column.value(QStringLiteral("header")).toString();
      if (name.isEmpty()) name = column.value(QStringLiteral("column")).toString();
    } else if (!entries.empty()) {
      const AcquiredRow& first = entries.front()->row;
      name = alarm::columnLetters(first.firstColumn + first.leadingCells() + static_cast<int>(i));
    }
    text += ',' + csvField(name);
  }
  text += "\r\n";
  for (const Entry* entry : entries) {
    const AcquiredRow& row = entry->row;
    text += QByteArray::number(static_cast<qulonglong>(row.sequence)) + ',';
    if (row.number) text += QByteArray::number(*row.number);
    text += ',';
    if (row.stamp) text += stampText(*row.stamp).toUtf8();
    for (std::size_t i = 0; i < width; ++i)
      text += ',' + (i < row.values.size() ? csvField(row.values[i].text) : QByteArray());
    text += "\r\n";
  }
  return text;
}

}  // namespace kestrune::web
