// Compound file reader. The file is untrusted: every sector index, chain
// length and stream size is checked against the file before it is used, and
// no allocation is sized from a field that has not been checked that way.
#include "sheet/xls/cfb.h"
#include "sheet/xls/cfb_internal.h"
#include "sheet/xls/text.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace kestrune::xls {

using namespace cfbconst;

namespace {

constexpr int MaxStorageDepth = 32;

// The parts of a compound file a damaged one is broken in.
const std::string Header = "compound file header";
const std::string Directory = "directory";

// Where in a stream or the directory a read stopped: the bytes read so far.
std::int64_t fromStart(const Bytes& readSoFar) { return static_cast<std::int64_t>(readSoFar.size()); }
std::int64_t entryOffset(std::uint32_t entry) { return static_cast<std::int64_t>(entry) * DirEntrySize; }

char16_t upperUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  return c;
}

struct RawEntry {
  std::u16string name;
  std::uint8_t type = 0;
  std::uint32_t left = NoStream, right = NoStream, child = NoStream;
  std::array<std::uint8_t, 16> clsid{};
  std::uint32_t stateBits = 0;
  std::array<std::uint8_t, 16> timestamps{};
  std::uint32_t start = 0;
  std::uint64_t size = 0;
};

class Reader {
public:
  explicit Reader(const FileSource& file) : file_(file), fileSize_(file.size()) {}

  XlsResult<CompoundFile> run();
  std::uint16_t majorVersion() const { return major_; }

private:
  XlsStatus readHeader();
  XlsStatus readFat();
  // What a chain may hold short of the size asked for: nothing (the read
  // fails), the bytes up to an end-of-chain mark (a stream whose directory
  // entry declares more than its chain holds: other readers take what the
  // chain holds, and so do we), or the bytes up to the end of a file that
  // ends inside its last sector.
  enum class Short { Refuse, ChainMayEnd, FileMayEnd };
  // Reads `size` bytes along a FAT chain, at most one visit per sector.
  XlsResult<Bytes> readRegular(std::uint32_t start, std::uint64_t size, const std::string& what,
                               Short whenShort = Short::Refuse);
  // The same in the mini stream; `what` names the stream in messages.
  XlsResult<Bytes> readMini(std::uint32_t start, std::uint64_t size, const std::string& what);
  XlsStatus readDirectory();
  XlsStatus buildTree(std::uint32_t firstSibling, CfbEntry& parent, int depth);

  // `n` bytes at `at` (inside the file) into the scratch buffer; empty when reading fails.
  ByteView fetch(std::uint64_t at, std::size_t n);

  const FileSource& file_;
  std::uint64_t fileSize_ = 0;
  Bytes scratch_;
  std::array<std::uint8_t, header::Size> header_{};
  std::uint16_t major_ = 0;
  std::uint32_t shift_ = header::Version3SectorShift;
  std::uint32_t sectorSize_ = 1u << header::Version3SectorShift;
  std::uint64_t sectorCount_ = 0;  // sectors that start inside the file
  std::uint32_t fatCount_ = 0, firstDir_ = 0, firstMiniFat_ = 0, miniFatCount_ = 0;
  std::uint32_t firstDifat_ = 0, difatCount_ = 0;
  std::vector<std::uint32_t> fat_;
  std::vector<std::uint32_t> miniFat_;
  Bytes miniStream_;
  std::vector<RawEntry> entries_;
  std::vector<bool> visitedEntry_;
  bool directoryCut_ = false;      // the file ends inside the directory's last sector
  std::uint64_t streamBytes_ = 0;  // all stream data read so far, capped by the file size
};

ByteView Reader::fetch(std::uint64_t at, std::size_t n) {
  scratch_.resize(n);
  if (!file_.read(at, scratch_.data(), n)) return {};
  return scratch_;
}

