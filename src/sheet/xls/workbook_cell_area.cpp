// The cell area of a sheet with written cells, laid out again. The area runs
// from the first to the last top-level cell, ROW or DBCELL record (with the
// records that follow cells, such as STRING and SHRFMLA). What comes before
// it is kept (INDEX dropped, DIMENSIONS made anew), what comes after it is
// kept as it is; inside it, ROW records and cells go out by blocks of 32
// rows in row/column order, cells read and written merged.
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/workbook_layout.h"

#include <algorithm>
#include <unordered_map>

namespace kestrune::xls {

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);
constexpr std::uint32_t RowsPerBlock = 32;
constexpr std::uint32_t NoRow = 0xFFFFFFFF;
constexpr std::uint32_t NoBlock = 0xFFFF;  // after every block a sheet can have
constexpr std::uint16_t LastColumn = MaxColumns - 1;

std::uint32_t cellKey(std::uint32_t row, std::uint32_t column) { return row << 8 | column; }
std::uint32_t blockOf(std::uint32_t row) { return row / RowsPerBlock; }

// Records that belong to the FORMULA before them.
bool followsFormula(std::uint16_t id) {
  return id == rid::String || id == rid::ShrFmla || id == rid::Array || id == rid::Table;
}

// A cell of the area as read: a cell record, or one cell of a MULRK or
// MULBLANK split around a written cell. The records that follow the
// record's last cell up to the next cell record (STRING, SHRFMLA, ...) go
// with it.
struct CellEntry {
  std::uint16_t row = 0;
  std::uint16_t colFirst = 0;
  std::uint16_t colLast = 0;
  std::uint16_t part = 0;  // for a split MULRK/MULBLANK: which of its cells
  bool splitPart = false;
  bool lastPart = true;  // the followers go after the record's last cell
  std::uint32_t record = 0;
};

// One cell of a MULRK (XF and RK number) or MULBLANK (XF) as an RK or BLANK
// record of its own.
Record splitCellRecord(const RecordRef& multi, ByteView stream, std::uint16_t part) {
  const ByteView body = multi.body(stream);
  const bool mulRk = multi.id == rid::MulRk;
  const std::size_t entrySize = mulRk ? MultiCellRecord::MulRkEntrySize : MultiCellRecord::MulBlankEntrySize;
  const std::size_t entry = MultiCellRecord::FirstEntryAt + entrySize * part;
  const CellHeader cell{getU16(body, CellHeader::RowAt),
                        static_cast<std::uint16_t>(getU16(body, CellHeader::ColumnAt) + part), getU16(body, entry)};
  if (mulRk) {
    const auto rk = rkBody(cell, getU32(body, entry + MultiCellRecord::MulRkEntryRkAt));
    return Record{rid::Rk, Bytes(rk.begin(), rk.end()), 0};
  }
  const auto blank = blankBody(cell);
  return Record{rid::Blank, Bytes(blank.begin(), blank.end()), 0};
}

bool comesBefore(const CellEntry& a, const CellEntry& b) {
  return a.row != b.row ? a.row < b.row : a.colFirst < b.colFirst;
}

// Written cells in row/column order.
class WrittenCells {
public:
  explicit WrittenCells(const CellStore& cells) : cells_(cells) { settle(); }
  bool done() const { return row_ >= cells_.rowCount(); }
  std::uint32_t row() const { return static_cast<std::uint32_t>(row_); }
  std::uint8_t column() const { return cells_.row(row_)[index_].column; }
  std::uint32_t key() const { return cellKey(row(), column()); }
  void next() {
    ++index_;
    settle();
  }

private:
  void settle() {
    for (; row_ < cells_.rowCount(); ++row_, index_ = 0) {
      const std::span<const CellSlot> slots = cells_.row(row_);
      for (; index_ < slots.size(); ++index_)
        if (slots[index_].written) return;
    }
  }

  const CellStore& cells_;
  std::size_t row_ = 0;
  std::size_t index_ = 0;
};

// The range DIMENSIONS must cover, grown cell by cell.
class UsedRange {
public:
  void cover(std::uint16_t row, std::uint16_t colFirst, std::uint16_t colLastRead) {
    const std::uint16_t colLast = std::min(colLastRead, LastColumn);
    if (!any_) {
      range_ = {row, row + 1u, colFirst, static_cast<std::uint16_t>(colLast + 1)};
      any_ = true;
    }
    range_.rwMic = std::min<std::uint32_t>(range_.rwMic, row);
    range_.rwMac = std::max<std::uint32_t>(range_.rwMac, row + 1u);
    range_.colMic = std::min(range_.colMic, colFirst);
    range_.colMac = std::max<std::uint16_t>(range_.colMac, colLast + 1);
  }
  const DimensionsRecord& dimensions() const { return range_; }

private:
  DimensionsRecord range_;
  bool any_ = false;
};

