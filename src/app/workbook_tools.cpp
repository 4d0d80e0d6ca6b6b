#include "app/workbook_tools.h"

#include "sheet/xls/workbook.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <variant>

namespace kestrune::app {

namespace {

// Qt's text of a date/time serial: kept for what the fast path leaves out.
std::string qtDateText(double seconds, xls::DateKind kind) {
  const auto when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds), Qt::UTC);
  switch (kind) {
    case xls::DateKind::DateOnly:
      return when.toString(QStringLiteral("yyyy/MM/dd")).toStdString();
    case xls::DateKind::TimeOnly:
      return when.toString(QStringLiteral("H:mm:ss")).toStdString();
    case xls::DateKind::DateTime:
      break;
  }
  return when.toString(QStringLiteral("yyyy/MM/dd H:mm:ss")).toStdString();
}

// Significant digits (no trailing zeros) and decimal exponent of a positive
// number in scientific text ("d.ddde+XX").
struct Decimal {
  std::string digits;
  int exponent = 0;
};
Decimal parseScientific(const char* begin, const char* end) {
  Decimal d;
  const char* e = std::find(begin, end, 'e');
  for (const char* p = begin; p < e; ++p)
    if (*p != '.') d.digits += *p;
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  std::from_chars(e + (e[1] == '+' ? 2 : 1), end, d.exponent);
  return d;
}

// The "%.15g" form of a decimal of at most 15 digits: fixed for exponents
// from -4 to 14, else scientific with at least two exponent digits.
std::string gText(bool negative, const Decimal& d) {
  std::string out = negative ? "-" : "";
  const int n = static_cast<int>(d.digits.size());
  if (d.exponent < -4 || d.exponent >= 15) {
    out += d.digits[0];
    if (n > 1) out += '.' + d.digits.substr(1);
    char exponent[16];
    std::snprintf(exponent, sizeof exponent, "e%c%02d", d.exponent < 0 ? '-' : '+', std::abs(d.exponent));
    return out + exponent;
  }
  if (d.exponent < 0) return out + "0." + std::string(static_cast<std::size_t>(-d.exponent - 1), '0') + d.digits;
  if (n <= d.exponent + 1) return out + d.digits + std::string(static_cast<std::size_t>(d.exponent + 1 - n), '0');
  return out + d.digits.substr(0, static_cast<std::size_t>(d.exponent + 1)) + '.' +
         d.digits.substr(static_cast<std::size_t>(d.exponent + 1));
}

}  // namespace

std::string numberText(double v) {
  if (!std::isfinite(v)) return QString::number(v, 'g', 15).toStdString();
  if (v == 0) return "0";  // negative zero too
  const bool negative = std::signbit(v);
  const double magnitude = std::fabs(v);
  char buffer[64];
  // The shortest digits that read back as the number: when there are at
  // most 15, they are the number rounded to 15 digits. Not so for a
  // subnormal number, whose few bits make its shortest form shorter still.
  auto shortest = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  Decimal d = parseScientific(buffer, shortest.ptr);
  if (d.digits.size() <= 15 && std::isnormal(v)) return gText(negative, d);
  // Rounded to 15 digits. The library rounds a tie to even; Qt rounds it
  // away from zero, so a tie (a 16th digit 5 and nothing after it) goes up.
  auto exact = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific, 30);
  Decimal full;
  const char* e = std::find(buffer, exact.ptr, 'e');
  for (const char* p = buffer; p < e; ++p)
    if (*p != '.') full.digits += *p;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), exact.ptr, full.exponent);
  const bool tie = full.digits[15] == '5' && full.digits.find_first_not_of('0', 16) == std::string::npos;
  if (!tie) {
    auto rounded = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 15);
    return std::string(buffer, rounded.ptr);
  }
  Decimal up{full.digits.substr(0, 15), full.exponent};
  int i = 14;
  for (; i >= 0 && up.digits[static_cast<std::size_t>(i)] == '9'; --i) up.digits[static_cast<std::size_t>(i)] = '0';
  if (i < 0) {
    up.digits.insert(up.digits.begin(), '1');
    up.digits.pop_back();
    ++up.exponent;
  } else {
    ++up.digits[static_cast<std::size_t>(i)];
  }
  while (up.digits.size() > 1 && up.digits.back() == '0') up.digits.pop_back();
  return gText(negative, up);
}

