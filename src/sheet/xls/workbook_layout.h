// What a save writes for one sheet, without copying record bodies: a list
// of items, each an original record (its bytes are copied from the stream as
// read when the file is written), a record the save made, a ROW record, a
// written cell (made from the cell store) or one cell of a MULRK/MULBLANK
// that had to be split around a written cell.
#pragma once

#include "sheet/xls/cell_store.h"
#include "sheet/xls/records.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::xls {

enum class ItemKind : std::uint8_t {
  Original,   // at: record of the sheet
  Index,      // at: an INDEX record of the sheet, rewritten with the new DBCELL positions
  Owned,      // at: record in SheetLayout::owned
  Row,        // at: row number, from SheetLayout::rows
  Cell,       // at: row << 8 | column of a written cell
  MultiPart,  // at: MULRK/MULBLANK record of the sheet; part: which of its cells, as an RK/BLANK
};

struct LayoutItem {
  std::uint32_t at = 0;
  std::uint16_t part = 0;
  ItemKind kind = ItemKind::Original;
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
  // Body of an Original, Index or Owned item; empty for the others.
  ByteView body(const LayoutItem& item) const;
  // Writes header and body at `out` and returns the bytes written. An INDEX
  // body is cut or zero-extended to `indexSize`.
  std::size_t write(const LayoutItem& item, std::uint8_t* out, std::size_t indexSize) const;

private:
  const CellSlot& slot(const LayoutItem& item) const;

  ByteView stream_;
  std::span<const RecordRef> records_;
  const CellStore& cells_;
  const SheetLayout& layout_;
};

}  // namespace kestrune::xls
