// Preloaded into a process under test: fsync and fdatasync of every file
// whose path contains $SYNC_FAULT_PATH fail with EIO, as on a failing disk,
// after the first $SYNC_FAULT_AFTER of them (0 when unset) succeeded. With
// $SYNC_FAULT_GATE set they do not fail but wait while that file exists, as
// on a very slow disk. Other files sync as usual.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool failing(int fd) {
  const char* part = std::getenv("SYNC_FAULT_PATH");
  if (part == nullptr || *part == '\0') return false;
  char link[64];
  char target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  if (std::strstr(target, part) == nullptr) return false;
  static std::atomic<long> matched{0};
  const char* after = std::getenv("SYNC_FAULT_AFTER");
  return matched++ >= (after != nullptr ? std::atol(after) : 0);
}

int forward(const char* name, int fd) {
  if (failing(fd)) {
    const char* gate = std::getenv("SYNC_FAULT_GATE");
    if (gate == nullptr) {
      errno = EIO;
      return -1;
    }
    while (::access(gate, F_OK) == 0) ::usleep(10000);
  }
  using SyncCall = int (*)(int);
  const auto real = reinterpret_cast<SyncCall>(::dlsym(RTLD_NEXT, name));
  return real(fd);
}

}  // namespace

extern "C" int fdatasync(int fd) { return forward("fdatasync", fd); }
extern "C" int fsync(int fd) { return forward("fsync", fd); }
