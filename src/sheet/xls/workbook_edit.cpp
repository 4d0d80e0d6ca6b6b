// Editing a loaded workbook: cell values, the active sheet and cell. Written
// cells are marked in the cell store; saving makes their records from it.
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/text.h"
#include "sheet/xls/workbook.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrune::xls {

namespace {

// The format and cell limits of BIFF8.
constexpr std::size_t MaxXfs = 4050;
constexpr std::size_t MaxCellText = 32767;

XlsStatus checkPosition(std::uint32_t row, std::uint32_t column) {
  if (row >= MaxRows || column >= MaxColumns)
    return xlsFail(XlsErrorCode::OutsideSheet, "cell position row " + std::to_string(row + 1) + ", column " +
                                                   std::to_string(column + 1) +
                                                   " is outside the sheet (65,536 rows x 256 columns)");
  return {};
}

// Cell XF with a default look: font 0, general format, parent style 0.
Bytes defaultCellXfBody() {
  return {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x20, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x20};
}

bool isStyleXf(const Bytes& xf) {
  return xf.size() >= XfRecord::FlagsAt + 2 && (getU16(xf, XfRecord::FlagsAt) & XfRecord::IsStyle);
}

bool isAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::optional<std::size_t> Workbook::findSheet(std::string_view name) const {
  for (std::size_t i = 0; i < sheets_.size(); ++i)
    if (sheets_[i].name == name) return i;
  return std::nullopt;
}

XlsResult<Cell> Workbook::cell(std::size_t sheet, std::uint32_t row, std::uint32_t column) const {
  if (sheet >= sheets_.size())
    return xlsFail(XlsErrorCode::NoSuchSheet, "no sheet number " + std::to_string(sheet + 1));
  if (auto st = checkPosition(row, column); !st) return st.error();
  const CellStore& cells = sheets_[sheet].cells;
  const CellSlot* slot = cells.find(row, column);
  if (!slot) return Cell{Value(), defaultXf(), false};
  return cellOf(*slot, cells, sst_);
}

std::uint16_t Workbook::defaultXf() const {
  if (xfs_.size() > DefaultCellXf && !isStyleXf(xfs_[DefaultCellXf])) return DefaultCellXf;
  for (std::size_t i = 0; i < xfs_.size(); ++i)
    if (!isStyleXf(xfs_[i])) return static_cast<std::uint16_t>(i);
  return DefaultCellXf;
}

namespace {

bool isPlain(const SstString& s) { return s.runs.empty() && s.ext.empty(); }

std::size_t hashOf(std::u16string_view chars) { return std::hash<std::u16string_view>{}(chars); }

}  // namespace

void SstIndex::build(const SstStrings& table) {
  // At most three quarters full.
  std::size_t size = 16;
  while (3 * size < 4 * (table.size() + 1)) size *= 2;
  slots_.assign(size, 0);
  count_ = 0;
  built_ = true;
  for (std::size_t k = 0; k < table.size(); ++k)
    if (isPlain(table[k]) && !find(table[k].chars, table)) insert(table, static_cast<std::uint32_t>(k));
}

void SstIndex::insert(const SstStrings& table, std::uint32_t index) {
  if (4 * (count_ + 1) > 3 * slots_.size()) {
    build(table);  // twice the room; the string is in the table already, so the rebuild finds it
    return;
  }
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hashOf(table[index].chars) & mask;; i = (i + 1) & mask) {
    if (slots_[i] == 0) {
      slots_[i] = index + 1;
      ++count_;
      return;
    }
  }
}

std::optional<std::uint32_t> SstIndex::find(std::u16string_view chars, const SstStrings& table) {
  if (!built_) build(table);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hashOf(chars) & mask; slots_[i] != 0; i = (i + 1) & mask) {
    const SstString& s = table[slots_[i] - 1];
    if (s.chars == chars && isPlain(s)) return slots_[i] - 1;
  }
  return std::nullopt;
}

