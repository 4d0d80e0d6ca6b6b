#include "instrument/options.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <string_view>

namespace kestrune::instrument {

namespace {

constexpr std::int64_t kMaxMs = 24LL * 60 * 60 * 1000;  // a day
constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxBytes = 1 << 20;

std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t min, std::uint64_t max) {
  std::uint64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) return std::nullopt;
  return value;
}

Error badNumber(std::string_view option, std::string_view value, std::uint64_t min, std::uint64_t max) {
  return fail(std::string(option) + ": '" + std::string(value) + "' is not a whole number from " + std::to_string(min) +
              " to " + std::to_string(max));
}

// Reads the options one by one; each handler takes its value from `value`.
class Parser {
public:
  explicit Parser(const std::vector<std::string>& args) : args_(args) {}

  Result<CommandLine> run() {
    for (index_ = 0; index_ < args_.size(); ++index_) {
      std::string_view arg = args_[index_];
      if (!arg.starts_with("--")) return fail("unexpected argument '" + std::string(arg) + "'");
      std::optional<std::string_view> inlineValue;
      if (const auto equals = arg.find('='); equals != std::string_view::npos) {
        inlineValue = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
      }
      option_ = arg;
      inline_ = inlineValue;
      if (auto status = handle(); !status) return status.error();
    }
    if (auto status = check(); !status) return status.error();
    return line_;
  }

private:
  Status handle() {
    Options& o = line_.options;
    const std::string_view name = option_;
    if (name == "--help") return flag(line_.help);
    if (name == "--echo") return flag(echo_);
    if (name == "--garbage-only") return flag(o.garbageOnly);
    if (name == "--until-stdin-eof") return flag(o.untilStdinEof);
    if (name == "--verbose") return flag(o.verbose);

    static constexpr std::string_view kWithValue[] = {"--on",       "--reply", "--stream",  "--eol",   "--delay",
                                                      "--interval", "--split", "--garbage", "--count", "--exit-after",
                                                      "--start",    "--seed",  "--link"};
    if (std::find(std::begin(kWithValue), std::end(kWithValue), name) == std::end(kWithValue))
      return fail("unknown option '" + option_ + "'");
    auto value = takeValue();
    if (!value) return value.error();
    const std::string_view v = value.value();
    if (name == "--on") return addRule(v);
    if (name == "--reply") {
      reply_ = true;
      return templateValue(v, o.defaultReply);
    }
    if (name == "--stream") return templateValue(v, o.stream);
    if (name == "--eol") {
      auto end = parseLineEnd(v);
      if (!end) return fail("--eol: " + end.description());
      o.lineEnd = std::move(end).value();
      return {};
    }
    if (name == "--delay") return number(v, 0, kMaxMs, o.delayMs);
    if (name == "--interval") {
      interval_ = true;
      return number(v, 1, kMaxMs, o.intervalMs);
    }
    if (name == "--split") return split(v);
    if (name == "--garbage") return number(v, 1, kMaxBytes, o.garbage);
    if (name == "--count") return number(v, 1, kMaxCount, o.count);
    if (name == "--exit-after") return number(v, 1, kMaxCount, o.exitAfter);
    if (name == "--start") return number(v, 0, std::numeric_limits<std::uint64_t>::max() / 2, o.start);
    if (name == "--seed") return number(v, 0, std::numeric_limits<std::uint64_t>::max(), o.seed);
    if (name == "--link") {
      if (v.empty()) return fail("--link needs a path");
      o.link = v;
      return {};
    }
    return fail("unknown option '" + option_ + "'");
  }

  Status flag(bool& target) {
    if (inline_) return fail(option_ + " takes no value");
    target = true;
    return {};
  }

  Result<std::string_view> takeValue() {
    if (inline_) return *inline_;
    if (index_ + 1 >= args_.size()) return fail(option_ + " needs a value");
    return std::string_view(args_[++index_]);
  }

  template <typename T>
  Status number(std::string_view text, std::uint64_t min, std::uint64_t max, T& target) {
    const auto value = parseNumber(text, min, max);
    if (!value) return badNumber(option_, text, min, max);
    target = static_cast<T>(*value);
    return {};
  }

  Status templateValue(std::string_view text, std::optional<Template>& target) {
    if (target) return fail(option_ + " given twice");
    auto parsed = parseTemplate(text);
    if (!parsed) return fail(option_ + ": " + parsed.description());
    target = std::move(parsed).value();
    return {};
  }

