// Where a save's bytes go as they are made: a file being written, or memory.
// A sink that fails stays failed; the writer stops at the first false.
#pragma once

#include "sheet/xls/bytes.h"

namespace kestrune::xls {

class ByteSink {
public:
  virtual ~ByteSink() = default;
  // Appends the bytes; false when they could not be kept.
  virtual bool write(ByteView bytes) = 0;
};

// Collects the bytes in memory.
class BytesSink final : public ByteSink {
public:
  bool write(ByteView bytes) override {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return true;
  }
  Bytes data;
};

// Passes the bytes on and counts them.
class CountingSink final : public ByteSink {
public:
  explicit CountingSink(ByteSink& next) : next_(next) {}
  bool write(ByteView bytes) override {
    if (!next_.write(bytes)) return false;
    count_ += bytes.size();
    return true;
  }
  std::uint64_t count() const { return count_; }

private:
  ByteSink& next_;
  std::uint64_t count_ = 0;
};

}  // namespace kestrune::xls
