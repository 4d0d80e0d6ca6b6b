#include "sheet/xls/value.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace kestrune::xls {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Days from 1970-01-01 to a proleptic Gregorian date.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

int daysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : days[m - 1];
}

// The first section of a number format in lower case, with its quoted text
// and its escaped characters (\x, _x, *x) each made one space: what is left
// are the format's own codes.
std::string formatCodes(std::string_view code) {
  std::string codes;
  for (std::size_t i = 0; i < code.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(code[i])));
    if (c == ';') break;
    if (c == '"') {
      const std::size_t close = code.find('"', i + 1);
      if (close == std::string_view::npos) break;
      i = close;
      codes += ' ';
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
      codes += ' ';
    } else {
      codes += c;
    }
  }
  return codes;
}

}  // namespace

Value parseTyped(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  const std::string_view t = text.substr(b, e - b);
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  // The mantissa is digits with an optional point anywhere ("12", "1.",
  // ".5", "1.25"), as a spreadsheet takes typed input; a point alone is text.
  std::size_t mantissaDigits = 0;
  while (i < t.size() && isDigit(t[i])) ++i, ++mantissaDigits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && isDigit(t[i])) ++i, ++mantissaDigits;
  }
  bool number = mantissaDigits > 0;
  if (number && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const std::size_t x = i;
    while (i < t.size() && isDigit(t[i])) ++i;
    number = i > x;
  }
  if (number && i == t.size()) {
    // from_chars takes no leading '+'.
    const std::string_view digits = t[0] == '+' ? t.substr(1) : t;
    double v = 0.0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (r.ec == std::errc() && r.ptr == digits.data() + digits.size() && std::isfinite(v)) return v;
  }
  return std::string(text);
}

std::optional<DateKind> dateKindOfFormat(std::uint16_t ifmt, const std::optional<std::string>& code) {
  if (!code) {
    if ((ifmt >= 14 && ifmt <= 17) || (ifmt >= 27 && ifmt <= 31) || (ifmt >= 34 && ifmt <= 36) ||
        (ifmt >= 50 && ifmt <= 54) || ifmt == 57 || ifmt == 58)
      return DateKind::DateOnly;
    if ((ifmt >= 18 && ifmt <= 21) || (ifmt >= 45 && ifmt <= 47) || ifmt == 32 || ifmt == 33 || ifmt == 55 ||
        ifmt == 56)
      return DateKind::TimeOnly;
    if (ifmt == 22) return DateKind::DateTime;
    return std::nullopt;
  }
  // Look at the first section only, outside quotes, brackets and escapes;
  // "[h]", "[mm]", "[ss]" (elapsed time) count as time.
  bool date = false, time = false, month = false;
  const std::string s = formatCodes(*code);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '[') {
      const std::size_t close = s.find(']', i + 1);
      if (close == std::string::npos) break;
      const std::string inner = s.substr(i + 1, close - i - 1);
      if (!inner.empty() && inner.find_first_not_of("hms") == std::string::npos) time = true;
      i = close;
    } else if (c == 'y' || c == 'd') {
      date = true;
    } else if (c == 'h' || c == 's') {
      time = true;
    } else if (c == 'm') {
      month = true;
    }
  }
  // A lone "m" is a month; next to h or s it is minutes.
  if (month && !time) date = true;
  if (date && time) return DateKind::DateTime;
  if (date) return DateKind::DateOnly;
  if (time) return DateKind::TimeOnly;
  return std::nullopt;
}

std::string_view dateFormatCode(DateKind kind, bool milliseconds) {
  switch (kind) {
    case DateKind::DateOnly:
      return "yyyy/mm/dd";
    case DateKind::TimeOnly:
      return milliseconds ? "hh:mm:ss.000" : "h:mm:ss";
    case DateKind::DateTime:
      break;
  }
  return milliseconds ? "yyyy/mm/dd hh:mm:ss.000" : "yyyy/mm/dd h:mm:ss";
}

bool formatShowsSecondFractions(std::string_view code) {
  // Seconds ("ss", or "[ss]") followed by a decimal point and a zero.
  const std::string codes = formatCodes(code);
  bool seconds = false;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const char c = codes[i];
    if (c == '.' && seconds && i + 1 < codes.size() && codes[i + 1] == '0') return true;
    seconds = c == 's' || (c == ']' && seconds);
  }
  return false;
}

XlsResult<double> serialFromCivil(const CivilDateTime& w, bool date1904) {
  if (w.year < 1 || w.year > 9999 || w.month < 1 || w.month > 12 || w.day < 1 || w.day > daysInMonth(w.year, w.month) ||
      w.hour < 0 || w.hour > 23 || w.minute < 0 || w.minute > 59 || !(w.second >= 0.0 && w.second < 60.0))
    return xlsFail(XlsErrorCode::DateOutOfRange, "invalid date or time");
  const long long days = daysFromCivil(w.year, static_cast<unsigned>(w.month), static_cast<unsigned>(w.day));
  // 1900 system: day 0 is 1899-12-30 for serials from 61 on (1900-03-01);
  // before that the fictitious 1900-02-29 shifts dates by one.
  const long long epoch = date1904 ? daysFromCivil(1904, 1, 1) : daysFromCivil(1899, 12, 30);
  double serial = static_cast<double>(days - epoch);
  if (!date1904) {
    if (days < daysFromCivil(1900, 1, 1))
      return xlsFail(XlsErrorCode::DateOutOfRange, "dates before 1900-01-01 cannot be stored");
    if (days < daysFromCivil(1900, 3, 1)) serial -= 1.0;
  } else if (serial < 0) {
    return xlsFail(XlsErrorCode::DateOutOfRange, "dates before 1904-01-01 cannot be stored in a 1904 workbook");
  }
  return serial + (w.hour * 3600.0 + w.minute * 60.0 + w.second) / 86400.0;
}

}  // namespace kestrune::xls