void SstIndex::added(const SstStrings& table, std::uint32_t index) {
  if (built_) insert(table, index);
}

std::uint32_t Workbook::internString(const std::string& utf8) {
  std::u16string chars = utf8ToUtf16(utf8);
  if (const auto known = sstIndex_.find(chars, sst_)) return *known;
  const auto index = static_cast<std::uint32_t>(sst_.size());
  sst_.push_back(SstString{std::move(chars), {}, {}});
  sstIndex_.added(sst_, index);
  sstChanged_ = true;
  return index;
}

XlsResult<std::uint16_t> Workbook::dateXf(std::uint16_t baseXf, DateKind kind, bool milliseconds) {
  if (baseXf >= xfs_.size() || isStyleXf(xfs_[baseXf])) baseXf = defaultXf();
  milliseconds = milliseconds && kind != DateKind::DateOnly;
  // Keep the cell's XF when it already shows this kind of date (and the
  // thousandths of a second when they are asked for).
  if (baseXf < xfs_.size() && xfs_[baseXf].size() >= XfRecord::FormatAt + 2) {
    const std::uint16_t ifmt = getU16(xfs_[baseXf], XfRecord::FormatAt);
    auto f = formats_.find(ifmt);
    const std::optional<std::string> code = f == formats_.end() ? std::nullopt : std::optional<std::string>(f->second);
    if (dateKindOfFormat(ifmt, code) == kind && (!milliseconds || (code && formatShowsSecondFractions(*code))))
      return baseXf;
  }
  if (auto it = dateXfs_.find({baseXf, kind, milliseconds}); it != dateXfs_.end()) return it->second;
  if (xfs_.size() >= MaxXfs)
    return xlsFail(XlsErrorCode::TooManyFormats, "the workbook has too many cell formats to add a date format");

  const std::string code(dateFormatCode(kind, milliseconds));
  std::optional<std::uint16_t> ifmt;
  std::uint16_t highest = 163;
  for (const auto& [index, text] : formats_) {
    if (text == code && !ifmt) ifmt = index;
    highest = std::max(highest, index);
  }
  if (!ifmt) {
    if (highest >= 0xFFFE)
      return xlsFail(XlsErrorCode::TooManyFormats, "the workbook has no room for another number format");
    ifmt = static_cast<std::uint16_t>(highest + 1);
    Record format{rid::Format, {}, 0};
    putU16(format.body, *ifmt);
    appendBiffString(format.body, utf8ToUtf16(code), false);
    newFormats_.push_back(std::move(format));
    formats_[*ifmt] = code;
  }
  Bytes xf = baseXf < xfs_.size() && xfs_[baseXf].size() >= XfRecord::Size ? xfs_[baseXf] : defaultCellXfBody();
  setU16(xf, XfRecord::FormatAt, *ifmt);
  xf[XfRecord::UsedAttributesAt] |= XfRecord::UsesOwnFormat;
  const auto index = static_cast<std::uint16_t>(xfs_.size());
  xfs_.push_back(std::move(xf));
  dateXfs_[{baseXf, kind, milliseconds}] = index;
  return index;
}

XlsResult<std::uint16_t> Workbook::filledXf(std::uint16_t baseXf, std::uint8_t colour) {
  if (baseXf >= xfs_.size() || isStyleXf(xfs_[baseXf])) baseXf = defaultXf();
  // Keep the cell's XF when it already shows this fill.
  if (baseXf < xfs_.size())
    if (const auto fill = fillOf(xfs_[baseXf]); fill && fill->pattern == SolidFill && fill->foreground == colour)
      return baseXf;
  if (auto it = filledXfs_.find({baseXf, colour}); it != filledXfs_.end()) return it->second;
  if (xfs_.size() >= MaxXfs)
    return xlsFail(XlsErrorCode::TooManyFormats, "the workbook has too many cell formats to add a fill");
  Bytes xf = baseXf < xfs_.size() && xfs_[baseXf].size() >= XfRecord::Size ? xfs_[baseXf] : defaultCellXfBody();
  const auto index = static_cast<std::uint16_t>(xfs_.size());
  xfs_.push_back(withSolidFill(std::move(xf), colour));
  filledXfs_[{baseXf, colour}] = index;
  return index;
}