class CellAreaLayout final : public CellArea {
public:
  CellAreaLayout(const CellAreaSource& source, SheetLayout& layout)
      : recs_(source.records),
        stream_(source.stream),
        cells_(source.cells),
        formulas_(source.formulas),
        layout_(&layout) {}
  // Reads the area and lays out the records around it.
  void prepare();
  void emit(ItemOutput& out, SheetLayout& layout) override;

private:
  // Finding and reading the area.
  void findArea();
  void scanArea();
  bool isEntryRecord(std::size_t i) const {
    return topLevel_[i] && isCellRecord(recs_[i].id) && recs_[i].size >= CellHeader::Size;
  }
  template <class F>
  void entriesOf(std::size_t i, F&& add) const;
  bool writtenBetween(std::uint32_t row, std::uint32_t from, std::uint32_t to) const;
  void widenRowsToWrittenCells();
  // Writing the items out (one pass of emit).
  class Entries;
  struct Pass;
  std::uint32_t nextBlock(const Entries& entries, const WrittenCells& written, std::uint32_t row) const;
  std::uint32_t emitBlockRows(std::uint32_t block, std::uint32_t row, Pass& pass);
  void emitBlockCells(std::uint32_t block, Entries& entries, WrittenCells& written, Pass& pass);
  void skipReplaced(WrittenCells& written, const Pass& pass) const;
  void emitEntry(const CellEntry& e, Pass& pass);
  void emitKeptFormula(const CellEntry& e, Pass& pass);
  void emitFollowers(const CellEntry& e, bool replaced, bool dropped, Pass& pass);
  std::uint32_t nextRowFrom(std::uint32_t row) const;

  std::span<const RecordRef> recs_;
  ByteView stream_;
  const CellStore& cells_;
  const FormulaGroups& formulas_;
  SheetLayout* layout_;  // the layout being prepared or written (it moves in between)

  std::vector<bool> topLevel_;  // by record: inside the sheet's own substream, not a nested one
  std::size_t areaBegin_ = 0;   // the area: records [areaBegin_, areaEnd_)
  std::size_t areaEnd_ = 0;
  std::size_t dimensionsAt_ = None;
  std::size_t firstEntry_ = None;  // the area's first cell record
  // The cells as read, sorted, for a file whose cells are not in row/column
  // order; empty when they are, and the records are read in place.
  std::vector<CellEntry> sorted_;
  bool inOrder_ = true;
  FormulaGroupEdits groupEdits_;
  MadeRecord dimensions_;  // the new DIMENSIONS
};

// The area's cells in row/column order: read from the records in place, or
// from the sorted copy.
class CellAreaLayout::Entries {
public:
  explicit Entries(const CellAreaLayout& area) : area_(area) {
    if (area.inOrder_) {
      record_ = area.firstEntry_ == None ? area.areaEnd_ : area.firstEntry_;
      load();
    }
  }
  bool done() const { return area_.inOrder_ ? at_ >= pending_.size() : at_ >= area_.sorted_.size(); }
  const CellEntry& current() const { return area_.inOrder_ ? pending_[at_] : area_.sorted_[at_]; }
  void next() {
    ++at_;
    if (area_.inOrder_ && at_ >= pending_.size()) load();
  }

private:
  // The cells of the next cell record.
  void load() {
    pending_.clear();
    at_ = 0;
    while (record_ < area_.areaEnd_ && !area_.isEntryRecord(record_)) ++record_;
    if (record_ >= area_.areaEnd_) return;
    area_.entriesOf(record_++, [&](const CellEntry& e) { pending_.push_back(e); });
  }

  const CellAreaLayout& area_;
  std::size_t record_ = 0;
  std::vector<CellEntry> pending_;
  std::size_t at_ = 0;
};

// What one pass of emit keeps.
struct CellAreaLayout::Pass {
  ItemOutput& out;
  UsedRange used;
  std::uint32_t lastReplaced = NoRow;  // the key of the last written cell that took a record's place
  std::unordered_map<std::uint32_t, Record> sharedAfter;
};

