// Saving: sheets are laid out and measured first (workbook_layout.cpp; a
// rewritten cell area is made as it is written, twice: once to size it, once
// to write it), then the globals with sheet offsets and the planned
// SST/EXTSST. The Workbook stream then goes record by record into the
// compound file being written to its sink; the bytes of records nobody
// changed are copied from the stream as read.
#include "sheet/xls/atomic_file.h"
#include "sheet/xls/cfb_internal.h"
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/workbook_layout.h"

#include <algorithm>
#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>  // malloc_trim: glibc keeps freed heap pages otherwise
#endif

namespace kestrune::xls {

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);
// What the stream writer gathers before it hands bytes to the sink.
constexpr std::size_t StreamBufferSize = 64 * 1024;
// Saves of this size and more give their freed memory back to the system.
constexpr std::uint64_t TrimAfterSaveBytes = 1024 * 1024;

void releaseFreeMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

// The Workbook stream on its way to the sink, gathered in a small buffer.
// After a failed write nothing more is written.
class StreamOut {
public:
  explicit StreamOut(ByteSink& sink) : sink_(sink), buffer_(StreamBufferSize) {}
  // Room for `n` bytes, to be taken with commit(n).
  std::uint8_t* room(std::size_t n) {
    if (used_ + n > buffer_.size()) {
      flush();
      if (n > buffer_.size()) buffer_.resize(n);
    }
    return buffer_.data() + used_;
  }
  void commit(std::size_t n) {
    used_ += n;
    written_ += n;
  }
  void record(std::uint16_t id, ByteView body) {
    std::uint8_t* p = room(RecordHeaderSize + body.size());
    storeRecordHeader(p, id, body.size());
    if (!body.empty()) std::memcpy(p + RecordHeaderSize, body.data(), body.size());
    commit(RecordHeaderSize + body.size());
  }
  bool flush() {
    if (ok_ && used_ > 0) ok_ = sink_.write(ByteView(buffer_.data(), used_));
    used_ = 0;
    return ok_;
  }
  std::uint64_t written() const { return written_; }

private:
  ByteSink& sink_;
  Bytes buffer_;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  bool ok_ = true;
};

// A position the INDEX of a sheet gets once the sheet is sized: that of a
// DEFCOLWIDTH or DBCELL after it, counted from the sheet's start.
struct IndexPatch {
  std::uint32_t index = 0;  // which INDEX of the sheet
  std::size_t bodyAt = 0;   // where in its body
  std::uint64_t rawAt = 0;  // the position with every INDEX before it counted as a bare header
  std::uint32_t indexesBefore = 0;
};

// A sheet as the save writes it: its items, the body size its INDEX records
// get (room for the position of every DBCELL), its size in the stream.
struct SheetOut {
  SheetLayout layout;
  std::size_t indexSize = 0;
  std::uint64_t size = 0;
  std::vector<IndexPatch> patches;
};

// Sizes a sheet's items, the cell area's included; its LABELSST records count
// into `stringRefs`.
class SheetMeasure final : public ItemOutput {
public:
  SheetMeasure(SheetOut& out, const ItemReader& reader, std::uint32_t& stringRefs)
      : out_(out), reader_(reader), stringRefs_(stringRefs) {}

