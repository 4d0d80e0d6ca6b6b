// BIFF record layer: a stream is a sequence of records (u16 id, u16 length,
// body). Splitting is bounded by the stream; writing splits nothing, callers
// keep bodies within MaxRecordBody or use CONTINUE themselves.
#pragma once

#include "sheet/xls/bytes.h"
#include "sheet/xls/xls_result.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::xls {

// Record numbers, in numeric order.
namespace rid {
constexpr std::uint16_t Formula = 0x0006;
constexpr std::uint16_t Eof = 0x000A;
constexpr std::uint16_t CalcCount = 0x000C;
constexpr std::uint16_t CalcMode = 0x000D;
constexpr std::uint16_t Precision = 0x000E;
constexpr std::uint16_t RefMode = 0x000F;
constexpr std::uint16_t Delta = 0x0010;
constexpr std::uint16_t Iteration = 0x0011;
constexpr std::uint16_t Protect = 0x0012;
constexpr std::uint16_t Password = 0x0013;
constexpr std::uint16_t Header = 0x0014;
constexpr std::uint16_t Footer = 0x0015;
constexpr std::uint16_t WindowProtect = 0x0019;
constexpr std::uint16_t Selection = 0x001D;
constexpr std::uint16_t DateMode = 0x0022;
constexpr std::uint16_t PrintHeaders = 0x002A;
constexpr std::uint16_t PrintGridlines = 0x002B;
constexpr std::uint16_t FilePass = 0x002F;
constexpr std::uint16_t Font = 0x0031;
constexpr std::uint16_t Continue = 0x003C;
constexpr std::uint16_t Window1 = 0x003D;
constexpr std::uint16_t Backup = 0x0040;
constexpr std::uint16_t Pane = 0x0041;
constexpr std::uint16_t CodePage = 0x0042;
constexpr std::uint16_t DefColWidth = 0x0055;
constexpr std::uint16_t WriteAccess = 0x005C;
constexpr std::uint16_t SaveRecalc = 0x005F;
constexpr std::uint16_t ColInfo = 0x007D;
constexpr std::uint16_t Guts = 0x0080;
constexpr std::uint16_t WsBool = 0x0081;
constexpr std::uint16_t GridSet = 0x0082;
constexpr std::uint16_t HCenter = 0x0083;
constexpr std::uint16_t VCenter = 0x0084;
constexpr std::uint16_t BoundSheet = 0x0085;
constexpr std::uint16_t Country = 0x008C;
constexpr std::uint16_t HideObj = 0x008D;
constexpr std::uint16_t Palette = 0x0092;
constexpr std::uint16_t Scl = 0x00A0;
constexpr std::uint16_t StandardWidth = 0x0099;
constexpr std::uint16_t Setup = 0x00A1;
constexpr std::uint16_t MulRk = 0x00BD;
constexpr std::uint16_t MulBlank = 0x00BE;
constexpr std::uint16_t Mms = 0x00C1;
constexpr std::uint16_t RString = 0x00D6;
constexpr std::uint16_t DbCell = 0x00D7;
constexpr std::uint16_t BookBool = 0x00DA;
constexpr std::uint16_t Xf = 0x00E0;
constexpr std::uint16_t InterfaceHdr = 0x00E1;
constexpr std::uint16_t InterfaceEnd = 0x00E2;
constexpr std::uint16_t MergeCells = 0x00E5;
constexpr std::uint16_t Sst = 0x00FC;
constexpr std::uint16_t LabelSst = 0x00FD;
constexpr std::uint16_t ExtSst = 0x00FF;
constexpr std::uint16_t RrTabId = 0x013D;
constexpr std::uint16_t UsesElfs = 0x0160;
constexpr std::uint16_t Dsf = 0x0161;
constexpr std::uint16_t Prot4Rev = 0x01AF;
constexpr std::uint16_t RefreshAll = 0x01B7;
constexpr std::uint16_t Prot4RevPass = 0x01BC;
constexpr std::uint16_t Dimensions = 0x0200;
constexpr std::uint16_t Blank = 0x0201;
constexpr std::uint16_t Number = 0x0203;
constexpr std::uint16_t Label = 0x0204;
constexpr std::uint16_t BoolErr = 0x0205;
constexpr std::uint16_t String = 0x0207;
constexpr std::uint16_t Row = 0x0208;
constexpr std::uint16_t Index = 0x020B;
constexpr std::uint16_t Array = 0x0221;
constexpr std::uint16_t DefaultRowHeight = 0x0225;
constexpr std::uint16_t Table = 0x0236;
constexpr std::uint16_t Window2 = 0x023E;
constexpr std::uint16_t Rk = 0x027E;
constexpr std::uint16_t Style = 0x0293;
constexpr std::uint16_t Format = 0x041E;
constexpr std::uint16_t ShrFmla = 0x04BC;
constexpr std::uint16_t Bof = 0x0809;
constexpr std::uint16_t Plv = 0x088B;
}  // namespace rid