std::optional<Rgb> Workbook::solidFillOf(std::uint16_t xf) const {
  if (xf >= xfs_.size()) return std::nullopt;
  const auto fill = fillOf(xfs_[xf]);
  if (!fill || fill->pattern != SolidFill) return std::nullopt;
  return colourAt(palette_, fill->foreground);
}

XlsStatus Workbook::checkWorksheetCell(std::size_t sheet, std::uint32_t row, std::uint32_t column) const {
  if (sheet >= sheets_.size())
    return xlsFail(XlsErrorCode::NoSuchSheet, "no sheet number " + std::to_string(sheet + 1));
  if (sheets_[sheet].kind != SheetKind::Worksheet)
    return xlsFail(XlsErrorCode::NotWorksheet, "sheet \"" + sheets_[sheet].name + "\" is not a worksheet");
  return checkPosition(row, column);
}

XlsResult<bool> Workbook::fillCell(std::size_t sheetIndex, std::uint32_t row, std::uint32_t column, Rgb colour) {
  if (auto st = checkWorksheetCell(sheetIndex, row, column); !st) return st.error();
  Sheet& sheet = sheets_[sheetIndex];
  const CellSlot* existing = std::as_const(sheet.cells).find(row, column);
  // A formula's record is copied as read; a written cell would drop the formula.
  if (existing && (existing->formula || existing->grouped))
    return xlsFail(XlsErrorCode::ValueNotStorable, "a cell holding a formula cannot be given another format");
  const auto xf = filledXf(existing ? existing->xf : defaultXf(), nearestPaletteIndex(palette_, colour));
  if (!xf) return xf.error();
  if (existing && existing->xf == *xf) return false;
  CellSlot next = existing ? *existing : CellSlot{};
  shareLocalText(sheet.cells, next);
  next.column = static_cast<std::uint8_t>(column);
  next.xf = *xf;
  next.written = 1;
  sheet.cells.slot(row, column) = next;
  sheet.written = true;
  return true;
}

