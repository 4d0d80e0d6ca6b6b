#include "instrument/runner.h"

#include "instrument/engine.h"
#include "instrument/lines.h"
#include "instrument/pty.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// poll, signalfd and read/write stay in this file.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kestrune::instrument {

namespace {

// How long the device is left alone after it reported a hang-up or an I/O
// error, so that a lasting error cannot make the loop spin.
constexpr std::int64_t kErrorPauseMs = 100;
// After --exit-after: how long to wait for the logger to read the last replies
// (closing the master would discard them), and how often to look.
constexpr std::int64_t kDrainMs = 2000;
constexpr int kDrainStepMs = 10;

class SystemClock final : public Clock {
public:
  std::int64_t nowMs() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
  }
  std::tm localTime() override {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
  }
};

// SIGINT, SIGTERM and SIGHUP arrive as readable data on a descriptor, so the
// poll loop sees them without handlers or races.
class SignalWatch {
public:
  SignalWatch() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    sigprocmask(SIG_BLOCK, &set_, nullptr);
    fd_ = signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
  }
  ~SignalWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  int fd() const { return fd_; }
  bool caught() const {
    signalfd_siginfo info{};
    return ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
  }

private:
  sigset_t set_{};
  int fd_ = -1;
};

void logLine(bool verbose, const char* direction, std::string_view bytes) {
  if (!verbose) return;
  std::fprintf(stderr, "%s %s\n", direction, describeBytes(bytes).c_str());
}

int timeoutMs(std::optional<std::int64_t> deadline, std::int64_t now) {
  if (!deadline) return -1;
  return static_cast<int>(std::clamp<std::int64_t>(*deadline - now, 0, 60'000));
}

// Waits until the logger has read everything sent, a signal comes, or kDrainMs pass.
void drain(const PseudoTerminal& pty, const SignalWatch& signals, Clock& clock) {
  const std::int64_t end = clock.nowMs() + kDrainMs;
  int emptyLooks = 0;
  // Bytes written to the master reach the slave's queue a moment later; two
  // empty looks in a row make sure nothing was still on its way.
  while (clock.nowMs() < end && emptyLooks < 2) {
    pollfd fd{signals.fd(), POLLIN, 0};
    if (::poll(&fd, 1, kDrainStepMs) > 0 && signals.caught()) return;
    emptyLooks = pty.unreadBytes() == 0 ? emptyLooks + 1 : 0;
  }
}

class Loop {
public:
  Loop(const Options& options, const PseudoTerminal& pty, const SignalWatch& signals)
      : options_(options), pty_(pty), signals_(signals), engine_(options, clock_) {}

  void run() {
    while (true) {
      engine_.advance();
      writeDue();
      if (engine_.finished() && !current_) {
        drain(pty_, signals_, clock_);
        return;
      }
      if (!waitAndRead()) return;
    }
  }

private:
  bool devicePaused() { return clock_.nowMs() < pausedUntil_; }

  // Writes due bytes until none is due or the device takes no more for now.
  void writeDue() {
    while (!devicePaused()) {
      if (!current_) {
        current_ = engine_.popDue();
        offset_ = 0;
        if (!current_) return;
      }
      const std::string& bytes = current_->bytes;
      if (offset_ < bytes.size()) {
        const ssize_t n = ::write(pty_.master(), bytes.data() + offset_, bytes.size() - offset_);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno != EAGAIN) pausedUntil_ = clock_.nowMs() + kErrorPauseMs;
          return;
        }
        logLine(options_.verbose, ">", std::string_view(bytes).substr(offset_, static_cast<std::size_t>(n)));
        offset_ += static_cast<std::size_t>(n);
        if (offset_ < bytes.size()) continue;
      }
      engine_.written(*current_);
      current_.reset();
      if (engine_.finished()) return;
    }
  }

  // One poll: returns false when the instrument is to stop.
  bool waitAndRead() {
    const std::int64_t now = clock_.nowMs();
    std::optional<std::int64_t> deadline = engine_.nextDeadline();
    const bool paused = devicePaused();
    if (paused) deadline = deadline ? std::min(*deadline, pausedUntil_) : pausedUntil_;

    pollfd fds[3] = {{signals_.fd(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
    if (!paused) fds[1] = {pty_.master(), static_cast<short>(POLLIN | (current_ ? POLLOUT : 0)), 0};
    if (options_.untilStdinEof) fds[2] = {STDIN_FILENO, POLLIN, 0};
    if (::poll(fds, 3, timeoutMs(deadline, now)) < 0) return errno == EINTR;

    if ((fds[0].revents & POLLIN) && signals_.caught()) return false;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[512];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return false;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) readDevice();
    return true;
  }

  void readDevice() {
    char buffer[4096];
    const ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
    if (n > 0) {
      for (const std::string& line : engine_.receive(std::string_view(buffer, static_cast<std::size_t>(n))))
        logLine(options_.verbose, "<", line);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      pausedUntil_ = clock_.nowMs() + kErrorPauseMs;
    }
  }

  const Options& options_;
  const PseudoTerminal& pty_;
  const SignalWatch& signals_;
  SystemClock clock_;
  Engine engine_;
  std::optional<Write> current_;
  std::size_t offset_ = 0;
  std::int64_t pausedUntil_ = 0;
};

}  // namespace

int runInstrument(const Options& options) {
  std::signal(SIGPIPE, SIG_IGN);
  SignalWatch signals;
  if (signals.fd() < 0) {
    std::perror("kestrune-instrument: signalfd");
    return 1;
  }
  auto pty = PseudoTerminal::open();
  if (!pty) {
    std::fprintf(stderr, "kestrune-instrument: %s\n", pty.description().c_str());
    return 1;
  }
  const std::string& device = pty->slavePath();
  if (!options.link.empty()) {
    if (auto status = createLink(options.link, device); !status) {
      std::fprintf(stderr, "kestrune-instrument: %s\n", status.description().c_str());
      return 1;
    }
  }
  std::printf("%s\n", device.c_str());
  std::fflush(stdout);
  if (options.verbose) std::fprintf(stderr, "kestrune-instrument: device %s\n", device.c_str());

  Loop(options, pty.value(), signals).run();

  if (!options.link.empty()) removeLink(options.link, device);
  return 0;
}

}  // namespace kestrune::instrument
