#include "sheet/xls/sst.h"

#include <algorithm>

namespace kestrune::xls {

namespace {

// Reads across SST/CONTINUE pieces. Character data that crosses into a new
// piece starts with a flags byte giving the width for the rest of the string.
class PieceCursor {
public:
  explicit PieceCursor(const std::vector<ByteView>& pieces) : pieces_(pieces) { settle(); }

  bool atEnd() const { return piece_ >= pieces_.size(); }
  bool ok() const { return ok_; }

  std::uint8_t u8() {
    settle();
    if (atEnd()) return fail();
    return pieces_[piece_][pos_++];
  }
  std::uint16_t u16() {
    const std::uint16_t lo = u8();
    return static_cast<std::uint16_t>(lo | (u8() << 8));
  }
  std::uint32_t u32() {
    const std::uint32_t lo = u16();
    return lo | (static_cast<std::uint32_t>(u16()) << 16);
  }

  bool chars(std::size_t count, bool wide, std::u16string& out) {
    out.reserve(std::min<std::size_t>(count, remainingBytes()));
    while (count > 0) {
      if (pos_ >= current().size()) {
        // The string goes on in the next record, which starts with the width
        // flags. A record that holds only those flags, or nothing, still
        // belongs to this string: its characters follow in the record after.
        ++piece_;
        pos_ = 0;
        if (atEnd()) return stop();
        if (current().empty()) continue;
        wide = current()[pos_++] & 0x01;
        continue;
      }
      const std::size_t width = wide ? 2 : 1;
      const std::size_t fit = (current().size() - pos_) / width;
      if (fit == 0) return stop();  // a wide character split across records
      const std::size_t n = std::min(fit, count);
      for (std::size_t i = 0; i < n; ++i, pos_ += width)
        out += static_cast<char16_t>(wide ? getU16(current(), pos_) : current()[pos_]);
      count -= n;
    }
    return true;
  }

  bool bytes(std::size_t count, Bytes& out) {
    if (count > remainingBytes()) return stop();
    out.reserve(count);
    while (count > 0) {
      settle();
      const std::size_t n = std::min(count, current().size() - pos_);
      out.insert(out.end(), current().begin() + static_cast<std::ptrdiff_t>(pos_),
                 current().begin() + static_cast<std::ptrdiff_t>(pos_ + n));
      pos_ += n;
      count -= n;
    }
    return true;
  }

private:
  ByteView current() const { return pieces_[piece_]; }
  void settle() {
    while (piece_ < pieces_.size() && pos_ >= pieces_[piece_].size()) ++piece_, pos_ = 0;
  }
  std::size_t remainingBytes() const {
    std::size_t n = 0;
    for (std::size_t i = piece_; i < pieces_.size(); ++i) n += pieces_[i].size() - (i == piece_ ? pos_ : 0);
    return n;
  }
  bool stop() {
    ok_ = false;
    return false;
  }
  std::uint8_t fail() {
    ok_ = false;
    return 0;
  }

