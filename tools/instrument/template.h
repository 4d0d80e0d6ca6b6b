// Reply templates: UTF-8 text with escapes and placeholders, parsed once when
// the options are read and expanded into code page 932 bytes for each reply.
//
// Escapes: \r \n \t \\ \{ and \xHH (one raw byte, never converted). Other text
// is converted from UTF-8 to code page 932. Placeholders: {n}, {line},
// {date} (yyyy/mm/dd), {time} (hh:mm:ss) and {rand:MIN:MAX[:DEC]}.
#pragma once

#include "instrument/result.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::instrument {

// A deterministic pseudo-random generator (SplitMix64), so that a seed gives
// the same numbers on every machine and library.
class Random {
public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // Uniform in [low, high]; needs low <= high.
  std::int64_t between(std::int64_t low, std::int64_t high);

private:
  std::uint64_t state_;
};

// {rand:MIN:MAX:DEC} in units of 10^-decimals: MIN rounded up, MAX rounded down.
struct RandomRange {
  std::int64_t low = 0;
  std::int64_t high = 0;
  int decimals = 0;
  bool operator==(const RandomRange&) const = default;
};

struct Piece {
  enum class Kind { Bytes, Counter, Line, Date, Time, Random };
  Kind kind = Kind::Bytes;
  std::string bytes;  // Kind::Bytes: already in code page 932
  RandomRange range;  // Kind::Random
  bool operator==(const Piece&) const = default;
};

struct Template {
  std::vector<Piece> pieces;
  bool uses(Piece::Kind kind) const;
  bool operator==(const Template&) const = default;
};

// What a placeholder stands for in one expansion.
struct ExpansionContext {
  std::uint64_t counter = 1;
  std::string_view line;  // bytes as received, inserted unchanged
  std::tm local{};        // local date and time
};

constexpr int kMaxDecimals = 9;

Result<Template> parseTemplate(std::string_view text);
// Escapes and UTF-8 conversion only: braces are plain text. For prefixes and line ends.
Result<std::string> parseEscapedText(std::string_view text);
// CR, LF, CRLF, NONE (any case) or escaped text such as "\x03".
Result<std::string> parseLineEnd(std::string_view text);

std::string expand(const Template& templ, const ExpansionContext& context, Random& random);

// A scaled integer as decimal text: formatScaled(-5, 2) is "-0.05".
std::string formatScaled(std::int64_t value, int decimals);

}  // namespace kestrune::instrument
