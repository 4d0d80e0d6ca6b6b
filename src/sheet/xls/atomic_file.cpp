// POSIX file calls (mkstemp, fsync, rename) live in this one file: the rest
// of the engine is plain C++.
#include "sheet/xls/atomic_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::xls {

namespace {

XlsError sysError(const std::string& what, const std::string& path) {
  return xlsFail("cannot save " + path + ": " + what + ": " + std::strerror(errno));
}

}  // namespace

XlsStatus writeFileAtomically(const std::string& path, ByteView data) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return sysError("creating a temporary file", path);
  auto abandon = [&](const std::string& what) {
    const XlsError error = sysError(what, path);
    ::close(fd);
    ::unlink(temp.c_str());
    return error;
  };
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0 && ::fchmod(fd, old.st_mode & 07777) != 0)
    return abandon("setting permissions");
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon("writing");
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return abandon("flushing to disk");
  if (::close(fd) != 0) {
    const XlsError error = sysError("closing", path);
    ::unlink(temp.c_str());
    return error;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const XlsError error = sysError("replacing the file", path);
    ::unlink(temp.c_str());
    return error;
  }
  // Make the rename itself durable; a failure here leaves a complete file.
  const std::size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return {};
}

}  // namespace kestrune::xls