XlsStatus Reader::readHeader() {
  if (fileSize_ < header::Size)
    return xlsFail(XlsErrorCode::NotCompoundFile, "the file is too short to be a compound file");
  if (!file_.read(0, header_.data(), header_.size())) return xlsFail(XlsErrorCode::CannotRead, "cannot read the file");
  const ByteView head(header_);
  if (!CompoundFile::hasSignature(head))
    return xlsFail(XlsErrorCode::NotCompoundFile, "not a compound file (no OLE2 signature): not an .xls workbook");
  major_ = getU16(head, header::MajorVersion);
  const std::uint16_t byteOrder = getU16(head, header::ByteOrder);
  shift_ = getU16(head, header::SectorShift);
  const std::uint16_t miniShift = getU16(head, header::MiniSectorShift);
  // Some writers store the mark's two bytes swapped; the fields that follow
  // are little-endian all the same (the version check below tells).
  if (byteOrder != header::ByteOrderMark && byteOrder != header::SwappedByteOrderMark)
    return xlsDamaged(Header, "compound file header: bad byte order mark", header::ByteOrder);
  if (!((major_ == header::Version3 && shift_ == header::Version3SectorShift) ||
        (major_ == header::Version4 && shift_ == header::Version4SectorShift)))
    return xlsDamaged(Header, "compound file header: unsupported version " + std::to_string(major_) +
                                  " with sector shift " + std::to_string(shift_));
  if (miniShift != header::MiniSectorShiftValue)
    return xlsDamaged(Header, "compound file header: bad mini sector shift");
  if (getU32(head, header::MiniStreamCutoffSize) != MiniStreamCutoff)
    return xlsDamaged(Header, "compound file header: bad mini stream cutoff", header::MiniStreamCutoffSize);
  sectorSize_ = 1u << shift_;
  if (fileSize_ < sectorSize_) return xlsDamaged(Header, "the compound file is truncated");
  sectorCount_ = (fileSize_ - sectorSize_ + sectorSize_ - 1) / sectorSize_;
  fatCount_ = getU32(head, header::FatSectorCount);
  firstDir_ = getU32(head, header::FirstDirectorySector);
  firstMiniFat_ = getU32(head, header::FirstMiniFatSector);
  miniFatCount_ = getU32(head, header::MiniFatSectorCount);
  firstDifat_ = getU32(head, header::FirstDifatSector);
  difatCount_ = getU32(head, header::DifatSectorCount);
  if (fatCount_ == 0 || fatCount_ > sectorCount_)
    return xlsDamaged(Header,
                      "compound file header: FAT sector count " + std::to_string(fatCount_) + " does not fit the file");
  if (miniFatCount_ > sectorCount_ || difatCount_ > sectorCount_)
    return xlsDamaged(Header, "compound file header: sector counts do not fit the file");
  return {};
}

XlsStatus Reader::readFat() {
  std::vector<std::uint32_t> fatSectors;
  fatSectors.reserve(fatCount_);
  for (std::uint32_t i = 0; i < HeaderDifatEntries && fatSectors.size() < fatCount_; ++i)
    fatSectors.push_back(getU32(ByteView(header_), header::Difat + 4 * i));
  std::uint32_t next = firstDifat_;
  std::vector<bool> seen(sectorCount_, false);
  const std::uint32_t perDifat = sectorSize_ / 4 - 1;
  while (fatSectors.size() < fatCount_) {
    if (next >= sectorCount_) return xlsDamaged("DIFAT", "compound file: DIFAT chain leaves the file");
    if (seen[next]) return xlsDamaged("DIFAT", "compound file: DIFAT chain loops");
    seen[next] = true;
    const std::size_t base = (static_cast<std::size_t>(next) + 1) << shift_;
    if (base + sectorSize_ > fileSize_) return xlsDamaged("DIFAT", "compound file: truncated DIFAT sector");
    const ByteView sector = fetch(base, sectorSize_);
    if (sector.empty()) return xlsFail(XlsErrorCode::CannotRead, "cannot read the file");
    for (std::uint32_t i = 0; i < perDifat && fatSectors.size() < fatCount_; ++i)
      fatSectors.push_back(getU32(sector, 4 * i));
    next = getU32(sector, 4 * perDifat);
  }
  const std::uint32_t perFat = sectorSize_ / 4;
  fat_.reserve(static_cast<std::size_t>(fatCount_) * perFat);
  for (std::uint32_t s : fatSectors) {
    if (s >= sectorCount_) return xlsDamaged("FAT", "compound file: FAT sector outside the file");
    const std::size_t base = (static_cast<std::size_t>(s) + 1) << shift_;
    const std::size_t present = static_cast<std::size_t>(std::min<std::uint64_t>(sectorSize_, fileSize_ - base));
    const ByteView sector = fetch(base, present);
    if (sector.size() != present) return xlsFail(XlsErrorCode::CannotRead, "cannot read the file");
    for (std::uint32_t i = 0; i < perFat; ++i) fat_.push_back(4 * i + 4 <= present ? getU32(sector, 4 * i) : FreeSect);
  }
  return {};
}

