// Text conversions for the .xls engine: UTF-8 (our cells) to UTF-16 (the
// file) and back, and the BIFF8 unicode string layouts (cch, flags, chars).
#pragma once

#include "sheet/xls/bytes.h"

#include <string>
#include <string_view>

namespace kestrune::xls {

// Invalid sequences become U+FFFD; neither function fails.
std::string utf16ToUtf8(std::u16string_view text);
std::u16string utf8ToUtf16(std::string_view text);

// Reads a BIFF8 unicode string: a u16 (or u8 when shortLength) character
// count, a flags byte, optional run count and ExtRst size, the characters
// (8-bit when fHighByte is clear), then skips runs and ExtRst. Returns false
// when the data ends early.
bool readBiffString(ByteReader& in, bool shortLength, std::u16string& out);

// Appends a BIFF8 unicode string without runs; 8-bit when every character
// fits, 16-bit otherwise.
void appendBiffString(Bytes& out, std::u16string_view text, bool shortLength);

}  // namespace kestrune::xls
