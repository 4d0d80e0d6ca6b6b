#include "sheet/xls/records.h"

namespace kestrune::xls {

std::string hexId(std::uint16_t id) {
  static const char* digits = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 12; shift >= 0; shift -= 4) s += digits[(id >> shift) & 0xF];
  return s;
}

XlsResult<std::vector<RecordRef>> indexRecords(ByteView stream, bool dropCutRecord) {
  if (stream.size() > 0xFFFFFFFFu) return xlsFail(XlsErrorCode::TooLarge, "the stream is too large");
  // Counted first so the index is allocated once, at its size: one pass over
  // the headers costs less than the vector's growth.
  std::size_t count = 0;
  for (std::size_t at = 0; stream.size() - at >= RecordHeaderSize; ++count) {
    const std::size_t len = getU16(stream, at + 2);
    if (len > stream.size() - at - RecordHeaderSize) {
      ++count;
      break;
    }
    at += RecordHeaderSize + len;
  }
  std::vector<RecordRef> out;
  out.reserve(count);
  std::size_t pos = 0;
  while (stream.size() - pos >= RecordHeaderSize) {
    const std::uint16_t id = getU16(stream, pos);
    const std::uint16_t len = getU16(stream, pos + 2);
    if (len > stream.size() - pos - RecordHeaderSize && dropCutRecord) break;
    if (len > stream.size() - pos - RecordHeaderSize)
      return xlsDamaged(
          "record " + hexId(id),
          "record " + hexId(id) + " at offset " + std::to_string(pos) + " runs past the end of the stream",
          static_cast<std::int64_t>(pos));
    out.push_back(RecordRef{static_cast<std::uint32_t>(pos), id, len});
    pos += RecordHeaderSize + len;
  }
  return out;
}

XlsResult<std::vector<Record>> splitRecords(ByteView stream) {
  auto refs = indexRecords(stream);
  if (!refs) return refs.error();
  std::vector<Record> out;
  out.reserve(refs->size());
  for (const RecordRef& ref : refs.value()) {
    const ByteView body = ref.body(stream);
    out.push_back(Record{ref.id, Bytes(body.begin(), body.end()), ref.offset});
  }
  return out;
}

void appendRecord(Bytes& out, std::uint16_t id, ByteView body) {
  putU16(out, id);
  putU16(out, static_cast<std::uint16_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
}

Bytes joinContinues(const std::vector<Record>& records, std::size_t at, std::size_t* next) {
  Bytes out = records[at].body;
  std::size_t i = at + 1;
  for (; i < records.size() && records[i].id == rid::Continue; ++i)
    out.insert(out.end(), records[i].body.begin(), records[i].body.end());
  if (next) *next = i;
  return out;
}

bool isCellRecord(std::uint16_t id) {
  switch (id) {
    case rid::Formula:
    case rid::MulRk:
    case rid::MulBlank:
    case rid::RString:
    case rid::LabelSst:
    case rid::Blank:
    case rid::Number:
    case rid::Label:
    case rid::BoolErr:
    case rid::Rk:
      return true;
    default:
      return false;
  }
}

}  // namespace kestrune::xls
