// The device side of the instrument: a pseudo-terminal pair in raw mode, and
// the optional symbolic link to its slave.
#pragma once

#include "instrument/result.h"

#include <string>

namespace kestrune::instrument {

// Owns both ends. The slave stays open here as well, so the pty does not
// hang up while the logger has it closed, and raw mode survives its reopening.
class PseudoTerminal {
public:
  static Result<PseudoTerminal> open();

  PseudoTerminal(PseudoTerminal&& other) noexcept;
  PseudoTerminal& operator=(PseudoTerminal&&) = delete;
  PseudoTerminal(const PseudoTerminal&) = delete;
  ~PseudoTerminal();

  int master() const { return master_; }  // non-blocking
  const std::string& slavePath() const { return slavePath_; }
  // Bytes written to the master that no reader of the slave has taken yet.
  int unreadBytes() const;

private:
  PseudoTerminal() = default;
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Makes `path` a symbolic link to `target`, replacing a symbolic link already
// there (atomically); refuses to replace anything else.
Status createLink(const std::string& path, const std::string& target);
// Removes `path` if it still is a link to `target`.
void removeLink(const std::string& path, const std::string& target);

}  // namespace kestrune::instrument