XlsStatus Workbook::setCell(std::size_t sheetIndex, std::uint32_t row, std::uint32_t column, const Value& value) {
  if (auto st = checkWorksheetCell(sheetIndex, row, column); !st) return st;
  Sheet& sheet = sheets_[sheetIndex];
  const CellSlot* existing = std::as_const(sheet.cells).find(row, column);
  std::uint16_t xf = existing ? existing->xf : defaultXf();

  // Everything that can fail is checked before the store changes.
  CellSlot next;
  next.column = static_cast<std::uint8_t>(column);
  next.written = 1;
  if (const auto* text = std::get_if<std::string>(&value)) {
    std::uint32_t index = 0;
    if (isAscii(*text)) {
      if (text->size() > MaxCellText)
        return xlsFail(XlsErrorCode::ValueNotStorable, "text longer than 32,767 characters cannot be stored in a cell");
      index = internString(*text);
    } else {
      // Stored as the file will hold it: invalid UTF-8 becomes U+FFFD.
      const std::u16string units = utf8ToUtf16(*text);
      if (units.size() > MaxCellText)
        return xlsFail(XlsErrorCode::ValueNotStorable, "text longer than 32,767 characters cannot be stored in a cell");
      index = internString(utf16ToUtf8(units));
    }
    next.kind = static_cast<std::uint8_t>(CellKind::SharedText);
    next.payload[0] = index;
  } else if (const auto* number = std::get_if<double>(&value)) {
    if (!std::isfinite(*number))
      return xlsFail(XlsErrorCode::ValueNotStorable, "infinite or undefined numbers cannot be stored");
    // The cell keeps its XF: a number typed into a date cell shows as a date.
    const auto kind = dateKindOfXf(xf);
    next.kind = static_cast<std::uint8_t>(kind ? CellKind::Date : CellKind::Number);
    next.dateKind = static_cast<std::uint8_t>(kind ? *kind : DateKind::DateOnly);
    next.setNumber(*number);
  } else if (const auto* flag = std::get_if<bool>(&value)) {
    next.kind = static_cast<std::uint8_t>(CellKind::Bool);
    next.payload[0] = *flag ? 1 : 0;
  } else if (const auto* date = std::get_if<DateTimeValue>(&value)) {
    if (!std::isfinite(date->serial) || date->serial < 0.0)
      return xlsFail(XlsErrorCode::DateOutOfRange, "the date/time is outside the range a workbook can hold");
    auto dxf = dateXf(xf, date->kind, date->milliseconds);
    if (!dxf) return dxf.error();
    xf = *dxf;
    next.kind = static_cast<std::uint8_t>(CellKind::Date);
    next.dateKind = static_cast<std::uint8_t>(date->kind);
    next.setNumber(date->serial);
  } else if (const auto* error = std::get_if<CellError>(&value)) {
    next.kind = static_cast<std::uint8_t>(CellKind::Error);
    next.payload[0] = error->code;
  } else if (!existing) {
    return {};  // Empty where there is no cell: nothing to keep
  }
  // Empty over a cell keeps its formatting as a BLANK.
  next.xf = xf;
  if (existing && existing->grouped) releaseFormulaGroup(sheet, row << 8 | column);
  sheet.cells.slot(row, column) = next;
  sheet.written = true;
  return {};
}

// An array formula or data table is one formula over its whole range: a
// write into any of its cells removes it, as spreadsheet programs do when the
// range is cleared. The other cells keep their last results as plain values
// (text through the shared strings, an empty text as a blank). A shared
// formula stays with its other cells; the save moves it to the first of them.
void Workbook::releaseFormulaGroup(Sheet& sheet, std::uint32_t cell) {
  FormulaGroup* group = sheet.formulas.groupOf(cell);
  if (!group || group->released || group->kind == FormulaGroupKind::Shared) return;
  for (std::uint32_t member : group->cells) {
    CellSlot* slot = sheet.cells.find(member >> 8, member & 0xFF);
    if (!slot) continue;
    slot->grouped = 0;
    if (member == cell || slot->written) continue;
    slot->formula = 0;
    slot->written = 1;
    shareLocalText(sheet.cells, *slot);
  }
  group->released = true;
}

// A written cell is saved from its slot, and a slot of LocalText (a LABEL,
// RSTRING or formula result read) names text in the sheet's own list: the
// text goes to the shared strings, an empty one leaves a BLANK.
void Workbook::shareLocalText(const CellStore& cells, CellSlot& slot) {
  if (slot.cellKind() != CellKind::LocalText) return;
  const std::string text = cells.text(slot.index());
  slot.kind = static_cast<std::uint8_t>(text.empty() ? CellKind::Empty : CellKind::SharedText);
  slot.payload[0] = text.empty() ? 0 : internString(text);
}

XlsStatus Workbook::setActiveSheet(std::size_t sheet) {
  if (sheet >= sheets_.size())
    return xlsFail(XlsErrorCode::NoSuchSheet, "no sheet number " + std::to_string(sheet + 1));
  activeSheet_ = sheet;
  activeSheetChanged_ = true;
  return {};
}

XlsStatus Workbook::setActiveCell(std::size_t sheet, std::uint32_t row, std::uint32_t column) {
  if (auto st = checkWorksheetCell(sheet, row, column); !st) return st;
  sheets_[sheet].activeCell = {static_cast<std::uint16_t>(row), static_cast<std::uint16_t>(column)};
  sheets_[sheet].activeCellChanged = true;
  return {};
}

}  // namespace kestrune::xls