XlsResult<Bytes> Reader::readRegular(std::uint32_t start, std::uint64_t size, const std::string& what,
                                     Short whenShort) {
  if (size > fileSize_) return xlsDamaged(what, "compound file: " + what + " is larger than the file");
  streamBytes_ += size;
  if (streamBytes_ > 2 * fileSize_) return xlsDamaged(what, "compound file: streams share sectors");
  // Read in place: runs of consecutive sectors in one read each.
  Bytes out(static_cast<std::size_t>(size));
  std::size_t got = 0, runAt = 0, runLength = 0;
  std::uint64_t runBase = 0;
  auto readRun = [&] {
    const bool ok = runLength == 0 || file_.read(runBase, out.data() + runAt, runLength);
    runLength = 0;
    return ok;
  };
  auto damaged = [&](const std::string& why) {
    out.resize(got);
    return xlsDamaged(what, "compound file: " + what + why, fromStart(out));
  };
  std::vector<bool> seen(sectorCount_, false);
  std::uint32_t sector = start;
  while (got < size) {
    if (sector == EndOfChain && whenShort == Short::ChainMayEnd) break;
    if (sector >= sectorCount_ || sector >= fat_.size()) return damaged(" chain leaves the file");
    if (seen[sector]) return damaged(" chain loops");
    seen[sector] = true;
    const std::uint64_t base = (static_cast<std::uint64_t>(sector) + 1) << shift_;
    std::size_t need = static_cast<std::size_t>(std::min<std::uint64_t>(sectorSize_, size - got));
    if (base + need > fileSize_ && whenShort == Short::FileMayEnd && base < fileSize_) {
      need = static_cast<std::size_t>(fileSize_ - base);  // the last sector of the file, cut inside
      size = got + need;
    }
    if (base + need > fileSize_) return damaged(" is truncated");
    if (runLength > 0 && base != runBase + runLength && !readRun())
      return xlsFail(XlsErrorCode::CannotRead, "cannot read the file");
    if (runLength == 0) {
      runBase = base;
      runAt = got;
    }
    runLength += need;
    got += need;
    sector = fat_[sector];
  }
  if (!readRun()) return xlsFail(XlsErrorCode::CannotRead, "cannot read the file");
  out.resize(got);
  return out;
}

XlsResult<Bytes> Reader::readMini(std::uint32_t start, std::uint64_t size, const std::string& what) {
  if (size > miniStream_.size()) return xlsDamaged(what, "compound file: small " + what + " exceeds the mini stream");
  streamBytes_ += size;
  if (streamBytes_ > 2 * fileSize_) return xlsDamaged(what, "compound file: streams share sectors");
  Bytes out;
  out.reserve(static_cast<std::size_t>(size));
  const std::size_t miniCount = miniStream_.size() / MiniSectorSize + (miniStream_.size() % MiniSectorSize ? 1 : 0);
  std::vector<bool> seen(miniCount, false);
  std::uint32_t sector = start;
  while (out.size() < size) {
    if (sector == EndOfChain) break;  // declared longer than its chain: see Short::ChainMayEnd
    if (sector >= miniCount || sector >= miniFat_.size())
      return xlsDamaged(what, "compound file: " + what + " chain leaves the mini stream", fromStart(out));
    if (seen[sector])
      return xlsDamaged(what, "compound file: " + what + " chain loops in the mini stream", fromStart(out));
    seen[sector] = true;
    const std::size_t base = static_cast<std::size_t>(sector) * MiniSectorSize;
    const std::size_t need = static_cast<std::size_t>(std::min<std::uint64_t>(MiniSectorSize, size - out.size()));
    if (base + need > miniStream_.size())
      return xlsDamaged(what, "compound file: " + what + " leaves the mini stream", fromStart(out));
    out.insert(out.end(), miniStream_.begin() + static_cast<std::ptrdiff_t>(base),
               miniStream_.begin() + static_cast<std::ptrdiff_t>(base + need));
    sector = miniFat_[sector];
  }
  return out;
}

