// Laying out a sheet for saving. Sheets without written cells keep every
// record; sheets with written cells get their cell area re-laid in
// row/column order (INDEX and DBCELL dropped there), written cells made from
// the cell store. Then the view records (WINDOW2, SELECTION).
#include "sheet/xls/workbook_layout.h"

#include "sheet/xls/formula_groups.h"
#include "sheet/xls/workbook.h"

#include <algorithm>
#include <cstring>

namespace kestrune::xls {

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);
constexpr std::uint16_t Scl = 0x00A0;
constexpr std::uint16_t Plv = 0x088B;

std::uint32_t key(std::uint32_t row, std::uint32_t col) { return (row << 8) | col; }

bool isDependent(std::uint16_t id) {
  return id == rid::String || id == rid::ShrFmla || id == rid::Array || id == rid::Table;
}

std::uint16_t cellRecordId(const CellSlot& slot) {
  switch (slot.cellKind()) {
    case CellKind::SharedText:
      return rid::LabelSst;
    case CellKind::Number:
    case CellKind::Date:
      return rid::Number;
    case CellKind::Bool:
    case CellKind::Error:
      return rid::BoolErr;
    default:
      return rid::Blank;
  }
}

std::size_t cellBodySize(std::uint16_t id) {
  switch (id) {
    case rid::LabelSst:
      return 10;
    case rid::Number:
      return 14;
    case rid::BoolErr:
      return 8;
    default:
      return 6;
  }
}

std::uint8_t* put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  return p + 2;
}

std::uint8_t* put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
  return p;
}

std::uint8_t* putBytes(std::uint8_t* p, ByteView bytes) {
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  return p + bytes.size();
}

// Last column of a MULRK/MULBLANK, or None when the record is malformed.
std::size_t multiLastColumn(std::uint16_t id, ByteView body) {
  const std::size_t unit = id == rid::MulRk ? 6 : 2;
  if (body.size() < 6 + unit || (body.size() - 6) % unit != 0) return None;
  const std::size_t n = (body.size() - 6) / unit;
  const std::size_t last = getU16(body, body.size() - 2);
  return last == getU16(body, 2) + n - 1 ? last : None;
}

Record defaultWindow2() {
  Record r{rid::Window2, {}, 0};
  putU16(r.body, 0x06B6);
  for (int i = 0; i < 3; ++i) putU16(r.body, 0);
  putU16(r.body, 0x0040);
  while (r.body.size() < 18) putU8(r.body, 0);
  setU16(r.body, 6, 0x0040);
  return r;
}

// An item for a record of the sheet as read.
LayoutItem original(std::span<const RecordRef> recs, std::size_t i) {
  const bool index = recs[i].id == rid::Index && recs[i].size >= 16;
  return LayoutItem{static_cast<std::uint32_t>(i), 0, index ? ItemKind::Index : ItemKind::Original};
}

LayoutItem owned(SheetLayout& layout, Record r) {
  layout.owned.push_back(std::move(r));
  return LayoutItem{static_cast<std::uint32_t>(layout.owned.size() - 1), 0, ItemKind::Owned};
}

}  // namespace

const CellSlot& ItemReader::slot(const LayoutItem& item) const {
  return *cells_.find(item.at >> 8, item.at & 0xFF);  // cell items are made from slots that exist
}

std::uint16_t ItemReader::id(const LayoutItem& item) const {
  switch (item.kind) {
    case ItemKind::Original:
    case ItemKind::Index:
      return records_[item.at].id;
    case ItemKind::Owned:
      return layout_.owned[item.at].id;
    case ItemKind::Row:
      return rid::Row;
    case ItemKind::Cell:
      return cellRecordId(slot(item));
    case ItemKind::MultiPart:
      return records_[item.at].id == rid::MulRk ? rid::Rk : rid::Blank;
  }
  return 0;
}