void CellAreaLayout::prepare() {
  findArea();
  scanArea();
  widenRowsToWrittenCells();
  const auto blank = dimensionsBody(DimensionsRecord{});  // the size it will have; filled in by emit
  dimensions_ =
      std::get<MadeRecord>(madeRecordItem(*layout_, Record{rid::Dimensions, Bytes(blank.begin(), blank.end()), 0}));
  // Shared formulas whose cells were written move to their first remaining
  // cell; arrays and tables taken apart lose their ARRAY/TABLE.
  if (!formulas_.empty()) groupEdits_ = planFormulaGroupEdits(formulas_, cells_, stream_, recs_);
  // The records before the area, the new DIMENSIONS in place of the old one
  // (or at the end when there was none), then the area's records before its
  // first cell. The INDEX goes: there are no DBCELLs for it to point at any more.
  std::vector<LayoutItem>& items = layout_->items;
  items.reserve(areaBegin_ + 4 + (recs_.size() - areaEnd_));
  for (std::size_t i = 0; i < areaBegin_; ++i) {
    if (topLevel_[i] && recs_[i].id == rid::Index) continue;
    items.push_back(i == dimensionsAt_ ? LayoutItem{dimensions_} : sheetRecordItem(recs_, i));
  }
  if (dimensionsAt_ == None) items.push_back(dimensions_);
  const std::size_t leadingEnd = firstEntry_ == None ? areaEnd_ : firstEntry_;
  for (std::size_t i = areaBegin_; i < leadingEnd; ++i) {
    const bool row = topLevel_[i] && recs_[i].id == rid::Row && recs_[i].size >= RowRecord::Size;
    const bool dbCell = topLevel_[i] && recs_[i].id == rid::DbCell;
    if (!row && !dbCell) items.push_back(sheetRecordItem(recs_, i));
  }
  items.push_back(CellAreaItem{});
  for (std::size_t i = areaEnd_; i < recs_.size(); ++i) items.push_back(sheetRecordItem(recs_, i));
}

void CellAreaLayout::emit(ItemOutput& out, SheetLayout& layout) {
  layout_ = &layout;
  Pass pass{out, {}, NoRow, groupEdits_.sharedAfter};
  Entries entries(*this);
  WrittenCells written(cells_);
  std::uint32_t row = nextRowFrom(0);
  for (;;) {
    skipReplaced(written, pass);
    if (entries.done() && written.done() && row >= MaxRows) break;
    const std::uint32_t block = nextBlock(entries, written, row);
    row = emitBlockRows(block, row, pass);
    emitBlockCells(block, entries, written, pass);
  }
  const auto body = dimensionsBody(pass.used.dimensions());
  layout_->owned[dimensions_.owned].body.assign(body.begin(), body.end());
}

// Marks the top-level records and finds the area. A sheet without cells
// gets an empty area after DIMENSIONS, else before WINDOW2, else before EOF.
void CellAreaLayout::findArea() {
  std::size_t first = None, last = None, window2 = None;
  topLevel_.assign(recs_.size(), false);
  int depth = 0;
  for (std::size_t i = 0; i < recs_.size(); ++i) {
    const std::uint16_t id = recs_[i].id;
    if (id == rid::Bof) ++depth;
    topLevel_[i] = depth == 1;
    if (id == rid::Eof) --depth;
    if (!topLevel_[i]) continue;
    if (isCellRecord(id) || id == rid::Row || id == rid::DbCell) {
      if (first == None) first = i;
      last = i;
    } else if (followsFormula(id) && first != None) {
      last = i;
    } else if (id == rid::Dimensions && dimensionsAt_ == None) {
      dimensionsAt_ = i;
    } else if (id == rid::Window2 && window2 == None) {
      window2 = i;
    }
  }
  if (first == None) {
    areaBegin_ = areaEnd_ = dimensionsAt_ != None ? dimensionsAt_ + 1 : window2 != None ? window2 : recs_.size() - 1;
    return;
  }
  areaBegin_ = first;
  areaEnd_ = last + 1;
}

