#include "script/syntax.h"

#include "core/numeric_text.h"

#include <algorithm>
#include <array>
#include <optional>

namespace kestrune::script {

namespace {

using cp932::Code;
using cp932::CodeString;

constexpr std::int32_t TimeCeilingMs = 10000000;

struct Keyword {
  char16_t text[4];
  StepCommand command;
};

constexpr std::array<Keyword, 16> Keywords{{
    {u"SCD", CmdSCD},
    {u"ECD", CmdECD},
    {u"DCD", CmdDCD},
    {u"ERR", CmdERR},
    {u"BRK", CmdBRK},
    {u"RTM", CmdRTM},
    {u"STM", CmdSTM},
    {u"WTM", CmdWTM},
    {u"ITM", CmdITM},
    {u"PAU", CmdPAU},
    {u"CLR", CmdCLR},
    {u"SSS", CmdSSS},
    {u"EEE", CmdEEE},
    {u"RCV", CmdRCV},
    {u"SND", CmdSND},
    {u"SET", CmdSET},
}};

bool hasOperandColon(const CodeString& line) { return line.size() >= 4 && line[3] == u':'; }

Code upper(Code c) { return (c >= u'a' && c <= u'z') ? static_cast<Code>(c - u'a' + u'A') : c; }

int hexValue(Code c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// A named token (CR, LF, SP, TB, SX, EX, EQ, AK, NK, %%), already upper-cased.
std::optional<Code> namedToken(Code a, Code b) {
  struct Token {
    char16_t a, b;
    Code code;
  };
  static constexpr Token tokens[] = {{u'C', u'R', 13}, {u'L', u'F', 10}, {u'S', u'P', 32}, {u'T', u'B', 9},
                                     {u'S', u'X', 2},  {u'E', u'X', 3},  {u'E', u'Q', 5},  {u'A', u'K', 6},
                                     {u'N', u'K', 21}, {u'%', u'%', 37}};
  for (const Token& t : tokens)
    if (t.a == a && t.b == b) return t.code;
  return std::nullopt;
}

int hexPair(Code a, Code b) {
  const int high = hexValue(a);
  const int low = hexValue(b);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

std::int32_t parseTimeOperand(const CodeString& line) {
  if (!hasOperandColon(line)) return -1;
  if (line.size() == 4) return 0;
  QString seconds;
  for (std::size_t i = 4; i < line.size(); ++i) {
    const Code c = line[i];
    if (!((c >= u'0' && c <= u'9') || c == u' ' || c == u'.' || c == u'+')) return -1;
    seconds.append(QChar(c));
  }
  const double value = readLeadingNumber(seconds);
  if (value >= 10000) return TimeCeilingMs;
  return roundHalfEven32(value * 1000);
}

std::int32_t parseCodeOperand(const CodeString& line) {
  if (!hasOperandColon(line)) return -1;
  switch (line.size()) {
    case 4:
      return 0;
    case 5:
      return line[4] == u'%' ? -1 : line[4];
    case 7: {
      if (line[4] != u'%') return -1;
      const Code a = upper(line[5]);
      const Code b = upper(line[6]);
      if (const auto named = namedToken(a, b)) return *named;
      return hexPair(a, b);
    }
    default:
      return -1;
  }
}

CodeString parseDataOperand(const CodeString& line) {
  if (!hasOperandColon(line)) return {};
  CodeString out;
  for (std::size_t i = 4; i < line.size(); ++i) {
    if (line[i] != u'%') {
      out.push_back(line[i]);
      continue;
    }
    if (i + 2 >= line.size()) return {};
    const Code a = upper(line[i + 1]);
    const Code b = upper(line[i + 2]);
    i += 2;
    if (const auto named = namedToken(a, b)) {
      out.push_back(*named);
      continue;
    }
    const int v = hexPair(a, b);
    if (v < 0) return {};
    if (v == 0) {
      out += CodeString{0, 0};
    } else if (v <= 128) {
      out.push_back(static_cast<Code>(v));
    } else {
      out.push_back(0);
      out.push_back(static_cast<Code>(v - 128));
    }
  }
  return out;
}

bool parseStep(const CodeString& line, ScriptStep& step) {
  step = ScriptStep{};
  if (line.size() < 3) return false;
  const Keyword* keyword = nullptr;
  for (const Keyword& k : Keywords)
    if (line.compare(0, 3, k.text, 3) == 0) keyword = &k;
  if (!keyword) return false;
  step.command = keyword->command;
  switch (keyword->command) {
    case CmdSCD:
    case CmdECD:
    case CmdDCD: {
      const std::int32_t code = parseCodeOperand(line);
      if (code < 0 || code > 255) return false;
      step.charCode = static_cast<std::int16_t>(code);
      return true;
    }
    case CmdERR:
      step.data = parseDataOperand(line);
      return true;
    case CmdSND:
      step.data = parseDataOperand(line);
      return !step.data.empty();
    case CmdBRK:
      step.timeMs = std::max(parseTimeOperand(line), 0);
      return true;
    case CmdRTM:
    case CmdSTM:
    case CmdWTM:
    case CmdITM:
      step.timeMs = parseTimeOperand(line);
      return step.timeMs >= 0;
    default:
      return line.size() == 3;
  }
}

bool parseScriptLine(std::vector<ScriptStep>& steps, std::size_t index, const CodeString& line) {
  ScriptStep step;
  if (index >= steps.size() || !parseStep(line, step)) return false;
  steps[index] = std::move(step);
  return true;
}

}  // namespace kestrune::script
