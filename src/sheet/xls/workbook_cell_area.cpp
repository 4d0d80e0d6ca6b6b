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

// A cell record of the area as read, with the records that follow it
// (STRING, SHRFMLA, ...): followers[followersBegin, followersEnd).
struct CellEntry {
  enum class Head : std::uint8_t {
    Kept,      // no written cell here: the record stays
    Replaced,  // the written cell takes the record's place
    Dropped,   // a second record for a written cell: it goes, its followers stay
  };
  std::uint16_t row = 0;
  std::uint16_t colFirst = 0;
  std::uint16_t colLast = 0;
  std::uint32_t record = 0;
  std::uint16_t part = 0;  // for a split MULRK/MULBLANK: which of its cells
  bool splitPart = false;
  Head head = Head::Kept;
  std::uint32_t followersBegin = 0;
  std::uint32_t followersEnd = 0;
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

// Written cells in row/column order, skipping those that replaced a record
// of the file (`applied`: their keys, ascending).
class WrittenCells {
public:
  WrittenCells(const CellStore& cells, const std::vector<std::uint32_t>& applied) : cells_(cells), applied_(applied) {
    settle();
  }
  bool done() const { return row_ >= cells_.rowCount(); }
  std::uint32_t row() const { return static_cast<std::uint32_t>(row_); }
  std::uint8_t column() const { return cells_.row(row_)[index_].column; }
  void next() {
    ++index_;
    settle();
  }

private:
  void settle() {
    for (; row_ < cells_.rowCount(); ++row_, index_ = 0) {
      const std::span<const CellSlot> slots = cells_.row(row_);
      for (; index_ < slots.size(); ++index_) {
        if (!slots[index_].written) continue;
        const std::uint32_t k = cellKey(row(), column());
        while (next_ < applied_.size() && applied_[next_] < k) ++next_;
        if (next_ < applied_.size() && applied_[next_] == k) continue;
        return;
      }
    }
  }

  const CellStore& cells_;
  const std::vector<std::uint32_t>& applied_;
  std::size_t row_ = 0;
  std::size_t index_ = 0;
  std::size_t next_ = 0;
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

class CellAreaLayout {
public:
  CellAreaLayout(const CellAreaSource& source, SheetLayout& layout)
      : recs_(source.records),
        stream_(source.stream),
        cells_(source.cells),
        formulas_(source.formulas),
        layout_(layout),
        out_(layout.items) {}
  void run();

private:
  // Finding and reading the area.
  void findArea();
  void readArea();
  void readRow(std::size_t i, ByteView body);
  void readCell(std::size_t i, ByteView body);
  bool splitAroundWrittenCell(std::size_t i, CellHeader cell, std::uint16_t colLast);
  void addEntry(CellEntry entry);
  void attach(std::size_t i);
  bool writtenBetween(std::uint32_t row, std::uint32_t from, std::uint32_t to) const;
  // Deciding what changes.
  void markWrittenCells();
  void widenRowsToWrittenCells();
  // Writing the items out.
  void emitBeforeArea();
  void emitRowBlocks();
  std::uint32_t nextBlock(std::size_t entry, const WrittenCells& written, std::uint32_t row) const;
  std::uint32_t emitBlockRows(std::uint32_t block, std::uint32_t row);
  std::size_t emitBlockCells(std::uint32_t block, std::size_t entry, WrittenCells& written);
  void emitEntry(const CellEntry& e);
  LayoutItem keptItem(const CellEntry& e);
  void emitKeptFormula(const CellEntry& e);
  void emitFollowers(const CellEntry& e);
  void emitWrittenCell(std::uint16_t row, std::uint8_t column);
  void emitAfterArea();
  std::uint32_t nextRowFrom(std::uint32_t row) const;

  std::span<const RecordRef> recs_;
  ByteView stream_;
  const CellStore& cells_;
  const FormulaGroups& formulas_;
  SheetLayout& layout_;
  std::vector<LayoutItem>& out_;

