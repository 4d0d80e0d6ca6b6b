// Worksheet records the engine reads, makes or changes: where their fields
// sit, what their flags mean, and one builder per record the save makes,
// which turns typed fields into the record's exact body.
#pragma once

#include "sheet/xls/bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune::xls {

// The cell XF of a workbook made by the engine, and the one new rows use.
constexpr std::uint16_t DefaultCellXf = 15;

// Every cell record starts with the cell's row, column and XF; a BLANK is
// only that. The value, where there is one, follows.
struct CellHeader {
  static constexpr std::size_t RowAt = 0;
  static constexpr std::size_t ColumnAt = 2;
  static constexpr std::size_t XfAt = 4;
  static constexpr std::size_t Size = 6;
  static constexpr std::size_t ValueAt = Size;

  std::uint16_t row = 0;
  std::uint16_t column = 0;
  std::uint16_t xf = 0;
};
// The header of a cell record body of at least CellHeader::Size bytes.
CellHeader readCellHeader(ByteView body);

// Body sizes of the single-cell records.
constexpr std::size_t BlankSize = CellHeader::Size;
constexpr std::size_t LabelSstSize = CellHeader::Size + 4;  // string index u32
constexpr std::size_t NumberSize = CellHeader::Size + 8;    // IEEE double
constexpr std::size_t RkSize = CellHeader::Size + 4;        // RK number u32
constexpr std::size_t BoolErrSize = CellHeader::Size + 2;   // value u8, fError u8
constexpr std::size_t BoolErrIsErrorAt = CellHeader::ValueAt + 1;

std::array<std::uint8_t, BlankSize> blankBody(CellHeader cell);
std::array<std::uint8_t, LabelSstSize> labelSstBody(CellHeader cell, std::uint32_t stringIndex);
std::array<std::uint8_t, NumberSize> numberBody(CellHeader cell, double value);
std::array<std::uint8_t, RkSize> rkBody(CellHeader cell, std::uint32_t rk);
// A boolean (value 0 or 1) or an error (value the error code).
std::array<std::uint8_t, BoolErrSize> boolErrBody(CellHeader cell, std::uint8_t value, bool isError);

// MULRK and MULBLANK: row, first column, one entry per cell (XF and RK
// number, or XF alone), last column.
struct MultiCellRecord {
  static constexpr std::size_t FirstEntryAt = 4;
  static constexpr std::size_t FixedSize = 6;  // row, first and last column
  static constexpr std::size_t MulRkEntrySize = 6;
  static constexpr std::size_t MulRkEntryRkAt = 2;  // after the entry's XF
  static constexpr std::size_t MulBlankEntrySize = 2;
};
// The number of cells a MULRK or MULBLANK body (at least a cell header long)
// holds, or 0 when its length and its last column disagree.
std::size_t multiCellCount(std::uint16_t id, ByteView body);

// FORMULA: the cell header, the cached result (8 bytes), flags, a
// calculation chain field, the size of the tokens and the tokens.
struct FormulaRecord {
  static constexpr std::size_t ResultAt = CellHeader::ValueAt;  // a double, unless marked below
  // A result that is not a number has 0xFFFF in the result's last two
  // bytes; its first byte is then the FormulaResult, its third the value.
  static constexpr std::size_t ResultMarkerAt = ResultAt + 6;
  static constexpr std::uint16_t NotANumber = 0xFFFF;
  static constexpr std::size_t ResultTypeAt = ResultAt;
  static constexpr std::size_t ResultValueAt = ResultAt + 2;
  static constexpr std::size_t FlagsAt = 14;
  static constexpr std::uint16_t SharedFormula = 0x0008;  // the tokens point at a SHRFMLA
  static constexpr std::size_t TokenSizeAt = 20;
  static constexpr std::size_t TokensAt = 22;
};
enum class FormulaResult : std::uint8_t {
  String = 0,  // the text is in the STRING record that follows
  Bool = 1,
  Error = 2,
  EmptyString = 3,
};

// ROW: row, first column, one past the last column, height, two unused
// fields, flags (a bit that is always set, and the row's XF).
struct RowRecord {
  static constexpr std::size_t Size = 16;
  static constexpr std::size_t RowAt = 0;
  static constexpr std::size_t ColMicAt = 2;
  static constexpr std::size_t ColMacAt = 4;
  static constexpr std::uint16_t DefaultHeight = 0x00FF;  // twips
  static constexpr std::uint32_t FlagsAlwaysSet = 0x00000100;
  static constexpr unsigned XfShift = 16;  // the XF takes bits 16-27

