// Compound file writer: version 3, 512-byte sectors. Layout: FAT sectors,
// DIFAT sectors, directory, MiniFAT, mini stream, then the large streams,
// each chain contiguous. Sibling trees are rebuilt balanced from the sorted
// names, with the deepest level red so every path has the same black count.
#include "sheet/xls/cfb.h"
#include "sheet/xls/cfb_internal.h"

#include <algorithm>

namespace kestrune::xls {

using namespace cfbconst;

namespace {

constexpr std::uint32_t SectorSize = 512;
constexpr std::uint32_t IdsPerSector = SectorSize / 4;
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

class Writer {
public:
  Writer(const CfbEntry& root, FilledStream filled) : filled_(filled) { flatten(root, 0); }
  XlsResult<Bytes> run();

private:
  std::uint32_t flatten(const CfbEntry& entry, int depth);
  std::uint32_t buildSiblings(const std::vector<std::uint32_t>& ids, std::size_t lo, std::size_t hi, int depth,
                              std::vector<int>& depths);

  std::vector<FlatEntry> flat_;
  FilledStream filled_;
  bool foundFilled_ = false;
  Bytes smallFilled_;  // a filled stream small enough for the mini stream
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

void putEntryName(Bytes& out, std::size_t at, std::u16string_view name) {
  const std::size_t n = std::min<std::size_t>(name.size(), 31);
  for (std::size_t i = 0; i < n; ++i) setU16(out, at + 2 * i, name[i]);
  setU16(out, at + 0x40, static_cast<std::uint16_t>(n == 0 && name.empty() ? 0 : 2 * (n + 1)));
}

XlsResult<Bytes> Writer::run() {
  if (filled_.fill && !foundFilled_) return xlsFail("the compound file has no stream to write");
  // Assign streams to the mini stream or to regular sectors.
  Bytes mini;
  std::vector<std::uint32_t> miniFat;
  std::vector<std::uint32_t> bigIds;
  std::uint64_t bigSectors = 0;
  for (std::uint32_t id = 1; id < flat_.size(); ++id) {
    FlatEntry& f = flat_[id];
    if (f.entry->type != CfbType::Stream) {
      f.start = 0;
      continue;
    }
    const std::uint64_t size = f.filled ? filled_.size : f.entry->data.size();
    if (size > 0x7FFFFFFF) return xlsFail("a stream is too large to write");
    f.size = static_cast<std::uint32_t>(size);
    if (size == 0) {
      f.start = EndOfChain;
    } else if (size < MiniStreamCutoff) {
      const auto first = static_cast<std::uint32_t>(miniFat.size());
      const std::uint32_t n = sectorsFor(size, MiniSectorSize);
      for (std::uint32_t k = 0; k < n; ++k) miniFat.push_back(k + 1 < n ? first + k + 1 : EndOfChain);
      f.start = first;
      if (f.filled) {
        smallFilled_.assign(static_cast<std::size_t>(size), 0);
        if (!(*filled_.fill)(smallFilled_)) return xlsFail("the stream could not be written");
        mini.insert(mini.end(), smallFilled_.begin(), smallFilled_.end());
        smallFilled_ = Bytes();
      } else {
        mini.insert(mini.end(), f.entry->data.begin(), f.entry->data.end());
      }
      mini.resize(static_cast<std::size_t>(miniFat.size()) * MiniSectorSize, 0);
    } else {
      bigIds.push_back(id);
      bigSectors += sectorsFor(size, SectorSize);
    }
  }
  const std::uint32_t dirSectors = sectorsFor(flat_.size() * DirEntrySize, SectorSize);
  const std::uint32_t miniFatSectors = sectorsFor(miniFat.size() * 4, SectorSize);
  const std::uint32_t miniSectors = sectorsFor(mini.size(), SectorSize);
  const std::uint64_t dataSectors = dirSectors + miniFatSectors + miniSectors + bigSectors;
  if (dataSectors > 0x00FFFFFF) return xlsFail("the workbook is too large to write");
  std::uint32_t fatSectors = 1, difatSectors = 0;
  for (;;) {
    difatSectors = fatSectors > HeaderDifatEntries ? sectorsFor(fatSectors - HeaderDifatEntries, IdsPerSector - 1) : 0;
    if (dataSectors + fatSectors + difatSectors <= std::uint64_t{fatSectors} * IdsPerSector) break;
    ++fatSectors;
  }
  const std::uint32_t total = static_cast<std::uint32_t>(dataSectors) + fatSectors + difatSectors;
  std::vector<std::uint32_t> fat(static_cast<std::size_t>(fatSectors) * IdsPerSector, FreeSect);
  std::uint32_t next = 0;
  auto chain = [&](std::uint32_t count) {
    const std::uint32_t first = next;
    for (std::uint32_t k = 0; k < count; ++k) fat[next + k] = k + 1 < count ? next + k + 1 : EndOfChain;
    next += count;
    return count ? first : EndOfChain;
  };
  const std::uint32_t firstFat = next;
  for (std::uint32_t k = 0; k < fatSectors; ++k) fat[next++] = FatSect;
  const std::uint32_t firstDifat = difatSectors ? next : EndOfChain;
  for (std::uint32_t k = 0; k < difatSectors; ++k) fat[next++] = DifSect;
  const std::uint32_t firstDir = chain(dirSectors);
  const std::uint32_t firstMiniFat = chain(miniFatSectors);
  const std::uint32_t firstMini = chain(miniSectors);
  for (std::uint32_t id : bigIds) flat_[id].start = chain(sectorsFor(flat_[id].size, SectorSize));
  flat_[0].start = mini.empty() ? EndOfChain : firstMini;
  flat_[0].size = static_cast<std::uint32_t>(mini.size());

  Bytes out(static_cast<std::size_t>(total + 1) * SectorSize, 0);
  auto sectorAt = [](std::uint32_t s) { return static_cast<std::size_t>(s + 1) * SectorSize; };
  // Header.
  const std::uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy_n(sig, 8, out.begin());
  setU16(out, 0x18, 0x003E);
  setU16(out, 0x1A, 3);
  setU16(out, 0x1C, 0xFFFE);
  setU16(out, 0x1E, 9);
  setU16(out, 0x20, 6);
  setU32(out, 0x2C, fatSectors);
  setU32(out, 0x30, firstDir);
  setU32(out, 0x38, MiniStreamCutoff);
  setU32(out, 0x3C, miniFatSectors ? firstMiniFat : EndOfChain);
  setU32(out, 0x40, miniFatSectors);
  setU32(out, 0x44, firstDifat);
  setU32(out, 0x48, difatSectors);
  for (std::uint32_t i = 0; i < HeaderDifatEntries; ++i)
    setU32(out, 0x4C + 4 * i, i < fatSectors ? firstFat + i : FreeSect);
  // DIFAT sectors: 127 FAT sector ids and the next DIFAT sector.
  std::uint32_t fatIndex = HeaderDifatEntries;
  for (std::uint32_t d = 0; d < difatSectors; ++d) {
    const std::size_t base = sectorAt(firstDifat + d);
    for (std::uint32_t i = 0; i < IdsPerSector - 1; ++i, ++fatIndex)
      setU32(out, base + 4 * i, fatIndex < fatSectors ? firstFat + fatIndex : FreeSect);
    setU32(out, base + 4 * (IdsPerSector - 1), d + 1 < difatSectors ? firstDifat + d + 1 : EndOfChain);
  }
  for (std::uint32_t k = 0; k < fatSectors; ++k)
    for (std::uint32_t i = 0; i < IdsPerSector; ++i)
      setU32(out, sectorAt(firstFat + k) + 4 * i, fat[k * IdsPerSector + i]);
  // Directory; unused slots carry no name and NOSTREAM links.
  for (std::uint32_t slot = 0; slot < dirSectors * (SectorSize / DirEntrySize); ++slot) {
    const std::size_t at = sectorAt(firstDir) + slot * DirEntrySize;
    if (slot >= flat_.size()) {
      setU32(out, at + 0x44, NoStream);
      setU32(out, at + 0x48, NoStream);
      setU32(out, at + 0x4C, NoStream);
      continue;
    }
    const FlatEntry& f = flat_[slot];
    const bool unnamedRoot = slot == 0 && f.entry->name.empty();
    putEntryName(out, at, unnamedRoot ? std::u16string_view(u"Root Entry") : f.entry->name);
    out[at + 0x42] = static_cast<std::uint8_t>(slot == 0 ? CfbType::Root : f.entry->type);
    out[at + 0x43] = slot == 0 ? Black : f.colour;
    setU32(out, at + 0x44, f.left);
    setU32(out, at + 0x48, f.right);
    setU32(out, at + 0x4C, f.child);
    std::copy(f.entry->clsid.begin(), f.entry->clsid.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 0x50));
    setU32(out, at + 0x60, f.entry->stateBits);
    std::copy(f.entry->timestamps.begin(), f.entry->timestamps.end(),
              out.begin() + static_cast<std::ptrdiff_t>(at + 0x64));
    setU32(out, at + 0x74, f.start);
    setU32(out, at + 0x78, f.size);
  }
  for (std::size_t i = 0; i < miniFat.size(); ++i) setU32(out, sectorAt(firstMiniFat) + 4 * i, miniFat[i]);
  for (std::size_t i = miniFat.size(); i < static_cast<std::size_t>(miniFatSectors) * IdsPerSector; ++i)
    setU32(out, sectorAt(firstMiniFat) + 4 * i, FreeSect);
  if (!mini.empty())
    std::copy(mini.begin(), mini.end(), out.begin() + static_cast<std::ptrdiff_t>(sectorAt(firstMini)));
  for (std::uint32_t id : bigIds) {
    const FlatEntry& f = flat_[id];
    if (f.filled) {
      if (!(*filled_.fill)(std::span<std::uint8_t>(out.data() + sectorAt(f.start), f.size)))
        return xlsFail("the stream could not be written");
      continue;
    }
    const Bytes& d = f.entry->data;
    std::copy(d.begin(), d.end(), out.begin() + static_cast<std::ptrdiff_t>(sectorAt(f.start)));
  }
  return out;
}

}  // namespace

XlsResult<Bytes> CompoundFile::serialize() const {
  Writer writer(root_, FilledStream{});
  return writer.run();
}

XlsResult<Bytes> CompoundFile::serialize(std::u16string_view name, std::uint64_t size, const StreamFill& fill) const {
  Writer writer(root_, FilledStream{name, size, &fill});
  return writer.run();
}

}  // namespace kestrune::xls
