#include "settings/setup_record.h"

#include <QtEndian>

#include <limits>

namespace kestrune::settings {

namespace {

class Writer {
public:
  void int16(std::int16_t v) { put(qToLittleEndian(v)); }
  void int32(std::int32_t v) { put(qToLittleEndian(v)); }
  bool string(const QByteArray& s) {
    if (s.size() > std::numeric_limits<std::uint16_t>::max()) return false;
    put(qToLittleEndian(static_cast<std::uint16_t>(s.size())));
    bytes.append(s);
    return true;
  }
  QByteArray bytes;

private:
  template <typename T>
  void put(T v) {
    bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
};

// Bounds-checked reading of the record, limited to its 2048 bytes.
class Reader {
public:
  explicit Reader(QByteArrayView data)
      : data_(data.first(std::min<qsizetype>(data.size(), static_cast<qsizetype>(SetupRecordSize)))) {}

  bool int16(std::int16_t& out) { return get(out); }
  bool int32(std::int32_t& out) { return get(out); }
  bool string(QByteArray& out) {
    std::uint16_t length = 0;
    if (!get(length) || length > data_.size() - pos_) return false;
    out = data_.sliced(pos_, length).toByteArray();
    pos_ += length;
    return true;
  }
  qsizetype position() const { return pos_; }

private:
  template <typename T>
  bool get(T& out) {
    if (data_.size() - pos_ < static_cast<qsizetype>(sizeof(T))) return false;
    out = qFromLittleEndian<T>(data_.data() + pos_);
    pos_ += sizeof(T);
    return true;
  }
  QByteArrayView data_;
  qsizetype pos_ = 0;
};

}  // namespace

Result<QByteArray> encodeSetupRecord(const SetupRecord& r) {
  Writer w;
  bool fits = true;
  w.int16(r.reservedHead);
  w.int16(r.stampMode);
  w.int16(r.scriptFromFile);
  w.int16(r.numberingOn);
  w.int32(r.acquisitionNo);
  w.int16(r.startAtCell);
  fits &= w.string(r.startCol);
  w.int32(r.startRow);
  w.int16(r.startColNo);
  w.int16(r.reservedMid);
  w.int32(r.acquireTimeMs);
  w.int32(r.measureCount);
  for (const QByteArray& s : r.commSettings) fits &= w.string(s);
  for (const std::int16_t p : r.commPort) w.int16(p);
  for (const std::int16_t h : r.handshaking) w.int16(h);
  fits &= w.string(r.reservedTail);
  if (!fits || w.bytes.size() > static_cast<qsizetype>(SetupRecordSize))
    return fail(QStringLiteral("設定の内容が %1 バイトに収まりません").arg(SetupRecordSize));
  w.bytes.append(static_cast<qsizetype>(SetupRecordSize) - w.bytes.size(), '\0');
  return w.bytes;
}

Status decodeSetupRecord(QByteArrayView data, SetupRecord& r) {
  Reader in(data);
  // Each field is assigned as soon as it has been read in full.
  const auto truncated = [&in] {
    return fail(QStringLiteral("setup.dat の %1 バイト目で項目が途切れています").arg(in.position()));
  };
  if (!in.int16(r.reservedHead) || !in.int16(r.stampMode) || !in.int16(r.scriptFromFile) ||
      !in.int16(r.numberingOn) || !in.int32(r.acquisitionNo) || !in.int16(r.startAtCell) ||
      !in.string(r.startCol) || !in.int32(r.startRow) || !in.int16(r.startColNo) || !in.int16(r.reservedMid) ||
      !in.int32(r.acquireTimeMs) || !in.int32(r.measureCount))
    return truncated();
  for (QByteArray& s : r.commSettings)
    if (!in.string(s)) return truncated();
  for (std::int16_t& p : r.commPort)
    if (!in.int16(p)) return truncated();
  for (std::int16_t& h : r.handshaking)
    if (!in.int16(h)) return truncated();
  if (!in.string(r.reservedTail)) return truncated();
  return {};
}

}  // namespace kestrune::settings