  void item(const LayoutItem& item) override {
    if (std::holds_alternative<CellAreaItem>(item)) {
      if (out_.layout.area) out_.layout.area->emit(*this, out_.layout);
      return;
    }
    const std::uint16_t id = reader_.id(item);
    if (std::holds_alternative<RewrittenIndex>(item)) {
      ++indexes_;
      at_ += RecordHeaderSize;
      return;
    }
    count(id);
    if (indexes_ > 0 && std::holds_alternative<CopiedRecord>(item)) {
      if (id == rid::DefColWidth)
        out_.patches.push_back({indexes_ - 1, IndexRecord::DefColWidthPositionAt, at_, indexes_});
      if (id == rid::DbCell)
        out_.patches.push_back({indexes_ - 1, IndexRecord::DbCellPositionsAt + 4 * nextDbCell_++, at_, indexes_});
    }
    at_ += RecordHeaderSize + reader_.size(item);
  }
  void made(const Record& record) override {
    count(record.id);
    at_ += recordSize(record);
  }
  // The INDEX size and the sheet's size, once every item was seen.
  void finish() {
    out_.indexSize = IndexRecord::FixedSize + 4 * dbCells_;
    out_.size = at_ + std::uint64_t{indexes_} * out_.indexSize;
    std::erase_if(out_.patches, [&](const IndexPatch& p) { return p.bodyAt + 4 > out_.indexSize; });
  }

private:
  void count(std::uint16_t id) {
    if (id == rid::LabelSst) ++stringRefs_;
    if (id == rid::DbCell) ++dbCells_;
  }

  SheetOut& out_;
  const ItemReader& reader_;
  std::uint32_t& stringRefs_;
  std::uint64_t at_ = 0;
  std::uint32_t indexes_ = 0;
  std::size_t dbCells_ = 0;
  std::size_t nextDbCell_ = 0;
};

// Writes a sheet's items. Each INDEX gets the stream positions of
// DEFCOLWIDTH and of the DBCELLs that follow it.
class SheetWrite final : public ItemOutput {
public:
  SheetWrite(SheetOut& out, const ItemReader& reader, StreamOut& stream)
      : out_(out), reader_(reader), stream_(stream), start_(stream.written()) {}

  void item(const LayoutItem& item) override {
    if (std::holds_alternative<CellAreaItem>(item)) {
      if (out_.layout.area) out_.layout.area->emit(*this, out_.layout);
      return;
    }
    const bool isIndex = std::holds_alternative<RewrittenIndex>(item);
    const std::size_t size = RecordHeaderSize + (isIndex ? out_.indexSize : reader_.size(item));
    std::uint8_t* p = stream_.room(size);
    reader_.write(item, p, out_.indexSize);
    if (isIndex) {
      for (; patch_ < out_.patches.size() && out_.patches[patch_].index == index_; ++patch_) {
        const IndexPatch& f = out_.patches[patch_];
        const std::uint64_t at = start_ + f.rawAt + std::uint64_t{f.indexesBefore} * out_.indexSize;
        storeU32(p + RecordHeaderSize + f.bodyAt, static_cast<std::uint32_t>(at));
      }
      ++index_;
    }
    stream_.commit(size);
  }
  void made(const Record& record) override { stream_.record(record.id, record.body); }
  // True when the sheet took the size it was measured at.
  bool sized() const { return stream_.written() - start_ == out_.size; }

private:
  SheetOut& out_;
  const ItemReader& reader_;
  StreamOut& stream_;
  std::uint64_t start_;
  std::uint32_t index_ = 0;
  std::size_t patch_ = 0;
};

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

// The SST block, planned now and written with the stream, and an EXTSST
// to be filled in once the block's offset in the stream is known.
template <class Strings>
void appendSst(const Strings& strings, std::uint32_t totalRefs, GlobalsOut& out) {
  out.sstAt = out.records.size();
  out.records.push_back(Record{rid::Sst, {}, 0});
  out.sst = planSst(strings);
  out.sstTotalRefs = totalRefs;
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
    if (i == globals.sstAt) {
      sstOffset = static_cast<std::uint32_t>(offset);
      offset += globals.sst.size();
    } else {
      offset += recordSize(globals.records[i]);
    }
  }
  if (globals.extSstAt != None) {
    globals.records[globals.extSstAt] = extSstFromPlan(globals.sst, sstOffset);
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
  BytesSink out;
  if (auto st = writeTo(out); !st) return st.error();
  return std::move(out.data);
}

