#include "core/numeric_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace kestrune {

namespace {

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n'); }
bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// The characters after `from` with blanks removed.
std::u16string withoutBlanks(const QString& text) {
  std::u16string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  for (const QChar c : text)
    if (!isBlank(c)) out.push_back(c.unicode());
  return out;
}

double readRadix(const std::u16string& s, std::size_t pos, int radix) {
  double value = 0;
  for (; pos < s.size(); ++pos) {
    const char16_t c = s[pos];
    int digit = -1;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else if (c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    if (digit < 0 || digit >= radix) break;
    value = value * radix + digit;
  }
  return value;
}

}  // namespace

double readLeadingNumber(const QString& text) {
  const std::u16string s = withoutBlanks(text);
  if (s.size() >= 2 && s[0] == u'&') {
    if (s[1] == u'H' || s[1] == u'h') return readRadix(s, 2, 16);
    if (s[1] == u'O' || s[1] == u'o') return readRadix(s, 2, 8);
    return 0;
  }
  // Collect the longest prefix of the form [sign]digits[.digits][E[sign]digits].
  std::string number;
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  bool anyDigit = false;
  while (i < s.size() && isDigit(QChar(s[i]))) {
    number.push_back(static_cast<char>(s[i++]));
    anyDigit = true;
  }
  if (i < s.size() && s[i] == u'.') {
    number.push_back('.');
    ++i;
    while (i < s.size() && isDigit(QChar(s[i]))) {
      number.push_back(static_cast<char>(s[i++]));
      anyDigit = true;
    }
  }
  if (!anyDigit) return 0;
  if (i < s.size() && (s[i] == u'E' || s[i] == u'e' || s[i] == u'D' || s[i] == u'd')) {
    std::size_t j = i + 1;
    std::string exponent = "e";
    if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) exponent.push_back(static_cast<char>(s[j++]));
    const std::size_t digitsStart = j;
    while (j < s.size() && isDigit(QChar(s[j]))) exponent.push_back(static_cast<char>(s[j++]));
    if (j > digitsStart) number += exponent;
  }
  if (number.front() == '.') number.insert(number.begin(), '0');
  double value = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error == std::errc::result_out_of_range) {
    // Too large or too small for a double: infinity or zero, by the exponent's sign.
    const std::size_t e = number.find('e');
    const bool tiny = e != std::string::npos && e + 1 < number.size() && number[e + 1] == '-';
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  static_cast<void>(end);
  return negative ? -value : value;
}

std::int32_t roundHalfEven32(double value) {
  if (std::isnan(value)) return 0;
  // nearbyint follows the default rounding mode: to nearest, ties to even.
  const double rounded = std::nearbyint(value);
  if (rounded >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  if (rounded <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(rounded);
}

std::int32_t readWholeNumber(const QString& text) { return roundHalfEven32(readLeadingNumber(text)); }

}  // namespace kestrune
