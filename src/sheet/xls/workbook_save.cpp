// Saving: rebuild the Workbook stream from the kept records. Sheets with
// written cells get their cell area re-laid in row/column order (INDEX and
// DBCELL dropped there); other sheets are copied and only their INDEX
// offsets refreshed. Then sheet offsets, SST/EXTSST and the view records.
#include "sheet/xls/atomic_file.h"
#include "sheet/xls/workbook.h"

#include <algorithm>
#include <set>

namespace kestrune::xls {

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);
constexpr std::uint16_t Scl = 0x00A0;
constexpr std::uint16_t Plv = 0x088B;

std::uint32_t key(std::uint32_t row, std::uint32_t col) { return (row << 8) | col; }

bool isDependent(std::uint16_t id) {
  return id == rid::String || id == rid::ShrFmla || id == rid::Array || id == rid::Table;
}

// A cell record with what follows it (STRING, SHRFMLA, ...).
struct CellEntry {
  std::uint16_t row = 0;
  std::uint16_t colFirst = 0;
  std::uint16_t colLast = 0;
  std::size_t seq = 0;
  std::vector<Record> records;
};

// Last column of a MULRK/MULBLANK, or None when the record is malformed.
std::size_t multiLastColumn(const Record& r) {
  const std::size_t unit = r.id == rid::MulRk ? 6 : 2;
  if (r.body.size() < 6 + unit || (r.body.size() - 6) % unit != 0) return None;
  const std::size_t n = (r.body.size() - 6) / unit;
  const std::size_t last = getU16(r.body, r.body.size() - 2);
  return last == getU16(r.body, 2) + n - 1 ? last : None;
}

void expandMulti(const Record& r, std::vector<CellEntry>& out, std::size_t& seq) {
  const std::uint16_t row = getU16(r.body, 0);
  const std::uint16_t first = getU16(r.body, 2);
  const std::size_t unit = r.id == rid::MulRk ? 6 : 2;
  const std::size_t n = (r.body.size() - 6) / unit;
  for (std::size_t k = 0; k < n; ++k) {
    Record single{r.id == rid::MulRk ? rid::Rk : rid::Blank, {}, 0};
    putU16(single.body, row);
    putU16(single.body, static_cast<std::uint16_t>(first + k));
    const auto at = static_cast<std::ptrdiff_t>(4 + unit * k);
    single.body.insert(single.body.end(), r.body.begin() + at, r.body.begin() + at + static_cast<std::ptrdiff_t>(unit));
    const auto col = static_cast<std::uint16_t>(first + k);
    out.push_back(CellEntry{row, col, col, seq++, {std::move(single)}});
  }
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

}  // namespace

