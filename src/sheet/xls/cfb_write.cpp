// Compound file writer: version 3, 512-byte sectors. Layout: FAT sectors,
// DIFAT sectors, directory, MiniFAT, mini stream, then the large streams,
// each chain contiguous. Everything before the large streams is built in
// memory (it is small); the large streams go to the sink one after another. Sibling trees are rebuilt balanced from the
// sorted names, with the deepest level red so every path has the same black count.
#include "sheet/xls/cfb.h"
#include "sheet/xls/cfb_internal.h"

#include <algorithm>

namespace kestrune::xls {

using namespace cfbconst;

namespace {

constexpr std::uint32_t SectorSize = 1u << header::Version3SectorShift;
constexpr std::uint32_t IdsPerSector = SectorSize / 4;         // sector ids in a FAT sector
constexpr std::uint32_t DifatIdsPerSector = IdsPerSector - 1;  // the last id links to the next DIFAT sector
// Far more than any workbook needs (8 GiB); keeps every sector id well below
// the special values.
constexpr std::uint64_t MaxDataSectors = 0x00FFFFFF;
// Directory entry colours.
constexpr std::uint8_t Red = 0;
constexpr std::uint8_t Black = 1;

struct FlatEntry {
  const CfbEntry* entry = nullptr;
  std::uint32_t left = NoStream, right = NoStream, child = NoStream;
  std::uint8_t colour = Black;
  std::uint32_t start = EndOfChain;
  std::uint32_t size = 0;
  bool filled = false;  // data comes from the fill function
};

// A stream whose bytes are written in place by a function.
struct FilledStream {
  std::u16string_view name;
  std::uint64_t size = 0;
  const CompoundFile::StreamFill* fill = nullptr;
};

// Where the parts of the file go: how many sectors each takes and the
// first sector of each (sector ids count from the one after the header).
struct SectorPlan {
  std::uint32_t fatSectors = 1;
  std::uint32_t difatSectors = 0;
  std::uint32_t dirSectors = 0;
  std::uint32_t miniFatSectors = 0;
  std::uint32_t miniSectors = 0;
  std::uint32_t total = 0;  // every sector after the header
  std::uint32_t firstFat = 0;
  std::uint32_t firstDifat = EndOfChain;
  std::uint32_t firstDir = EndOfChain;
  std::uint32_t firstMiniFat = EndOfChain;
  std::uint32_t firstMini = EndOfChain;
};

class Writer {
public:
  Writer(const CfbEntry& root, FilledStream filled) : filled_(filled) { flatten(root, 0); }
  XlsStatus run(ByteSink& out);

private:
  // The directory: entries in depth-first order, sibling trees balanced.
  std::uint32_t flatten(const CfbEntry& entry, int depth);
  std::uint32_t buildSiblings(const std::vector<std::uint32_t>& ids, std::size_t lo, std::size_t hi, int depth,
                              std::vector<int>& depths);

  // The steps of run(), in order.
  XlsStatus placeStreams();
  XlsStatus appendToMiniStream(FlatEntry& entry);
  XlsStatus countSectors();
  void chainSectors();
  std::uint32_t chain(std::uint32_t count);
  void writeHeader();
  void writeDifatSectors();
  void writeFatSectors();
  void writeDirectory();
  void writeDirectoryEntry(std::size_t at, const FlatEntry& f, bool isRoot);
  void writeMiniFat();
  XlsStatus writeStreamData(ByteSink& out);

  std::size_t sectorAt(std::uint32_t sector) const { return static_cast<std::size_t>(sector + 1) * SectorSize; }

