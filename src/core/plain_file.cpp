// open(2) with O_NOFOLLOW and O_NONBLOCK and fstat(2) are what this needs and
// QFile does not offer; they live in this file only.
#include "core/plain_file.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

PlainFile readPlainFile(const QString& path, qint64 maxBytes, Links links) {
  PlainFile found;
  const QByteArray name = QFile::encodeName(path);
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (links == Links::Refuse ? O_NOFOLLOW : 0);
  const int fd = ::open(name.constData(), flags);
  if (fd < 0) {
    const int error = errno;
    struct stat seen {};
    if (error == ENOENT) {
      // A dangling link is a link all the same.
      found.state = links == Links::Refuse && ::lstat(name.constData(), &seen) == 0 && S_ISLNK(seen.st_mode)
                        ? PlainFileState::Link
                        : PlainFileState::Missing;
    } else if (links == Links::Refuse && error == ELOOP) {
      found.state = PlainFileState::Link;
    } else if (error == ENXIO) {  // a socket, or a named pipe opened for writing only
      found.state = PlainFileState::NotRegular;
    } else {
      found.state = PlainFileState::Unreadable;
      found.errorNumber = error;
    }
    return found;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    found.state = PlainFileState::Unreadable;
    found.errorNumber = errno;
  } else if (!S_ISREG(info.st_mode)) {
    found.state = PlainFileState::NotRegular;
  } else {
    found.permissions = info.st_mode & 07777;
    found.device = info.st_dev;
    found.inode = info.st_ino;
    found.modified = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(info.st_mtim.tv_sec) * 1000 +
                                                    info.st_mtim.tv_nsec / 1000000);
    // Read one byte past the limit: a file that grows while we read is still caught.
    QByteArray bytes(static_cast<qsizetype>(maxBytes + 1), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        found.state = PlainFileState::Unreadable;
        found.errorNumber = errno;
        break;
      }
      if (n == 0) break;
      done += n;
    }
    if (found.state != PlainFileState::Unreadable) {
      bytes.truncate(done);
      found.state = done > maxBytes ? PlainFileState::TooLarge : PlainFileState::Read;
      if (found.state == PlainFileState::Read) found.bytes = bytes;
    }
  }
  ::close(fd);
  return found;
}

bool syncFolder(const QString& folder) {
  const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace kestrune