std::vector<Record> Workbook::rebuildSheet(const Sheet& sheet) const {
  const std::vector<Record>& recs = sheet.records;
  if (sheet.pending.empty()) return recs;
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

  std::map<std::uint16_t, Record> rows;
  std::vector<Record> leading;
  std::vector<CellEntry> entries;
  std::size_t seq = 0;
  for (std::size_t i = first; i <= last && last != first - 1; ++i) {
    const Record& r = recs[i];
    if (!topLevel[i]) {
      (entries.empty() ? leading : entries.back().records).push_back(r);
      continue;
    }
    if (r.id == rid::Row && r.body.size() >= 16) {
      rows.emplace(getU16(r.body, 0), r);
    } else if (r.id == rid::DbCell) {
      continue;  // row block offsets are not kept for rewritten sheets
    } else if (isCellRecord(r.id) && r.body.size() >= 6) {
      const std::uint16_t row = getU16(r.body, 0);
      const std::uint16_t col = getU16(r.body, 2);
      std::uint16_t colLast = col;
      if (r.id == rid::MulRk || r.id == rid::MulBlank) {
        const std::size_t lastCol = multiLastColumn(r);
        if (lastCol != None) {
          colLast = static_cast<std::uint16_t>(lastCol);
          auto hit = sheet.pending.lower_bound(key(row, col));
          if (hit != sheet.pending.end() && hit->first <= key(row, std::min<std::uint32_t>(colLast, 255))) {
            expandMulti(r, entries, seq);
            continue;
          }
        }
      }
      entries.push_back(CellEntry{row, col, colLast, seq++, {r}});
    } else {
      (entries.empty() ? leading : entries.back().records).push_back(r);
    }
  }

  // Replace written cells, then add the new ones.
  std::set<std::uint32_t> applied;
  for (CellEntry& e : entries) {
    if (e.colFirst != e.colLast || e.colFirst >= MaxColumns) continue;
    const std::uint32_t k = key(e.row, e.colFirst);
    auto p = sheet.pending.find(k);
    if (p == sheet.pending.end()) continue;
    std::vector<Record> kept;
    if (p->second && !applied.count(k)) kept.push_back(*p->second);
    for (std::size_t j = 1; j < e.records.size(); ++j)
      if (e.records[j].id != rid::String) kept.push_back(e.records[j]);
    e.records = std::move(kept);
    applied.insert(k);
  }
  for (const auto& [k, rec] : sheet.pending) {
    if (!rec) continue;
    const auto row = static_cast<std::uint16_t>(k >> 8);
    const auto col = static_cast<std::uint16_t>(k & 0xFF);
    if (!applied.count(k)) entries.push_back(CellEntry{row, col, col, seq++, {*rec}});
    auto it = rows.find(row);
    if (it == rows.end()) {
      Record r{rid::Row, {}, 0};
      putU16(r.body, row);
      putU16(r.body, col);
      putU16(r.body, static_cast<std::uint16_t>(col + 1));
      putU16(r.body, 0x00FF);
      putU16(r.body, 0);
      putU16(r.body, 0);
      putU32(r.body, 0x000F0100);
      rows.emplace(row, std::move(r));
    } else {
      Bytes& b = it->second.body;
      const std::uint16_t mic = getU16(b, 2), mac = getU16(b, 4);
      setU16(b, 2, mic == mac ? col : std::min(mic, col));
      setU16(b, 4, mic == mac ? static_cast<std::uint16_t>(col + 1) : std::max<std::uint16_t>(mac, col + 1));
    }
  }
  std::stable_sort(entries.begin(), entries.end(), [](const CellEntry& a, const CellEntry& b) {
    return a.row != b.row ? a.row < b.row : a.colFirst != b.colFirst ? a.colFirst < b.colFirst : a.seq < b.seq;
  });

  // DIMENSIONS from the cells that remain.
  std::uint32_t rwMic = 0, rwMac = 0;
  std::uint16_t colMic = 0, colMac = 0;
  bool any = false;
  for (const CellEntry& e : entries) {
    if (e.records.empty() || !isCellRecord(e.records[0].id)) continue;
    const std::uint16_t lastCol = std::min<std::uint16_t>(e.colLast, 255);
    if (!any) {
      rwMic = e.row, rwMac = e.row + 1u, colMic = e.colFirst, colMac = static_cast<std::uint16_t>(lastCol + 1);
      any = true;
    }
    rwMic = std::min<std::uint32_t>(rwMic, e.row);
    rwMac = std::max<std::uint32_t>(rwMac, e.row + 1u);
    colMic = std::min(colMic, e.colFirst);
    colMac = std::max<std::uint16_t>(colMac, lastCol + 1);
  }
  Record dimensions{rid::Dimensions, {}, 0};
  putU32(dimensions.body, rwMic);
  putU32(dimensions.body, rwMac);
  putU16(dimensions.body, colMic);
  putU16(dimensions.body, colMac);
  putU16(dimensions.body, 0);

  std::vector<Record> out;
  out.reserve(recs.size() + sheet.pending.size() * 2);
  for (std::size_t i = 0; i < first; ++i) {
    if (topLevel[i] && recs[i].id == rid::Index) continue;  // no DBCELLs to point at any more
    out.push_back(i == dims ? dimensions : recs[i]);
  }
  if (dims == None) out.push_back(dimensions);
  out.insert(out.end(), leading.begin(), leading.end());
  std::size_t e = 0;
  auto r = rows.begin();
  while (e < entries.size() || r != rows.end()) {
    const std::uint32_t block = std::min<std::uint32_t>(e < entries.size() ? entries[e].row >> 5 : 0xFFFF,
                                                         r != rows.end() ? r->first >> 5 : 0xFFFF);
    for (; r != rows.end() && (r->first >> 5) == block; ++r) out.push_back(r->second);
    for (; e < entries.size() && (entries[e].row >> 5) == block; ++e)
      out.insert(out.end(), entries[e].records.begin(), entries[e].records.end());
  }
  out.insert(out.end(), recs.begin() + static_cast<std::ptrdiff_t>(last + 1), recs.end());
  return out;
}

