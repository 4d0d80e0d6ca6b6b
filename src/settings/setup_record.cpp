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

Conditions SetupRecord::conditions() const {
  Conditions c;
  c.acquireTimeMs = acquireTimeMs_;
  c.rows = measureCount_;
  c.startAtCell = startAtCell_.value;
  c.cursor = {QString::fromLatin1(startCol_), startRow_, startColNo_, acquisitionNo_};
  c.numbering = numberingOn_.value;
  c.stamp = stampMode_.value;
  c.scriptFromFile = scriptFromFile_.value;
  return c;
}

void SetupRecord::setConditions(const Conditions& c, Rewrite rewrite) {
  const auto put = [rewrite](auto& field, auto value) {
    if (rewrite == Rewrite::All || field.value != value) field.set(value);
  };
  acquireTimeMs_ = c.acquireTimeMs;
  measureCount_ = c.rows;
  put(startAtCell_, c.startAtCell);
  // Letters that read as the same text are kept byte for byte.
  if (QString::fromLatin1(startCol_) != c.cursor.column) startCol_ = c.cursor.column.toLatin1();
  startRow_ = c.cursor.row;
  startColNo_ = c.cursor.columnNo;
  acquisitionNo_ = c.cursor.acquisitionNo;
  put(numberingOn_, c.numbering);
  if (rewrite == Rewrite::Corrected) stampMode_.set(c.stamp);
  put(stampMode_, c.stamp);
  put(scriptFromFile_, c.scriptFromFile);
}

StoredLine SetupRecord::storedLine(std::size_t slot) const {
  return {commPort_.at(slot), QString::fromLatin1(commSettings_.at(slot)), handshaking_.at(slot)};
}

void SetupRecord::setLine(std::size_t slot, const LineSettings& line) {
  commPort_.at(slot) = static_cast<std::int16_t>(line.port);
  const Result<serial::PortConfig> stored = serial::parseSettings(QString::fromLatin1(commSettings_.at(slot)));
  if (!stored || !(*stored == line.config)) commSettings_.at(slot) = serial::settingsText(line.config).toLatin1();
  handshaking_.at(slot) = static_cast<std::int16_t>(serial::handshakingCode(line.flow));
}

Result<QByteArray> encodeSetupRecord(const SetupRecord& r) {
  Writer w;
  bool fits = true;
  // A typed field: the value as read while it is kept, else the value's code.
  const auto typed = [&w](const auto& field, std::int16_t code) { w.int16(field.asRead.value_or(code)); };
  w.int16(r.reservedHead_);
  typed(r.stampMode_, stampModeCode(r.stampMode_.value));
  typed(r.scriptFromFile_, booleanCode(r.scriptFromFile_.value));
  typed(r.numberingOn_, booleanCode(r.numberingOn_.value));
  w.int32(r.acquisitionNo_);
  typed(r.startAtCell_, booleanCode(r.startAtCell_.value));
  fits &= w.string(r.startCol_);
  w.int32(r.startRow_);
  w.int16(r.startColNo_);
  w.int16(r.reservedMid_);
  w.int32(r.acquireTimeMs_);
  w.int32(r.measureCount_);
  for (const QByteArray& s : r.commSettings_) fits &= w.string(s);
  for (const std::int16_t p : r.commPort_) w.int16(p);
  for (const std::int16_t h : r.handshaking_) w.int16(h);
  fits &= w.string(r.reservedTail_);
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
  if (!in.int16(r.reservedHead_) || !typed(r.stampMode_, stampModeOf, stampModeCode) ||
      !typed(r.scriptFromFile_, nonZeroBoolean, booleanCode) || !typed(r.numberingOn_, nonZeroBoolean, booleanCode) ||
      !in.int32(r.acquisitionNo_) || !typed(r.startAtCell_, minusOneBoolean, booleanCode) || !in.string(r.startCol_) ||
      !in.int32(r.startRow_) || !in.int16(r.startColNo_) || !in.int16(r.reservedMid_) || !in.int32(r.acquireTimeMs_) ||
      !in.int32(r.measureCount_))
    return truncated();
  for (QByteArray& s : r.commSettings_)
    if (!in.string(s)) return truncated();
  for (std::int16_t& p : r.commPort_)
    if (!in.int16(p)) return truncated();
  for (std::int16_t& h : r.handshaking_)
    if (!in.int16(h)) return truncated();
  if (!in.string(r.reservedTail_)) return truncated();
  return {};
}

}  // namespace kestrune::settings
