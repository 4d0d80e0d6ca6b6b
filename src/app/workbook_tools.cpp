#include "app/workbook_tools.h"

#include "sheet/xls/workbook.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <variant>

namespace kestrune::app {

namespace {

std::string civil(double serial, bool date1904, xls::DateKind kind) {
  // Days from 1970-01-01 of the serial's date; the 1900 system counts from 1899-12-30.
  const double epochOffset = date1904 ? 24107.0 : 25569.0;
  const double seconds = std::round((serial - epochOffset) * 86400.0);
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

std::string shown(const xls::Value& value, bool date1904) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* number = std::get_if<double>(&value)) return QString::number(*number, 'g', 15).toStdString();
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? "TRUE" : "FALSE";
  if (const auto* date = std::get_if<xls::DateTimeValue>(&value)) return civil(date->serial, date1904, date->kind);
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
  for (const auto& [position, cell] : workbook.cells(sheet)) {
    const std::uint32_t r = position >> 8;
    const std::uint32_t c = position & 0xFF;
    const std::string text = shown(cell.value, workbook.date1904());
    if (text.empty()) continue;
    if (!any || r != row) {
      if (any) std::fputc('\n', out);
      std::fprintf(out, "%u:", r + 1);
      row = r;
      column = 0;
      any = true;
    }
    for (; column <= c; ++column) std::fputc('\t', out);
    std::fputs(text.c_str(), out);
  }
  if (any) std::fputc('\n', out);
  return 0;
}

}  // namespace kestrune::app