void Workbook::applyView(std::size_t index, std::vector<Record>& recs) const {
  const Sheet& sheet = sheets_[index];
  const bool active = index == activeSheet_;
  std::size_t window2 = None, selection = None, eof = None;
  std::uint8_t pane = 3;
  int depth = 0;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    if (recs[i].id == rid::Bof) ++depth;
    const bool top = depth == 1;
    if (recs[i].id == rid::Eof && --depth == 0) eof = i;
    if (!top) continue;
    Record& r = recs[i];
    if (r.id == rid::Window2 && window2 == None && r.body.size() >= 2) {
      window2 = i;
      if (activeSheetChanged_) {
        const std::uint16_t grbit = getU16(r.body, 0);
        setU16(r.body, 0, active ? grbit | 0x0600 : grbit & ~0x0600);
      }
    } else if (r.id == rid::Pane && r.body.size() >= 9) {
      pane = r.body[8];
    } else if (r.id == rid::Selection && !r.body.empty() && r.body[0] == pane) {
      selection = i;
    }
  }
  if (eof == None || sheet.kind != SheetKind::Worksheet) return;
  if (window2 == None && ((active && activeSheetChanged_) || sheet.activeCellChanged)) {
    Record w = defaultWindow2();
    if (!active) setU16(w.body, 0, 0x00B6);
    recs.insert(recs.begin() + static_cast<std::ptrdiff_t>(eof), std::move(w));
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
  if (selection != None) {
    recs[selection] = std::move(sel);
    return;
  }
  std::size_t insertAt = window2 + 1;
  while (insertAt < eof && (recs[insertAt].id == rid::Pane || recs[insertAt].id == Scl ||
                            recs[insertAt].id == Plv || recs[insertAt].id == rid::Selection))
    ++insertAt;
  recs.insert(recs.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(sel));
}

std::vector<Record> Workbook::buildGlobals(std::vector<std::size_t>& boundSheetAt, std::size_t& sstAt,
                                           std::size_t& extSstAt, std::vector<SstPosition>& sstPositions,
                                           std::uint32_t totalRefs) const {
  std::size_t lastFormat = None, firstXf = None, lastXf = None, firstBoundSheet = None;
  for (std::size_t i = 0; i < globals_.size(); ++i) {
    const std::uint16_t id = globals_[i].id;
    if (id == rid::Format) lastFormat = i;
    if (id == rid::Xf) {
      if (firstXf == None) firstXf = i;
      lastXf = i;
    }
    if (id == rid::BoundSheet && firstBoundSheet == None) firstBoundSheet = i;
  }
  // New FORMATs go after the last FORMAT, new XFs after the last XF, so
  // existing XF indexes stay valid.
  const std::size_t formatsAfter =
      lastFormat != None ? lastFormat : (firstXf != None ? firstXf : firstBoundSheet) - 1;
  const std::size_t xfsAfter = lastXf != None ? lastXf : formatsAfter;

  std::vector<Record> out;
  out.reserve(globals_.size() + 16);
  sstAt = extSstAt = None;
  boundSheetAt.assign(sheets_.size(), None);
  auto emitSst = [&] {
    sstAt = out.size();
    std::vector<Record> block = buildSst(sst_, totalRefs, sstPositions);
    out.insert(out.end(), std::make_move_iterator(block.begin()), std::make_move_iterator(block.end()));
  };
  for (std::size_t i = 0; i < globals_.size(); ++i) {
    const Record& r = globals_[i];
    if (r.id == rid::Sst && sstAt == None) {
      emitSst();
      while (i + 1 < globals_.size() && globals_[i + 1].id == rid::Continue) ++i;
      extSstAt = out.size();
      out.push_back(Record{rid::ExtSst, {}, 0});
      continue;
    }
    if (r.id == rid::ExtSst) continue;  // rebuilt right after the SST
    if (r.id == rid::Eof && i + 1 == globals_.size() && sstAt == None && !sst_.empty()) {
      emitSst();
      extSstAt = out.size();
      out.push_back(Record{rid::ExtSst, {}, 0});
    }
    out.push_back(r);
    if (r.id == rid::Window1 && activeSheetChanged_ && out.back().body.size() >= 16) {
      Bytes& b = out.back().body;
      const auto active = static_cast<std::uint16_t>(activeSheet_);
      setU16(b, 10, active);
      if (getU16(b, 12) > active) setU16(b, 12, active);  // keep the active tab scrolled into view
      setU16(b, 14, 1);
    }
    if (r.id == rid::BoundSheet)
      for (std::size_t s = 0; s < sheets_.size(); ++s)
        if (sheets_[s].boundSheetRecord == i) boundSheetAt[s] = out.size() - 1;
    if (i == formatsAfter) out.insert(out.end(), newFormats_.begin(), newFormats_.end());
    if (i == xfsAfter)
      for (std::size_t x = originalXfCount_; x < xfs_.size(); ++x) out.push_back(Record{rid::Xf, xfs_[x], 0});
  }
  return out;
}

