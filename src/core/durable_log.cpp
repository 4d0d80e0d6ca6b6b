#include "core/durable_log.h"

#include "core/folder_sync.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

// POSIX file calls: O_APPEND writes, O_NOFOLLOW and O_EXCL opens, flock
// against a second process, fdatasync and ftruncate.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

namespace {

// CRC-32 (the polynomial of zlib and PNG).
quint32 crc32(QByteArrayView bytes) {
  static const std::array<quint32, 256> table = [] {
    std::array<quint32, 256> t{};
    for (quint32 n = 0; n < 256; ++n) {
      quint32 c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  quint32 c = 0xFFFFFFFFu;
  for (const char byte : bytes) c = table[(c ^ static_cast<quint8>(byte)) & 0xFFu] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

QByteArray crcField(QByteArrayView text) { return QByteArray::number(crc32(text), 16).rightJustified(8, '0'); }

LogError failure(LogFault fault, const QString& path, int error = errno) {
  return LogError{QString::fromLocal8Bit(std::strerror(error)), fault, path};
}

// Reads from the start of `fd` to its end; 0, or the errno of the failure.
int readWhole(int fd, QByteArray& bytes) {
  char buffer[65536];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    bytes.append(buffer, n);
    at += n;
  }
}

// Opens `path` without following a link in its place or waiting on a pipe;
// the descriptor of a regular file, else the failure.
LogResult<int> openRegular(const QString& path, int flags, unsigned mode) {
  const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
  if (fd < 0) {
    const int error = errno;
    const LogFault fault = error == ENOENT  ? LogFault::Missing
                           : error == ELOOP ? LogFault::Link
                           : error == ENXIO ? LogFault::NotRegular
                                            : LogFault::Open;
    return failure(fault, path, error);
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return failure(LogFault::NotRegular, path, EINVAL);
  }
  return fd;
}

}  // namespace

LogResult<QByteArray> readLog(const QString& path) {
  const LogResult<int> fd = openRegular(path, O_RDONLY, 0);
  if (!fd) return fd.error();
  QByteArray bytes;
  const int error = readWhole(*fd, bytes);
  ::close(*fd);
  if (error != 0) return failure(LogFault::Read, path, error);
  return bytes;
}

QString fitFileName(const QString& name, const QString& suffix) {
  if (QFile::encodeName(name + suffix).size() <= NAME_MAX) return name + suffix;
  const QByteArray tail = '-' + QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256).toHex().left(16) +
                          QFile::encodeName(suffix);
  QByteArray head = QFile::encodeName(name);
  qsizetype keep = std::max<qsizetype>(0, NAME_MAX - tail.size());
  // Never inside a character: back to the first byte of one.
  while (keep > 0 && keep < head.size() && (static_cast<quint8>(head[keep]) & 0xC0u) == 0x80u) --keep;
  head.truncate(keep);
  return QFile::decodeName(head + tail);
}

QByteArray checkedLine(std::initializer_list<QByteArray> fields) {
  QByteArray out;
  for (const QByteArray& f : fields) {
    if (!out.isEmpty()) out += '\t';
    out += f;
  }
  return out + '\t' + crcField(out) + '\n';
}

std::optional<QList<QByteArray>> checkedFields(const QByteArray& line) {
  const qsizetype tab = line.lastIndexOf('\t');
  if (tab < 0 || line.size() - tab - 1 != 8) return std::nullopt;
  const QByteArrayView body(line.constData(), tab);
  if (line.sliced(tab + 1) != crcField(body)) return std::nullopt;
  return body.toByteArray().split('\t');
}

QList<QByteArray> wholeLines(const QByteArray& bytes, qsizetype& end) {
  end = bytes.lastIndexOf('\n') + 1;
  QList<QByteArray> lines = bytes.left(end).split('\n');
  lines.removeLast();
  for (QByteArray& text : lines)
    if (text.endsWith('\r')) text.chop(1);
  return lines;
}

DurableLog::DurableLog(Options options) : options_(options) {}

DurableLog::~DurableLog() { close(); }

LogResult<QByteArray> DurableLog::open(const QString& path, bool createMissing) {
  close();
  const LogResult<int> opened = openRegular(path, O_RDWR | O_APPEND | (createMissing ? O_CREAT : 0), options_.mode);
  if (!opened) return opened.error();
  const int fd = *opened;
  if (options_.lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    return failure(LogFault::Locked, path, error);
  }
  QByteArray bytes;
  if (const int error = readWhole(fd, bytes); error != 0) {
    ::close(fd);
    return failure(LogFault::Read, path, error);
  }
  {
    const std::lock_guard lock(mutex_);
    fd_ = fd;
    path_ = path;
    handed_ = durable_ = 0;
    syncError_ = 0;
  }
  size_ = bytes.size();
  startSyncer();
  return bytes;
}

LogStatus DurableLog::cut(qint64 size) {
  if (!isOpen()) return failure(LogFault::Closed, path_, EBADF);
  if (::ftruncate(fd_, size) != 0) return failure(LogFault::Cut, path_);
  size_ = size;
  return {};
}

LogStatus DurableLog::writeAll(int fd, const QByteArray& bytes, const QString& path) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    // A write of nothing is a full disk that said so without an error.
    if (n <= 0) return failure(LogFault::Write, path, n < 0 ? errno : ENOSPC);
    done += n;
  }
  return {};
}