  std::vector<FlatEntry> flat_;
  FilledStream filled_;
  bool foundFilled_ = false;
  Bytes mini_;                          // the mini stream, whole mini sectors
  std::vector<std::uint32_t> miniFat_;  // one entry per mini sector
  std::vector<std::uint32_t> bigIds_;   // entries of the streams in regular sectors
  std::uint64_t bigSectors_ = 0;
  SectorPlan plan_;
  std::vector<std::uint32_t> fat_;
  std::uint32_t nextSector_ = 0;  // while chaining: the first sector not given out yet
  Bytes out_;                     // the header and every sector before the large streams
};

std::uint32_t Writer::flatten(const CfbEntry& entry, int depth) {
  const auto id = static_cast<std::uint32_t>(flat_.size());
  flat_.push_back(FlatEntry{&entry});
  if (filled_.fill && depth == 1 && entry.type == CfbType::Stream && !foundFilled_ &&
      compareCfbNames(entry.name, filled_.name) == 0) {
    flat_.back().filled = true;
    foundFilled_ = true;
  }
  std::vector<const CfbEntry*> sorted;
  for (const CfbEntry& c : entry.children) sorted.push_back(&c);
  std::sort(sorted.begin(), sorted.end(),
            [](const CfbEntry* a, const CfbEntry* b) { return compareCfbNames(a->name, b->name) < 0; });
  std::vector<std::uint32_t> ids;
  for (const CfbEntry* c : sorted) ids.push_back(flatten(*c, depth + 1));
  if (!ids.empty()) {
    std::vector<int> depths(ids.size(), 0);
    const std::uint32_t top = buildSiblings(ids, 0, ids.size(), 1, depths);
    const int deepest = *std::max_element(depths.begin(), depths.end());
    for (std::size_t i = 0; i < ids.size(); ++i)
      flat_[ids[i]].colour = (deepest > 1 && depths[i] == deepest) ? Red : Black;
    flat_[id].child = top;
  }
  return id;
}

std::uint32_t Writer::buildSiblings(const std::vector<std::uint32_t>& ids, std::size_t lo, std::size_t hi, int depth,
                                    std::vector<int>& depths) {
  if (lo >= hi) return NoStream;
  const std::size_t mid = lo + (hi - lo) / 2;
  depths[mid] = depth;
  flat_[ids[mid]].left = buildSiblings(ids, lo, mid, depth + 1, depths);
  flat_[ids[mid]].right = buildSiblings(ids, mid + 1, hi, depth + 1, depths);
  return ids[mid];
}

std::uint32_t sectorsFor(std::uint64_t bytes, std::uint32_t unit) {
  return static_cast<std::uint32_t>((bytes + unit - 1) / unit);
}

// The name, cut to 31 characters, and its length in bytes with the
// terminator (0 for no name).
void putEntryName(Bytes& out, std::size_t at, std::u16string_view name) {
  const std::size_t n = std::min<std::size_t>(name.size(), dirent::MaxNameChars);
  for (std::size_t i = 0; i < n; ++i) setU16(out, at + dirent::Name + 2 * i, name[i]);
  setU16(out, at + dirent::NameLength, static_cast<std::uint16_t>(n == 0 && name.empty() ? 0 : 2 * (n + 1)));
}

XlsStatus Writer::run(ByteSink& out) {
  if (filled_.fill && !foundFilled_)
    return xlsFail(XlsErrorCode::CannotSave, "the compound file has no stream to write");
  if (auto st = placeStreams(); !st) return st.error();
  if (auto st = countSectors(); !st) return st.error();
  chainSectors();
  const std::uint32_t leading =
      plan_.fatSectors + plan_.difatSectors + plan_.dirSectors + plan_.miniFatSectors + plan_.miniSectors;
  out_.assign(static_cast<std::size_t>(leading + 1) * SectorSize, 0);
  writeHeader();
  writeDifatSectors();
  writeFatSectors();
  writeDirectory();
  writeMiniFat();
  return writeStreamData(out);
}

// Streams under the cutoff go to the mini stream now; larger ones are
// counted and written into their own sectors at the end.
XlsStatus Writer::placeStreams() {
  for (std::uint32_t id = 1; id < flat_.size(); ++id) {
    FlatEntry& f = flat_[id];
    if (f.entry->type != CfbType::Stream) {
      f.start = 0;
      continue;
    }
    const std::uint64_t size = f.filled ? filled_.size : f.entry->data.size();
    if (size > MaxStreamSize) return xlsFail(XlsErrorCode::TooLargeToSave, "a stream is too large to write");
    f.size = static_cast<std::uint32_t>(size);
    if (size == 0) {
      f.start = EndOfChain;
    } else if (size < MiniStreamCutoff) {
      if (auto st = appendToMiniStream(f); !st) return st;
    } else {
      bigIds_.push_back(id);
      bigSectors_ += sectorsFor(size, SectorSize);
    }
  }
  return {};
}

XlsStatus Writer::appendToMiniStream(FlatEntry& f) {
  const auto first = static_cast<std::uint32_t>(miniFat_.size());
  const std::uint32_t n = sectorsFor(f.size, MiniSectorSize);
  for (std::uint32_t k = 0; k < n; ++k) miniFat_.push_back(k + 1 < n ? first + k + 1 : EndOfChain);
  f.start = first;
  if (f.filled) {
    BytesSink data;
    if (!(*filled_.fill)(data) || data.data.size() != f.size)
      return xlsFail(XlsErrorCode::CannotSave, "the stream could not be written");
    mini_.insert(mini_.end(), data.data.begin(), data.data.end());
  } else {
    mini_.insert(mini_.end(), f.entry->data.begin(), f.entry->data.end());
  }
  mini_.resize(static_cast<std::size_t>(miniFat_.size()) * MiniSectorSize, 0);
  return {};
}

// Enough FAT sectors for every sector of the file, themselves and the DIFAT
// sectors included; DIFAT sectors once the header's slots run out.
XlsStatus Writer::countSectors() {
  plan_.dirSectors = sectorsFor(flat_.size() * DirEntrySize, SectorSize);
  plan_.miniFatSectors = sectorsFor(miniFat_.size() * 4, SectorSize);
  plan_.miniSectors = sectorsFor(mini_.size(), SectorSize);
  const std::uint64_t dataSectors = plan_.dirSectors + plan_.miniFatSectors + plan_.miniSectors + bigSectors_;
  if (dataSectors > MaxDataSectors) return xlsFail(XlsErrorCode::TooLargeToSave, "the workbook is too large to write");
  for (;;) {
    plan_.difatSectors = plan_.fatSectors > HeaderDifatEntries
                             ? sectorsFor(plan_.fatSectors - HeaderDifatEntries, DifatIdsPerSector)
                             : 0;
    if (dataSectors + plan_.fatSectors + plan_.difatSectors <= std::uint64_t{plan_.fatSectors} * IdsPerSector) break;
    ++plan_.fatSectors;
  }
  plan_.total = static_cast<std::uint32_t>(dataSectors) + plan_.fatSectors + plan_.difatSectors;
  return {};
}

// The FAT: FAT sectors, DIFAT sectors, then one contiguous chain each for
// the directory, the MiniFAT, the mini stream and every large stream.
void Writer::chainSectors() {
  fat_.assign(static_cast<std::size_t>(plan_.fatSectors) * IdsPerSector, FreeSect);
  plan_.firstFat = nextSector_;
  for (std::uint32_t k = 0; k < plan_.fatSectors; ++k) fat_[nextSector_++] = FatSect;
  plan_.firstDifat = plan_.difatSectors ? nextSector_ : EndOfChain;
  for (std::uint32_t k = 0; k < plan_.difatSectors; ++k) fat_[nextSector_++] = DifSect;
  plan_.firstDir = chain(plan_.dirSectors);
  plan_.firstMiniFat = chain(plan_.miniFatSectors);
  plan_.firstMini = chain(plan_.miniSectors);
  for (std::uint32_t id : bigIds_) flat_[id].start = chain(sectorsFor(flat_[id].size, SectorSize));
  flat_[0].start = mini_.empty() ? EndOfChain : plan_.firstMini;
  flat_[0].size = static_cast<std::uint32_t>(mini_.size());
}

std::uint32_t Writer::chain(std::uint32_t count) {
  const std::uint32_t first = nextSector_;
  for (std::uint32_t k = 0; k < count; ++k) fat_[nextSector_ + k] = k + 1 < count ? nextSector_ + k + 1 : EndOfChain;
  nextSector_ += count;
  return count ? first : EndOfChain;
}

void Writer::writeHeader() {
  std::copy(Signature.begin(), Signature.end(), out_.begin());
  setU16(out_, header::MinorVersion, header::MinorVersionValue);
  setU16(out_, header::MajorVersion, header::Version3);
  setU16(out_, header::ByteOrder, header::ByteOrderMark);
  setU16(out_, header::SectorShift, header::Version3SectorShift);
  setU16(out_, header::MiniSectorShift, header::MiniSectorShiftValue);
  setU32(out_, header::FatSectorCount, plan_.fatSectors);
  setU32(out_, header::FirstDirectorySector, plan_.firstDir);
  setU32(out_, header::MiniStreamCutoffSize, MiniStreamCutoff);
  setU32(out_, header::FirstMiniFatSector, plan_.miniFatSectors ? plan_.firstMiniFat : EndOfChain);
  setU32(out_, header::MiniFatSectorCount, plan_.miniFatSectors);
  setU32(out_, header::FirstDifatSector, plan_.firstDifat);
  setU32(out_, header::DifatSectorCount, plan_.difatSectors);
  for (std::uint32_t i = 0; i < HeaderDifatEntries; ++i)
    setU32(out_, header::Difat + 4 * i, i < plan_.fatSectors ? plan_.firstFat + i : FreeSect);
}

// The FAT sector ids the header has no room for, then the next DIFAT sector.
void Writer::writeDifatSectors() {
  std::uint32_t fatIndex = HeaderDifatEntries;
  for (std::uint32_t d = 0; d < plan_.difatSectors; ++d) {
    const std::size_t base = sectorAt(plan_.firstDifat + d);
    for (std::uint32_t i = 0; i < DifatIdsPerSector; ++i, ++fatIndex)
      setU32(out_, base + 4 * i, fatIndex < plan_.fatSectors ? plan_.firstFat + fatIndex : FreeSect);
    setU32(out_, base + 4 * DifatIdsPerSector, d + 1 < plan_.difatSectors ? plan_.firstDifat + d + 1 : EndOfChain);
  }
}

void Writer::writeFatSectors() {
  for (std::uint32_t k = 0; k < plan_.fatSectors; ++k)
    for (std::uint32_t i = 0; i < IdsPerSector; ++i)
      setU32(out_, sectorAt(plan_.firstFat + k) + 4 * i, fat_[k * IdsPerSector + i]);
}

// Unused slots of the last directory sector carry no name and no links.
void Writer::writeDirectory() {
  for (std::uint32_t slot = 0; slot < plan_.dirSectors * (SectorSize / DirEntrySize); ++slot) {
    const std::size_t at = sectorAt(plan_.firstDir) + slot * DirEntrySize;
    if (slot < flat_.size()) {
      writeDirectoryEntry(at, flat_[slot], slot == 0);
    } else {
      setU32(out_, at + dirent::Left, NoStream);
      setU32(out_, at + dirent::Right, NoStream);
      setU32(out_, at + dirent::Child, NoStream);
    }
  }
}

void Writer::writeDirectoryEntry(std::size_t at, const FlatEntry& f, bool isRoot) {
  const bool unnamedRoot = isRoot && f.entry->name.empty();
  putEntryName(out_, at, unnamedRoot ? std::u16string_view(u"Root Entry") : f.entry->name);
  out_[at + dirent::Type] = static_cast<std::uint8_t>(isRoot ? CfbType::Root : f.entry->type);
  out_[at + dirent::Colour] = isRoot ? Black : f.colour;
  setU32(out_, at + dirent::Left, f.left);
  setU32(out_, at + dirent::Right, f.right);
  setU32(out_, at + dirent::Child, f.child);
  std::copy(f.entry->clsid.begin(), f.entry->clsid.end(),
            out_.begin() + static_cast<std::ptrdiff_t>(at + dirent::Clsid));
  setU32(out_, at + dirent::StateBits, f.entry->stateBits);
  std::copy(f.entry->timestamps.begin(), f.entry->timestamps.end(),
            out_.begin() + static_cast<std::ptrdiff_t>(at + dirent::Timestamps));
  setU32(out_, at + dirent::StartSector, f.start);
  setU32(out_, at + dirent::StreamSize, f.size);
}

// The MiniFAT's last sector is filled up with free entries.
void Writer::writeMiniFat() {
  const std::size_t base = sectorAt(plan_.firstMiniFat);
  for (std::size_t i = 0; i < miniFat_.size(); ++i) setU32(out_, base + 4 * i, miniFat_[i]);
  for (std::size_t i = miniFat_.size(); i < static_cast<std::size_t>(plan_.miniFatSectors) * IdsPerSector; ++i)
    setU32(out_, base + 4 * i, FreeSect);
}

XlsStatus Writer::writeStreamData(ByteSink& out) {
  if (!mini_.empty())
    std::copy(mini_.begin(), mini_.end(), out_.begin() + static_cast<std::ptrdiff_t>(sectorAt(plan_.firstMini)));
  auto failed = [] { return xlsFail(XlsErrorCode::CannotSave, "the stream could not be written"); };
  if (!out.write(out_)) return failed();
  static constexpr std::uint8_t Zeros[SectorSize] = {};
  for (std::uint32_t id : bigIds_) {
    const FlatEntry& f = flat_[id];
    if (f.filled) {
      CountingSink counted(out);
      if (!(*filled_.fill)(counted) || counted.count() != f.size) return failed();
    } else if (!out.write(f.entry->data)) {
      return failed();
    }
    // The chain's last sector is filled up with zeros.
    if (const std::uint32_t tail = f.size % SectorSize; tail != 0 && !out.write(ByteView(Zeros, SectorSize - tail)))
      return failed();
  }
  return {};
}

}  // namespace

XlsResult<Bytes> CompoundFile::serialize() const {
  Writer writer(root_, FilledStream{});
  BytesSink out;
  if (auto st = writer.run(out); !st) return st.error();
  return std::move(out.data);
}

XlsStatus CompoundFile::write(ByteSink& out, std::u16string_view name, std::uint64_t size,
                              const StreamFill& fill) const {
  Writer writer(root_, FilledStream{name, size, &fill});
  return writer.run(out);
}

XlsResult<Bytes> CompoundFile::serialize(std::u16string_view name, std::uint64_t size, const StreamFill& fill) const {
  BytesSink out;
  if (auto st = write(out, name, size, fill); !st) return st.error();
  return std::move(out.data);
}

}  // namespace kestrune::xls