  std::uint16_t row = 0;
  std::uint16_t colMic = 0;
  std::uint16_t colMac = 0;
  std::uint16_t xf = DefaultCellXf;
};
std::array<std::uint8_t, RowRecord::Size> rowBody(const RowRecord& row);

// DIMENSIONS: the used range, last row and column exclusive.
struct DimensionsRecord {
  static constexpr std::size_t Size = 14;

  std::uint32_t rwMic = 0;
  std::uint32_t rwMac = 0;
  std::uint16_t colMic = 0;
  std::uint16_t colMac = 0;
};
std::array<std::uint8_t, DimensionsRecord::Size> dimensionsBody(const DimensionsRecord& dimensions);

// COLINFO: a range of columns (first and last column), their width in
// 1/256 of the width of the standard font's '0', their XF, flags (hidden,
// set by the user, outline level) and a reserved field.
struct ColInfoRecord {
  static constexpr std::size_t Size = 12;
  static constexpr std::size_t FirstColumnAt = 0;
  static constexpr std::size_t LastColumnAt = 2;
  static constexpr std::size_t WidthAt = 4;
  static constexpr std::size_t XfAt = 6;
  static constexpr std::size_t FlagsAt = 8;
  static constexpr std::size_t MinSize = FlagsAt + 2;  // the fields above
  static constexpr std::uint16_t Hidden = 0x0001;
  static constexpr std::uint16_t UserSet = 0x0002;  // the width differs from the default

  std::uint16_t firstColumn = 0;
  std::uint16_t lastColumn = 0;
  std::uint16_t width = 0;
  std::uint16_t xf = DefaultCellXf;
  std::uint16_t flags = UserSet;
};
std::array<std::uint8_t, ColInfoRecord::Size> colInfoBody(const ColInfoRecord& columns);

// INDEX: reserved, first and last row, the stream position of DEFCOLWIDTH,
// then the stream position of each DBCELL.
struct IndexRecord {
  static constexpr std::size_t DefColWidthPositionAt = 12;
  static constexpr std::size_t DbCellPositionsAt = 16;
  static constexpr std::size_t FixedSize = DbCellPositionsAt;
};

// WINDOW2 of a worksheet: flags, top row and left column shown, grid colour,
// an unused field, two cached zoom factors and four reserved bytes.
struct Window2Record {
  static constexpr std::size_t Size = 18;
  static constexpr std::size_t FlagsAt = 0;
  static constexpr std::uint16_t ShowGrid = 0x0002;
  static constexpr std::uint16_t ShowHeaders = 0x0004;
  static constexpr std::uint16_t ShowZeros = 0x0010;
  static constexpr std::uint16_t DefaultGridColour = 0x0020;
  static constexpr std::uint16_t ShowOutline = 0x0080;
  static constexpr std::uint16_t Selected = 0x0200;  // the sheet's tab is selected
  static constexpr std::uint16_t Paged = 0x0400;     // the sheet is the one shown
  static constexpr std::uint16_t ActiveSheet = Selected | Paged;
  static constexpr std::uint16_t DefaultFlags = ShowGrid | ShowHeaders | ShowZeros | DefaultGridColour | ShowOutline;
  static constexpr std::uint16_t WindowTextColour = 0x0040;  // palette index 64, the system's colour

  std::uint16_t flags = DefaultFlags;
  std::uint16_t topRow = 0;
  std::uint16_t leftColumn = 0;
  std::uint16_t gridColour = WindowTextColour;
  std::uint16_t unused = 0;  // at offset 8; readers ignore it
};
std::array<std::uint8_t, Window2Record::Size> window2Body(const Window2Record& window);

// PANE: the active pane is a byte at offset 8.
struct PaneRecord {
  static constexpr std::size_t ActivePaneAt = 8;
  static constexpr std::size_t MinSize = ActivePaneAt + 1;
};

// SELECTION: pane, active cell (row, column), which range holds it, the
// number of ranges, then the ranges (first and last row u16, first and
// last column u8).
struct SelectionRecord {
  static constexpr std::size_t PaneAt = 0;
  static constexpr std::size_t ActiveRowAt = 1;
  static constexpr std::size_t ActiveColumnAt = 3;
  static constexpr std::size_t MinSize = 5;  // pane and active cell
  static constexpr std::size_t OneRangeSize = 15;
  static constexpr std::uint8_t TopLeftPane = 3;  // the only pane of a sheet without splits

  std::uint8_t pane = TopLeftPane;
  std::uint16_t row = 0;
  std::uint16_t column = 0;
};
// A selection of the active cell alone: one range holding just that cell.
std::array<std::uint8_t, SelectionRecord::OneRangeSize> selectionBody(const SelectionRecord& selection);

}  // namespace kestrune::xls
