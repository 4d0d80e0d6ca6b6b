// The shared string table: parsing SST + CONTINUE (with the per-record
// character width flags) and writing it back split at record size limits,
// with a matching EXTSST index.
#pragma once

#include "sheet/xls/records.h"
#include "sheet/xls/shared.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::xls {

struct SstString {
  std::u16string chars;
  Bytes runs;  // formatting runs, 4 bytes each, kept as read
  Bytes ext;   // ExtRst (phonetic) data, kept as read

  bool operator==(const SstString&) const = default;
};

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

}  // namespace kestrune::xls