  const std::vector<ByteView>& pieces_;
  std::size_t piece_ = 0;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

bool isWide(const std::u16string& s) {
  return std::any_of(s.begin(), s.end(), [](char16_t c) { return c > 0xFF; });
}

}  // namespace

SstTable parseSst(const std::vector<ByteView>& pieces) {
  SstTable table;
  PieceCursor in(pieces);
  table.declaredTotal = in.u32();
  table.declaredUnique = in.u32();
  if (!in.ok()) {
    table.truncated = true;
    return table;
  }
  // Every string takes at least its 3-byte header: the data caps the count.
  std::size_t bytes = 0;
  for (const ByteView piece : pieces) bytes += piece.size();
  table.strings.reserve(std::min<std::size_t>(table.declaredUnique, bytes / 3));
  while (table.strings.size() < table.declaredUnique) {
    if (in.atEnd()) {
      table.truncated = true;
      break;
    }
    SstString s;
    const std::uint16_t cch = in.u16();
    const std::uint8_t flags = in.u8();
    const std::uint16_t runs = (flags & 0x08) ? in.u16() : 0;
    const std::uint32_t ext = (flags & 0x04) ? in.u32() : 0;
    Bytes runBytes, extBytes;
    if (!in.ok() || !in.chars(cch, flags & 0x01, s.chars) || !in.bytes(std::size_t{runs} * 4, runBytes) ||
        !in.bytes(ext, extBytes)) {
      table.truncated = true;
      break;
    }
    s.runs = std::move(runBytes);
    s.ext = std::move(extBytes);
    table.strings.push_back(std::move(s));
  }
  return table;
}

std::vector<Record> buildSst(const SstStrings& strings, std::uint32_t totalRefs, std::vector<SstPosition>& positions) {
  std::vector<Record> out;
  positions.clear();
  positions.reserve(strings.size());
  Record cur{rid::Sst, {}, 0};
  putU32(cur.body, totalRefs);
  putU32(cur.body, static_cast<std::uint32_t>(strings.size()));
  auto flush = [&] {
    out.push_back(std::move(cur));
    cur = Record{rid::Continue, {}, 0};
  };
  auto room = [&] { return MaxRecordBody - cur.body.size(); };
  for (const SstString& s : strings) {
    const bool wide = isWide(s.chars);
    const std::size_t width = wide ? 2 : 1;
    const std::size_t header = 3 + (s.runs.empty() ? 0 : 2) + (s.ext.empty() ? 0 : 4);
    // The header and the first character always share a record.
    if (room() < header + (s.chars.empty() ? 0 : width)) flush();
    positions.push_back({out.size(), cur.body.size()});
    putU16(cur.body, static_cast<std::uint16_t>(s.chars.size()));
    putU8(cur.body,
          static_cast<std::uint8_t>((wide ? 0x01 : 0) | (s.ext.empty() ? 0 : 0x04) | (s.runs.empty() ? 0 : 0x08)));
    if (!s.runs.empty()) putU16(cur.body, static_cast<std::uint16_t>(s.runs.size() / 4));
    if (!s.ext.empty()) putU32(cur.body, static_cast<std::uint32_t>(s.ext.size()));
    for (std::size_t i = 0; i < s.chars.size(); ++i) {
      if (room() < width) {
        flush();
        putU8(cur.body, wide ? 1 : 0);  // character data continues: width flags first
      }
      if (wide)
        putU16(cur.body, s.chars[i]);
      else
        putU8(cur.body, static_cast<std::uint8_t>(s.chars[i]));
    }
    for (std::size_t i = 0; i < s.runs.size(); i += 4) {
      if (room() < 4) flush();  // runs move whole, without a flags byte
      cur.body.insert(cur.body.end(), s.runs.begin() + static_cast<std::ptrdiff_t>(i),
                      s.runs.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, s.runs.size())));
    }
    for (std::size_t i = 0; i < s.ext.size();) {
      if (room() == 0) flush();
      const std::size_t n = std::min(room(), s.ext.size() - i);
      cur.body.insert(cur.body.end(), s.ext.begin() + static_cast<std::ptrdiff_t>(i),
                      s.ext.begin() + static_cast<std::ptrdiff_t>(i + n));
      i += n;
    }
  }
  out.push_back(std::move(cur));
  return out;
}

std::uint16_t extSstBucketSize(std::size_t count) {
  // At most 128 buckets, at least 8 strings per bucket.
  return static_cast<std::uint16_t>(std::max<std::size_t>(8, (count + 127) / 128));
}

Record buildExtSst(const std::vector<Record>& sstBlock, const std::vector<SstPosition>& positions,
                   std::uint32_t sstStreamOffset) {
  Record r{rid::ExtSst, {}, 0};
  const std::uint16_t perBucket = extSstBucketSize(positions.size());
  putU16(r.body, perBucket);
  std::vector<std::uint32_t> recordStart(sstBlock.size());
  std::uint32_t at = sstStreamOffset;
  for (std::size_t i = 0; i < sstBlock.size(); ++i) {
    recordStart[i] = at;
    at += static_cast<std::uint32_t>(recordSize(sstBlock[i]));
  }
  for (std::size_t i = 0; i < positions.size(); i += perBucket) {
    const SstPosition& p = positions[i];
    putU32(r.body, recordStart[p.record] + 4 + static_cast<std::uint32_t>(p.offset));
    putU16(r.body, static_cast<std::uint16_t>(4 + p.offset));
    putU16(r.body, 0);
  }
  return r;
}

Record extSstFromPlan(const SstPlan& plan, std::uint32_t sstStreamOffset) {
  Record r{rid::ExtSst, {}, 0};
  r.body.reserve(2 + 8 * plan.bucketStarts.size());
  putU16(r.body, plan.perBucket);
  std::vector<std::uint32_t> recordStart(plan.bodySizes.size());
  std::uint32_t at = sstStreamOffset;
  for (std::size_t i = 0; i < plan.bodySizes.size(); ++i) {
    recordStart[i] = at;
    at += static_cast<std::uint32_t>(RecordHeaderSize + plan.bodySizes[i]);
  }
  for (const SstPosition& p : plan.bucketStarts) {
    putU32(r.body, recordStart[p.record] + 4 + static_cast<std::uint32_t>(p.offset));
    putU16(r.body, static_cast<std::uint16_t>(4 + p.offset));
    putU16(r.body, 0);
  }
  return r;
}

}  // namespace kestrune::xls
