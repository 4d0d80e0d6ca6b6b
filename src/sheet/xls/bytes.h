// Little-endian byte access for the compound file and BIFF records. The
// reader never reads past its span: a short read yields zero and marks the
// reader as failed, so parsers check ok() once after reading a group of fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kestrune::xls {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline std::uint16_t getU16(ByteView b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8)); }
inline std::uint32_t getU32(ByteView b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
inline double getF64(ByteView b, std::size_t at) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | b[at + static_cast<std::size_t>(i)];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline void putU8(Bytes& out, std::uint8_t v) { out.push_back(v); }
inline void putU16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void putU32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void putF64(Bytes& out, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof d);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}
inline void setU16(Bytes& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v);
  out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void setU32(Bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The same into memory the caller sized (a file being written in place).
inline void storeU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

class ByteReader {
public:
  explicit ByteReader(ByteView data, std::size_t pos = 0) : data_(data), pos_(pos) {}

  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }
  std::size_t remaining() const { return pos_ <= data_.size() ? data_.size() - pos_ : 0; }
  bool has(std::size_t n) const { return remaining() >= n; }

  std::uint8_t u8() {
    if (!take(1)) return 0;
    return data_[pos_ - 1];
  }
  std::uint16_t u16() {
    if (!take(2)) return 0;
    return getU16(data_, pos_ - 2);
  }
  std::uint32_t u32() {
    if (!take(4)) return 0;
    return getU32(data_, pos_ - 4);
  }
  double f64() {
    if (!take(8)) return 0.0;
    return getF64(data_, pos_ - 8);
  }
  ByteView bytes(std::size_t n) {
    if (!take(n)) return {};
    return data_.subspan(pos_ - n, n);
  }
  void skip(std::size_t n) { take(n); }

private:
  bool take(std::size_t n) {
    if (!ok_ || remaining() < n) {
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }

  ByteView data_;
  std::size_t pos_;
  bool ok_ = true;
};

}  // namespace kestrune::xls
