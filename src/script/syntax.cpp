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

constexpr std::array<Keyword, 17> Keywords{{
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
    {u"CHN", CmdCHN},
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

const Keyword* findKeyword(const CodeString& line) {
  if (line.size() < 3) return nullptr;
  for (const Keyword& k : Keywords)
    if (line.compare(0, 3, k.text, 3) == 0) return &k;
  return nullptr;
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

std::int32_t parseChannelOperand(const CodeString& line) {
  if (!hasOperandColon(line) || line.size() != 5) return -1;
  const Code digit = line[4];
  if (digit < u'1' || digit >= u'1' + serial::ChannelCount) return -1;
  return digit - u'1';
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

StepError parseStepChecked(const CodeString& line, ScriptStep& step) {
  step = ScriptStep{};
  const Keyword* keyword = findKeyword(line);
  if (!keyword) {
    if (line.size() < 3) return StepError::UnknownCommand;
    const CodeString upperCased{upper(line[0]), upper(line[1]), upper(line[2])};
    return findKeyword(upperCased) ? StepError::LowerCaseCommand : StepError::UnknownCommand;
  }
  step.command = keyword->command;
  switch (keyword->command) {
    case CmdSCD:
    case CmdECD:
    case CmdDCD: {
      if (!hasOperandColon(line)) return StepError::MissingColon;
      const std::int32_t code = parseCodeOperand(line);
      if (code > 255) return StepError::CodeOutOfRange;
      if (code < 0) return line[4] == u'%' && line.size() <= 7 ? StepError::BadToken : StepError::BadCode;
      step.charCode = static_cast<std::int16_t>(code);
      return StepError::None;
    }
    case CmdERR:
      step.data = parseDataOperand(line);
      return StepError::None;
    case CmdSND:
      if (line.size() == 3) return StepError::MissingData;
      if (!hasOperandColon(line)) return StepError::MissingColon;
      step.data = parseDataOperand(line);
      if (step.data.empty()) return line.size() == 4 ? StepError::MissingData : StepError::BadToken;
      return StepError::None;
    case CmdBRK:
      step.timeMs = std::max(parseTimeOperand(line), 0);
      return StepError::None;
    case CmdRTM:
    case CmdSTM:
    case CmdWTM:
    case CmdITM:
      if (!hasOperandColon(line)) return StepError::MissingColon;
      step.timeMs = parseTimeOperand(line);
      return step.timeMs >= 0 ? StepError::None : StepError::BadTime;
    case CmdCHN: {
      if (!hasOperandColon(line)) return StepError::MissingColon;
      const std::int32_t channel = parseChannelOperand(line);
      if (channel < 0) return StepError::BadChannel;
      step.channel = static_cast<std::int16_t>(channel);
      return StepError::None;
    }
    default:
      return line.size() == 3 ? StepError::None : StepError::UnexpectedOperand;
  }
}

bool parseStep(const CodeString& line, ScriptStep& step) { return parseStepChecked(line, step) == StepError::None; }

QString stepErrorText(StepError error) {
  switch (error) {
    case StepError::None:
      return {};
    case StepError::UnknownCommand:
      return QStringLiteral("不明なコマンドです");
    case StepError::LowerCaseCommand:
      return QStringLiteral("コマンドは半角の大文字で書いて下さい");
    case StepError::MissingColon:
      return QStringLiteral("コマンドの直後に「:」がありません");
    case StepError::UnexpectedOperand:
      return QStringLiteral("このコマンドの後には何も書けません");
    case StepError::MissingData:
      return QStringLiteral("送信するデータがありません");
    case StepError::BadToken:
      return QStringLiteral("「%」の後が記号名（CR、LF など）または16進数2桁ではありません");
    case StepError::BadTime:
      return QStringLiteral("時間が秒の数値ではありません");
    case StepError::BadCode:
      return QStringLiteral("文字コードは1文字、または「%」と記号名か16進数2桁で指定して下さい");
    case StepError::CodeOutOfRange:
      return QStringLiteral("文字コードが範囲外です（1バイトの文字に限ります）");
    case StepError::BadChannel:
      return QStringLiteral("チャンネルは1から8の数字1文字で指定して下さい");
  }
  return {};
}

bool parseScriptLine(std::vector<ScriptStep>& steps, std::size_t index, const CodeString& line) {
  ScriptStep step;
  if (index >= steps.size() || !parseStep(line, step)) return false;
  steps[index] = std::move(step);
  return true;
}

}  // namespace kestrune::script