  Status addRule(std::string_view text) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) return fail("--on needs PREFIX=REPLY");
    auto prefix = parseEscapedText(text.substr(0, equals));
    if (!prefix) return fail("--on prefix: " + prefix.description());
    if (prefix->empty()) return fail("--on needs a PREFIX before '=' (use --reply for every line)");
    auto reply = parseTemplate(text.substr(equals + 1));
    if (!reply) return fail("--on reply: " + reply.description());
    line_.options.rules.push_back(Rule{std::move(prefix).value(), std::move(reply).value()});
    return {};
  }

  Status split(std::string_view text) {
    const auto colon = text.find(':');
    Options& o = line_.options;
    if (auto status = number(text.substr(0, colon), 1, kMaxBytes, o.splitSize); !status) return status;
    if (colon != std::string_view::npos) return number(text.substr(colon + 1), 0, kMaxMs, o.splitGapMs);
    return {};
  }

  // Combinations that cannot work, found after every option is read.
  Status check() {
    Options& o = line_.options;
    if (line_.help) return {};
    if (echo_ && reply_) return fail("--echo and --reply cannot be combined");
    if (echo_) o.defaultReply = Template{{Piece{Piece::Kind::Line, {}, {}}}};
    if (!o.stream && interval_) return fail("--interval needs --stream");
    if (!o.stream && o.count > 0) return fail("--count needs --stream");
    if (o.stream && o.stream->uses(Piece::Kind::Line)) return fail("--stream: {line} has no received line");
    if (o.garbageOnly && o.rules.empty() && !o.defaultReply && !o.stream)
      return fail("--garbage-only needs replies to replace (--on, --reply, --echo or --stream)");
    if (o.garbageOnly && o.garbage == 0) o.garbage = kDefaultGarbageOnly;
    return {};
  }

  const std::vector<std::string>& args_;
  std::size_t index_ = 0;
  std::string option_;
  std::optional<std::string_view> inline_;
  CommandLine line_;
  bool echo_ = false;
  bool reply_ = false;
  bool interval_ = false;
};

}  // namespace

Result<CommandLine> parseCommandLine(const std::vector<std::string>& args) { return Parser(args).run(); }

std::string usageText() {
  return R"(Usage: kestrune-instrument [OPTION]...
A virtual serial instrument on a pseudo-terminal. Prints the device path as the
first line of standard output, then answers the command lines sent to it.
A line ends at CR or LF (CR LF counts once); empty lines are ignored.

Replies:
  --on PREFIX=REPLY    reply REPLY to lines that start with PREFIX (repeatable;
                       the first matching PREFIX wins; write '=' as \x3D)
  --reply REPLY        reply to the lines that no --on matches
  --echo               reply to the lines that no --on matches with the line
  --eol END            line end after each reply and stream line: CR, LF,
                       CRLF (default), NONE, or escapes such as \x03
  --delay MS           wait MS milliseconds before each reply (reading goes on;
                       replies keep their order)
  --split N[:GAP_MS]   write each reply in pieces of N bytes, GAP_MS apart
                       (default 20)
  --garbage N          send N random bytes before each reply and stream line
  --garbage-only       send the random bytes instead of each reply and stream
                       line (16 unless --garbage says otherwise)
  --start N            first value of {n} (default 1)
  --seed S             seed of {rand} and of the random bytes (default 1)

Streaming:
  --stream TEMPLATE    send TEMPLATE unasked, every interval
  --interval MS        stream interval in milliseconds (default 1000)
  --count N            stop streaming after N lines

Running:
  --link PATH          also make PATH a symbolic link to the device, replacing
                       an existing link; removed at exit
  --exit-after N       exit once N replies and stream lines are sent and read;
                       with --count, also when the stream has ended
  --until-stdin-eof    exit when standard input closes
  --verbose            log received lines and sent bytes to standard error
  --help               print this help and exit

REPLY and TEMPLATE are UTF-8 text, sent as code page 932 (Shift_JIS).
Escapes: \r \n \t \\ \{ and \xHH (one byte, sent as it is). Placeholders:
  {n}                  running count of replies and stream lines
  {rand:MIN:MAX:DEC}   random number from MIN to MAX with DEC decimals
                       (DEC may be left out: 0)
  {line}               the received line, as received
  {date} {time}        local date (yyyy/mm/dd) and time (hh:mm:ss)
PREFIX and END take the same escapes.

Exit status: 0 after SIGINT, SIGTERM or SIGHUP and at the ends asked for;
1 when the device or the link cannot be made; 2 for bad options.
)";
}

}  // namespace kestrune::instrument
