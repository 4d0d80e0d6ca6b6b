#include "instrument/pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

// The terminal and file system headers stay in this file.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kestrune::instrument {

namespace {
std::string errorText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }
}  // namespace

Result<PseudoTerminal> PseudoTerminal::open() {
  PseudoTerminal pty;
  pty.master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master_ < 0) return fail(errorText("cannot open a pseudo-terminal"));
  if (grantpt(pty.master_) != 0 || unlockpt(pty.master_) != 0)
    return fail(errorText("cannot unlock the pseudo-terminal"));
  char name[256] = {};
  if (ptsname_r(pty.master_, name, sizeof name) != 0) return fail(errorText("cannot name the pseudo-terminal"));
  pty.slavePath_ = name;
  pty.slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.slave_ < 0) return fail(errorText(name));

  // Raw on the slave: no echo (the replies would come back as commands), no
  // CR to LF translation, no line editing, 8-bit bytes as they are.
  termios settings{};
  if (tcgetattr(pty.slave_, &settings) != 0) return fail(errorText("tcgetattr"));
  cfmakeraw(&settings);
  if (tcsetattr(pty.slave_, TCSANOW, &settings) != 0) return fail(errorText("tcsetattr"));

  const int flags = fcntl(pty.master_, F_GETFL);
  if (flags < 0 || fcntl(pty.master_, F_SETFL, flags | O_NONBLOCK) != 0) return fail(errorText("fcntl"));
  return pty;
}

PseudoTerminal::PseudoTerminal(PseudoTerminal&& other) noexcept
    : master_(std::exchange(other.master_, -1)),
      slave_(std::exchange(other.slave_, -1)),
      slavePath_(std::move(other.slavePath_)) {}

PseudoTerminal::~PseudoTerminal() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

int PseudoTerminal::unreadBytes() const {
  int count = 0;
  if (ioctl(slave_, FIONREAD, &count) != 0) return 0;
  return count;
}

Status createLink(const std::string& path, const std::string& target) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0 && !S_ISLNK(info.st_mode))
    return fail(path + " exists and is not a symbolic link; not replacing it");
  // A new link under a temporary name, renamed over the old one: the path
  // never goes missing, and never points to a half-made link.
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  ::unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) return fail(errorText(("cannot create " + temporary).c_str()));
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    auto error = fail(errorText(("cannot create " + path).c_str()));
    ::unlink(temporary.c_str());
    return error;
  }
  return {};
}

void removeLink(const std::string& path, const std::string& target) {
  char buffer[4096];
  const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
  if (length >= 0 && std::string(buffer, static_cast<std::size_t>(length)) == target) ::unlink(path.c_str());
}

}  // namespace kestrune::instrument
