// POSIX reads (open, fstat, pread) for the workbook reader live here.
#include "sheet/xls/read_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::xls {

XlsResult<std::unique_ptr<ReadFile>> ReadFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return xlsSystemFail(XlsErrorCode::CannotOpen, error, "cannot open " + path + ": " + std::strerror(error));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 0) {
    const int error = errno;
    ::close(fd);
    return xlsSystemFail(XlsErrorCode::CannotRead, error, "cannot read " + path);
  }
  return std::unique_ptr<ReadFile>(new ReadFile(fd, static_cast<std::uint64_t>(st.st_size)));
}

ReadFile::~ReadFile() { ::close(fd_); }

bool ReadFile::read(std::uint64_t at, std::uint8_t* dest, std::size_t n) const {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd_, dest + done, n - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // an error, or the file got shorter
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace kestrune::xls
