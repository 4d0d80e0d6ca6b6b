// The shared string table: parsing SST + CONTINUE (with the per-record
// character width flags) and writing it back split at record size limits,
// with a matching EXTSST index.
#pragma once

#include "sheet/xls/records.h"
#include "sheet/xls/shared.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::xls {

// Bytes that few strings have (formatting runs, phonetic data): one pointer
// while there are none, so a plain string costs little more than its characters.
class RareBytes {
public:
  RareBytes() = default;
  RareBytes(Bytes bytes) {  // implicit: built and compared like Bytes
    if (!bytes.empty()) bytes_ = std::make_unique<Bytes>(std::move(bytes));
  }
  RareBytes(const RareBytes& other) : RareBytes(other.bytes()) {}
  RareBytes(RareBytes&&) noexcept = default;
  RareBytes& operator=(const RareBytes& other) { return *this = RareBytes(other); }
  RareBytes& operator=(RareBytes&&) noexcept = default;
  ~RareBytes() = default;

  const Bytes& bytes() const {
    static const Bytes none;
    return bytes_ ? *bytes_ : none;
  }
  bool empty() const { return !bytes_; }
  std::size_t size() const { return bytes().size(); }
  Bytes::const_iterator begin() const { return bytes().begin(); }
  Bytes::const_iterator end() const { return bytes().end(); }
  bool operator==(const RareBytes& other) const { return bytes() == other.bytes(); }

private:
  std::unique_ptr<Bytes> bytes_;
};

struct SstString {
  std::u16string chars;
  RareBytes runs;  // formatting runs, 4 bytes each, kept as read
  RareBytes ext;   // ExtRst (phonetic) data, kept as read

  bool operator==(const SstString&) const = default;
};
static_assert(sizeof(SstString) <= 48);

// The workbook's shared strings, in chunks that copies share: appending a
// string never copies the table.
using SstStrings = ChunkedVector<SstString, 256>;

// The number of each plain string (no runs, no phonetic data) in a table,
// the first where a string repeats: an open-addressed table of string
// numbers, hashed on the table's own characters, so that it holds no second
// copy of the strings. A copy starts without one, so that a snapshot of a
// workbook costs nothing here; it is built from the table on first use.
class SstIndex {
public:
  SstIndex() = default;
  SstIndex(const SstIndex&) {}
  SstIndex& operator=(const SstIndex&) {
    *this = SstIndex();
    return *this;
  }
  SstIndex(SstIndex&&) = default;
  SstIndex& operator=(SstIndex&&) = default;
  ~SstIndex() = default;

  // The number of `chars` as a plain string of `table`; none when absent.
  std::optional<std::uint32_t> find(std::u16string_view chars, const SstStrings& table);
  // String `index` was just appended to `table` (after find() missed it).
  void added(const SstStrings& table, std::uint32_t index);

private:
  void build(const SstStrings& table);
  void insert(const SstStrings& table, std::uint32_t index);

  std::vector<std::uint32_t> slots_;  // string number + 1; 0 is a free slot
  std::size_t count_ = 0;
  bool built_ = false;
};

struct SstTable {
  std::vector<SstString> strings;
  std::uint32_t declaredTotal = 0;
  std::uint32_t declaredUnique = 0;
  bool truncated = false;  // fewer strings than declared, or a string cut short
};

// Parses the bodies of one SST record and its CONTINUE records, each body a
// separate piece because a CONTINUE restarts the character width.
SstTable parseSst(const std::vector<ByteView>& pieces);

// Where a string starts in the written SST: which record of the block
// (0 = the SST itself) and the offset inside that record's body.
struct SstPosition {
  std::size_t record = 0;
  std::size_t offset = 0;
};

// SST followed by CONTINUE records as needed. `positions` receives one entry
// per string.
std::vector<Record> buildSst(const SstStrings& strings, std::uint32_t totalRefs, std::vector<SstPosition>& positions);

// EXTSST for a block written at `sstStreamOffset` (the stream position of the
// SST record header).
Record buildExtSst(const std::vector<Record>& sstBlock, const std::vector<SstPosition>& positions,
                   std::uint32_t sstStreamOffset);

// Strings per EXTSST bucket for a table of `count` strings.
std::uint16_t extSstBucketSize(std::size_t count);

