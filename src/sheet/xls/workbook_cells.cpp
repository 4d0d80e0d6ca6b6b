// Reading the cells of a worksheet into its cell store: one function per
// cell record, plus the active cell (PANE and SELECTION) and the formula
// groups the FORMULA records form. A damaged cell record is skipped; a later
// record for the same cell replaces the earlier one's value.
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/text.h"
#include "sheet/xls/workbook.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace kestrune::xls {

namespace {

// RK numbers: a double's top 30 bits, or a 30-bit integer, either maybe
// divided by 100.
constexpr std::uint32_t RkDividedBy100 = 0x01;
constexpr std::uint32_t RkInteger = 0x02;
constexpr std::uint32_t RkValueBits = 0xFFFFFFFC;

double rkToDouble(std::uint32_t rk) {
  double v;
  if (rk & RkInteger) {
    v = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
  } else {
    const std::uint64_t bits = static_cast<std::uint64_t>(rk & RkValueBits) << 32;
    std::memcpy(&v, &bits, sizeof v);
  }
  return (rk & RkDividedBy100) ? v / 100.0 : v;
}

// The date kind of each XF, worked out once, on first use.
class XfDateKinds {
public:
  using Lookup = std::function<std::optional<DateKind>(std::uint16_t)>;
  XfDateKinds(std::size_t xfCount, Lookup lookup) : kinds_(xfCount, Unknown), lookup_(std::move(lookup)) {}

  std::optional<DateKind> of(std::uint16_t xf) {
    if (xf >= kinds_.size()) return std::nullopt;
    if (kinds_[xf] == Unknown) {
      const auto kind = lookup_(xf);
      kinds_[xf] = kind ? static_cast<std::int8_t>(*kind) : NotADate;
    }
    if (kinds_[xf] == NotADate) return std::nullopt;
    return static_cast<DateKind>(kinds_[xf]);
  }

private:
  static constexpr std::int8_t Unknown = -2;
  static constexpr std::int8_t NotADate = -1;
  std::vector<std::int8_t> kinds_;
  Lookup lookup_;
};

// The STRING and the SHRFMLA/ARRAY/TABLE that may follow a FORMULA, in
// either order (0: none).
struct FormulaFollowers {
  std::size_t stringAt = 0;
  std::size_t groupAt = 0;
  std::optional<FormulaGroupKind> groupKind;
};

class CellReader {
public:
  CellReader(std::span<const RecordRef> records, ByteView stream, std::size_t sstSize, CellStore& store,
             FormulaGroups& formulas, XfDateKinds& dates)
      : recs_(records), stream_(stream), sstSize_(sstSize), store_(store), formulas_(formulas), dates_(dates) {}

  // Reads the sheet's own substream (nested ones are skipped) and returns
  // the active cell it names, if any.
  std::optional<CellPosition> run();

  // The first text cell whose shared string the table does not hold, with
  // that string's index.
  struct MissingString {
    CellHeader cell;
    std::uint32_t index = 0;
  };
  const std::optional<MissingString>& missingString() const { return missingString_; }

private:
  void readView(const RecordRef& r, ByteView b);
  void readCell(std::size_t i, ByteView b);
  void readLabelSst(CellHeader cell, ByteView b);
  void readInlineText(std::uint16_t id, CellHeader cell, ByteView b);
  void readBoolErr(CellHeader cell, ByteView b);
  void readMulRk(CellHeader cell, ByteView b);
  void readMulBlank(CellHeader cell, ByteView b);
  void readFormula(std::size_t i, CellHeader cell, ByteView b);
  void readFormulaResult(CellHeader cell, ByteView b, const FormulaFollowers& followers);
  FormulaFollowers formulaFollowers(std::size_t i) const;
  CellSlot* put(std::uint16_t row, std::uint32_t column, std::uint16_t xf, bool formula);
  void putText(CellHeader cell, bool formula, std::string text);
  void setNumber(CellSlot& slot, double number, std::uint16_t xf);

