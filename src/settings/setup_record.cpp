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

// The file's forms of the typed fields, one pair of functions per field kind.
constexpr std::int16_t StoredTrue = -1;
constexpr std::int16_t StoredFalse = 0;

std::int16_t booleanCode(bool on) { return on ? StoredTrue : StoredFalse; }
bool nonZeroBoolean(std::int16_t stored) { return stored != StoredFalse; }
bool minusOneBoolean(std::int16_t stored) { return stored == StoredTrue; }

}  // namespace

std::int16_t stampModeCode(StampMode mode) {
  switch (mode) {
    case StampMode::None:
      return 0;
    case StampMode::Date:
      return 1;
    case StampMode::Time:
      return 2;
    case StampMode::DateAndTime:
      return 3;
  }
  return 0;
}

namespace {

StampMode stampModeOf(std::int16_t stored) {
  switch (stored) {
    case 1:
      return StampMode::Date;
    case 2:
      return StampMode::Time;
    case 3:
      return StampMode::DateAndTime;
    default:
      return StampMode::None;
  }
}

// Empty flow control has no code of its own: it only comes from a value
// outside 0 to 3, which is kept as read and written back.
std::int16_t flowControlCode(std::optional<FlowControl> flow) {
  switch (flow.value_or(FlowControl::None)) {
    case FlowControl::None:
      return 0;
    case FlowControl::XonXoff:
      return 1;
    case FlowControl::RtsCts:
      return 2;
    case FlowControl::RtsCtsXonXoff:
      return 3;
  }
  return 0;
}

std::optional<FlowControl> flowControlOf(std::int16_t stored) {
  switch (stored) {
    case 0:
      return FlowControl::None;
    case 1:
      return FlowControl::XonXoff;
    case 2:
      return FlowControl::RtsCts;
    case 3:
      return FlowControl::RtsCtsXonXoff;
    default:
      return std::nullopt;
  }
}

}  // namespace

Result<QByteArray> encodeSetupRecord(const SetupRecord& r) {
  Writer w;
  bool fits = true;
  // A typed field: the value as read while it is kept, else the value's code.
  const auto typed = [&w](const auto& field, std::int16_t code) { w.int16(field.asRead.value_or(code)); };
  w.int16(r.reservedHead);
  typed(r.stampMode_, stampModeCode(r.stampMode_.value));
  typed(r.scriptFromFile_, booleanCode(r.scriptFromFile_.value));
  typed(r.numberingOn_, booleanCode(r.numberingOn_.value));
  w.int32(r.acquisitionNo);
  typed(r.startAtCell_, booleanCode(r.startAtCell_.value));
  fits &= w.string(r.startCol);
  w.int32(r.startRow);
  w.int16(r.startColNo);
  w.int16(r.reservedMid);
  w.int32(r.acquireTimeMs);
  w.int32(r.measureCount);
  for (const QByteArray& s : r.commSettings) fits &= w.string(s);
  for (const std::int16_t p : r.commPort) w.int16(p);
  for (const auto& h : r.handshaking_) typed(h, flowControlCode(h.value));
  fits &= w.string(r.reservedTail);
  if (!fits || w.bytes.size() > static_cast<qsizetype>(SetupRecordSize))
    return fail(SetupError::DoesNotFit, QStringLiteral("設定の内容が %1 バイトに収まりません").arg(SetupRecordSize));
  w.bytes.append(static_cast<qsizetype>(SetupRecordSize) - w.bytes.size(), '\0');
  return w.bytes;
}

Status decodeSetupRecord(QByteArrayView data, SetupRecord& r) {
  Reader in(data);
  // Each field is assigned as soon as it has been read in full.
  const auto truncated = [&in] {
    return fail(SetupError::Truncated,
                QStringLiteral("setup.dat の %1 バイト目で項目が途切れています").arg(in.position()));
  };
  // A typed field: its value, and the 16-bit value itself when the value
  // would be written otherwise.
  const auto typed = [&in](auto& field, auto valueOf, auto codeOf) {
    std::int16_t stored = 0;
    if (!in.int16(stored)) return false;
    field.value = valueOf(stored);
    field.asRead = codeOf(field.value) == stored ? std::nullopt : std::optional<std::int16_t>(stored);
    return true;
  };
  if (!in.int16(r.reservedHead) || !typed(r.stampMode_, stampModeOf, stampModeCode) ||
      !typed(r.scriptFromFile_, nonZeroBoolean, booleanCode) || !typed(r.numberingOn_, nonZeroBoolean, booleanCode) ||
      !in.int32(r.acquisitionNo) || !typed(r.startAtCell_, minusOneBoolean, booleanCode) || !in.string(r.startCol) ||
      !in.int32(r.startRow) || !in.int16(r.startColNo) || !in.int16(r.reservedMid) || !in.int32(r.acquireTimeMs) ||
      !in.int32(r.measureCount))
    return truncated();
  for (QByteArray& s : r.commSettings)
    if (!in.string(s)) return truncated();
  for (std::int16_t& p : r.commPort)
    if (!in.int16(p)) return truncated();
  for (auto& h : r.handshaking_)
    if (!typed(h, flowControlOf, flowControlCode)) return truncated();
  if (!in.string(r.reservedTail)) return truncated();
  return {};
}

}  // namespace kestrune::settings
