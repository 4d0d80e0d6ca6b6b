// Compound file (OLE2 / CFB) container: reads version 3 and 4 files into a
// tree of storages and streams held in memory, and writes the tree back as a
// version 3 file with 512-byte sectors. Entry metadata (names, CLSIDs, state
// bits, timestamps) travels with each entry, so entries nobody changed are
// written back as they were read.
#pragma once

#include "sheet/xls/byte_sink.h"
#include "sheet/xls/bytes.h"
#include "sheet/xls/xls_result.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::xls {

enum class CfbType : std::uint8_t { Storage = 1, Stream = 2, Root = 5 };

struct CfbEntry {
  std::u16string name;
  CfbType type = CfbType::Stream;
  std::array<std::uint8_t, 16> clsid{};
  std::uint32_t stateBits = 0;
  std::array<std::uint8_t, 16> timestamps{};  // creation and modification FILETIMEs
  Bytes data;                                 // streams only
  // A stream whose sector chain ends before the size its directory entry
  // declares: that size (data holds what the chain holds). 0 otherwise.
  std::uint64_t declaredSize = 0;
  std::vector<CfbEntry> children;  // storages and the root only

  // Direct child by name, compared as the compound file does (case-blind).
  CfbEntry* child(std::u16string_view childName);
  const CfbEntry* child(std::u16string_view childName) const;
};

// The bytes of a file being parsed, read where they lie.
class FileSource {
public:
  virtual ~FileSource() = default;
  virtual std::uint64_t size() const = 0;
  // Copies `n` bytes from `at` to `dest`; false when they cannot be read.
  virtual bool read(std::uint64_t at, std::uint8_t* dest, std::size_t n) const = 0;
};

class CompoundFile {
public:
  CompoundFile();

  // True when the data starts with the compound file signature.
  static bool hasSignature(ByteView data);

  // Parses a whole file. Every size and sector index is checked against the
  // file before use; chains that loop, leave the file or end early fail.
  static XlsResult<CompoundFile> parse(ByteView data);
  // The same from a file read piece by piece: each stream is read straight
  // into its own buffer, the file is never held whole.
  static XlsResult<CompoundFile> parse(const FileSource& file);

  // Writes a version 3 file. Streams under 4096 bytes go to the mini stream.
  XlsResult<Bytes> serialize() const;

  // Writes the file to `out` with the root's stream `name` as `size` bytes
  // that `fill` writes to the sink it is given, instead of the entry's own
  // data, so a large stream is never held whole. Fails when there is no such
  // stream, when `fill` returns false or writes another size, and when `out`
  // fails.
  using StreamFill = std::function<bool(ByteSink&)>;
  XlsStatus write(ByteSink& out, std::u16string_view name, std::uint64_t size, const StreamFill& fill) const;
  // The same into memory.
  XlsResult<Bytes> serialize(std::u16string_view name, std::uint64_t size, const StreamFill& fill) const;

  CfbEntry& root() { return root_; }
  const CfbEntry& root() const { return root_; }
  std::uint16_t majorVersion() const { return majorVersion_; }

private:
  CfbEntry root_;
  std::uint16_t majorVersion_ = 3;
};

// Orders sibling names as the directory tree does: by length, then by the
// upper-cased code units. Returns <0, 0 or >0.
int compareCfbNames(std::u16string_view a, std::u16string_view b);

}  // namespace kestrune::xls