  std::span<const RecordRef> recs_;
  ByteView stream_;
  std::size_t sstSize_;
  CellStore& store_;
  FormulaGroups& formulas_;
  XfDateKinds& dates_;
  std::uint8_t activePane_ = SelectionRecord::TopLeftPane;
  bool selectionSeen_ = false;
  std::optional<CellPosition> activeCell_;
  std::optional<MissingString> missingString_;
};

std::optional<CellPosition> CellReader::run() {
  int depth = 0;
  for (std::size_t i = 0; i < recs_.size(); ++i) {
    const RecordRef& r = recs_[i];
    if (r.id == rid::Bof) ++depth;
    if (r.id == rid::Eof) --depth;
    if (depth != 1) continue;
    const ByteView b = r.body(stream_);
    readView(r, b);
    if (isCellRecord(r.id) && b.size() >= CellHeader::Size) readCell(i, b);
  }
  return activeCell_;
}

// The selection of the active pane wins; without panes there is one.
void CellReader::readView(const RecordRef& r, ByteView b) {
  if (r.id == rid::Pane && b.size() >= PaneRecord::MinSize) activePane_ = b[PaneRecord::ActivePaneAt];
  if (r.id != rid::Selection || b.size() < SelectionRecord::MinSize) return;
  if (!selectionSeen_ || b[SelectionRecord::PaneAt] == activePane_) {
    const std::uint16_t column = getU16(b, SelectionRecord::ActiveColumnAt);
    activeCell_ = CellPosition{getU16(b, SelectionRecord::ActiveRowAt),
                               std::min<std::uint16_t>(column, static_cast<std::uint16_t>(MaxColumns - 1))};
  }
  selectionSeen_ = true;
}

void CellReader::readCell(std::size_t i, ByteView b) {
  const CellHeader cell = readCellHeader(b);
  const std::uint16_t id = recs_[i].id;
  switch (id) {
    case rid::LabelSst:
      readLabelSst(cell, b);
      break;
    case rid::Label:
    case rid::RString:
      readInlineText(id, cell, b);
      break;
    case rid::Number:
      if (b.size() < NumberSize) break;
      if (CellSlot* slot = put(cell.row, cell.column, cell.xf, false))
        setNumber(*slot, getF64(b, CellHeader::ValueAt), cell.xf);
      break;
    case rid::Rk:
      if (b.size() < RkSize) break;
      if (CellSlot* slot = put(cell.row, cell.column, cell.xf, false))
        setNumber(*slot, rkToDouble(getU32(b, CellHeader::ValueAt)), cell.xf);
      break;
    case rid::BoolErr:
      readBoolErr(cell, b);
      break;
    case rid::Blank:
      put(cell.row, cell.column, cell.xf, false);
      break;
    case rid::MulRk:
      readMulRk(cell, b);
      break;
    case rid::MulBlank:
      readMulBlank(cell, b);
      break;
    case rid::Formula:
      readFormula(i, cell, b);
      break;
    default:
      break;
  }
}

// A string index past the table is noted: the workbook is refused, since
// strings added later would take that index and show in this cell.
void CellReader::readLabelSst(CellHeader cell, ByteView b) {
  if (b.size() < LabelSstSize) return;
  const std::uint32_t isst = getU32(b, CellHeader::ValueAt);
  if (isst >= sstSize_ && !missingString_) missingString_ = MissingString{cell, isst};
  if (CellSlot* slot = put(cell.row, cell.column, cell.xf, false); slot && isst < sstSize_) {
    slot->kind = static_cast<std::uint8_t>(CellKind::SharedText);
    slot->payload[0] = isst;
  }
}

// LABEL needs its whole string; RSTRING keeps what could be read.
void CellReader::readInlineText(std::uint16_t id, CellHeader cell, ByteView b) {
  ByteReader in(b, CellHeader::ValueAt);
  std::u16string text;
  if (readBiffString(in, false, text) || id == rid::RString) putText(cell, false, utf16ToUtf8(text));
}

void CellReader::readBoolErr(CellHeader cell, ByteView b) {
  if (b.size() < BoolErrSize) return;
  CellSlot* slot = put(cell.row, cell.column, cell.xf, false);
  if (!slot) return;
  const std::uint8_t value = b[CellHeader::ValueAt];
  const bool isError = b[BoolErrIsErrorAt] != 0;
  slot->kind = static_cast<std::uint8_t>(isError ? CellKind::Error : CellKind::Bool);
  slot->payload[0] = isError ? value : (value != 0 ? 1u : 0u);
}

// A record whose length and last column disagree is skipped.
void CellReader::readMulRk(CellHeader cell, ByteView b) {
  const std::size_t n = multiCellCount(rid::MulRk, b);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t at = MultiCellRecord::FirstEntryAt + MultiCellRecord::MulRkEntrySize * k;
    const std::uint16_t xf = getU16(b, at);
    if (CellSlot* slot = put(cell.row, static_cast<std::uint32_t>(cell.column + k), xf, false))
      setNumber(*slot, rkToDouble(getU32(b, at + MultiCellRecord::MulRkEntryRkAt)), xf);
  }
}

void CellReader::readMulBlank(CellHeader cell, ByteView b) {
  const std::size_t n = multiCellCount(rid::MulBlank, b);
  for (std::size_t k = 0; k < n; ++k)
    put(cell.row, static_cast<std::uint32_t>(cell.column + k),
        getU16(b, MultiCellRecord::FirstEntryAt + MultiCellRecord::MulBlankEntrySize * k), false);
}

// The cached result becomes the cell's value; a FORMULA followed by
// SHRFMLA/ARRAY/TABLE hosts a formula group, one whose tokens name a host
// belongs to that host's group.
void CellReader::readFormula(std::size_t i, CellHeader cell, ByteView b) {
  if (b.size() < FormulaRecord::TokensAt) return;
  const FormulaFollowers followers = formulaFollowers(i);
  readFormulaResult(cell, b, followers);
  if (cell.column >= MaxColumns) return;
  const std::uint32_t key = static_cast<std::uint32_t>(cell.row) << 8 | cell.column;
  if (followers.groupKind) formulas_.addHost(*followers.groupKind, key, static_cast<std::uint32_t>(followers.groupAt));
  if (const auto reference = formulaReference(b)) formulas_.addReference(key, *reference);
}

