// What a save writes for one sheet, without copying record bodies: a list
// of items, each naming where its bytes come from when the file is written.
#pragma once

#include "sheet/xls/cell_store.h"
#include "sheet/xls/formula_groups.h"
#include "sheet/xls/records.h"
#include "sheet/xls/sst.h"

#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

namespace kestrune::xls {

// A record of the sheet as read, copied as it is.
struct CopiedRecord {
  std::uint32_t record = 0;  // index among the sheet's records
};
// The sheet's INDEX record, written with the new positions of its DBCELLs.
struct RewrittenIndex {
  std::uint32_t record = 0;  // index among the sheet's records
};
// A record the save made: a new DIMENSIONS, WINDOW2 or SELECTION, a
// FORMULA or SHRFMLA of a shared formula that moved, or one cell of a MULRK
// or MULBLANK split around a written cell, as an RK or BLANK.
struct MadeRecord {
  std::uint32_t owned = 0;  // index in SheetLayout::owned
};
// The ROW record of a row, as SheetLayout::rows describes it.
struct RowItem {
  std::uint16_t row = 0;
};
// A written cell, made from the cell store.
struct WrittenCell {
  std::uint16_t row = 0;
  std::uint8_t column = 0;
};
// The cell area of a sheet with written cells: its ROW records, cells and
// the records that go with them, made while the sheet is written
// (SheetLayout::area) rather than held as items.
struct CellAreaItem {};
using LayoutItem = std::variant<CopiedRecord, RewrittenIndex, MadeRecord, RowItem, WrittenCell, CellAreaItem>;
// A save of a full sheet holds one item per row and per cell.
static_assert(sizeof(LayoutItem) <= 8);

// True for the ROW, written cell and cell area items, which the view
// records never are.
inline bool isRowOrCellItem(const LayoutItem& item) {
  return std::holds_alternative<RowItem>(item) || std::holds_alternative<WrittenCell>(item) ||
         std::holds_alternative<CellAreaItem>(item);
}

struct SheetLayout;

// Receives a sheet's items in the order they are written.
class ItemOutput {
public:
  virtual ~ItemOutput() = default;
  virtual void item(const LayoutItem& item) = 0;
  // A record made on the way (a cell of a split MULRK, a moved formula).
  virtual void made(const Record& record) = 0;
};

// Makes the items of a cell area, the same ones each time it runs.
class CellArea {
public:
  virtual ~CellArea() = default;
  // `layout` is the one the area was made for, wherever it is now.
  virtual void emit(ItemOutput& out, SheetLayout& layout) = 0;
};

struct RowState {
  static constexpr std::uint32_t Absent = 0xFFFFFFFF;
  static constexpr std::uint32_t New = 0xFFFFFFFE;
  std::uint32_t record = Absent;  // the sheet's ROW record, New, or Absent
  std::uint16_t colMic = 0;
  std::uint16_t colMac = 0;
};

struct SheetLayout {
  std::vector<LayoutItem> items;
  std::unique_ptr<CellArea> area;  // what the CellAreaItem stands for
  std::vector<Record> owned;
  std::vector<RowState> rows;  // by row number; only for sheets with written cells
};

// Ids, sizes and bytes of a sheet's items.
class ItemReader {
public:
  ItemReader(ByteView stream, std::span<const RecordRef> records, const CellStore& cells, const SheetLayout& layout)
      : stream_(stream), records_(records), cells_(cells), layout_(layout) {}

  std::uint16_t id(const LayoutItem& item) const;
  // Body size; an INDEX counts as read (the writer sizes it).
  std::size_t size(const LayoutItem& item) const;
  // Body of a copied, rewritten or made record; empty for the others.
  ByteView body(const LayoutItem& item) const;
  // Writes header and body at `out` and returns the bytes written. An INDEX
  // body is cut or zero-extended to `indexSize`.
  std::size_t write(const LayoutItem& item, std::uint8_t* out, std::size_t indexSize) const;

private:
  const CellSlot& slot(const WrittenCell& cell) const;
  void writeIndex(const RewrittenIndex& index, std::uint8_t* out, std::size_t bodySize) const;
  void writeRow(const RowItem& row, std::uint8_t* out) const;
  void writeCell(const WrittenCell& cell, std::uint8_t* out) const;

  ByteView stream_;
  std::span<const RecordRef> records_;
  const CellStore& cells_;
  const SheetLayout& layout_;
};

// The item for record `i` of a sheet as read: an INDEX long enough to hold
// its fixed fields is rewritten, every other record copied.
LayoutItem sheetRecordItem(std::span<const RecordRef> records, std::size_t i);
// Adds a record the save made to the layout and returns its item.
LayoutItem madeRecordItem(SheetLayout& layout, Record record);

// The cell area of a sheet with written cells, re-laid in row/column order:
// ROW records by blocks of 32 rows, the cells read and written merged, the
// records that follow a cell kept with it, INDEX and DBCELL dropped, formula
// groups taken apart where their cells were written, and DIMENSIONS made to
// cover what remains (workbook_cell_area.cpp). The layout gets the records
// around the area as items and one CellAreaItem, whose items the area makes
// each time it runs; DIMENSIONS gets its body once the area has run.
struct CellAreaSource {
  std::span<const RecordRef> records;  // the sheet's, BOF .. EOF
  ByteView stream;
  const CellStore& cells;
  const FormulaGroups& formulas;
};
void layoutCellArea(const CellAreaSource& source, SheetLayout& layout);

// The globals substream as a save writes it, and where in it the records
// lie whose bodies depend on positions known only once everything is sized.
struct GlobalsOut {
  static constexpr std::size_t None = static_cast<std::size_t>(-1);
  std::vector<Record> records;
  std::vector<std::size_t> boundSheetAt;  // per sheet, its BOUNDSHEET; None for a sheet without one
  std::size_t sstAt = None;               // an empty SST standing for the SST block, written from `sst`
  std::size_t extSstAt = None;            // the EXTSST, left empty until the SST's offset is known
  SstPlan sst;
  std::uint32_t sstTotalRefs = 0;
};

// Where new FORMATs and XFs go among the globals as read: after the record at
// each index, so that the XF indexes already in use stay valid.
struct GlobalsInsertion {
  std::size_t formatsAfter = GlobalsOut::None;
  std::size_t xfsAfter = GlobalsOut::None;
};

// Appends the substream of an empty worksheet (BOF .. DIMENSIONS, WINDOW2,
// SELECTION, EOF), its WINDOW2 marking it the active sheet or not.
void appendEmptyWorksheet(Bytes& out, bool active);

}  // namespace kestrune::xls
