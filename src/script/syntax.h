// One script line to one step. A step line is a three-letter upper-case
// keyword, optionally ":" in the fourth position and an operand up to the end
// of the line. The operand parsers take the whole line.
#pragma once

#include "core/cp932.h"
#include "script/script.h"

#include <cstdint>

namespace kestrune::script {

// Parses `line` and, when it is a valid step, stores it at `steps[index]` and
// returns true; otherwise stores nothing and returns false. A code operand
// that is a double-byte character is refused: the code tables hold bytes.
bool parseScriptLine(std::vector<ScriptStep>& steps, std::size_t index, const cp932::CodeString& line);

// Why a line is not a valid step.
enum class StepError {
  None,
  UnknownCommand,     // the first three characters are no keyword
  LowerCaseCommand,   // a keyword written in lower case
  MissingColon,       // a command that takes an operand without ":" in the fourth position
  UnexpectedOperand,  // a command without operand followed by more text
  MissingData,        // SND: with nothing to send
  BadToken,           // "%" not followed by a token name or two hexadecimal digits
  BadTime,            // a time operand that is not seconds in digits
  BadCode,            // a code operand that is not one character or one "%" token
  CodeOutOfRange,     // a code operand beyond one byte (a double-byte character)
  BadChannel,         // a channel operand that is not one digit from 1 to 8
};

// The step a line stands for, without storing it; on failure, the reason.
StepError parseStepChecked(const cp932::CodeString& line, ScriptStep& step);
bool parseStep(const cp932::CodeString& line, ScriptStep& step);

// The reason shown to the user, in Japanese; empty for StepError::None.
QString stepErrorText(StepError error);

// Seconds after the colon as milliseconds (0 to 10000000), -1 when invalid.
std::int32_t parseTimeOperand(const cp932::CodeString& line);
// The character code after the colon (a character, "%" and a token, or
// nothing for 0); -1 when invalid. A double-byte character gives its code.
std::int32_t parseCodeOperand(const cp932::CodeString& line);
// The channel after the colon as a 0-based index (the line's 1 to 8 give 0
// to 7); -1 when it is not exactly one of those digits.
std::int32_t parseChannelOperand(const cp932::CodeString& line);
// The decoded data after the colon; empty when missing or invalid. In the
// result NUL NUL stands for the byte 0, and NUL followed by code k (1 to 127)
// for the byte k + 128.
cp932::CodeString parseDataOperand(const cp932::CodeString& line);

}  // namespace kestrune::script
