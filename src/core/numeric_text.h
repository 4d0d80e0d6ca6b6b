// Reading numbers typed into text boxes and script operands, the way BASIC's
// Val reads them: blanks anywhere are skipped, then an optional sign, digits,
// an optional decimal point with digits and an optional exponent (E or D) are
// read, and reading stops at the first other character. "&H" followed by
// hexadecimal digits and "&O" followed by octal digits are read as
// non-negative whole numbers. A text without a number reads as 0.
#pragma once

#include <QString>

#include <cstdint>

namespace kestrune {

double readLeadingNumber(const QString& text);

// The reading rounded to a whole number, a half going to the even neighbour
// (2.5 gives 2, 3.5 gives 4), clamped to the signed 32-bit range.
std::int32_t roundHalfEven32(double value);
std::int32_t readWholeNumber(const QString& text);

}  // namespace kestrune
