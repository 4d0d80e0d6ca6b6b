#include "sheet/xls/sheet_records.h"

#include "sheet/xls/records.h"

#include <cstring>

namespace kestrune::xls {

namespace {

// Fills a fixed-size body from the front, little-endian.
template <std::size_t N>
class BodyWriter {
public:
  BodyWriter& u8(std::uint8_t v) {
    body_[at_++] = v;
    return *this;
  }
  BodyWriter& u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v)).u8(static_cast<std::uint8_t>(v >> 8)); }
  BodyWriter& u32(std::uint32_t v) {
    return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16));
  }
  BodyWriter& f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return u32(static_cast<std::uint32_t>(bits)).u32(static_cast<std::uint32_t>(bits >> 32));
  }
  BodyWriter& cell(CellHeader header) { return u16(header.row).u16(header.column).u16(header.xf); }
  const std::array<std::uint8_t, N>& body() const { return body_; }

private:
  std::array<std::uint8_t, N> body_{};
  std::size_t at_ = 0;
};

}  // namespace

CellHeader readCellHeader(ByteView body) {
  return CellHeader{getU16(body, CellHeader::RowAt), getU16(body, CellHeader::ColumnAt),
                    getU16(body, CellHeader::XfAt)};
}

std::size_t multiCellCount(std::uint16_t id, ByteView body) {
  const std::size_t entrySize = id == rid::MulRk ? MultiCellRecord::MulRkEntrySize : MultiCellRecord::MulBlankEntrySize;
  const std::size_t entries = body.size() - MultiCellRecord::FixedSize;
  const std::size_t n = entries / entrySize;
  if (entries % entrySize != 0 || n == 0) return 0;
  const std::size_t lastColumn = getU16(body, body.size() - 2);
  return lastColumn == getU16(body, CellHeader::ColumnAt) + n - 1 ? n : 0;
}

std::array<std::uint8_t, BlankSize> blankBody(CellHeader cell) { return BodyWriter<BlankSize>().cell(cell).body(); }

std::array<std::uint8_t, LabelSstSize> labelSstBody(CellHeader cell, std::uint32_t stringIndex) {
  return BodyWriter<LabelSstSize>().cell(cell).u32(stringIndex).body();
}

std::array<std::uint8_t, NumberSize> numberBody(CellHeader cell, double value) {
  return BodyWriter<NumberSize>().cell(cell).f64(value).body();
}

std::array<std::uint8_t, RkSize> rkBody(CellHeader cell, std::uint32_t rk) {
  return BodyWriter<RkSize>().cell(cell).u32(rk).body();
}

std::array<std::uint8_t, BoolErrSize> boolErrBody(CellHeader cell, std::uint8_t value, bool isError) {
  return BodyWriter<BoolErrSize>().cell(cell).u8(value).u8(isError ? 1 : 0).body();
}

std::array<std::uint8_t, RowRecord::Size> rowBody(const RowRecord& row) {
  const std::uint32_t flags = RowRecord::FlagsAlwaysSet | static_cast<std::uint32_t>(row.xf) << RowRecord::XfShift;
  return BodyWriter<RowRecord::Size>()
      .u16(row.row)
      .u16(row.colMic)
      .u16(row.colMac)
      .u16(RowRecord::DefaultHeight)
      .u16(0)
      .u16(0)
      .u32(flags)
      .body();
}

std::array<std::uint8_t, DimensionsRecord::Size> dimensionsBody(const DimensionsRecord& dimensions) {
  return BodyWriter<DimensionsRecord::Size>()
      .u32(dimensions.rwMic)
      .u32(dimensions.rwMac)
      .u16(dimensions.colMic)
      .u16(dimensions.colMac)
      .u16(0)
      .body();
}

std::array<std::uint8_t, ColInfoRecord::Size> colInfoBody(const ColInfoRecord& columns) {
  return BodyWriter<ColInfoRecord::Size>()
      .u16(columns.firstColumn)
      .u16(columns.lastColumn)
      .u16(columns.width)
      .u16(columns.xf)
      .u16(columns.flags)
      .u16(0)
      .body();
}

std::array<std::uint8_t, Window2Record::Size> window2Body(const Window2Record& window) {
  return BodyWriter<Window2Record::Size>()
      .u16(window.flags)
      .u16(window.topRow)
      .u16(window.leftColumn)
      .u16(window.gridColour)
      .u16(window.unused)
      .body();  // zoom factors 0 (the defaults) and the reserved bytes
}

std::array<std::uint8_t, SelectionRecord::OneRangeSize> selectionBody(const SelectionRecord& selection) {
  const auto column = static_cast<std::uint8_t>(selection.column);  // columns of a range are one byte
  return BodyWriter<SelectionRecord::OneRangeSize>()
      .u8(selection.pane)
      .u16(selection.row)
      .u16(selection.column)
      .u16(0)  // the active cell is in the first range
      .u16(1)
      .u16(selection.row)
      .u16(selection.row)
      .u8(column)
      .u8(column)
      .body();
}

}  // namespace kestrune::xls
