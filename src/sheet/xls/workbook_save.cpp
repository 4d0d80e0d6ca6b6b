// Saving: the Workbook stream is written straight into the compound file
// being built. Sheets are laid out first (workbook_layout.cpp), then the
// globals with sheet offsets and SST/EXTSST; the bytes of records nobody
// changed are copied from the stream as read.
#include "sheet/xls/atomic_file.h"
#include "sheet/xls/cfb_internal.h"
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/workbook_layout.h"

#include <algorithm>
#include <cstring>

namespace kestrune::xls {

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);

std::size_t writeRecord(std::uint8_t* out, const Record& r) {
  storeRecordHeader(out, r.id, r.body.size());
  if (!r.body.empty()) std::memcpy(out + RecordHeaderSize, r.body.data(), r.body.size());
  return RecordHeaderSize + r.body.size();
}

// A sheet as the save writes it: its items, the body size its INDEX records
// get (room for the position of every DBCELL), its size in the stream.
struct SheetOut {
  SheetLayout layout;
  std::size_t indexSize = 0;
  std::uint64_t size = 0;
};

// Sizes a laid-out sheet; its LABELSST records count into `stringRefs`.
void measureSheet(SheetOut& out, const ItemReader& reader, std::uint32_t& stringRefs) {
  std::size_t dbCells = 0;
  for (const LayoutItem& item : out.layout.items) {
    const std::uint16_t id = reader.id(item);
    if (id == rid::LabelSst) ++stringRefs;
    if (id == rid::DbCell) ++dbCells;
  }
  out.indexSize = IndexRecord::FixedSize + 4 * dbCells;
  for (const LayoutItem& item : out.layout.items)
    out.size += RecordHeaderSize + (std::holds_alternative<RewrittenIndex>(item) ? out.indexSize : reader.size(item));
}

// Writes a sheet's items at `base + at` and moves `at` past them. The INDEX
// gets the stream positions of DEFCOLWIDTH and of the DBCELLs that follow
// it. False when the sizes measured before do not hold: a fault, not a file.
bool writeSheet(const SheetOut& out, const ItemReader& reader, std::uint8_t* base, std::size_t& at,
                std::uint64_t total) {
  std::size_t indexBody = None, nextDbCell = 0;
  for (const LayoutItem& item : out.layout.items) {
    const bool isIndex = std::holds_alternative<RewrittenIndex>(item);
    const std::size_t size = RecordHeaderSize + (isIndex ? out.indexSize : reader.size(item));
    if (size > total - at) return false;
    reader.write(item, base + at, out.indexSize);
    if (isIndex) indexBody = at + RecordHeaderSize;
    const std::uint16_t id = std::holds_alternative<CopiedRecord>(item) ? reader.id(item) : 0;
    const auto position = static_cast<std::uint32_t>(at);
    if (indexBody != None && id == rid::DefColWidth)
      storeU32(base + indexBody + IndexRecord::DefColWidthPositionAt, position);
    const std::size_t dbCellAt = IndexRecord::DbCellPositionsAt + 4 * nextDbCell;
    if (indexBody != None && id == rid::DbCell && dbCellAt + 4 <= out.indexSize) {
      storeU32(base + indexBody + dbCellAt, position);
      ++nextDbCell;
    }
    at += size;
  }
  return true;
}

}  // namespace

