// POSIX file calls (open, fsync, rename, access, realpath) live in this one
// file: the rest of the engine is plain C++.
#include "sheet/xls/atomic_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::xls {

namespace {

// Attempts at a free temporary name before giving up.
constexpr int TempNameAttempts = 100;

XlsError sysError(const std::string& what, const std::string& path, int error) {
  return xlsSystemFail(XlsErrorCode::CannotSave, error,
                       "cannot save " + path + ": " + what + ": " + std::strerror(error));
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// `path`, or the file a symbolic link at `path` leads to; errno on failure.
bool resolveLink(const std::string& path, std::string& target) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
    target = path;
    return true;
  }
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return false;
  target = resolved;
  return true;
}

// 0 when the existing regular file `target` may be replaced, else the errno
// that says why not. A file without any write permission bit counts as
// read-only even for a user (root) whom the system would let write it: an
// office application treats such a file as read-only.
int readOnlyError(const std::string& target, const struct stat& file) {
  if (!S_ISREG(file.st_mode)) return 0;
  if ((file.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return EACCES;
  return ::access(target.c_str(), W_OK) == 0 ? 0 : errno;
}

// A new file beside `target` with a name no other file has; -1 and errno when
// none can be made. `mode` is given to open, so the umask applies to it.
int createTemporary(const std::string& target, mode_t mode, std::string& name) {
  static constexpr char Letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof Letters - 2);
  for (int attempt = 0; attempt < TempNameAttempts; ++attempt) {
    name = target + '.';
    for (int i = 0; i < 6; ++i) name += Letters[pick(random)];
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Writes to a file descriptor through a buffer; the first failed write
// keeps its errno and fails every later call.
class FileSink final : public ByteSink {
public:
  explicit FileSink(int fd) : fd_(fd) { buffer_.reserve(BufferSize); }
  bool write(ByteView bytes) override {
    if (error_ != 0) return false;
    if (buffer_.size() + bytes.size() > BufferSize && !flush()) return false;
    if (bytes.size() >= BufferSize) return writeAll(bytes);
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool flush() {
    if (error_ != 0) return false;
    const bool ok = writeAll(buffer_);
    buffer_.clear();
    return ok;
  }
  int error() const { return error_; }

private:
  static constexpr std::size_t BufferSize = 256 * 1024;

  bool writeAll(ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  int fd_;
  Bytes buffer_;
  int error_ = 0;
};

}  // namespace

WriteCheck checkWritable(const std::string& path) {
  WriteCheck check;
  if (!resolveLink(path, check.target)) {
    check.obstacle = WriteObstacle::BrokenLink;
    check.target = path;
  }
  check.folder = folderOf(check.target);
  struct stat file {};
  if (check.obstacle == WriteObstacle::None && ::stat(check.target.c_str(), &file) == 0 &&
      readOnlyError(check.target, file) != 0)
    check.obstacle = WriteObstacle::ReadOnlyFile;
  if (check.obstacle == WriteObstacle::None && ::access(check.folder.c_str(), W_OK | X_OK) != 0)
    check.obstacle = WriteObstacle::ReadOnlyFolder;
  return check;
}

XlsStatus writeFileAtomically(const std::string& path, ByteView data) {
  return writeFileAtomically(path, [data](ByteSink& out) -> XlsStatus {
    if (!out.write(data)) return xlsFail(XlsErrorCode::CannotSave, "writing failed");
    return {};
  });
}

XlsStatus writeFileAtomically(const std::string& path, const FileProducer& produce) {
  std::string target;
  if (!resolveLink(path, target)) return sysError("resolving the link", path, errno);
  struct stat old {};
  // Only a regular file passes its mode on; anything else at the name (a
  // folder) makes the rename fail and say why.
  const bool replacing = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  if (replacing)
    if (const int error = readOnlyError(target, old); error != 0)
      return sysError("the file is read-only", target, error);

  // A file that is replaced starts private and gets the old file's mode once
  // its owner is set; a new one gets the umask's mode from the start.
  std::string temp;
  const int fd = createTemporary(target, replacing ? S_IRUSR | S_IWUSR : 0666, temp);
  if (fd < 0) return sysError("creating a temporary file", target, errno);
  auto abandon = [&](const std::string& what) {
    const XlsError error = sysError(what, target, errno);
    ::close(fd);
    ::unlink(temp.c_str());
    return error;
  };
  if (replacing) {
    // Owner and group as far as we may: root keeps both, others keep a group
    // they belong to. Failing that the file is ours, which is no reason to
    // stop the save.
    if (::geteuid() == 0)
      static_cast<void>(::fchown(fd, old.st_uid, old.st_gid));
    else if (old.st_gid != ::getegid())
      static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), old.st_gid));
    // After fchown, which clears the set-user-ID and set-group-ID bits.
    if (::fchmod(fd, old.st_mode & 07777) != 0) return abandon("setting permissions");
  }
  FileSink sink(fd);
  const XlsStatus produced = produce(sink);
  if (produced && !sink.flush()) errno = sink.error();
  if (sink.error() != 0) {
    errno = sink.error();
    return abandon("writing");
  }
  if (!produced) {
    ::close(fd);
    ::unlink(temp.c_str());
    return produced.error();
  }
  if (::fsync(fd) != 0) return abandon("flushing to disk");
  if (::close(fd) != 0) {
    const XlsError error = sysError("closing", target, errno);
    ::unlink(temp.c_str());
    return error;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const XlsError error = sysError("replacing the file", target, errno);
    ::unlink(temp.c_str());
    return error;
  }
  // Make the rename itself durable; a failure here leaves a complete file.
  const int dirFd = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return {};
}

}  // namespace kestrune::xls
