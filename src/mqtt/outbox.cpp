#include "mqtt/outbox.h"

#include "core/plain_file.h"
#include "core/tab_fields.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

// POSIX file calls: O_APPEND writes, O_NOFOLLOW and O_EXCL opens, flock against a
// second process and fdatasync.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

}  // namespace

Result<OutboxContents> parseOutbox(const QByteArray& bytes) {
  OutboxContents contents;
  if (bytes.isEmpty()) return contents;
  if (!bytes.startsWith(Header)) {
    // A header cut short by a crash right after creation is an empty outbox.
    if (Header.startsWith(bytes)) return contents;
    return fail(QStringLiteral("header"));
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

Status Outbox::open(const QString& path) {
  close();
  QDir().mkpath(QFileInfo(path).absolutePath());
  const QByteArray name = QFile::encodeName(path);
  // Never through a link, and never waiting on a named pipe.
  const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0 && errno == ELOOP) return fail(MsgLink.arg(path));
  if (fd < 0 && errno == ENXIO) return fail(MsgNotRegular.arg(path));
  if (fd < 0) return fail(MsgCannotOpen.arg(path, errnoText()));
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail(MsgNotRegular.arg(path));
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return fail(MsgInUse.arg(path));
  }
  QFile file;
  QByteArray bytes;
  if (file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) bytes = file.readAll();
  file.close();
  auto contents = parseOutbox(bytes);
  if (!contents) {
    ::close(fd);
    return fail(MsgNotOutbox.arg(path));
  }
  std::lock_guard lock(mutex_);
  fd_ = fd;
  path_ = path;
  lastSeq_ = contents->lastSeq;
  ackedSeq_ = contents->ackedSeq;
  pending_ = std::move(contents->pending);
  size_ = bytes.size();
  // Start from a clean file: the header, the sequence so far, what waits.
  return rewriteLocked();
}

void Outbox::close() {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  ::fdatasync(fd_);
  ::close(fd_);  // closing releases the lock
  fd_ = -1;
  pending_.clear();
}

Result<std::uint64_t> Outbox::appendLocked(OutboxMessage message) {
  const QByteArray line =
      "m\t" + QByteArray::number(message.seq) + '\t' + escapeField(message.topic) + '\t' + message.payload + '\n';
  lastSeq_ = message.seq;
  pending_.push_back(std::move(message));
  if (Status written = writeLocked(line); !written) return written.error();
  return lastSeq_;
}

Status Outbox::writeLocked(const QByteArray& bytes) {
  if (fd_ < 0) return fail(MsgCannotWrite.arg(path_, QStringLiteral("closed")));
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(MsgCannotWrite.arg(path_, errnoText()));
    done += n;
  }
  size_ += bytes.size();
  return {};
}

// Writes the whole outbox anew into a new file and renames it over the old
// one; the lock moves to the new file.
Status Outbox::rewriteLocked() {
  QByteArray bytes = Header + "a\t" + QByteArray::number(ackedSeq_) + '\n';
  for (const OutboxMessage& m : pending_)
    bytes += "m\t" + QByteArray::number(m.seq) + '\t' + escapeField(m.topic) + '\t' + m.payload + '\n';
  const QByteArray name = QFile::encodeName(path_);
  const QByteArray temporary = name + ".new";
  // A new file of our own: what a crash left under that name (or a link
  // somebody put there) is removed, never written through.
  const auto create = [&temporary] {
    return ::open(temporary.constData(), O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  };
  int fd = create();
  if (fd < 0 && errno == EEXIST && ::unlink(temporary.constData()) == 0) fd = create();
  if (fd < 0) return fail(MsgCannotWrite.arg(path_, errnoText()));
  ::flock(fd, LOCK_EX | LOCK_NB);
  const int old = fd_;
  fd_ = fd;
  size_ = 0;
  Status written = writeLocked(bytes);
  if (written && ::fdatasync(fd) == 0 && ::rename(temporary.constData(), name.constData()) == 0) {
    ::close(old);
    // The rename itself must survive a power cut; the file holds either way.
    static_cast<void>(syncFolder(QFileInfo(path_).absolutePath()));
    return {};
  }
  if (written) written = fail(MsgCannotWrite.arg(path_, errnoText()));
  ::close(fd);
  ::unlink(temporary.constData());
  fd_ = old;
  return written;
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
  if (pending_.empty() && size_ > RewriteBytes) return rewriteLocked();
  return writeLocked("a\t" + QByteArray::number(seq) + '\n');
}

void Outbox::sync() {
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    fd = fd_ >= 0 ? ::dup(fd_) : -1;
  }
  if (fd < 0) return;
  ::fdatasync(fd);
  ::close(fd);
}

}  // namespace kestrune::mqtt
