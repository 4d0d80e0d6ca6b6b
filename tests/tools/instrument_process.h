// Test helpers for kestrune-instrument end to end: the program as a child
// process with its device, and reading a pseudo-terminal with deadlines.
// Every wait is bounded; a child still running at the end is killed.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrune::instrument::testing {

class InstrumentProcess {
public:
  // Starts the program with `args`. With `pipeStdin`, standard input is a
  // pipe that closeStdin() ends; otherwise it is /dev/null.
  explicit InstrumentProcess(const std::vector<std::string>& args, bool pipeStdin = false);
  ~InstrumentProcess();
  InstrumentProcess(const InstrumentProcess&) = delete;
  InstrumentProcess& operator=(const InstrumentProcess&) = delete;

  bool spawned() const { return pid_ > 0; }
  // The first line of standard output (the device path), or "" after timeoutMs.
  std::string readDevicePath(int timeoutMs = 5000);
  // Waits for the exit: the exit status, 128 + signal number, or -1 if still running.
  int waitExit(int timeoutMs);
  bool running() { return waitExit(0) == -1; }
  void signal(int signal) const;
  void closeStdin();
  // Everything written to standard output and standard error so far (after exit: all).
  std::string stdoutText();
  std::string stderrText();

private:
  void collect(int fd, std::string& into);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  int status_ = -1;
  std::string out_;
  std::string err_;
};

// The slave end as the logger would open it: read-write, raw, non-blocking. -1 on failure.
int openDevice(const std::string& path);
void writeAll(int fd, const std::string& bytes);
// Reads until `count` bytes have come or timeoutMs pass; returns what came.
std::string readBytes(int fd, std::size_t count, int timeoutMs = 3000);
// The same, keeping each read() apart to show how the bytes arrived.
std::vector<std::string> readPieces(int fd, std::size_t count, int timeoutMs = 3000);
// True when no byte arrives for `ms` milliseconds.
bool quietFor(int fd, int ms);

}  // namespace kestrune::instrument::testing
