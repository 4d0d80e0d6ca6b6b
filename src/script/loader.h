// The script file beside the workbook: book.xls has the script book.txt.
// Read as code page 932, one step per line.
#pragma once

#include "core/result.h"
#include "script/script.h"

#include <QString>

#include <string_view>
#include <vector>

namespace kestrune::script {

constexpr std::size_t MaxLineLength = 32767;
constexpr std::size_t MaxStepLines = 32767;

// The workbook path less its last three characters, followed by "txt".
QString scriptPathFor(const QString& xlsFilePath);

// The step lines of a script file's bytes, read character by character: CR
// LF, LF alone and CR alone each end a line, other control characters are
// dropped, the last character of the file ends the last line. Lines are
// trimmed of spaces; a line of fewer than three characters is not a step and
// is joined to the front of the next one; a line starting with ";" is a
// comment.
struct StepLines {
  std::vector<cp932::CodeString> lines;
  // Per step line, the line of the file (from 1, as an editor counts) on
  // which its first character stands.
  std::vector<std::size_t> fileLines;
  bool tooLong = false;  // a line beyond MaxLineLength or more than MaxStepLines step lines
};
StepLines readStepLines(std::string_view bytes);

// Why a script file could not be used.
enum class ScriptError { Missing = 1, Unreadable, Empty, BadStep };
inline ErrorDomain errorDomainOf(ScriptError) { return ErrorDomain::Script; }

// Replaces the script with the steps of the file at scriptPathFor(xlsFilePath).
// Every failure returns the message to show (and its detail); from the point
// the file has been read, the built-in script is gone even when a step is refused.
Status loadScriptFile(Script& script, const QString& xlsFilePath);

}  // namespace kestrune::script