std::size_t ItemReader::size(const LayoutItem& item) const {
  switch (item.kind) {
    case ItemKind::Original:
    case ItemKind::Index:
      return records_[item.at].size;
    case ItemKind::Owned:
      return layout_.owned[item.at].body.size();
    case ItemKind::Row: {
      const std::uint32_t record = layout_.rows[item.at].record;
      return record == RowState::New ? 16 : records_[record].size;
    }
    case ItemKind::Cell:
      return cellBodySize(cellRecordId(slot(item)));
    case ItemKind::MultiPart:
      return records_[item.at].id == rid::MulRk ? 10 : 6;
  }
  return 0;
}

ByteView ItemReader::body(const LayoutItem& item) const {
  switch (item.kind) {
    case ItemKind::Original:
    case ItemKind::Index:
      return records_[item.at].body(stream_);
    case ItemKind::Owned:
      return layout_.owned[item.at].body;
    default:
      return {};
  }
}

std::size_t ItemReader::write(const LayoutItem& item, std::uint8_t* out, std::size_t indexSize) const {
  const std::uint16_t recordId = id(item);
  const std::size_t bodySize = item.kind == ItemKind::Index ? indexSize : size(item);
  std::uint8_t* p = put16(out, recordId);
  p = put16(p, static_cast<std::uint16_t>(bodySize));
  switch (item.kind) {
    case ItemKind::Original:
    case ItemKind::Owned:
      putBytes(p, body(item));
      break;
    case ItemKind::Index: {
      const ByteView read = body(item);
      const std::size_t kept = std::min(read.size(), bodySize);
      putBytes(p, read.first(kept));
      std::fill(p + kept, p + bodySize, std::uint8_t{0});
      break;
    }
    case ItemKind::Row: {
      const RowState& row = layout_.rows[item.at];
      if (row.record == RowState::New) {
        p = put16(p, static_cast<std::uint16_t>(item.at));
        p = put16(p, row.colMic);
        p = put16(p, row.colMac);
        p = put16(p, 0x00FF);
        p = put16(p, 0);
        p = put16(p, 0);
        put32(p, 0x000F0100);
      } else {
        putBytes(p, records_[row.record].body(stream_));
        put16(p + 2, row.colMic);
        put16(p + 4, row.colMac);
      }
      break;
    }
    case ItemKind::Cell: {
      const CellSlot& cell = slot(item);
      p = put16(p, static_cast<std::uint16_t>(item.at >> 8));
      p = put16(p, cell.column);
      p = put16(p, cell.xf);
      switch (recordId) {
        case rid::LabelSst:
          put32(p, cell.index());
          break;
        case rid::Number: {
          std::uint64_t bits;
          const double v = cell.number();
          std::memcpy(&bits, &v, sizeof bits);
          put32(put32(p, static_cast<std::uint32_t>(bits)), static_cast<std::uint32_t>(bits >> 32));
          break;
        }
        case rid::BoolErr:
          p[0] = static_cast<std::uint8_t>(cell.index());
          p[1] = cell.cellKind() == CellKind::Error ? 1 : 0;
          break;
        default:
          break;
      }
      break;
    }
    case ItemKind::MultiPart: {
      const ByteView multi = records_[item.at].body(stream_);
      const std::size_t unit = records_[item.at].id == rid::MulRk ? 6 : 2;
      p = put16(p, getU16(multi, 0));
      p = put16(p, static_cast<std::uint16_t>(getU16(multi, 2) + item.part));
      putBytes(p, multi.subspan(4 + unit * item.part, unit));
      break;
    }
  }
  return 4 + bodySize;
}

SheetLayout Workbook::layoutSheet(std::size_t index) const {
  const Sheet& sheet = sheets_[index];
  SheetLayout layout;
  if (sheet.written) {
    rebuildCellArea(sheet, layout);
  } else {
    const auto recs = records(sheet);
    layout.items.reserve(recs.size() + 2);
    for (std::size_t i = 0; i < recs.size(); ++i) layout.items.push_back(original(recs, i));
  }
  applyView(index, layout);
  return layout;
}

