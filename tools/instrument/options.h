// The command line of kestrune-instrument: parsed and checked in full before
// anything is opened, so that a bad option changes nothing.
#pragma once

#include "instrument/result.h"
#include "instrument/template.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::instrument {

// --on PREFIX=REPLY: lines starting with `prefix` (code page 932 bytes) get `reply`.
struct Rule {
  std::string prefix;
  Template reply;
};

struct Options {
  std::vector<Rule> rules;               // first match wins
  std::optional<Template> defaultReply;  // --reply, or {line} for --echo
  std::string lineEnd = "\r\n";
  std::int64_t delayMs = 0;
  std::size_t splitSize = 0;  // 0: each reply in one write
  std::int64_t splitGapMs = 20;
  std::size_t garbage = 0;   // random bytes before each reply
  bool garbageOnly = false;  // the random bytes replace the replies
  std::optional<Template> stream;
  std::int64_t intervalMs = 1000;
  std::uint64_t count = 0;      // stream lines; 0: no end
  std::uint64_t exitAfter = 0;  // 0: no end
  std::uint64_t start = 1;      // first {n}
  std::uint64_t seed = 1;
  std::string link;
  bool untilStdinEof = false;
  bool verbose = false;
};

struct CommandLine {
  bool help = false;
  Options options;
};

// Random bytes each answer gets with --garbage-only when --garbage is not given.
constexpr std::size_t kDefaultGarbageOnly = 16;

// `args` without the program name. Accepts "--option VALUE" and "--option=VALUE".
Result<CommandLine> parseCommandLine(const std::vector<std::string>& args);

std::string usageText();

}  // namespace kestrune::instrument
