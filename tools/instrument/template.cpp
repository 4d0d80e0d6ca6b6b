#include "instrument/template.h"

#include "instrument/cp932_text.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

namespace kestrune::instrument {

std::uint64_t Random::next() {
  state_ += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::int64_t Random::between(std::int64_t low, std::int64_t high) {
  const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
  if (span == std::numeric_limits<std::uint64_t>::max()) return static_cast<std::int64_t>(next());
  const std::uint64_t bound = span + 1;
  // Rejects the top values that would make some results more likely than others.
  const std::uint64_t limit =
      std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % bound;
  std::uint64_t value = next();
  while (value >= limit) value = next();
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + value % bound);
}

bool Template::uses(Piece::Kind kind) const {
  return std::any_of(pieces.begin(), pieces.end(), [kind](const Piece& p) { return p.kind == kind; });
}

namespace {

// Largest magnitude of a scaled {rand} bound, far inside int64_t.
constexpr std::int64_t kMaxScaled = 100'000'000'000'000'000;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A decimal number as an integer count of 10^-decimals, rounded up or down
// exactly (no floating point): "1.234" with 2 decimals is 124 up, 123 down.
std::optional<std::int64_t> parseScaled(std::string_view text, int decimals, bool roundUp) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const auto dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  std::int64_t magnitude = 0;
  auto addDigit = [&magnitude](char c) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    return magnitude <= kMaxScaled;
  };
  for (char c : whole)
    if (!addDigit(c)) return std::nullopt;
  bool remainder = false;
  for (std::size_t i = 0; i < fraction.size(); ++i) {
    if (i < static_cast<std::size_t>(decimals)) {
      if (!addDigit(fraction[i])) return std::nullopt;
    } else if (fraction[i] < '0' || fraction[i] > '9') {
      return std::nullopt;
    } else if (fraction[i] != '0') {
      remainder = true;
    }
  }
  for (std::size_t i = fraction.size(); i < static_cast<std::size_t>(decimals); ++i)
    if (!addDigit('0')) return std::nullopt;
  // Dropped digits move the value toward zero; rounding up a positive value
  // or down a negative one takes one more unit.
  if (remainder && roundUp != negative) ++magnitude;
  return negative ? -magnitude : magnitude;
}

Result<Piece> parseRandom(std::string_view arguments) {
  std::vector<std::string_view> fields;
  while (true) {
    const auto colon = arguments.find(':');
    fields.push_back(arguments.substr(0, colon));
    if (colon == std::string_view::npos) break;
    arguments.remove_prefix(colon + 1);
  }
  if (fields.size() < 2 || fields.size() > 3) return fail("{rand} needs MIN:MAX or MIN:MAX:DEC");
  int decimals = 0;
  if (fields.size() == 3) {
    if (fields[2].size() != 1 || fields[2][0] < '0' || fields[2][0] > '0' + kMaxDecimals)
      return fail("{rand} decimals must be 0 to " + std::to_string(kMaxDecimals));
    decimals = fields[2][0] - '0';
  }
  const auto low = parseScaled(fields[0], decimals, true);
  const auto high = parseScaled(fields[1], decimals, false);
  if (!low || !high) return fail("{rand} bounds must be decimal numbers of reasonable size");
  if (*low > *high)
    return fail("{rand} has no number with " + std::to_string(decimals) + " decimals between its bounds");
  Piece piece;
  piece.kind = Piece::Kind::Random;
  piece.range = RandomRange{*low, *high, decimals};
  return piece;
}

// Collects text and raw bytes into Bytes pieces. Text waits in UTF-8 until a
// raw byte or a placeholder comes, so that iconv sees whole characters.
class Builder {
public:
  Status addText(char c) {
    text_ += c;
    return {};
  }
  Status addRaw(char byte) {
    if (auto status = flushText(); !status) return status;
    bytes_ += byte;
    return {};
  }
  Status addPiece(Piece piece) {
    if (auto status = flushText(); !status) return status;
    flushBytes();
    pieces_.push_back(std::move(piece));
    return {};
  }
  Result<std::vector<Piece>> finish() {
    if (auto status = flushText(); !status) return status.error();
    flushBytes();
    return std::move(pieces_);
  }

private:
  Status flushText() {
    if (text_.empty()) return {};
    auto converted = utf8ToCp932(text_);
    if (!converted) return converted.error();
    bytes_ += converted.value();
    text_.clear();
    return {};
  }
  void flushBytes() {
    if (bytes_.empty()) return;
    Piece piece;
    piece.bytes = std::move(bytes_);
    pieces_.push_back(std::move(piece));
    bytes_.clear();
  }