XlsResult<Bytes> Workbook::toBytes() const {
  std::vector<std::vector<Record>> sheetRecords;
  sheetRecords.reserve(sheets_.size());
  std::uint32_t totalRefs = 0;
  for (std::size_t s = 0; s < sheets_.size(); ++s) {
    std::vector<Record> recs = rebuildSheet(sheets_[s]);
    applyView(s, recs);
    std::size_t dbcells = 0;
    for (const Record& r : recs) {
      if (r.id == rid::LabelSst) ++totalRefs;
      if (r.id == rid::DbCell) ++dbcells;
    }
    for (Record& r : recs)
      if (r.id == rid::Index && r.body.size() >= 16) r.body.resize(16 + 4 * dbcells, 0);
    sheetRecords.push_back(std::move(recs));
  }
  std::vector<std::size_t> boundSheetAt;
  std::size_t sstAt = None, extSstAt = None;
  std::vector<SstPosition> positions;
  std::vector<Record> globals = buildGlobals(boundSheetAt, sstAt, extSstAt, positions, totalRefs);

  std::uint32_t offset = 0;
  std::uint32_t sstOffset = 0;
  for (std::size_t i = 0; i < globals.size(); ++i) {
    if (i == sstAt) sstOffset = offset;
    offset += static_cast<std::uint32_t>(recordSize(globals[i]));
  }
  if (extSstAt != None) {
    const std::vector<Record> block(globals.begin() + static_cast<std::ptrdiff_t>(sstAt),
                                    globals.begin() + static_cast<std::ptrdiff_t>(extSstAt));
    globals[extSstAt] = buildExtSst(block, positions, sstOffset);
    offset += static_cast<std::uint32_t>(globals[extSstAt].body.size());  // it was empty when counted
  }
  std::uint64_t total = offset;
  for (std::size_t s = 0; s < sheets_.size(); ++s) {
    if (boundSheetAt[s] != None) setU32(globals[boundSheetAt[s]].body, 0, static_cast<std::uint32_t>(total));
    // INDEX: absolute positions of this sheet's DBCELLs and of DEFCOLWIDTH.
    std::uint64_t at = total;
    Record* index = nullptr;
    std::size_t nextDbCell = 0;
    for (Record& r : sheetRecords[s]) {
      if (r.id == rid::Index && r.body.size() >= 16) index = &r;
      if (index && r.id == rid::DefColWidth) setU32(index->body, 12, static_cast<std::uint32_t>(at));
      if (index && r.id == rid::DbCell && 16 + 4 * nextDbCell + 4 <= index->body.size())
        setU32(index->body, 16 + 4 * nextDbCell++, static_cast<std::uint32_t>(at));
      at += recordSize(r);
    }
    total = at;
  }
  if (total > 0x7FFFFFFF) return xlsFail("the workbook is too large to save");
  Bytes stream;
  stream.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(total, 4096)));
  for (const Record& r : globals) appendRecord(stream, r);
  for (const auto& recs : sheetRecords)
    for (const Record& r : recs) appendRecord(stream, r);
  // Excel expects the Workbook stream outside the mini stream: pad to 4096.
  if (stream.size() < 4096) stream.resize(4096, 0);

  CompoundFile file = cfb_;
  CfbEntry* entry = file.root().child(streamName_);
  if (!entry) {
    file.root().children.push_back(CfbEntry{});
    entry = &file.root().children.back();
    entry->name = streamName_;
  }
  entry->data = std::move(stream);
  return file.serialize();
}

XlsStatus Workbook::save(const std::string& path) const {
  auto bytes = toBytes();
  if (!bytes) return bytes.error();
  return writeFileAtomically(path, bytes.value());
}

}  // namespace kestrune::xls