// ROW records by row (the first for a row wins), and whether the cells come
// in row/column order; when they do not, a sorted copy of them.
void CellAreaLayout::scanArea() {
  layout_->rows.assign(MaxRows, RowState{});
  bool any = false;
  CellEntry previous;
  for (std::size_t i = areaBegin_; i < areaEnd_; ++i) {
    const RecordRef& r = recs_[i];
    if (topLevel_[i] && r.id == rid::Row && r.size >= RowRecord::Size) {
      const ByteView body = r.body(stream_);
      RowState& row = layout_->rows[getU16(body, RowRecord::RowAt)];
      if (row.record == RowState::Absent)
        row = RowState{static_cast<std::uint32_t>(i), getU16(body, RowRecord::ColMicAt),
                       getU16(body, RowRecord::ColMacAt)};
    } else if (isEntryRecord(i)) {
      if (firstEntry_ == None) firstEntry_ = i;
      entriesOf(i, [&](const CellEntry& e) {
        if (any && comesBefore(e, previous)) inOrder_ = false;
        previous = e;
        any = true;
      });
    }
  }
  if (inOrder_) return;
  for (std::size_t i = firstEntry_; i < areaEnd_; ++i)
    if (isEntryRecord(i)) entriesOf(i, [&](const CellEntry& e) { sorted_.push_back(e); });
  std::stable_sort(sorted_.begin(), sorted_.end(), comesBefore);
}

// The cells of cell record `i`: one entry, or one per cell of a MULRK or
// MULBLANK with a written cell inside, to be written as single RK/BLANK records.
template <class F>
void CellAreaLayout::entriesOf(std::size_t i, F&& add) const {
  const ByteView body = recs_[i].body(stream_);
  const CellHeader cell = readCellHeader(body);
  std::uint16_t colLast = cell.column;
  const std::uint16_t id = recs_[i].id;
  const auto record = static_cast<std::uint32_t>(i);
  if (id == rid::MulRk || id == rid::MulBlank) {
    if (const std::size_t n = multiCellCount(id, body); n > 0) {
      colLast = static_cast<std::uint16_t>(cell.column + n - 1);
      const std::uint16_t col = cell.column;
      if (col < MaxColumns && writtenBetween(cell.row, col, std::min(colLast, LastColumn))) {
        for (std::uint32_t k = 0; k + col <= colLast; ++k) {
          const auto c = static_cast<std::uint16_t>(col + k);
          add(CellEntry{cell.row, c, c, static_cast<std::uint16_t>(k), true, k + col == colLast, record});
        }
        return;
      }
    }
  }
  add(CellEntry{cell.row, cell.column, colLast, 0, false, true, record});
}

bool CellAreaLayout::writtenBetween(std::uint32_t row, std::uint32_t from, std::uint32_t to) const {
  if (row >= cells_.rowCount()) return false;
  const std::span<const CellSlot> slots = cells_.row(row);
  return std::any_of(slots.begin(), slots.end(),
                     [&](const CellSlot& s) { return s.written && s.column >= from && s.column <= to; });
}

// ROW records cover every written cell: new ones where the file had none.
void CellAreaLayout::widenRowsToWrittenCells() {
  for (std::size_t r = 0; r < cells_.rowCount(); ++r) {
    for (const CellSlot& s : cells_.row(r)) {
      if (!s.written) continue;
      RowState& row = layout_->rows[r];
      const std::uint16_t col = s.column;
      if (row.record == RowState::Absent) {
        row = RowState{RowState::New, col, static_cast<std::uint16_t>(col + 1)};
      } else {
        const std::uint16_t mic = row.colMic, mac = row.colMac;
        row.colMic = mic == mac ? col : std::min(mic, col);
        row.colMac = mic == mac ? static_cast<std::uint16_t>(col + 1) : std::max<std::uint16_t>(mac, col + 1);
      }
    }
  }
}

// The first block that still has a ROW record or a cell to write.
std::uint32_t CellAreaLayout::nextBlock(const Entries& entries, const WrittenCells& written, std::uint32_t row) const {
  const std::uint32_t cellRow =
      std::min<std::uint32_t>(entries.done() ? NoRow : entries.current().row, written.done() ? NoRow : written.row());
  return std::min<std::uint32_t>(cellRow == NoRow ? NoBlock : blockOf(cellRow), row < MaxRows ? blockOf(row) : NoBlock);
}

std::uint32_t CellAreaLayout::nextRowFrom(std::uint32_t row) const {
  while (row < MaxRows && layout_->rows[row].record == RowState::Absent) ++row;
  return row;
}

// Returns the first row with a ROW record after the block.
std::uint32_t CellAreaLayout::emitBlockRows(std::uint32_t block, std::uint32_t row, Pass& pass) {
  for (; row < MaxRows && blockOf(row) == block; row = nextRowFrom(row + 1))
    pass.out.item(RowItem{static_cast<std::uint16_t>(row)});
  return row;
}

// A written cell that took the place of a record read for it went out there.
void CellAreaLayout::skipReplaced(WrittenCells& written, const Pass& pass) const {
  while (!written.done() && written.key() == pass.lastReplaced) written.next();
}

