// A new workbook with one empty worksheet "Sheet1": the record order Excel
// writes itself (globals: BOF .. FONTs, XFs, STYLE, BOUNDSHEET, SST, EOF;
// sheet: BOF .. DIMENSIONS, WINDOW2, SELECTION, EOF). Built as bytes and
// loaded through the normal reader, so it is checked like any other file.
#include "sheet/xls/cfb_internal.h"
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/text.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/workbook_layout.h"

namespace kestrune::xls {

namespace {

void rec(Bytes& out, std::uint16_t id, const Bytes& body) { appendRecord(out, id, body); }

Bytes u16s(std::initializer_list<std::uint16_t> values) {
  Bytes b;
  for (std::uint16_t v : values) putU16(b, v);
  return b;
}

// BOF of a BIFF8 substream: version, type, build id 0x0DBB and build year
// 1996, no file history flags, lowest BIFF version 6.
Bytes bofBody(std::uint16_t type) {
  Bytes b = u16s({bof::Biff8, type, 0x0DBB, 0x07CC});
  putU32(b, 0);
  putU32(b, 0x06);
  return b;
}

Bytes font() {
  // 10 pt Arial, regular weight, automatic colour.
  Bytes b = u16s({200, 0, 0x7FFF, 400, 0});
  putU8(b, 0);  // underline
  putU8(b, 0);  // family
  putU8(b, 0);  // character set
  putU8(b, 0);
  appendBiffString(b, u"Arial", true);
  return b;
}

Bytes xf(bool style) {
  // Style XFs (0-14) have parent 0xFFF; XF 15 is the default cell XF.
  Bytes b = u16s({0, 0, static_cast<std::uint16_t>(style ? 0xFFF5 : 0x0001)});
  putU8(b, 0x20);  // general alignment, bottom
  putU8(b, 0);
  putU8(b, 0);
  putU8(b, style ? 0xF4 : 0x00);
  putU32(b, 0);
  putU32(b, 0);
  putU16(b, 0x20C0);
  return b;
}

constexpr std::uint16_t CodePageUtf16 = 1200;

// The globals substream. `sheetOffsetAt` receives where the BOUNDSHEET's
// sheet offset sits, to be set once the sheet's position is known.
Bytes globals(std::size_t& sheetOffsetAt) {
  Bytes g;
  rec(g, rid::Bof, bofBody(bof::Globals));
  rec(g, rid::InterfaceHdr, u16s({CodePageUtf16}));
  rec(g, rid::Mms, u16s({0}));
  rec(g, rid::InterfaceEnd, {});
  Bytes access;
  appendBiffString(access, u"Kestrune", false);
  access.resize(112, 0x20);  // the user name, padded with spaces
  rec(g, rid::WriteAccess, access);
  rec(g, rid::CodePage, u16s({CodePageUtf16}));
  rec(g, rid::Dsf, u16s({0}));
  rec(g, rid::RrTabId, u16s({1}));
  rec(g, rid::WindowProtect, u16s({0}));
  rec(g, rid::Protect, u16s({0}));
  rec(g, rid::Password, u16s({0}));
  rec(g, rid::Prot4Rev, u16s({0}));
  rec(g, rid::Prot4RevPass, u16s({0}));
  rec(g, rid::Window1, u16s({0, 0, 0x3A5C, 0x23BE, 0x0038, 0, 0, 1, 0x0258}));
  rec(g, rid::Backup, u16s({0}));
  rec(g, rid::HideObj, u16s({0}));
  rec(g, rid::DateMode, u16s({0}));
  rec(g, rid::Precision, u16s({1}));
  rec(g, rid::RefreshAll, u16s({0}));
  rec(g, rid::BookBool, u16s({0}));
  for (int i = 0; i < 5; ++i) rec(g, rid::Font, font());  // FONT 0-3 and 5
  for (int i = 0; i < 15; ++i) rec(g, rid::Xf, xf(true));
  rec(g, rid::Xf, xf(false));
  rec(g, rid::Style, u16s({0x8000, 0xFF00}));  // built-in Normal on XF 0
  rec(g, rid::UsesElfs, u16s({1}));
  Bytes boundSheet;
  putU32(boundSheet, 0);  // the sheet's offset, set by the caller
  putU8(boundSheet, 0);
  putU8(boundSheet, 0);
  appendBiffString(boundSheet, u"Sheet1", true);
  sheetOffsetAt = g.size() + RecordHeaderSize + BoundSheetRecord::PositionAt;
  rec(g, rid::BoundSheet, boundSheet);
  rec(g, rid::Country, u16s({1, 1}));
  rec(g, rid::Sst, u16s({0, 0, 0, 0}));
  rec(g, rid::ExtSst, u16s({8}));
  rec(g, rid::Eof, {});
  return g;
}

}  // namespace

void appendEmptyWorksheet(Bytes& g, bool active) {
  rec(g, rid::Bof, bofBody(bof::Worksheet));
  rec(g, rid::CalcMode, u16s({1}));  // automatic
  rec(g, rid::CalcCount, u16s({100}));
  rec(g, rid::RefMode, u16s({1}));  // A1
  rec(g, rid::Iteration, u16s({0}));
  Bytes delta;
  putF64(delta, 0.001);
  rec(g, rid::Delta, delta);
  rec(g, rid::SaveRecalc, u16s({1}));
  rec(g, rid::PrintHeaders, u16s({0}));
  rec(g, rid::PrintGridlines, u16s({0}));
  rec(g, rid::GridSet, u16s({1}));
  rec(g, rid::Guts, u16s({0, 0, 0, 0}));
  rec(g, rid::DefaultRowHeight, u16s({0, 0x00FF}));
  rec(g, rid::WsBool, u16s({0x04C1}));
  rec(g, rid::Header, {});
  rec(g, rid::Footer, {});
  rec(g, rid::HCenter, u16s({0}));
  rec(g, rid::VCenter, u16s({0}));
  Bytes setup = u16s({0, 100, 1, 1, 1, 0x0004, 300, 300});
  putF64(setup, 0.5);
  putF64(setup, 0.5);
  putU16(setup, 1);
  rec(g, rid::Setup, setup);
  rec(g, rid::DefColWidth, u16s({8}));
  appendRecord(g, rid::Dimensions, dimensionsBody({}));
  appendRecord(g, rid::Window2,
               window2Body({static_cast<std::uint16_t>(active ? Window2Record::DefaultFlags | Window2Record::ActiveSheet
                                                              : Window2Record::DefaultFlags)}));
  appendRecord(g, rid::Selection, selectionBody({}));  // A1
  rec(g, rid::Eof, {});
}

namespace {

Bytes globalsAndSheet() {
  std::size_t sheetOffsetAt = 0;
  Bytes stream = globals(sheetOffsetAt);
  setU32(stream, sheetOffsetAt, static_cast<std::uint32_t>(stream.size()));
  appendEmptyWorksheet(stream, true);
  return stream;
}

}  // namespace

Workbook Workbook::createEmpty() {
  CompoundFile file;
  CfbEntry stream;
  stream.name = u"Workbook";
  stream.data = globalsAndSheet();
  // Kept out of the mini stream, as Excel expects of the Workbook stream.
  stream.data.resize(std::max<std::size_t>(stream.data.size(), cfbconst::MiniStreamCutoff), 0);
  file.root().children.push_back(std::move(stream));
  Workbook wb;
  // The bytes above are fixed; loading them cannot fail short of a bug,
  // which the tests catch.
  auto bytes = file.serialize();
  if (!bytes || !wb.load(bytes.value())) return Workbook{};
  return wb;
}

}  // namespace kestrune::xls