  std::string text_;
  std::string bytes_;
  std::vector<Piece> pieces_;
};

Result<std::vector<Piece>> parse(std::string_view text, bool placeholders) {
  Builder builder;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    Status status;
    if (c == '\\') {
      if (i + 1 >= text.size()) return fail("lone \\ at the end");
      const char e = text[++i];
      switch (e) {
        case 'r':
          status = builder.addText('\r');
          break;
        case 'n':
          status = builder.addText('\n');
          break;
        case 't':
          status = builder.addText('\t');
          break;
        case '\\':
        case '{':
        case '}':
          status = builder.addText(e);
          break;
        case 'x': {
          const int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
          const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
          if (high < 0 || low < 0) return fail("\\x needs two hexadecimal digits");
          status = builder.addRaw(static_cast<char>(high * 16 + low));
          i += 2;
          break;
        }
        default:
          return fail(std::string("unknown escape \\") + e);
      }
    } else if (c == '{' && placeholders) {
      const auto close = text.find('}', i + 1);
      if (close == std::string_view::npos) return fail("{ without }");
      const std::string_view name = text.substr(i + 1, close - i - 1);
      Piece piece;
      if (name == "n") {
        piece.kind = Piece::Kind::Counter;
      } else if (name == "line") {
        piece.kind = Piece::Kind::Line;
      } else if (name == "date") {
        piece.kind = Piece::Kind::Date;
      } else if (name == "time") {
        piece.kind = Piece::Kind::Time;
      } else if (name.starts_with("rand:")) {
        auto random = parseRandom(name.substr(5));
        if (!random) return random.error();
        piece = std::move(random).value();
      } else {
        return fail("unknown placeholder {" + std::string(name) + "} (write \\{ for a brace)");
      }
      status = builder.addPiece(std::move(piece));
      i = close;
    } else {
      status = builder.addText(c);
    }
    if (!status) return status.error();
  }
  return builder.finish();
}

std::string formatDate(const std::tm& local) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return text;
}

std::string formatTime(const std::tm& local) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

}  // namespace

Result<Template> parseTemplate(std::string_view text) {
  auto pieces = parse(text, true);
  if (!pieces) return pieces.error();
  return Template{std::move(pieces).value()};
}

Result<std::string> parseEscapedText(std::string_view text) {
  auto pieces = parse(text, false);
  if (!pieces) return pieces.error();
  std::string bytes;
  for (const Piece& piece : pieces.value()) bytes += piece.bytes;
  return bytes;
}

Result<std::string> parseLineEnd(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
  if (upper == "CR") return std::string("\r");
  if (upper == "LF") return std::string("\n");
  if (upper == "CRLF") return std::string("\r\n");
  if (upper == "NONE") return std::string();
  return parseEscapedText(text);
}

std::string formatScaled(std::int64_t value, int decimals) {
  std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  std::string text = value < 0 ? "-" : "";
  text += std::to_string(magnitude / scale);
  if (decimals > 0) {
    std::string fraction = std::to_string(magnitude % scale);
    text += '.';
    text.append(static_cast<std::size_t>(decimals) - fraction.size(), '0');
    text += fraction;
  }
  return text;
}

std::string expand(const Template& templ, const ExpansionContext& context, Random& random) {
  std::string out;
  for (const Piece& piece : templ.pieces) {
    switch (piece.kind) {
      case Piece::Kind::Bytes:
        out += piece.bytes;
        break;
      case Piece::Kind::Counter:
        out += std::to_string(context.counter);
        break;
      case Piece::Kind::Line:
        out += context.line;
        break;
      case Piece::Kind::Date:
        out += formatDate(context.local);
        break;
      case Piece::Kind::Time:
        out += formatTime(context.local);
        break;
      case Piece::Kind::Random:
        out += formatScaled(random.between(piece.range.low, piece.range.high), piece.range.decimals);
        break;
    }
  }
  return out;
}

}  // namespace kestrune::instrument