// BOF: the BIFF version, then the kind of substream it opens.
namespace bof {
constexpr std::size_t VersionAt = 0;
constexpr std::size_t TypeAt = 2;
constexpr std::size_t MinSize = 4;       // the fields above
constexpr std::uint16_t Biff5 = 0x0500;  // Excel 5.0/95 (BIFF5 and BIFF7)
constexpr std::uint16_t Biff8 = 0x0600;
constexpr std::uint16_t Globals = 0x0005;
constexpr std::uint16_t Worksheet = 0x0010;
// Every BIFF version's BOF record number has this low byte (0x0009, 0x0209,
// 0x0409, 0x0809), so a stream of another version is still told apart.
constexpr std::uint16_t AnyVersionLowByte = 0x09;
}  // namespace bof

// WINDOW1 (globals): window position and size, flags, then the sheet tabs:
// the active sheet, the first tab shown, how many tabs are selected.
struct Window1Record {
  static constexpr std::size_t ActiveSheetAt = 10;
  static constexpr std::size_t FirstTabAt = 12;
  static constexpr std::size_t SelectedTabsAt = 14;
};

// XF (globals): font, number format, flags (a style XF or a cell XF), then
// alignment, the attributes the XF sets itself, borders and colours.
struct XfRecord {
  static constexpr std::size_t Size = 20;
  static constexpr std::size_t FormatAt = 2;
  static constexpr std::size_t FlagsAt = 4;
  static constexpr std::uint16_t IsStyle = 0x0004;
  static constexpr std::size_t UsedAttributesAt = 9;
  static constexpr std::uint8_t UsesOwnFormat = 0x04;  // the number format is set here, not inherited
  static constexpr std::uint8_t UsesOwnFill = 0x40;    // so is the fill
  // u32: border colours, fHasXFExt (an XFEXT record extends this XF), then
  // the fill pattern in the top six bits.
  static constexpr std::size_t FillPatternAt = 14;
  static constexpr std::uint32_t HasXfExt = 1u << 25;
  static constexpr int FillPatternShift = 26;
  static constexpr std::uint32_t FillPatternMask = 0x3F;
  // u16: the fill's foreground colour (bits 0-6) and background colour (7-13).
  static constexpr std::size_t FillColoursAt = 18;
  static constexpr int BackgroundShift = 7;
  static constexpr std::uint16_t ColourMask = 0x7F;
};

// PALETTE (globals): how many colours, then each as red, green, blue and an
// unused byte, for the colour indexes from 8 on.
struct PaletteRecord {
  static constexpr std::size_t CountAt = 0;
  static constexpr std::size_t EntriesAt = 2;
  static constexpr std::size_t EntrySize = 4;
};

// BOUNDSHEET (globals): the stream position of the sheet's BOF, its
// visibility, its type, then its name.
struct BoundSheetRecord {
  static constexpr std::size_t PositionAt = 0;
  static constexpr std::uint8_t Worksheet = 0;
  static constexpr std::uint8_t MacroSheet = 1;
  static constexpr std::uint8_t Chart = 2;
  static constexpr std::uint8_t VbaModule = 6;
};

// A record's header: its id and its body length, u16 each.
constexpr std::size_t RecordHeaderSize = 4;
// Largest body a record may carry; longer data continues in CONTINUE records.
constexpr std::size_t MaxRecordBody = 8224;

struct Record {
  std::uint16_t id = 0;
  Bytes body;
  std::uint32_t offset = 0;  // position in the stream it was read from
};

// A record of a stream held elsewhere: where its header starts, its id and
// its body length. A workbook keeps these instead of copies of the bodies.
struct RecordRef {
  std::uint32_t offset = 0;
  std::uint16_t id = 0;
  std::uint16_t size = 0;

  ByteView body(ByteView stream) const { return stream.subspan(offset + RecordHeaderSize, size); }
};

// Splits a stream into records. A record running past the end of the stream
// fails, or with `dropCutRecord` ends the list; fewer than four trailing bytes
// (padding) are ignored.
XlsResult<std::vector<RecordRef>> indexRecords(ByteView stream, bool dropCutRecord = false);
XlsResult<std::vector<Record>> splitRecords(ByteView stream);

void appendRecord(Bytes& out, std::uint16_t id, ByteView body);
// Writes a record header into memory the caller sized.
inline void storeRecordHeader(std::uint8_t* out, std::uint16_t id, std::size_t bodySize) {
  storeU16(out, id);
  storeU16(out + 2, static_cast<std::uint16_t>(bodySize));
}
inline void appendRecord(Bytes& out, const Record& r) { appendRecord(out, r.id, r.body); }
inline std::size_t recordSize(const Record& r) { return RecordHeaderSize + r.body.size(); }

// Body of records[at] followed by the bodies of the CONTINUE records after it.
// `next` receives the index after the last CONTINUE.
Bytes joinContinues(const std::vector<Record>& records, std::size_t at, std::size_t* next = nullptr);

// "0x00FC" style text for messages.
std::string hexId(std::uint16_t id);

// True for records that hold one or more cells (BLANK, NUMBER, LABELSST, ...).
bool isCellRecord(std::uint16_t id);

}  // namespace kestrune::xls