XlsStatus Reader::readDirectory() {
  // The directory has no size field: follow its chain to the end, one visit per sector.
  Bytes dir;
  std::vector<bool> seen(sectorCount_, false);
  for (std::uint32_t s = firstDir_; s != EndOfChain;) {
    if (s >= sectorCount_ || s >= fat_.size())
      return xlsDamaged(Directory, "compound file: directory chain leaves the file", fromStart(dir));
    if (seen[s]) return xlsDamaged(Directory, "compound file: directory chain loops", fromStart(dir));
    seen[s] = true;
    const std::size_t base = (static_cast<std::size_t>(s) + 1) << shift_;
    std::size_t present = sectorSize_;
    if (base + sectorSize_ > fileSize_) {
      // A file that ends inside the directory's last sector keeps the entries
      // it holds whole; a link to one past them fails when the tree is built.
      if (fat_[s] != EndOfChain || base >= fileSize_)
        return xlsDamaged(Directory, "compound file: directory is truncated", fromStart(dir));
      present = static_cast<std::size_t>(fileSize_ - base);
      directoryCut_ = true;
    }
    const ByteView sector = fetch(base, present);
    if (sector.size() != present) return xlsFail(XlsErrorCode::CannotRead, "cannot read the file");
    dir.insert(dir.end(), sector.begin(), sector.end());
    s = fat_[s];
  }
  const std::size_t count = dir.size() / DirEntrySize;
  if (count == 0) return xlsDamaged(Directory, "compound file: empty directory");
  entries_.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = i * DirEntrySize;
    RawEntry& e = entries_[i];
    std::size_t nameBytes = getU16(dir, at + dirent::NameLength);
    nameBytes = std::min<std::size_t>(nameBytes, dirent::NameBytes);
    for (std::size_t k = 0; k + 1 < nameBytes; k += 2) {
      const char16_t c = getU16(dir, at + dirent::Name + k);
      if (c == 0) break;
      e.name += c;
    }
    e.type = dir[at + dirent::Type];
    e.left = getU32(dir, at + dirent::Left);
    e.right = getU32(dir, at + dirent::Right);
    e.child = getU32(dir, at + dirent::Child);
    std::copy_n(dir.begin() + static_cast<std::ptrdiff_t>(at + dirent::Clsid), e.clsid.size(), e.clsid.begin());
    e.stateBits = getU32(dir, at + dirent::StateBits);
    std::copy_n(dir.begin() + static_cast<std::ptrdiff_t>(at + dirent::Timestamps), e.timestamps.size(),
                e.timestamps.begin());
    e.start = getU32(dir, at + dirent::StartSector);
    e.size = getU32(dir, at + dirent::StreamSize);
    // Version 3 files may leave junk in the high half of the size.
    if (major_ == header::Version4)
      e.size |= static_cast<std::uint64_t>(getU32(dir, at + dirent::StreamSizeHigh)) << 32;
  }
  if (entries_[0].type != static_cast<std::uint8_t>(CfbType::Root))
    return xlsDamaged(Directory, "compound file: the first directory entry is not the root", 0);
  visitedEntry_.assign(count, false);
  visitedEntry_[0] = true;
  return {};
}