std::string dateText(double serial, bool date1904, xls::DateKind kind) {
  // Seconds from 1970-01-01 of the serial; the 1900 system counts from 1899-12-30.
  const double epochOffset = date1904 ? 24107.0 : 25569.0;
  const double seconds = std::round((serial - epochOffset) * 86400.0);
  // Years 1 to 9999 are written here; Qt writes the others (no year 0,
  // five-digit years) and dates it cannot hold.
  constexpr double FirstSecond = -62135596800.0;  // 0001-01-01
  constexpr double EndSecond = 253402300800.0;    // 10000-01-01
  if (!(seconds >= FirstSecond && seconds < EndSecond)) return qtDateText(seconds, kind);
  const auto whole = static_cast<std::int64_t>(seconds);
  const std::int64_t day = whole >= 0 ? whole / 86400 : -((-whole + 86399) / 86400);
  const auto second = static_cast<int>(whole - day * 86400);
  const std::chrono::year_month_day date{std::chrono::sys_days{std::chrono::days{day}}};
  char text[96];
  const int y = static_cast<int>(date.year()), mo = static_cast<int>(static_cast<unsigned>(date.month())),
            d = static_cast<int>(static_cast<unsigned>(date.day()));
  const int h = second / 3600, mi = second / 60 % 60, s = second % 60;
  switch (kind) {
    case xls::DateKind::DateOnly:
      std::snprintf(text, sizeof text, "%04d/%02d/%02d", y, mo, d);
      break;
    case xls::DateKind::TimeOnly:
      std::snprintf(text, sizeof text, "%d:%02d:%02d", h, mi, s);
      break;
    case xls::DateKind::DateTime:
      std::snprintf(text, sizeof text, "%04d/%02d/%02d %d:%02d:%02d", y, mo, d, h, mi, s);
      break;
  }
  return text;
}

namespace {

std::string shown(const xls::Value& value, bool date1904) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<double>(&value)) return numberText(*number);
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "TRUE" : "FALSE";
  if (const auto* date = std::get_if<xls::DateTimeValue>(&value)) return dateText(date->serial, date1904, date->kind);
  if (std::holds_alternative<xls::CellError>(value)) return "#ERROR";
  return {};
}

}  // namespace

int createWorkbook(const QString& path, bool overwrite) {
  // A workbook may hold months of readings: only replace one when told to.
  const QFileInfo existing(path);
  if (existing.exists() || existing.isSymLink()) {
    if (!overwrite || !existing.isFile()) {
      std::fprintf(stderr, "kestrune: %s は既にあります%s\n", path.toUtf8().constData(),
                   existing.isFile() ? "（置き換えるには --overwrite を付けます）" : "（ファイルではありません）");
      return 1;
    }
  }
  const xls::XlsStatus saved = xls::Workbook::createEmpty().save(QFile::encodeName(path).toStdString());
  if (!saved) {
    std::fprintf(stderr, "kestrune: %s: %s\n", path.toUtf8().constData(), saved.description().c_str());
    return 1;
  }
  return 0;
}

int dumpWorkbook(const QString& path, std::FILE* out) {
  auto book = xls::Workbook::open(QFile::encodeName(path).toStdString());
  if (!book) {
    std::fprintf(stderr, "kestrune: %s: %s\n", path.toUtf8().constData(), book.description().c_str());
    return 1;
  }
  const xls::Workbook& workbook = book.value();
  const std::size_t sheet = workbook.activeSheet();
  std::uint32_t row = 0;
  std::uint32_t column = 0;
  bool any = false;
  // A row's line is gathered and written whole.
  std::string line;
  for (const auto& [position, cell] : workbook.cells(sheet)) {
    const std::uint32_t r = position >> 8;
    const std::uint32_t c = position & 0xFF;
    const std::string text = shown(cell.value, workbook.date1904());
    if (text.empty()) continue;
    if (!any || r != row) {
      if (any) {
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), out);
      }
      line = std::to_string(r + 1) + ':';
      row = r;
      column = 0;
      any = true;
    }
    if (column <= c) line.append(c + 1 - column, '\t');
    column = std::max(column, c + 1);
    line += text;
  }
  if (any) {
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
  }
  return 0;
}

}  // namespace kestrune::app
