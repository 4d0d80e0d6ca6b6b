// UTF-8 text to code page 932 (Shift_JIS as Windows has it) bytes, for the
// text of reply templates. ASCII stays as it is; Japanese becomes double-byte.
#pragma once

#include "instrument/result.h"

#include <string>
#include <string_view>

namespace kestrune::instrument {

// Fails on invalid UTF-8 and on characters that code page 932 lacks, naming
// the character or the byte offset.
Result<std::string> utf8ToCp932(std::string_view utf8);

}  // namespace kestrune::instrument