  std::vector<bool> topLevel_;  // by record: inside the sheet's own substream, not a nested one
  std::size_t areaBegin_ = 0;   // the area: records [areaBegin_, areaEnd_)
  std::size_t areaEnd_ = 0;
  std::size_t dimensionsAt_ = None;
  std::vector<CellEntry> entries_;
  std::vector<std::uint32_t> followers_;
  std::vector<std::uint32_t> leading_;  // records of the area before its first cell
  std::vector<std::uint32_t> applied_;  // keys of the written cells that replaced a record, ascending
  std::size_t writtenCount_ = 0;
  std::size_t newRows_ = 0;
  FormulaGroupEdits groupEdits_;
  UsedRange used_;
  MadeRecord dimensions_;  // the new DIMENSIONS
};

void CellAreaLayout::run() {
  findArea();
  readArea();
  if (!std::is_sorted(entries_.begin(), entries_.end(), comesBefore))
    std::stable_sort(entries_.begin(), entries_.end(), comesBefore);
  markWrittenCells();
  widenRowsToWrittenCells();
  out_.reserve(recs_.size() + writtenCount_ + newRows_ + 4);
  dimensions_ = std::get<MadeRecord>(madeRecordItem(layout_, Record{rid::Dimensions, {}, 0}));  // filled in last
  emitBeforeArea();
  // Shared formulas whose cells were written move to their first remaining
  // cell; arrays and tables taken apart lose their ARRAY/TABLE.
  if (!formulas_.empty()) groupEdits_ = planFormulaGroupEdits(formulas_, cells_, stream_, recs_);
  emitRowBlocks();
  emitAfterArea();
  const auto body = dimensionsBody(used_.dimensions());
  layout_.owned[dimensions_.owned].body.assign(body.begin(), body.end());
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

// ROW records by row (the first for a row wins), cell entries with their
// followers, and what comes before the first cell.
void CellAreaLayout::readArea() {
  layout_.rows.assign(MaxRows, RowState{});
  for (std::size_t i = areaBegin_; i < areaEnd_; ++i) {
    const RecordRef& r = recs_[i];
    const ByteView body = r.body(stream_);
    if (!topLevel_[i])
      attach(i);
    else if (r.id == rid::Row && r.size >= RowRecord::Size)
      readRow(i, body);
    else if (r.id == rid::DbCell)
      continue;  // row block offsets are not kept for rewritten sheets
    else if (isCellRecord(r.id) && r.size >= CellHeader::Size)
      readCell(i, body);
    else
      attach(i);
  }
}

void CellAreaLayout::readRow(std::size_t i, ByteView body) {
  RowState& row = layout_.rows[getU16(body, RowRecord::RowAt)];
  if (row.record == RowState::Absent)
    row = RowState{static_cast<std::uint32_t>(i), getU16(body, RowRecord::ColMicAt), getU16(body, RowRecord::ColMacAt)};
}

void CellAreaLayout::readCell(std::size_t i, ByteView body) {
  const CellHeader cell = readCellHeader(body);
  std::uint16_t colLast = cell.column;
  const std::uint16_t id = recs_[i].id;
  if (id == rid::MulRk || id == rid::MulBlank) {
    if (const std::size_t n = multiCellCount(id, body); n > 0) {
      colLast = static_cast<std::uint16_t>(cell.column + n - 1);
      if (splitAroundWrittenCell(i, cell, colLast)) return;
    }
  }
  addEntry(CellEntry{cell.row, cell.column, colLast, static_cast<std::uint32_t>(i)});
}

// A MULRK/MULBLANK with a written cell inside becomes one entry per cell,
// written out as single RK/BLANK records.
bool CellAreaLayout::splitAroundWrittenCell(std::size_t i, CellHeader cell, std::uint16_t colLast) {
  const std::uint16_t col = cell.column;
  if (col >= MaxColumns || !writtenBetween(cell.row, col, std::min(colLast, LastColumn))) return false;
  for (std::uint32_t k = 0; k + col <= colLast; ++k) {
    const auto c = static_cast<std::uint16_t>(col + k);
    addEntry(CellEntry{cell.row, c, c, static_cast<std::uint32_t>(i), static_cast<std::uint16_t>(k), true});
  }
  return true;
}

void CellAreaLayout::addEntry(CellEntry entry) {
  entry.followersBegin = entry.followersEnd = static_cast<std::uint32_t>(followers_.size());
  entries_.push_back(entry);
}

// A record that is not a cell goes with the cell before it.
void CellAreaLayout::attach(std::size_t i) {
  if (entries_.empty()) {
    leading_.push_back(static_cast<std::uint32_t>(i));
    return;
  }
  followers_.push_back(static_cast<std::uint32_t>(i));
  entries_.back().followersEnd = static_cast<std::uint32_t>(followers_.size());
}

bool CellAreaLayout::writtenBetween(std::uint32_t row, std::uint32_t from, std::uint32_t to) const {
  if (row >= cells_.rowCount()) return false;
  const std::span<const CellSlot> slots = cells_.row(row);
  return std::any_of(slots.begin(), slots.end(),
                     [&](const CellSlot& s) { return s.written && s.column >= from && s.column <= to; });
}

// A written cell replaces the first record read for it; a second record for
// the same cell goes, the records that follow it stay.
void CellAreaLayout::markWrittenCells() {
  for (CellEntry& e : entries_) {
    if (e.colFirst != e.colLast || e.colFirst >= MaxColumns) continue;
    const CellSlot* slot = cells_.find(e.row, e.colFirst);
    if (!slot || !slot->written) continue;
    const std::uint32_t k = cellKey(e.row, e.colFirst);
    const bool again = !applied_.empty() && applied_.back() == k;
    e.head = again ? CellEntry::Head::Dropped : CellEntry::Head::Replaced;
    if (!again) applied_.push_back(k);
  }
}

// ROW records cover every written cell: new ones where the file had none.
void CellAreaLayout::widenRowsToWrittenCells() {
  for (std::size_t r = 0; r < cells_.rowCount(); ++r) {
    for (const CellSlot& s : cells_.row(r)) {
      if (!s.written) continue;
      ++writtenCount_;
      RowState& row = layout_.rows[r];
      const std::uint16_t col = s.column;
      if (row.record == RowState::Absent) {
        ++newRows_;
        row = RowState{RowState::New, col, static_cast<std::uint16_t>(col + 1)};
      } else {
        const std::uint16_t mic = row.colMic, mac = row.colMac;
        row.colMic = mic == mac ? col : std::min(mic, col);
        row.colMac = mic == mac ? static_cast<std::uint16_t>(col + 1) : std::max<std::uint16_t>(mac, col + 1);
      }
    }
  }
}

// The records before the area, the new DIMENSIONS in place of the old one
// (or at the end when there was none), then the area's leading records.
// The INDEX goes: there are no DBCELLs for it to point at any more.
void CellAreaLayout::emitBeforeArea() {
  for (std::size_t i = 0; i < areaBegin_; ++i) {
    if (topLevel_[i] && recs_[i].id == rid::Index) continue;
    out_.push_back(i == dimensionsAt_ ? LayoutItem{dimensions_} : sheetRecordItem(recs_, i));
  }
  if (dimensionsAt_ == None) out_.push_back(dimensions_);
  for (std::uint32_t i : leading_) out_.push_back(sheetRecordItem(recs_, i));
}

// Blocks of 32 rows: the block's ROW records, then its cells.
void CellAreaLayout::emitRowBlocks() {
  WrittenCells written(cells_, applied_);
  std::size_t entry = 0;
  std::uint32_t row = nextRowFrom(0);
  while (entry < entries_.size() || !written.done() || row < MaxRows) {
    const std::uint32_t block = nextBlock(entry, written, row);
    row = emitBlockRows(block, row);
    entry = emitBlockCells(block, entry, written);
  }
}

// The first block that still has a ROW record or a cell to write.
std::uint32_t CellAreaLayout::nextBlock(std::size_t entry, const WrittenCells& written, std::uint32_t row) const {
  const std::uint32_t cellRow = std::min<std::uint32_t>(entry < entries_.size() ? entries_[entry].row : NoRow,
                                                        written.done() ? NoRow : written.row());
  return std::min<std::uint32_t>(cellRow == NoRow ? NoBlock : blockOf(cellRow), row < MaxRows ? blockOf(row) : NoBlock);
}

std::uint32_t CellAreaLayout::nextRowFrom(std::uint32_t row) const {
  while (row < MaxRows && layout_.rows[row].record == RowState::Absent) ++row;
  return row;
}

// Returns the first row with a ROW record after the block.
std::uint32_t CellAreaLayout::emitBlockRows(std::uint32_t block, std::uint32_t row) {
  for (; row < MaxRows && blockOf(row) == block; row = nextRowFrom(row + 1))
    out_.push_back(RowItem{static_cast<std::uint16_t>(row)});
  return row;
}

// The block's cells, read and written merged in row/column order; a read
// cell goes before a written one in the same place. Returns the next entry.
std::size_t CellAreaLayout::emitBlockCells(std::uint32_t block, std::size_t entry, WrittenCells& written) {
  for (;;) {
    const bool haveEntry = entry < entries_.size() && blockOf(entries_[entry].row) == block;
    const bool haveWritten = !written.done() && blockOf(written.row()) == block;
    if (!haveEntry && !haveWritten) return entry;
    const CellEntry* e = haveEntry ? &entries_[entry] : nullptr;
    if (e && (!haveWritten || e->row < written.row() || (e->row == written.row() && e->colFirst <= written.column()))) {
      emitEntry(*e);
      ++entry;
    } else {
      emitWrittenCell(static_cast<std::uint16_t>(written.row()), written.column());
      written.next();
    }
  }
}

void CellAreaLayout::emitEntry(const CellEntry& e) {
  if (e.head == CellEntry::Head::Replaced) {
    out_.push_back(WrittenCell{e.row, static_cast<std::uint8_t>(e.colFirst)});
    used_.cover(e.row, e.colFirst, e.colLast);
  } else if (e.head == CellEntry::Head::Kept) {
    if (!groupEdits_.empty() && !e.splitPart && recs_[e.record].id == rid::Formula)
      emitKeptFormula(e);
    else
      out_.push_back(keptItem(e));
    used_.cover(e.row, e.colFirst, e.colLast);
  }
  emitFollowers(e);
}

LayoutItem CellAreaLayout::keptItem(const CellEntry& e) {
  if (e.splitPart) return madeRecordItem(layout_, splitCellRecord(recs_[e.record], stream_, e.part));
  return CopiedRecord{e.record};
}

// A FORMULA whose shared formula moved names its new host, and the host
// gets the SHRFMLA (once, should the file hold two FORMULAs for it).
void CellAreaLayout::emitKeptFormula(const CellEntry& e) {
  const std::uint32_t k = cellKey(e.row, e.colFirst);
  const auto target = groupEdits_.retarget.find(k);
  const ByteView read = recs_[e.record].body(stream_);
  if (target != groupEdits_.retarget.end() && formulaReference(read)) {
    Record moved{rid::Formula, Bytes(read.begin(), read.end()), 0};
    setFormulaReference(moved.body, target->second);
    out_.push_back(madeRecordItem(layout_, std::move(moved)));
  } else {
    out_.push_back(CopiedRecord{e.record});
  }
  if (auto shared = groupEdits_.sharedAfter.find(k); shared != groupEdits_.sharedAfter.end()) {
    out_.push_back(madeRecordItem(layout_, std::move(shared->second)));
    groupEdits_.sharedAfter.erase(shared);
  }
}

// A written cell's formula goes with its STRING and SHRFMLA/ARRAY/TABLE; so
// do the records of formula groups taken apart. When the entry's own record
// was dropped, the first record kept leads it and counts for DIMENSIONS.
void CellAreaLayout::emitFollowers(const CellEntry& e) {
  bool lead = e.head == CellEntry::Head::Dropped;
  for (std::uint32_t f = e.followersBegin; f < e.followersEnd; ++f) {
    const std::uint32_t i = followers_[f];
    if (e.head != CellEntry::Head::Kept && followsFormula(recs_[i].id)) continue;
    if (groupEdits_.dropped(i)) continue;
    if (lead && isCellRecord(recs_[i].id)) used_.cover(e.row, e.colFirst, e.colLast);
    lead = false;
    out_.push_back(sheetRecordItem(recs_, i));
  }
}

void CellAreaLayout::emitWrittenCell(std::uint16_t row, std::uint8_t column) {
  out_.push_back(WrittenCell{row, column});
  used_.cover(row, column, column);
}

void CellAreaLayout::emitAfterArea() {
  for (std::size_t i = areaEnd_; i < recs_.size(); ++i) out_.push_back(sheetRecordItem(recs_, i));
}

}  // namespace

void layoutCellArea(const CellAreaSource& source, SheetLayout& layout) { CellAreaLayout(source, layout).run(); }

}  // namespace kestrune::xls