XlsStatus Reader::buildTree(std::uint32_t firstSibling, CfbEntry& parent, int depth) {
  if (depth > MaxStorageDepth) return xlsDamaged(Directory, "compound file: storages nested too deeply");
  std::vector<std::uint32_t> stack;
  if (firstSibling != NoStream) stack.push_back(firstSibling);
  while (!stack.empty()) {
    const std::uint32_t id = stack.back();
    stack.pop_back();
    if (id >= entries_.size())
      return xlsDamaged(Directory, directoryCut_ ? "compound file: the file ends inside the directory (entry " +
                                                       std::to_string(id) + " is missing)"
                                                 : std::string("compound file: directory link out of range"));
    if (visitedEntry_[id]) return xlsDamaged(Directory, "compound file: directory tree has a cycle", entryOffset(id));
    visitedEntry_[id] = true;
    const RawEntry& raw = entries_[id];
    if (raw.left != NoStream) stack.push_back(raw.left);
    if (raw.right != NoStream) stack.push_back(raw.right);
    if (raw.type != static_cast<std::uint8_t>(CfbType::Storage) &&
        raw.type != static_cast<std::uint8_t>(CfbType::Stream))
      continue;  // unused or unknown entries are dropped
    CfbEntry entry;
    entry.name = raw.name;
    entry.type = static_cast<CfbType>(raw.type);
    entry.clsid = raw.clsid;
    entry.stateBits = raw.stateBits;
    entry.timestamps = raw.timestamps;
    if (entry.type == CfbType::Stream) {
      const std::string what = "stream \"" + utf16ToUtf8(raw.name) + "\"";
      auto data = raw.size < MiniStreamCutoff ? readMini(raw.start, raw.size, what)
                                              : readRegular(raw.start, raw.size, what, Short::ChainMayEnd);
      if (!data) return data.error();
      entry.data = std::move(data.value());
      if (entry.data.size() < raw.size) entry.declaredSize = raw.size;
    } else {
      if (auto st = buildTree(raw.child, entry, depth + 1); !st) return st;
    }
    parent.children.push_back(std::move(entry));
  }
  std::sort(parent.children.begin(), parent.children.end(),
            [](const CfbEntry& a, const CfbEntry& b) { return compareCfbNames(a.name, b.name) < 0; });
  return {};
}

XlsResult<CompoundFile> Reader::run() {
  if (auto st = readHeader(); !st) return st.error();
  if (auto st = readFat(); !st) return st.error();
  if (auto st = readDirectory(); !st) return st.error();
  const RawEntry& rootRaw = entries_[0];
  if (rootRaw.size > 0) {
    auto mini = readRegular(rootRaw.start, rootRaw.size, "mini stream");
    if (!mini) return mini.error();
    miniStream_ = std::move(mini.value());
    // The MiniFAT holds one entry per 64-byte mini sector.
    auto miniFatBytes = readRegular(firstMiniFat_, static_cast<std::uint64_t>(miniFatCount_) * sectorSize_, "MiniFAT",
                                    Short::FileMayEnd);
    if (!miniFatBytes) return miniFatBytes.error();
    const Bytes& mf = miniFatBytes.value();
    miniFat_.reserve(mf.size() / 4);
    for (std::size_t i = 0; i + 4 <= mf.size(); i += 4) miniFat_.push_back(getU32(mf, i));
  }
  CompoundFile cf;
  CfbEntry& root = cf.root();
  root.name = rootRaw.name;
  root.clsid = rootRaw.clsid;
  root.stateBits = rootRaw.stateBits;
  root.timestamps = rootRaw.timestamps;
  if (auto st = buildTree(rootRaw.child, root, 0); !st) return st.error();
  return cf;
}

}  // namespace

int compareCfbNames(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char16_t x = upperUnit(a[i]);
    const char16_t y = upperUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

CfbEntry* CfbEntry::child(std::u16string_view childName) {
  for (CfbEntry& c : children)
    if (compareCfbNames(c.name, childName) == 0) return &c;
  return nullptr;
}

const CfbEntry* CfbEntry::child(std::u16string_view childName) const {
  return const_cast<CfbEntry*>(this)->child(childName);
}

CompoundFile::CompoundFile() {
  root_.name = u"Root Entry";
  root_.type = CfbType::Root;
}

bool CompoundFile::hasSignature(ByteView data) {
  return data.size() >= Signature.size() && std::equal(Signature.begin(), Signature.end(), data.begin());
}

namespace {

class ViewSource final : public FileSource {
public:
  explicit ViewSource(ByteView data) : data_(data) {}
  std::uint64_t size() const override { return data_.size(); }
  bool read(std::uint64_t at, std::uint8_t* dest, std::size_t n) const override {
    if (at > data_.size() || n > data_.size() - at) return false;
    if (n > 0) std::memcpy(dest, data_.data() + at, n);
    return true;
  }

private:
  ByteView data_;
};

}  // namespace

XlsResult<CompoundFile> CompoundFile::parse(ByteView data) { return parse(ViewSource(data)); }

XlsResult<CompoundFile> CompoundFile::parse(const FileSource& file) {
  Reader reader(file);
  auto result = reader.run();
  if (result) result->majorVersion_ = reader.majorVersion();
  return result;
}

}  // namespace kestrune::xls
