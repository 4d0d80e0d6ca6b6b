// Column widths: the COLINFO records of a worksheet read, looked up and
// widened. A column inside a COLINFO range that must grow gets a range of its
// own; the columns before and after it keep the range's width and format.
// A save writes the sheet's COLINFO records anew where the first one was,
// or before DIMENSIONS when the sheet had none.
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/workbook_layout.h"

#include <algorithm>

namespace kestrune::xls {

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);
constexpr std::uint16_t LastColumn = MaxColumns - 1;

// DEFCOLWIDTH counts characters without the cell margins.
constexpr int DefaultColumnCharacters = 8;
constexpr int CellMargins = 256 * 5 / 7;
constexpr int MaxCharacters = 255;

struct ColumnRange {
  std::uint16_t first = 0;
  std::uint16_t last = 0;  // at most LastColumn; some files say 256
  std::uint16_t width = 0;
  std::uint16_t flags = 0;
};

// The range a COLINFO body describes; none when it is too short or backwards.
std::optional<ColumnRange> rangeOf(const Bytes& body) {
  if (body.size() < ColInfoRecord::MinSize) return std::nullopt;
  const ColumnRange range{getU16(body, ColInfoRecord::FirstColumnAt),
                          std::min(getU16(body, ColInfoRecord::LastColumnAt), LastColumn),
                          getU16(body, ColInfoRecord::WidthAt), getU16(body, ColInfoRecord::FlagsAt)};
  if (range.first > range.last) return std::nullopt;
  return range;
}

// A copy of a COLINFO body for the columns [first, last].
Bytes partOf(const Bytes& body, std::uint16_t first, std::uint16_t last) {
  Bytes part = body;
  setU16(part, ColInfoRecord::FirstColumnAt, first);
  setU16(part, ColInfoRecord::LastColumnAt, last);
  return part;
}

}  // namespace

std::uint16_t columnWidthForCharacters(int characters) {
  const int width = std::clamp(characters, 0, MaxCharacters) * 256 + CellMargins;
  return static_cast<std::uint16_t>(std::min(width, MaxCharacters * 256));
}

void Workbook::readColumns(Sheet& sheet) {
  std::optional<std::uint16_t> standardWidth, defColWidth;
  int depth = 0;
  for (const RecordRef& r : records(sheet)) {
    if (r.id == rid::Bof) ++depth;
    const bool top = depth == 1;
    if (r.id == rid::Eof) --depth;
    if (!top) continue;
    const ByteView body = r.body(stream_);
    if (r.id == rid::ColInfo) {
      sheet.columns.emplace_back(body.begin(), body.end());
    } else if (r.id == rid::StandardWidth && body.size() >= 2 && !standardWidth) {
      standardWidth = getU16(body, 0);
    } else if (r.id == rid::DefColWidth && body.size() >= 2 && !defColWidth) {
      defColWidth = getU16(body, 0);
    }
  }
  sheet.defaultColumnWidth =
      standardWidth.value_or(columnWidthForCharacters(defColWidth.value_or(DefaultColumnCharacters)));
}

std::optional<std::uint16_t> Workbook::columnWidth(std::size_t sheet, std::uint32_t column) const {
  if (sheet >= sheets_.size() || column >= MaxColumns) return std::nullopt;
  for (const Bytes& body : sheets_[sheet].columns) {
    const auto range = rangeOf(body);
    if (range && range->first <= column && column <= range->last) return range->width;
  }
  return std::nullopt;
}

XlsResult<bool> Workbook::ensureColumnWidth(std::size_t sheetIndex, std::uint32_t column, std::uint16_t width) {
  if (sheetIndex >= sheets_.size())
    return xlsFail(XlsErrorCode::NoSuchSheet, "no sheet number " + std::to_string(sheetIndex + 1));
  Sheet& sheet = sheets_[sheetIndex];
  if (sheet.kind != SheetKind::Worksheet)
    return xlsFail(XlsErrorCode::NotWorksheet, "sheet \"" + sheet.name + "\" is not a worksheet");
  if (column >= MaxColumns)
    return xlsFail(XlsErrorCode::OutsideSheet,
                   "column " + std::to_string(column + 1) + " is outside the sheet (256 columns)");
  const auto col = static_cast<std::uint16_t>(column);
  std::vector<Bytes>& columns = sheet.columns;
  std::size_t insertAt = columns.size();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const auto range = rangeOf(columns[i]);
    if (!range) continue;
    if (range->first > col) {
      insertAt = std::min(insertAt, i);
      continue;
    }
    if (col > range->last) continue;
    // The user hid the column: it stays hidden, whatever its width.
    if (range->width >= width || (range->flags & ColInfoRecord::Hidden)) return false;
    std::vector<Bytes> parts;
    if (range->first < col) parts.push_back(partOf(columns[i], range->first, static_cast<std::uint16_t>(col - 1)));
    parts.push_back(partOf(columns[i], col, col));
    setU16(parts.back(), ColInfoRecord::WidthAt, width);
    const std::uint16_t readLast = getU16(columns[i], ColInfoRecord::LastColumnAt);
    if (col < range->last) parts.push_back(partOf(columns[i], static_cast<std::uint16_t>(col + 1), readLast));
    columns.erase(columns.begin() + static_cast<std::ptrdiff_t>(i));
    columns.insert(columns.begin() + static_cast<std::ptrdiff_t>(i), parts.begin(), parts.end());
    sheet.columnsChanged = true;
    return true;
  }
  if (sheet.defaultColumnWidth >= width) return false;
  const auto body = colInfoBody({col, col, width, defaultXf(), ColInfoRecord::UserSet});
  columns.insert(columns.begin() + static_cast<std::ptrdiff_t>(insertAt), Bytes(body.begin(), body.end()));
  sheet.columnsChanged = true;
  return true;
}

// The sheet's COLINFO records go; its ranges as they are now take the place
// of the first of them. Without any, they go before DIMENSIONS (or before
// the first row, cell, WINDOW2 or the sheet's EOF), after DEFCOLWIDTH.
void Workbook::applyColumns(std::size_t index, SheetLayout& layout) const {
  const Sheet& sheet = sheets_[index];
  const ItemReader reader(stream_, records(sheet), sheet.cells, layout);
  std::vector<LayoutItem> items;
  items.reserve(layout.items.size() + sheet.columns.size());
  std::size_t place = None;
  int depth = 0;
  for (const LayoutItem& item : layout.items) {
    const bool rowOrCell = isRowOrCellItem(item);
    const std::uint16_t id = rowOrCell ? rid::Row : reader.id(item);
    if (id == rid::Bof) ++depth;
    const bool top = depth == 1;
    if (id == rid::Eof) --depth;
    if (top && id == rid::ColInfo) {
      if (place == None) place = items.size();
      continue;
    }
    const bool beforeThis =
        top && (id == rid::Dimensions || id == rid::Row || id == rid::Window2 || id == rid::Eof || isCellRecord(id));
    if (place == None && beforeThis) place = items.size();
    items.push_back(item);
  }
  if (place == None) place = items.size();
  std::vector<LayoutItem> made;
  made.reserve(sheet.columns.size());
  for (const Bytes& body : sheet.columns) made.push_back(madeRecordItem(layout, Record{rid::ColInfo, body, 0}));
  items.insert(items.begin() + static_cast<std::ptrdiff_t>(place), made.begin(), made.end());
  layout.items = std::move(items);
}

}  // namespace kestrune::xls
