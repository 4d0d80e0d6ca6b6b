#include "serial/uucp_lock.h"

#include "core/boot_time.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

// The system calls stay here: the lock file is created exclusively without
// following links, and its content reaches the disk before anyone relies on it.
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

namespace kestrune::serial {

QString lockFolder() {
  const QString set = qEnvironmentVariable("KESTRUNE_LOCK_DIR");
  return set.isEmpty() ? DefaultLockFolder : set;
}

namespace {

constexpr std::size_t kMaxLockSize = 64;

// The PID in the lock file at `path`; nullopt when it cannot be read or is no
// HDB ASCII lock (a link planted in its place counts as unreadable).
std::optional<long> readLockPid(const QByteArray& path) {
  const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  QByteArray content(kMaxLockSize, '\0');
  const ssize_t n = ::read(fd, content.data(), static_cast<std::size_t>(content.size()));
  ::close(fd);
  if (n <= 0) return std::nullopt;
  content.truncate(n);
  return parseUucpLock(content);
}

// A lock from before this boot: its number may belong to another process now.
bool writtenBeforeBoot(const QByteArray& path) {
  struct stat info = {};
  const std::optional<qint64> boot = bootSeconds();
  return boot && ::lstat(path.constData(), &info) == 0 && info.st_mtime < *boot;
}

}  // namespace

QString uucpLockName(const QString& device) {
  const QString real = QFileInfo(device).canonicalFilePath();
  if (real.isEmpty()) return {};
  return QStringLiteral("LCK..") + QFileInfo(real).fileName();
}

std::optional<long> parseUucpLock(const QByteArray& content) {
  // Leading blanks, the digits, then nothing but a newline.
  const QByteArray text = content.trimmed();
  if (text.isEmpty() || text.size() > 18) return std::nullopt;
  for (const char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  const long pid = text.toLong();
  if (pid < 1) return std::nullopt;
  return pid;
}

QByteArray uucpLockContent(long pid) {
  char text[32] = {};
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return QByteArray(text);
}

bool processAlive(long pid) {
  // EPERM: it exists, under another user.
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

QString processName(long pid) {
  QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
  const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
  return name.isEmpty() ? QStringLiteral("?") : name;
}

std::optional<LockHolder> UucpLock::acquire(const QString& device) {
  const QString name = uucpLockName(device);
  // No such device: the open that follows says so. A lock held for a device
  // that went away stays ours while it is looked for again.
  if (name.isEmpty()) return std::nullopt;
  const QString path = QDir(folder_).filePath(name);
  if (path == held_) return std::nullopt;
  release();
  const QByteArray file = QFile::encodeName(path);
  // Twice at most: once more after a stale lock was removed.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      // Eleven bytes to a new local file go in one write or not at all.
      const QByteArray content = uucpLockContent(::getpid());
      const bool written =
          ::write(fd, content.constData(), static_cast<std::size_t>(content.size())) == content.size() &&
          ::fsync(fd) == 0;
      ::close(fd);
      if (written)
        held_ = path;
      else
        ::unlink(file.constData());  // a half-written lock would look stale to others
      return std::nullopt;
    }
    // Not allowed to write there (a lock folder for a group we are not in),
    // or no such folder: no lock of ours, and none of anyone else's either.
    if (errno != EEXIST) return std::nullopt;
    const std::optional<long> pid = readLockPid(file);
    if (pid && processAlive(*pid) && !writtenBeforeBoot(file)) return LockHolder{*pid, processName(*pid), path};
    // Stale. Where we may not remove it, we go on without a lock of ours.
    if (::unlink(file.constData()) != 0) return std::nullopt;
  }
  return std::nullopt;
}

void UucpLock::release() {
  if (held_.isEmpty()) return;
  // Only a lock that is still ours goes: another program may have taken over
  // a file it judged stale.
  const QByteArray file = QFile::encodeName(held_);
  if (readLockPid(file) == std::optional<long>(::getpid())) ::unlink(file.constData());
  held_.clear();
}

}  // namespace kestrune::serial
