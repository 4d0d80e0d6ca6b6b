// Framing of the bytes that the logger sends: command lines end at CR or LF.
// Also the readable form of bytes for the --verbose log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::instrument {

// Cuts received bytes into lines. A line ends at CR or LF; CR LF therefore
// ends one line, and empty lines are dropped. Bytes may arrive in any pieces.
// A line longer than maxLength keeps its first maxLength bytes; the rest up to
// its end is dropped, so a sender that never ends a line cannot exhaust memory.
class LineSplitter {
public:
  explicit LineSplitter(std::size_t maxLength = 4096) : maxLength_(maxLength) {}
  // The lines completed by `bytes`, without their line ends.
  std::vector<std::string> feed(std::string_view bytes);
  // Bytes of the line not yet ended.
  const std::string& pending() const { return current_; }

private:
  std::size_t maxLength_;
  std::string current_;
};

// Printable ASCII as it is; every other byte, and '<', as <HH>.
std::string describeBytes(std::string_view bytes);

}  // namespace kestrune::instrument