namespace {

// A cell record of the sheet's cell area with the records that follow it
// (STRING, SHRFMLA, ...): deps[depBegin, depEnd).
struct CellEntry {
  enum Head : std::uint8_t { Kept, Replaced, Dropped };
  std::uint16_t row = 0;
  std::uint16_t colFirst = 0;
  std::uint16_t colLast = 0;
  std::uint16_t part = 0;
  std::uint32_t record = 0;
  std::uint32_t depBegin = 0;
  std::uint32_t depEnd = 0;
  ItemKind kind = ItemKind::Original;  // Original or MultiPart
  Head head = Kept;
};

// Written cells in row/column order, skipping those that replaced a record
// of the file (`applied`, ascending).
class WrittenCells {
public:
  WrittenCells(const CellStore& cells, const std::vector<std::uint32_t>& applied) : cells_(cells), applied_(applied) {
    settle();
  }
  bool done() const { return row_ >= cells_.rows().size(); }
  std::uint32_t row() const { return static_cast<std::uint32_t>(row_); }
  std::uint32_t key() const { return static_cast<std::uint32_t>(row_ << 8 | cells_.rows()[row_][index_].column); }
  void next() {
    ++index_;
    settle();
  }

private:
  void settle() {
    const auto& rows = cells_.rows();
    for (; row_ < rows.size(); ++row_, index_ = 0) {
      for (; index_ < rows[row_].size(); ++index_) {
        if (!rows[row_][index_].written) continue;
        const std::uint32_t k = key();
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

}  // namespace

void Workbook::rebuildCellArea(const Sheet& sheet, SheetLayout& layout) const {
  const auto recs = records(sheet);
  const ByteView data(stream_);
  const CellStore& cells = sheet.cells;
  std::size_t first = None, last = None, dims = None, window2 = None;
  std::vector<bool> topLevel(recs.size(), false);
  int depth = 0;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    if (recs[i].id == rid::Bof) ++depth;
    topLevel[i] = depth == 1;
    if (recs[i].id == rid::Eof) --depth;
    if (!topLevel[i]) continue;
    const std::uint16_t id = recs[i].id;
    if (isCellRecord(id) || id == rid::Row || id == rid::DbCell) {
      if (first == None) first = i;
      last = i;
    } else if (isDependent(id) && first != None) {
      last = i;
    } else if (id == rid::Dimensions && dims == None) {
      dims = i;
    } else if (id == rid::Window2 && window2 == None) {
      window2 = i;
    }
  }
  if (first == None) {
    first = dims != None ? dims + 1 : window2 != None ? window2 : recs.size() - 1;
    last = first - 1;
  }

  // The cell area as read: ROW records by row (the first for a row wins),
  // cell entries, and what comes before the first cell.
  std::vector<RowState>& rows = layout.rows;
  rows.assign(MaxRows, RowState{});
  std::vector<CellEntry> entries;
  std::vector<std::uint32_t> deps;
  std::vector<std::uint32_t> leading;
  auto attach = [&](std::size_t i) {
    if (entries.empty()) {
      leading.push_back(static_cast<std::uint32_t>(i));
    } else {
      deps.push_back(static_cast<std::uint32_t>(i));
      entries.back().depEnd = static_cast<std::uint32_t>(deps.size());
    }
  };
  auto addEntry = [&](CellEntry e) {
    e.depBegin = e.depEnd = static_cast<std::uint32_t>(deps.size());
    entries.push_back(e);
  };
  auto writtenBetween = [&](std::uint32_t row, std::uint32_t from, std::uint32_t to) {
    if (row >= cells.rows().size()) return false;
    return std::any_of(cells.rows()[row].begin(), cells.rows()[row].end(),
                       [&](const CellSlot& s) { return s.written && s.column >= from && s.column <= to; });
  };
  for (std::size_t i = first; i <= last && last != first - 1; ++i) {
    const RecordRef& r = recs[i];
    if (!topLevel[i]) {
      attach(i);
      continue;
    }
    const ByteView b = r.body(data);
    if (r.id == rid::Row && r.size >= 16) {
      RowState& row = rows[getU16(b, 0)];
      if (row.record == RowState::Absent) row = RowState{static_cast<std::uint32_t>(i), getU16(b, 2), getU16(b, 4)};
    } else if (r.id == rid::DbCell) {
      continue;  // row block offsets are not kept for rewritten sheets
    } else if (isCellRecord(r.id) && r.size >= 6) {
      const std::uint16_t row = getU16(b, 0);
      const std::uint16_t col = getU16(b, 2);
      std::uint16_t colLast = col;
      if (r.id == rid::MulRk || r.id == rid::MulBlank) {
        const std::size_t lastCol = multiLastColumn(r.id, b);
        if (lastCol != None) {
          colLast = static_cast<std::uint16_t>(lastCol);
          if (col < MaxColumns && writtenBetween(row, col, std::min<std::uint32_t>(colLast, 255))) {
            // A written cell inside: split into single RK/BLANK cells.
            for (std::uint32_t k = 0; k + col <= colLast; ++k) {
              const auto c = static_cast<std::uint16_t>(col + k);
              addEntry(CellEntry{row, c, c, static_cast<std::uint16_t>(k), static_cast<std::uint32_t>(i), 0, 0,
                                 ItemKind::MultiPart});
            }
            continue;
          }
        }
      }
      addEntry(CellEntry{row, col, colLast, 0, static_cast<std::uint32_t>(i), 0, 0, ItemKind::Original});
    } else {
      attach(i);
    }
  }
  auto before = [](const CellEntry& a, const CellEntry& b) {
    return a.row != b.row ? a.row < b.row : a.colFirst < b.colFirst;
  };
  if (!std::is_sorted(entries.begin(), entries.end(), before)) std::stable_sort(entries.begin(), entries.end(), before);

  // A written cell replaces the first record read for it; a second record
  // for the same cell goes, the records that follow it stay.
  std::vector<std::uint32_t> applied;
  for (CellEntry& e : entries) {
    if (e.colFirst != e.colLast || e.colFirst >= MaxColumns) continue;
    const CellSlot* slot = cells.find(e.row, e.colFirst);
    if (!slot || !slot->written) continue;
    const std::uint32_t k = key(e.row, e.colFirst);
    const bool again = !applied.empty() && applied.back() == k;
    e.head = again ? CellEntry::Dropped : CellEntry::Replaced;
    if (!again) applied.push_back(k);
  }
  // ROW records cover every written cell.
  std::size_t writtenCount = 0, newRows = 0;
  for (std::size_t r = 0; r < cells.rows().size(); ++r) {
    for (const CellSlot& s : cells.rows()[r]) {
      if (!s.written) continue;
      ++writtenCount;
      RowState& row = rows[r];
      const std::uint16_t col = s.column;
      if (row.record == RowState::Absent) {
        ++newRows;
        row = RowState{RowState::New, col, static_cast<std::uint16_t>(col + 1)};
      } else {
        const std::uint16_t mic = row.colMic, mac = row.colMac;
        row.colMic = mic == mac ? col : std::min(mic, col);
        row.colMac = mic == mac ? static_cast<std::uint16_t>(col + 1) : std::max<std::uint16_t>(mac, col + 1);
      }
    }
  }

  // DIMENSIONS from the cells that remain, filled in below.
  std::uint32_t rwMic = 0, rwMac = 0;
  std::uint16_t colMic = 0, colMac = 0;
  bool any = false;
  auto cover = [&](std::uint16_t row, std::uint16_t colFirst, std::uint16_t colLastRead) {
    const std::uint16_t lastCol = std::min<std::uint16_t>(colLastRead, 255);
    if (!any) {
      rwMic = row, rwMac = row + 1u, colMic = colFirst, colMac = static_cast<std::uint16_t>(lastCol + 1);
      any = true;
    }
    rwMic = std::min<std::uint32_t>(rwMic, row);
    rwMac = std::max<std::uint32_t>(rwMac, row + 1u);
    colMic = std::min(colMic, colFirst);
    colMac = std::max<std::uint16_t>(colMac, lastCol + 1);
  };

  std::vector<LayoutItem>& out = layout.items;
  out.reserve(recs.size() + writtenCount + newRows + 4);
  const LayoutItem dimensions = owned(layout, Record{rid::Dimensions, {}, 0});
  for (std::size_t i = 0; i < first; ++i) {
    if (topLevel[i] && recs[i].id == rid::Index) continue;  // no DBCELLs to point at any more
    out.push_back(i == dims ? dimensions : original(recs, i));
  }
  if (dims == None) out.push_back(dimensions);
  for (std::uint32_t i : leading) out.push_back(original(recs, i));

  // Shared formulas whose cells were written move to their first remaining
  // cell; arrays and tables taken apart lose their ARRAY/TABLE.
  FormulaGroupEdits groupEdits;
  if (!sheet.formulas.empty()) groupEdits = planFormulaGroupEdits(sheet.formulas, cells, data, recs);
  auto emitFormula = [&](const CellEntry& e) {
    const std::uint32_t k = key(e.row, e.colFirst);
    auto target = groupEdits.retarget.find(k);
    const ByteView read = recs[e.record].body(data);
    if (target != groupEdits.retarget.end() && formulaReference(read)) {
      Record moved{rid::Formula, Bytes(read.begin(), read.end()), 0};
      setFormulaReference(moved.body, target->second);
      out.push_back(owned(layout, std::move(moved)));
    } else {
      out.push_back(LayoutItem{e.record, e.part, e.kind});
    }
    // Once only, should the file hold two FORMULA records for the host.
    if (auto shared = groupEdits.sharedAfter.find(k); shared != groupEdits.sharedAfter.end()) {
      out.push_back(owned(layout, std::move(shared->second)));
      groupEdits.sharedAfter.erase(shared);
    }
  };
  auto emitEntry = [&](const CellEntry& e) {
    if (e.head == CellEntry::Replaced) {
      out.push_back(LayoutItem{key(e.row, e.colFirst), 0, ItemKind::Cell});
      cover(e.row, e.colFirst, e.colLast);
    } else if (e.head == CellEntry::Kept) {
      if (!groupEdits.empty() && e.kind == ItemKind::Original && recs[e.record].id == rid::Formula)
        emitFormula(e);
      else
        out.push_back(LayoutItem{e.record, e.part, e.kind});
      cover(e.row, e.colFirst, e.colLast);
    }
    bool lead = e.head == CellEntry::Dropped;  // the first record kept now leads the entry
    for (std::uint32_t d = e.depBegin; d < e.depEnd; ++d) {
      const std::uint32_t i = deps[d];
      // A written cell's formula goes with its STRING and SHRFMLA/ARRAY/TABLE.
      if (e.head != CellEntry::Kept && isDependent(recs[i].id)) continue;
      if (groupEdits.dropped(i)) continue;
      if (lead && isCellRecord(recs[i].id)) cover(e.row, e.colFirst, e.colLast);
      lead = false;
      out.push_back(original(recs, i));
    }
  };
  // Blocks of 32 rows: the block's ROW records, then its cells, read and
  // written merged in row/column order.
  WrittenCells written(cells, applied);
  std::size_t e = 0;
  std::uint32_t r = 0;
  auto nextRow = [&] {
    while (r < MaxRows && rows[r].record == RowState::Absent) ++r;
  };
  nextRow();
  while (e < entries.size() || !written.done() || r < MaxRows) {
    const std::uint32_t cellRow = std::min<std::uint32_t>(e < entries.size() ? entries[e].row : 0xFFFFFFFF,
                                                          written.done() ? 0xFFFFFFFF : written.row());
    const std::uint32_t block =
        std::min<std::uint32_t>(cellRow == 0xFFFFFFFF ? 0xFFFF : cellRow >> 5, r < MaxRows ? r >> 5 : 0xFFFF);
    for (; r < MaxRows && (r >> 5) == block; ++r, nextRow()) out.push_back(LayoutItem{r, 0, ItemKind::Row});
    for (;;) {
      const bool haveEntry = e < entries.size() && (entries[e].row >> 5) == block;
      const bool haveWritten = !written.done() && (written.row() >> 5) == block;
      if (!haveEntry && !haveWritten) break;
      const std::uint32_t writtenRow = haveWritten ? written.row() : 0;
      const std::uint32_t writtenCol = haveWritten ? written.key() & 0xFF : 0;
      if (haveEntry && (!haveWritten || entries[e].row < writtenRow ||
                        (entries[e].row == writtenRow && entries[e].colFirst <= writtenCol))) {
        emitEntry(entries[e++]);
      } else {
        const std::uint32_t k = written.key();
        out.push_back(LayoutItem{k, 0, ItemKind::Cell});
        cover(static_cast<std::uint16_t>(k >> 8), static_cast<std::uint16_t>(k & 0xFF),
              static_cast<std::uint16_t>(k & 0xFF));
        written.next();
      }
    }
  }
  for (std::size_t i = last + 1; i < recs.size(); ++i) out.push_back(original(recs, i));

  Bytes& body = layout.owned[dimensions.at].body;
  putU32(body, rwMic);
  putU32(body, rwMac);
  putU16(body, colMic);
  putU16(body, colMac);
  putU16(body, 0);
}

void Workbook::applyView(std::size_t index, SheetLayout& layout) const {
  const Sheet& sheet = sheets_[index];
  const bool active = index == activeSheet_;
  std::vector<LayoutItem>& items = layout.items;
  const ItemReader reader(stream_, records(sheet), sheet.cells, layout);
  std::size_t window2 = None, selection = None, eof = None;
  std::uint8_t pane = 3;
  int depth = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ItemKind kind = items[i].kind;
    if (kind == ItemKind::Row || kind == ItemKind::Cell || kind == ItemKind::MultiPart) continue;  // cells only
    const std::uint16_t id = reader.id(items[i]);
    if (id == rid::Bof) ++depth;
    const bool top = depth == 1;
    if (id == rid::Eof && --depth == 0) eof = i;
    if (!top) continue;
    const ByteView body = reader.body(items[i]);
    if (id == rid::Window2 && window2 == None && body.size() >= 2) {
      window2 = i;
      if (activeSheetChanged_) {
        Record w{rid::Window2, Bytes(body.begin(), body.end()), 0};
        const std::uint16_t grbit = getU16(w.body, 0);
        setU16(w.body, 0, active ? grbit | 0x0600 : grbit & ~0x0600);
        items[i] = owned(layout, std::move(w));
      }
    } else if (id == rid::Pane && body.size() >= 9) {
      pane = body[8];
    } else if (id == rid::Selection && !body.empty() && body[0] == pane) {
      selection = i;
    }
  }
  if (eof == None || sheet.kind != SheetKind::Worksheet) return;
  if (window2 == None && ((active && activeSheetChanged_) || sheet.activeCellChanged)) {
    Record w = defaultWindow2();
    if (!active) setU16(w.body, 0, 0x00B6);
    const LayoutItem item = owned(layout, std::move(w));
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(eof), item);
    window2 = eof++;
  }
  if (!sheet.activeCellChanged) return;
  Record sel{rid::Selection, {}, 0};
  const CellPosition& at = sheet.activeCell;
  putU8(sel.body, pane);
  putU16(sel.body, at.row);
  putU16(sel.body, at.column);
  putU16(sel.body, 0);  // the active cell is in the first range
  putU16(sel.body, 1);
  putU16(sel.body, at.row);
  putU16(sel.body, at.row);
  putU8(sel.body, static_cast<std::uint8_t>(at.column));
  putU8(sel.body, static_cast<std::uint8_t>(at.column));
  const LayoutItem item = owned(layout, std::move(sel));
  if (selection != None) {
    items[selection] = item;
    return;
  }
  std::size_t insertAt = window2 + 1;
  auto viewRecord = [&](std::size_t i) {
    const ItemKind kind = items[i].kind;
    if (kind == ItemKind::Row || kind == ItemKind::Cell || kind == ItemKind::MultiPart) return false;
    const std::uint16_t id = reader.id(items[i]);
    return id == rid::Pane || id == Scl || id == Plv || id == rid::Selection;
  };
  while (insertAt < eof && viewRecord(insertAt)) ++insertAt;
  items.insert(items.begin() + static_cast<std::ptrdiff_t>(insertAt), item);
}

}  // namespace kestrune::xls
