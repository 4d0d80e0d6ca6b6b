#include "mqtt/outbox.h"

#include "core/tab_fields.h"
#include "core/trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kestrune::mqtt {

namespace {

const QByteArray Header = QByteArrayLiteral("kestrune-mqtt-outbox\t1\n");
// Past this size a fully acknowledged outbox is rewritten short.
constexpr qint64 RewriteBytes = 1 << 20;

const QString MsgCannotOpen = QStringLiteral("送信待ちファイル %1 を開けません：%2");
const QString MsgInUse = QStringLiteral("送信待ちファイル %1 は別の kestrune が使っています");
const QString MsgNotOutbox = QStringLiteral("%1 は送信待ちファイルではありません");
const QString MsgCannotWrite = QStringLiteral("送信待ちファイル %1 に書き込めません：%2");
const QString MsgLink = QStringLiteral(
    "送信待ちファイル %1 がシンボリックリンクになっています。リンクの先は書き換えません。リンクを削除してください");
const QString MsgNotRegular =
    QStringLiteral("送信待ちファイル %1 が通常のファイルではありません（名前付きパイプ、デバイス、フォルダーなど）");

std::optional<std::uint64_t> toSeq(QByteArrayView text) {
  bool ok = false;
  const qulonglong n = text.toULongLong(&ok);
  if (!ok) return std::nullopt;
  return n;
}

}  // namespace

Result<OutboxContents> parseOutbox(const QByteArray& bytes) {
  OutboxContents contents;
  if (bytes.isEmpty()) return contents;
  if (!bytes.startsWith(Header)) {
    // A header cut short by a crash right after creation is an empty outbox.
    if (Header.startsWith(bytes)) return contents;
    return fail(MqttError::OutboxUnusable, QStringLiteral("header"));
  }
  qsizetype at = Header.size();
  contents.completeBytes = at;
  while (at < bytes.size()) {
    const qsizetype end = bytes.indexOf('\n', at);
    if (end < 0) break;  // cut short
    const QList<QByteArray> fields = bytes.sliced(at, end - at).split('\t');
    if (fields.size() == 4 && fields[0] == "m") {
      const auto seq = toSeq(fields[1]);
      const auto topic = unescapeField(fields[2]);
      if (!seq || !topic || *seq != contents.lastSeq + 1) break;
      contents.lastSeq = *seq;
      contents.pending.push_back({*seq, *topic, fields[3]});
    } else if (fields.size() == 2 && fields[0] == "a") {
      const auto seq = toSeq(fields[1]);
      if (!seq || *seq < contents.ackedSeq) break;
      contents.ackedSeq = *seq;
      // The sequence carries on after a rewrite that kept only this line.
      if (contents.lastSeq < *seq) contents.lastSeq = *seq;
      while (!contents.pending.empty() && contents.pending.front().seq <= *seq) contents.pending.pop_front();
    } else {
      break;  // damaged from here on
    }
    at = end + 1;
    contents.completeBytes = at;
  }
  return contents;
}

Outbox::~Outbox() { close(); }

namespace {

// The log's failure in the outbox's words.
Error outboxFailure(const LogError& e, const QString& path) {
  if (e.fault == LogFault::Link) return fail(MqttError::OutboxUnusable, MsgLink.arg(path));
  if (e.fault == LogFault::NotRegular) return fail(MqttError::OutboxUnusable, MsgNotRegular.arg(path));
  if (e.fault == LogFault::Locked) return fail(MqttError::OutboxInUse, MsgInUse.arg(path));
  const bool opening = e.fault == LogFault::Open || e.fault == LogFault::Missing || e.fault == LogFault::Read;
  if (opening) return fail(MqttError::OutboxUnusable, MsgCannotOpen.arg(path, e.description));
  return fail(MqttError::OutboxNotWritten, MsgCannotWrite.arg(path, e.description));
}

QByteArray messageLine(const OutboxMessage& m) {
  return "m\t" + QByteArray::number(m.seq) + '\t' + escapeField(m.topic) + '\t' + m.payload + '\n';
}

}  // namespace

Status Outbox::open(const QString& path) {
  close();
  QDir().mkpath(QFileInfo(path).absolutePath());
  std::lock_guard lock(mutex_);
  const LogResult<QByteArray> bytes = log_.open(path, true);
  if (!bytes) return outboxFailure(bytes.error(), path);
  auto contents = parseOutbox(*bytes);
  if (!contents) {
    log_.close();
    return fail(MqttError::OutboxUnusable, MsgNotOutbox.arg(path));
  }
  path_ = path;
  lastSeq_ = contents->lastSeq;
  ackedSeq_ = contents->ackedSeq;
  pending_ = std::move(contents->pending);
  // Start from a clean file: the header, the sequence so far, what waits.
  return rewriteLocked();
}

void Outbox::close() {
  std::lock_guard lock(mutex_);
  log_.close();
  pending_.clear();
}

Result<std::uint64_t> Outbox::appendLocked(OutboxMessage message) {
  const QByteArray line = messageLine(message);
  lastSeq_ = message.seq;
  pending_.push_back(std::move(message));
  if (LogStatus written = log_.append(line, static_cast<qint64>(lastSeq_)); !written)
    return outboxFailure(written.error(), path_);
  return lastSeq_;
}

// Writes the whole outbox anew into a new file and renames it over the old
// one; the lock moves to the new file.
Status Outbox::rewriteLocked() {
  QByteArray bytes = Header + "a\t" + QByteArray::number(ackedSeq_) + '\n';
  for (const OutboxMessage& m : pending_) bytes += messageLine(m);
  if (LogStatus written = log_.replace(path_, bytes); !written) return outboxFailure(written.error(), path_);
  return {};
}

std::optional<OutboxMessage> Outbox::after(std::uint64_t seq) const {
  std::lock_guard lock(mutex_);
  if (pending_.empty() || seq >= pending_.back().seq) return std::nullopt;
  const std::uint64_t first = pending_.front().seq;
  const std::uint64_t wanted = std::max(seq + 1, first);
  return pending_[static_cast<std::size_t>(wanted - first)];
}

std::uint64_t Outbox::ackedSeq() const {
  std::lock_guard lock(mutex_);
  return ackedSeq_;
}

std::uint64_t Outbox::lastSeq() const {
  std::lock_guard lock(mutex_);
  return lastSeq_;
}

std::uint64_t Outbox::queued() const {
  std::lock_guard lock(mutex_);
  return lastSeq_ - ackedSeq_;
}

Status Outbox::acknowledge(std::uint64_t seq) {
  std::lock_guard lock(mutex_);
  if (seq <= ackedSeq_ || seq > lastSeq_) return {};
  ackedSeq_ = seq;
  while (!pending_.empty() && pending_.front().seq <= seq) pending_.pop_front();
  if (pending_.empty() && log_.size() > RewriteBytes) return rewriteLocked();
  if (LogStatus written = log_.append("a\t" + QByteArray::number(seq) + '\n', static_cast<qint64>(lastSeq_)); !written)
    return outboxFailure(written.error(), path_);
  return {};
}

void Outbox::sync() {
  // The sender goes on either way: a message the broker has is not lost.
  if (LogStatus synced = log_.sync(); !synced)
    trace(QStringLiteral("mqtt outbox"), MsgCannotWrite.arg(synced.error().path, synced.error().description));
}

}  // namespace kestrune::mqtt
