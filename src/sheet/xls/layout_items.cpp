// The bytes of a sheet's layout items: records copied from the stream as
// read, records the save made, and ROW and cell records built from the
// layout's rows and the cell store.
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/workbook_layout.h"

#include <algorithm>
#include <cstring>

namespace kestrune::xls {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// The record a written cell is saved as.
std::uint16_t cellRecordId(const CellSlot& slot) {
  switch (slot.cellKind()) {
    case CellKind::SharedText:
      return rid::LabelSst;
    case CellKind::Number:
    case CellKind::Date:
      return rid::Number;
    case CellKind::Bool:
    case CellKind::Error:
      return rid::BoolErr;
    default:
      return rid::Blank;
  }
}

std::size_t cellBodySize(std::uint16_t id) {
  switch (id) {
    case rid::LabelSst:
      return LabelSstSize;
    case rid::Number:
      return NumberSize;
    case rid::BoolErr:
      return BoolErrSize;
    default:
      return BlankSize;
  }
}

std::uint8_t* putBytes(std::uint8_t* p, ByteView bytes) {
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  return p + bytes.size();
}

}  // namespace

LayoutItem sheetRecordItem(std::span<const RecordRef> records, std::size_t i) {
  const auto record = static_cast<std::uint32_t>(i);
  if (records[i].id == rid::Index && records[i].size >= IndexRecord::FixedSize) return RewrittenIndex{record};
  return CopiedRecord{record};
}

LayoutItem madeRecordItem(SheetLayout& layout, Record record) {
  layout.owned.push_back(std::move(record));
  return MadeRecord{static_cast<std::uint32_t>(layout.owned.size() - 1)};
}

const CellSlot& ItemReader::slot(const WrittenCell& cell) const {
  return *cells_.find(cell.row, cell.column);  // cell items are made from slots that exist
}

std::uint16_t ItemReader::id(const LayoutItem& item) const {
  return std::visit(Overloaded{
                        [&](const CopiedRecord& r) { return records_[r.record].id; },
                        [&](const RewrittenIndex& r) { return records_[r.record].id; },
                        [&](const MadeRecord& r) { return layout_.owned[r.owned].id; },
                        [](const RowItem&) { return rid::Row; },
                        [&](const WrittenCell& c) { return cellRecordId(slot(c)); },
                        [](const CellAreaItem&) { return rid::Row; },
                    },
                    item);
}

std::size_t ItemReader::size(const LayoutItem& item) const {
  return std::visit(Overloaded{
                        [&](const CopiedRecord& r) -> std::size_t { return records_[r.record].size; },
                        [&](const RewrittenIndex& r) -> std::size_t { return records_[r.record].size; },
                        [&](const MadeRecord& r) { return layout_.owned[r.owned].body.size(); },
                        [&](const RowItem& r) -> std::size_t {
                          const std::uint32_t record = layout_.rows[r.row].record;
                          return record == RowState::New ? RowRecord::Size : records_[record].size;
                        },
                        [&](const WrittenCell& c) { return cellBodySize(cellRecordId(slot(c))); },
                        [](const CellAreaItem&) -> std::size_t { return 0; },
                    },
                    item);
}

ByteView ItemReader::body(const LayoutItem& item) const {
  if (const auto* r = std::get_if<CopiedRecord>(&item)) return records_[r->record].body(stream_);
  if (const auto* r = std::get_if<RewrittenIndex>(&item)) return records_[r->record].body(stream_);
  if (const auto* r = std::get_if<MadeRecord>(&item)) return layout_.owned[r->owned].body;
  return {};
}

std::size_t ItemReader::write(const LayoutItem& item, std::uint8_t* out, std::size_t indexSize) const {
  if (std::holds_alternative<CellAreaItem>(item)) return 0;  // its items are written one by one
  const std::size_t bodySize = std::holds_alternative<RewrittenIndex>(item) ? indexSize : size(item);
  storeRecordHeader(out, id(item), bodySize);
  std::uint8_t* const p = out + RecordHeaderSize;
  std::visit(Overloaded{
                 [&](const CopiedRecord&) { putBytes(p, body(item)); },
                 [&](const MadeRecord&) { putBytes(p, body(item)); },
                 [&](const RewrittenIndex& r) { writeIndex(r, p, bodySize); },
                 [&](const RowItem& r) { writeRow(r, p); },
                 [&](const WrittenCell& c) { writeCell(c, p); },
                 [](const CellAreaItem&) {},
             },
             item);
  return RecordHeaderSize + bodySize;
}

// The INDEX as read, cut or zero-extended to its new size; the save puts
// the DBCELL positions in once it knows them.
void ItemReader::writeIndex(const RewrittenIndex& index, std::uint8_t* out, std::size_t bodySize) const {
  const ByteView read = records_[index.record].body(stream_);
  const std::size_t kept = std::min(read.size(), bodySize);
  putBytes(out, read.first(kept));
  std::fill(out + kept, out + bodySize, std::uint8_t{0});
}

// A new ROW, or the sheet's ROW with its columns widened to the written cells.
void ItemReader::writeRow(const RowItem& item, std::uint8_t* out) const {
  const RowState& row = layout_.rows[item.row];
  if (row.record == RowState::New) {
    putBytes(out, rowBody({item.row, row.colMic, row.colMac}));
    return;
  }
  putBytes(out, records_[row.record].body(stream_));
  storeU16(out + RowRecord::ColMicAt, row.colMic);
  storeU16(out + RowRecord::ColMacAt, row.colMac);
}

void ItemReader::writeCell(const WrittenCell& item, std::uint8_t* out) const {
  const CellSlot& cell = slot(item);
  const CellHeader header{item.row, cell.column, cell.xf};
  switch (cellRecordId(cell)) {
    case rid::LabelSst:
      putBytes(out, labelSstBody(header, cell.index()));
      break;
    case rid::Number:
      putBytes(out, numberBody(header, cell.number()));
      break;
    case rid::BoolErr:
      putBytes(out, boolErrBody(header, static_cast<std::uint8_t>(cell.index()), cell.cellKind() == CellKind::Error));
      break;
    default:
      putBytes(out, blankBody(header));
      break;
  }
}

}  // namespace kestrune::xls