// Writers put STRING and SHRFMLA/ARRAY/TABLE after a FORMULA in either order.
FormulaFollowers CellReader::formulaFollowers(std::size_t i) const {
  FormulaFollowers followers;
  for (std::size_t k = i + 1; k < recs_.size() && k <= i + 2; ++k) {
    if (recs_[k].id == rid::String && !followers.stringAt) {
      followers.stringAt = k;
    } else if (const auto kind = groupKindOf(recs_[k].id, recs_[k].size); kind && !followers.groupKind) {
      followers.groupAt = k;
      followers.groupKind = kind;
    } else {
      break;
    }
  }
  return followers;
}

void CellReader::readFormulaResult(CellHeader cell, ByteView b, const FormulaFollowers& followers) {
  if (getU16(b, FormulaRecord::ResultMarkerAt) != FormulaRecord::NotANumber) {
    if (CellSlot* slot = put(cell.row, cell.column, cell.xf, true))
      setNumber(*slot, getF64(b, FormulaRecord::ResultAt), cell.xf);
    return;
  }
  const std::uint8_t type = b[FormulaRecord::ResultTypeAt];
  const std::uint8_t value = b[FormulaRecord::ResultValueAt];
  switch (static_cast<FormulaResult>(type)) {
    case FormulaResult::String: {
      std::u16string text;
      if (followers.stringAt) {
        ByteReader in(recs_[followers.stringAt].body(stream_));
        // A STRING cut short gives the characters it holds whole, or none.
        readBiffString(in, false, text);
      }
      putText(cell, true, utf16ToUtf8(text));
      break;
    }
    case FormulaResult::Bool:
    case FormulaResult::Error:
      if (CellSlot* slot = put(cell.row, cell.column, cell.xf, true)) {
        const bool isBool = static_cast<FormulaResult>(type) == FormulaResult::Bool;
        slot->kind = static_cast<std::uint8_t>(isBool ? CellKind::Bool : CellKind::Error);
        slot->payload[0] = isBool ? (value != 0 ? 1u : 0u) : value;
      }
      break;
    case FormulaResult::EmptyString:
      putText(cell, true, std::string());
      break;
    default:
      put(cell.row, cell.column, cell.xf, true);
      break;
  }
}

// The slot of a cell, emptied; nullptr past the last column.
CellSlot* CellReader::put(std::uint16_t row, std::uint32_t column, std::uint16_t xf, bool formula) {
  if (column >= MaxColumns) return nullptr;
  CellSlot& slot = store_.slot(row, column);
  slot = CellSlot{};
  slot.column = static_cast<std::uint8_t>(column);
  slot.xf = xf;
  slot.formula = formula ? 1 : 0;
  return &slot;
}

void CellReader::putText(CellHeader cell, bool formula, std::string text) {
  if (CellSlot* slot = put(cell.row, cell.column, cell.xf, formula)) {
    slot->kind = static_cast<std::uint8_t>(CellKind::LocalText);
    slot->payload[0] = store_.addText(std::move(text));
  }
}

// A number shown through a date format is a date.
void CellReader::setNumber(CellSlot& slot, double number, std::uint16_t xf) {
  slot.setNumber(number);
  const std::optional<DateKind> kind = dates_.of(xf);
  slot.kind = static_cast<std::uint8_t>(kind ? CellKind::Date : CellKind::Number);
  slot.dateKind = static_cast<std::uint8_t>(kind ? *kind : DateKind::DateOnly);
}

}  // namespace

XlsStatus Workbook::readCells(Sheet& sheet) {
  XfDateKinds dates(xfs_.size(), [this](std::uint16_t xf) { return dateKindOfXf(xf); });
  CellReader reader(records(sheet), stream_, sst_.size(), sheet.cells, sheet.formulas, dates);
  if (const auto activeCell = reader.run()) sheet.activeCell = *activeCell;
  if (const auto& missing = reader.missingString())
    return xlsDamaged("shared string table", "damaged shared string table: it holds " + std::to_string(sst_.size()) +
                                                 " strings, but the cell at row " +
                                                 std::to_string(missing->cell.row + 1) + ", column " +
                                                 std::to_string(missing->cell.column + 1) + " of sheet \"" +
                                                 sheet.name + "\" uses string index " + std::to_string(missing->index));
  sheet.formulas.finish();
  for (const FormulaGroup& group : sheet.formulas.groups())
    for (std::uint32_t cell : group.cells)
      if (CellSlot* slot = sheet.cells.find(cell >> 8, cell & 0xFF)) slot->grouped = 1;
  return {};
}

}  // namespace kestrune::xls