namespace {

GlobalsInsertion insertionPoints(const std::vector<Record>& globals) {
  std::size_t lastFormat = None, firstXf = None, lastXf = None, firstBoundSheet = None;
  for (std::size_t i = 0; i < globals.size(); ++i) {
    const std::uint16_t id = globals[i].id;
    if (id == rid::Format) lastFormat = i;
    if (id == rid::Xf) {
      if (firstXf == None) firstXf = i;
      lastXf = i;
    }
    if (id == rid::BoundSheet && firstBoundSheet == None) firstBoundSheet = i;
  }
  // New FORMATs go after the last FORMAT, new XFs after the last XF.
  GlobalsInsertion at;
  at.formatsAfter = lastFormat != None ? lastFormat : (firstXf != None ? firstXf : firstBoundSheet) - 1;
  at.xfsAfter = lastXf != None ? lastXf : at.formatsAfter;
  return at;
}

// WINDOW1 naming the sheet made active since the workbook was read.
void showActiveSheet(Bytes& window1, std::size_t activeSheet) {
  const auto active = static_cast<std::uint16_t>(activeSheet);
  setU16(window1, Window1Record::ActiveSheetAt, active);
  // Keep the active tab scrolled into view.
  if (getU16(window1, Window1Record::FirstTabAt) > active) setU16(window1, Window1Record::FirstTabAt, active);
  setU16(window1, Window1Record::SelectedTabsAt, 1);
}

// The SST block rebuilt from the strings, and an EXTSST to be filled in
// once the block's offset in the stream is known.
void appendSst(const SstStrings& strings, std::uint32_t totalRefs, GlobalsOut& out) {
  out.sstAt = out.records.size();
  std::vector<Record> block = buildSst(strings, totalRefs, out.sstPositions);
  out.records.insert(out.records.end(), std::make_move_iterator(block.begin()), std::make_move_iterator(block.end()));
  out.extSstAt = out.records.size();
  out.records.push_back(Record{rid::ExtSst, {}, 0});
}

// Gives the EXTSST its bucket offsets and each BOUNDSHEET its sheet's
// position, the sheets following the globals in order. Returns the stream's
// total size.
XlsResult<std::uint64_t> patchOffsets(GlobalsOut& globals, const std::vector<std::uint64_t>& sheetSizes) {
  std::uint64_t offset = 0;
  std::uint32_t sstOffset = 0;
  for (std::size_t i = 0; i < globals.records.size(); ++i) {
    if (i == globals.sstAt) sstOffset = static_cast<std::uint32_t>(offset);
    offset += recordSize(globals.records[i]);
  }
  if (globals.extSstAt != None) {
    const std::vector<Record> block(globals.records.begin() + static_cast<std::ptrdiff_t>(globals.sstAt),
                                    globals.records.begin() + static_cast<std::ptrdiff_t>(globals.extSstAt));
    globals.records[globals.extSstAt] = buildExtSst(block, globals.sstPositions, sstOffset);
    offset += globals.records[globals.extSstAt].body.size();  // it was empty when counted
  }
  std::uint64_t total = offset;
  for (std::size_t s = 0; s < sheetSizes.size(); ++s) {
    if (globals.boundSheetAt[s] != None)
      setU32(globals.records[globals.boundSheetAt[s]].body, BoundSheetRecord::PositionAt,
             static_cast<std::uint32_t>(total));
    total += sheetSizes[s];
    if (total > cfbconst::MaxStreamSize)
      return xlsFail(XlsErrorCode::TooLargeToSave, "the workbook is too large to save");
  }
  return total;
}

}  // namespace

GlobalsOut Workbook::buildGlobals(std::uint32_t totalRefs) const {
  const GlobalsInsertion at = insertionPoints(globals_);
  GlobalsOut out;
  out.records.reserve(globals_.size() + 16);
  out.boundSheetAt.assign(sheets_.size(), None);
  for (std::size_t i = 0; i < globals_.size(); ++i)
    if (copyGlobal(i, totalRefs, out)) insertNewFormatsAndXfs(i, at, out);
  return out;
}