LogStatus DurableLog::append(const QByteArray& bytes, qint64 count) {
  if (!isOpen()) return failure(LogFault::Closed, path_, EBADF);
  if (LogStatus synced = takeSyncFailure(); !synced) return synced;
  const LogStatus written = writeAll(fd_, bytes, path_);
  if (!written) return written;
  size_ += bytes.size();
  {
    const std::lock_guard lock(mutex_);
    ++handed_;
    handedCount_ = count;
  }
  wake_.notify_one();
  return {};
}

LogStatus DurableLog::takeSyncFailure() {
  int error = 0;
  QString path;
  {
    const std::lock_guard lock(mutex_);
    std::swap(error, syncError_);
    path = path_;
  }
  if (error == 0) return {};
  return failure(LogFault::Sync, path, error);
}

LogStatus DurableLog::sync() {
  if (!isOpen()) return {};
  {
    // What was handed over until now; appends from another thread meanwhile
    // are not waited for.
    std::unique_lock lock(mutex_);
    const std::uint64_t target = handed_;
    synced_.wait(lock, [&] { return durable_ >= target; });
  }
  return takeSyncFailure();
}

qint64 DurableLog::durableCount() const {
  const std::lock_guard lock(mutex_);
  return durableCount_;
}

void DurableLog::resetCount(qint64 count) {
  const std::lock_guard lock(mutex_);
  handedCount_ = durableCount_ = count;
}

LogStatus DurableLog::replace(const QString& place, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(place).absolutePath());
  const QString target =
      QFileInfo(place).dir().filePath(fitFileName(QFileInfo(place).fileName(), QStringLiteral(".new")));
  const QByteArray targetName = QFile::encodeName(target);
  ::unlink(targetName.constData());  // one left by a crash, or a link planted there
  const int fd =
      ::open(targetName.constData(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, options_.mode);
  if (fd < 0) return failure(errno == EEXIST ? LogFault::Link : LogFault::Open, target);
  const auto discard = [&](const LogError& why) {
    ::close(fd);
    ::unlink(targetName.constData());
    return why;
  };
  if (options_.lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0) return discard(failure(LogFault::Locked, target));
  if (LogStatus written = writeAll(fd, bytes, target); !written) return discard(written.error());
  if (::fdatasync(fd) != 0) return discard(failure(LogFault::Sync, target));
  if (::rename(targetName.constData(), QFile::encodeName(place).constData()) != 0)
    return discard(failure(LogFault::Replace, place));
  // The new name must survive a power cut too; the file holds either way.
  syncFolderOf(place);
  // What was appended to the old file is in the new one, synced.
  stopSyncer();
  {
    const std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    handed_ = durable_ = 0;
    syncError_ = 0;
    durableCount_ = handedCount_;
    path_ = place;
  }
  size_ = bytes.size();
  startSyncer();
  return {};
}

void DurableLog::startSyncer() {
  stop_ = false;
  syncer_ = std::thread([this] { syncLoop(); });
}

void DurableLog::stopSyncer() {
  if (!syncer_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  syncer_.join();
}

void DurableLog::syncLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || handed_ > durable_; });
    if (handed_ == durable_ && stop_) return;
    const std::uint64_t target = handed_;
    const qint64 count = handedCount_;
    lock.unlock();
    const int error = ::fdatasync(fd_) == 0 ? 0 : errno;
    lock.lock();
    durable_ = target;
    // A failed sync is not retried: the kernel may have dropped the pages it
    // could not write and a second sync would report success.
    if (error != 0)
      syncError_ = error;
    else if (syncError_ == 0)
      durableCount_ = std::max(durableCount_, count);
    synced_.notify_all();
  }
}

void DurableLog::close() {
  if (!isOpen()) return;
  stopSyncer();
  const std::lock_guard lock(mutex_);
  ::close(fd_);  // closing releases the lock
  fd_ = -1;
}

}  // namespace kestrune