// The block's cells, read and written merged in row/column order; a read
// cell goes before a written one in the same place.
void CellAreaLayout::emitBlockCells(std::uint32_t block, Entries& entries, WrittenCells& written, Pass& pass) {
  for (;;) {
    skipReplaced(written, pass);
    const bool haveEntry = !entries.done() && blockOf(entries.current().row) == block;
    const bool haveWritten = !written.done() && blockOf(written.row()) == block;
    if (!haveEntry && !haveWritten) return;
    const CellEntry* e = haveEntry ? &entries.current() : nullptr;
    if (e && (!haveWritten || e->row < written.row() || (e->row == written.row() && e->colFirst <= written.column()))) {
      emitEntry(*e, pass);
      entries.next();
    } else {
      pass.out.item(WrittenCell{static_cast<std::uint16_t>(written.row()), written.column()});
      pass.used.cover(static_cast<std::uint16_t>(written.row()), written.column(), written.column());
      written.next();
    }
  }
}

// A written cell takes the place of the first record read for it; a second
// record for the same cell goes, the records that follow it stay.
void CellAreaLayout::emitEntry(const CellEntry& e, Pass& pass) {
  bool replaced = false, dropped = false;
  if (e.colFirst == e.colLast && e.colFirst < MaxColumns) {
    const CellSlot* slot = cells_.find(e.row, e.colFirst);
    if (slot && slot->written) {
      const std::uint32_t k = cellKey(e.row, e.colFirst);
      dropped = pass.lastReplaced == k;
      replaced = !dropped;
      pass.lastReplaced = k;
    }
  }
  if (replaced) {
    pass.out.item(WrittenCell{e.row, static_cast<std::uint8_t>(e.colFirst)});
    pass.used.cover(e.row, e.colFirst, e.colLast);
  } else if (!dropped) {
    if (e.splitPart)
      pass.out.made(splitCellRecord(recs_[e.record], stream_, e.part));
    else if (!groupEdits_.empty() && recs_[e.record].id == rid::Formula)
      emitKeptFormula(e, pass);
    else
      pass.out.item(CopiedRecord{e.record});
    pass.used.cover(e.row, e.colFirst, e.colLast);
  }
  if (e.lastPart) emitFollowers(e, replaced, dropped, pass);
}

// A FORMULA whose shared formula moved names its new host, and the host
// gets the SHRFMLA (once, should the file hold two FORMULAs for it).
void CellAreaLayout::emitKeptFormula(const CellEntry& e, Pass& pass) {
  const std::uint32_t k = cellKey(e.row, e.colFirst);
  const auto target = groupEdits_.retarget.find(k);
  const ByteView read = recs_[e.record].body(stream_);
  if (target != groupEdits_.retarget.end() && formulaReference(read)) {
    Record moved{rid::Formula, Bytes(read.begin(), read.end()), 0};
    setFormulaReference(moved.body, target->second);
    pass.out.made(moved);
  } else {
    pass.out.item(CopiedRecord{e.record});
  }
  if (auto shared = pass.sharedAfter.find(k); shared != pass.sharedAfter.end()) {
    pass.out.made(shared->second);
    pass.sharedAfter.erase(shared);
  }
}

// A written cell's formula goes with its STRING and SHRFMLA/ARRAY/TABLE; so
// do the records of formula groups taken apart. When the entry's own record
// was dropped, the first record kept leads it and counts for DIMENSIONS.
// The followers are the records up to the next cell record but ROW and
// DBCELL records of the sheet's own substream.
void CellAreaLayout::emitFollowers(const CellEntry& e, bool replaced, bool dropped, Pass& pass) {
  bool lead = dropped;
  for (std::size_t i = e.record + 1; i < areaEnd_ && !isEntryRecord(i); ++i) {
    const RecordRef& r = recs_[i];
    if (topLevel_[i] && ((r.id == rid::Row && r.size >= RowRecord::Size) || r.id == rid::DbCell)) continue;
    if ((replaced || dropped) && followsFormula(r.id)) continue;
    if (groupEdits_.dropped(static_cast<std::uint32_t>(i))) continue;
    if (lead && isCellRecord(r.id)) pass.used.cover(e.row, e.colFirst, e.colLast);
    lead = false;
    pass.out.item(sheetRecordItem(recs_, i));
  }
}

}  // namespace

void layoutCellArea(const CellAreaSource& source, SheetLayout& layout) {
  auto area = std::make_unique<CellAreaLayout>(source, layout);
  area->prepare();
  layout.area = std::move(area);
}

}  // namespace kestrune::xls