// Copies the record at `i` of the globals as read, or what replaces it: the
// rebuilt SST block for the SST (`i` moves past its CONTINUEs). False when
// nothing may be inserted after it (an SST block, a dropped EXTSST).
bool Workbook::copyGlobal(std::size_t& i, std::uint32_t totalRefs, GlobalsOut& out) const {
  const Record& r = globals_[i];
  if (r.id == rid::Sst && out.sstAt == None) {
    appendSst(sst_, totalRefs, out);
    while (i + 1 < globals_.size() && globals_[i + 1].id == rid::Continue) ++i;
    return false;
  }
  if (r.id == rid::ExtSst) return false;  // rebuilt right after the SST
  // A workbook without an SST that now holds strings gets one before its EOF.
  if (r.id == rid::Eof && i + 1 == globals_.size() && out.sstAt == None && !sst_.empty())
    appendSst(sst_, totalRefs, out);
  out.records.push_back(r);
  if (r.id == rid::Window1 && activeSheetChanged_ && r.body.size() >= Window1Record::SelectedTabsAt + 2)
    showActiveSheet(out.records.back().body, activeSheet_);
  if (r.id == rid::BoundSheet)
    for (std::size_t s = 0; s < sheets_.size(); ++s)
      if (sheets_[s].boundSheetRecord == i) out.boundSheetAt[s] = out.records.size() - 1;
  return true;
}

void Workbook::insertNewFormatsAndXfs(std::size_t i, const GlobalsInsertion& at, GlobalsOut& out) const {
  if (i == at.formatsAfter) out.records.insert(out.records.end(), newFormats_.begin(), newFormats_.end());
  if (i == at.xfsAfter)
    for (std::size_t x = originalXfCount_; x < xfs_.size(); ++x) out.records.push_back(Record{rid::Xf, xfs_[x], 0});
}

XlsResult<Bytes> Workbook::toBytes() const {
  auto readerFor = [&](std::size_t s, const SheetOut& out) {
    return ItemReader(stream_, records(sheets_[s]), sheets_[s].cells, out.layout);
  };
  std::vector<SheetOut> sheets(sheets_.size());
  std::uint32_t totalRefs = 0;
  for (std::size_t s = 0; s < sheets_.size(); ++s) {
    sheets[s].layout = layoutSheet(s);
    measureSheet(sheets[s], readerFor(s, sheets[s]), totalRefs);
  }
  GlobalsOut globalsOut = buildGlobals(totalRefs);
  std::vector<std::uint64_t> sheetSizes;
  for (const SheetOut& sheet : sheets) sheetSizes.push_back(sheet.size);
  const XlsResult<std::uint64_t> sized = patchOffsets(globalsOut, sheetSizes);
  if (!sized) return sized.error();
  const std::uint64_t total = sized.value();
  const std::vector<Record>& globals = globalsOut.records;
  // Excel expects the Workbook stream outside the mini stream: pad to the cutoff.
  const std::uint64_t streamSize = std::max<std::uint64_t>(total, cfbconst::MiniStreamCutoff);

  auto fill = [&](std::span<std::uint8_t> dest) {
    if (dest.size() != streamSize) return false;
    std::uint8_t* const base = dest.data();
    std::size_t at = 0, encryptFrom = None;
    for (const Record& r : globals) {
      if (recordSize(r) > total - at) return false;
      at += writeRecord(base + at, r);
      if (r.id == rid::FilePass && encryptFrom == None) encryptFrom = at;
    }
    for (std::size_t s = 0; s < sheets_.size(); ++s)
      if (!writeSheet(sheets[s], readerFor(s, sheets[s]), base, at, total)) return false;
    if (at != total) return false;
    if (cipher_ && encryptFrom != None) cipher_->apply(dest.first(total), encryptFrom);
    std::fill(dest.begin() + static_cast<std::ptrdiff_t>(at), dest.end(), std::uint8_t{0});
    return true;
  };
  if (cfb_.root().child(streamName_)) return cfb_.serialize(streamName_, streamSize, fill);
  CompoundFile file = cfb_;
  file.root().children.push_back(CfbEntry{});
  file.root().children.back().name = streamName_;
  return file.serialize(streamName_, streamSize, fill);
}

XlsStatus Workbook::save(const std::string& path) const {
  auto bytes = toBytes();
  if (!bytes) return bytes.error();
  return writeFileAtomically(path, bytes.value());
}

}  // namespace kestrune::xls