// The SST block a save writes, planned before it is written: the body size
// of the SST and of each CONTINUE, and where the first string of each
// EXTSST bucket starts. The block is the one buildSst makes.
struct SstPlan {
  std::vector<std::uint16_t> bodySizes;   // the SST's, then each CONTINUE's
  std::vector<SstPosition> bucketStarts;  // one per EXTSST bucket
  std::uint16_t perBucket = 8;

  std::uint64_t size() const {
    std::uint64_t n = 0;
    for (std::uint16_t b : bodySizes) n += RecordHeaderSize + b;
    return n;
  }
};

// Lays out the SST block of `strings` one record at a time: `onRecord(body)`
// gets the body of the SST, then of each CONTINUE, in a buffer reused for
// the next. A string's header and first character share a record; character
// data that continues starts its record with the width flags; formatting
// runs move whole; a 16-bit character is never split. Bucket starts (every
// `perBucket`-th string) go to `bucketStarts` when it is given.
template <class Strings, class OnRecord>
void layOutSst(const Strings& strings, std::uint32_t totalRefs, std::uint16_t perBucket,
               std::vector<SstPosition>* bucketStarts, OnRecord&& onRecord) {
  Bytes cur;
  cur.reserve(MaxRecordBody);
  std::size_t record = 0, index = 0;
  putU32(cur, totalRefs);
  putU32(cur, static_cast<std::uint32_t>(strings.size()));
  auto flush = [&] {
    onRecord(ByteView(cur));
    cur.clear();
    ++record;
  };
  auto room = [&] { return MaxRecordBody - cur.size(); };
  for (const SstString& s : strings) {
    const bool wide = std::any_of(s.chars.begin(), s.chars.end(), [](char16_t c) { return c > 0xFF; });
    const std::size_t width = wide ? 2 : 1;
    const std::size_t header = 3 + (s.runs.empty() ? 0 : 2) + (s.ext.empty() ? 0 : 4);
    if (room() < header + (s.chars.empty() ? 0 : width)) flush();
    if (bucketStarts && index % perBucket == 0) bucketStarts->push_back({record, cur.size()});
    ++index;
    putU16(cur, static_cast<std::uint16_t>(s.chars.size()));
    putU8(cur, static_cast<std::uint8_t>((wide ? 0x01 : 0) | (s.ext.empty() ? 0 : 0x04) | (s.runs.empty() ? 0 : 0x08)));
    if (!s.runs.empty()) putU16(cur, static_cast<std::uint16_t>(s.runs.size() / 4));
    if (!s.ext.empty()) putU32(cur, static_cast<std::uint32_t>(s.ext.size()));
    for (std::size_t i = 0; i < s.chars.size();) {
      if (room() < width) {
        flush();
        putU8(cur, wide ? 1 : 0);
      }
      const std::size_t n = std::min(room() / width, s.chars.size() - i);
      for (std::size_t k = i; k < i + n; ++k) {
        if (wide)
          putU16(cur, s.chars[k]);
        else
          putU8(cur, static_cast<std::uint8_t>(s.chars[k]));
      }
      i += n;
    }
    for (std::size_t i = 0; i < s.runs.size(); i += 4) {
      if (room() < 4) flush();
      cur.insert(cur.end(), s.runs.begin() + static_cast<std::ptrdiff_t>(i),
                 s.runs.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, s.runs.size())));
    }
    for (std::size_t i = 0; i < s.ext.size();) {
      if (room() == 0) flush();
      const std::size_t n = std::min(room(), s.ext.size() - i);
      cur.insert(cur.end(), s.ext.begin() + static_cast<std::ptrdiff_t>(i),
                 s.ext.begin() + static_cast<std::ptrdiff_t>(i + n));
      i += n;
    }
  }
  onRecord(ByteView(cur));
}

template <class Strings>
SstPlan planSst(const Strings& strings) {
  SstPlan plan;
  plan.perBucket = extSstBucketSize(strings.size());
  layOutSst(strings, 0, plan.perBucket, &plan.bucketStarts,
            [&](ByteView body) { plan.bodySizes.push_back(static_cast<std::uint16_t>(body.size())); });
  return plan;
}

// The EXTSST of a planned block whose SST header lies at `sstStreamOffset`.
Record extSstFromPlan(const SstPlan& plan, std::uint32_t sstStreamOffset);

}  // namespace kestrune::xls
