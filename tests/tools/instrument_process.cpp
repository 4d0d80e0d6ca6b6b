#include "tools/instrument_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace kestrune::instrument::testing {

namespace {

using SteadyClock = std::chrono::steady_clock;

int remainingMs(SteadyClock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

}  // namespace

InstrumentProcess::InstrumentProcess(const std::vector<std::string>& args, bool pipeStdin) {
  int in[2] = {-1, -1}, out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  if (pipeStdin && pipe2(in, O_CLOEXEC) != 0) return;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipeStdin) {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  // The child starts with no blocked signals and default actions, whatever
  // the test program has set up.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv_strings{KESTRUNE_INSTRUMENT_PATH};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, KESTRUNE_INSTRUMENT_PATH, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  ::close(err[1]);
  stdout_ = out[0];
  stderr_ = err[0];
  if (pipeStdin) {
    ::close(in[0]);
    stdin_ = in[1];
  }
  if (rc != 0) return;
  pid_ = pid;
  // A descriptor that turns readable when the child exits, for bounded waits.
  // Called directly: glibc 2.36's <sys/pidfd.h> does not declare it for C++.
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

InstrumentProcess::~InstrumentProcess() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  for (int fd : {pidfd_, stdin_, stdout_, stderr_})
    if (fd >= 0) ::close(fd);
}

std::string InstrumentProcess::readDevicePath(int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  while (out_.find('\n') == std::string::npos) {
    if (!readable(stdout_, remainingMs(end))) return {};
    char buffer[256];
    const ssize_t n = ::read(stdout_, buffer, sizeof buffer);
    if (n <= 0) return {};
    out_.append(buffer, static_cast<std::size_t>(n));
  }
  return out_.substr(0, out_.find('\n'));
}

int InstrumentProcess::waitExit(int timeoutMs) {
  if (status_ >= 0) return status_;
  if (pidfd_ < 0 || !readable(pidfd_, timeoutMs)) return -1;
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

void InstrumentProcess::signal(int signal) const {
  if (pid_ > 0 && status_ < 0) ::kill(pid_, signal);
}

void InstrumentProcess::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

void InstrumentProcess::collect(int fd, std::string& into) {
  char buffer[4096];
  while (readable(fd, 0)) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    into.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string InstrumentProcess::stdoutText() {
  collect(stdout_, out_);
  return out_;
}

std::string InstrumentProcess::stderrText() {
  collect(stderr_, err_);
  return err_;
}

int openDevice(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) {
    ::close(fd);
    return -1;
  }
  cfmakeraw(&settings);
  tcsetattr(fd, TCSANOW, &settings);
  return fd;
}

void writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 1000) <= 0) return;
    }
  }
}

std::vector<std::string> readPieces(int fd, std::size_t count, int timeoutMs) {
  const auto end = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<std::string> pieces;
  std::size_t total = 0;
  while (total < count && readable(fd, remainingMs(end))) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - total));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    pieces.emplace_back(buffer, static_cast<std::size_t>(n));
    total += static_cast<std::size_t>(n);
  }
  return pieces;
}

std::string readBytes(int fd, std::size_t count, int timeoutMs) {
  std::string bytes;
  for (const std::string& piece : readPieces(fd, count, timeoutMs)) bytes += piece;
  return bytes;
}

bool quietFor(int fd, int ms) { return !readable(fd, ms); }

}  // namespace kestrune::instrument::testing