XlsStatus Workbook::writeTo(ByteSink& sink) const {
  auto readerFor = [&](std::size_t s, const SheetOut& out) {
    return ItemReader(stream_, records(sheets_[s]), sheets_[s].cells, out.layout);
  };
  std::vector<SheetOut> sheets(sheets_.size());
  std::uint32_t totalRefs = 0;
  for (std::size_t s = 0; s < sheets_.size(); ++s) {
    sheets[s].layout = layoutSheet(s);
    const ItemReader reader = readerFor(s, sheets[s]);
    SheetMeasure measure(sheets[s], reader, totalRefs);
    for (const LayoutItem& item : sheets[s].layout.items) measure.item(item);
    measure.finish();
  }
  GlobalsOut globalsOut = buildGlobals(totalRefs);
  std::vector<std::uint64_t> sheetSizes;
  for (const SheetOut& sheet : sheets) sheetSizes.push_back(sheet.size);
  const XlsResult<std::uint64_t> sized = patchOffsets(globalsOut, sheetSizes);
  if (!sized) return sized.error();
  const std::uint64_t total = sized.value();
  // Excel expects the Workbook stream outside the mini stream: pad to the cutoff.
  const std::uint64_t streamSize = std::max<std::uint64_t>(total, cfbconst::MiniStreamCutoff);

  // Writes the stream; false when it did not come out at the size measured
  // (a fault, not a file) or the sink failed.
  auto writeStream = [&](ByteSink& out) {
    StreamOut stream(out);
    for (std::size_t i = 0; i < globalsOut.records.size(); ++i) {
      const Record& r = globalsOut.records[i];
      if (i == globalsOut.sstAt) {
        layOutSst(sst_, globalsOut.sstTotalRefs, globalsOut.sst.perBucket, nullptr,
                  [&, first = true](ByteView body) mutable {
                    stream.record(first ? rid::Sst : rid::Continue, body);
                    first = false;
                  });
        continue;
      }
      stream.record(r.id, r.body);
    }
    for (std::size_t s = 0; s < sheets_.size(); ++s) {
      const ItemReader reader = readerFor(s, sheets[s]);
      SheetWrite write(sheets[s], reader, stream);
      for (const LayoutItem& item : sheets[s].layout.items) write.item(item);
      if (!write.sized()) return false;
    }
    if (stream.written() != total) return false;
    if (const std::uint64_t pad = streamSize - total; pad > 0) {
      std::memset(stream.room(pad), 0, pad);
      stream.commit(pad);
    }
    return stream.flush();
  };
  CompoundFile::StreamFill fill = writeStream;
  if (cipher_) {
    // An encrypted stream is made whole in memory, encrypted, then written.
    fill = [&](ByteSink& out) {
      BytesSink plain;
      plain.data.reserve(static_cast<std::size_t>(streamSize));
      if (!writeStream(plain)) return false;
      std::size_t encryptFrom = None;
      for (std::size_t at = 0; at + RecordHeaderSize <= total;) {
        const std::uint16_t id = getU16(plain.data, at);
        at += RecordHeaderSize + getU16(plain.data, at + 2);
        if (id == rid::FilePass) {
          encryptFrom = at;
          break;
        }
      }
      if (encryptFrom != None) cipher_->apply(std::span<std::uint8_t>(plain.data).first(total), encryptFrom);
      return out.write(plain.data);
    };
  }
  if (cfb_.root().child(streamName_)) return cfb_.write(sink, streamName_, streamSize, fill);
  CompoundFile file = cfb_;
  file.root().children.push_back(CfbEntry{});
  file.root().children.back().name = streamName_;
  return file.write(sink, streamName_, streamSize, fill);
}

XlsStatus Workbook::save(const std::string& path) const {
  std::uint64_t written = 0;
  const XlsStatus saved = writeFileAtomically(path, [&](ByteSink& out) {
    CountingSink counted(out);
    XlsStatus st = writeTo(counted);
    written = counted.count();
    return st;
  });
  // The save's working memory (layouts, plans, buffers) is free now; hand it
  // back to the system so a long run does not keep the peak of its largest save.
  if (written >= TrimAfterSaveBytes) releaseFreeMemory();
  return saved;
}

}  // namespace kestrune::xls
