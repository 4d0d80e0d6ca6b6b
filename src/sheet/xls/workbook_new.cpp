// A new workbook with one empty worksheet "Sheet1": the record order Excel
// writes itself (globals: BOF .. FONTs, XFs, STYLE, BOUNDSHEET, SST, EOF;
// sheet: BOF .. DIMENSIONS, WINDOW2, SELECTION, EOF). Built as bytes and
// loaded through the normal reader, so it is checked like any other file.
#include "sheet/xls/text.h"
#include "sheet/xls/workbook.h"

namespace kestrune::xls {

namespace {

void rec(Bytes& out, std::uint16_t id, const Bytes& body) { appendRecord(out, id, body); }

Bytes u16s(std::initializer_list<std::uint16_t> values) {
  Bytes b;
  for (std::uint16_t v : values) putU16(b, v);
  return b;
}

Bytes bof(std::uint16_t type) {
  Bytes b = u16s({0x0600, type, 0x0DBB, 0x07CC});
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

Bytes globalsAndSheet() {
  Bytes g;
  rec(g, rid::Bof, bof(0x0005));
  rec(g, 0x00E1, u16s({1200}));  // INTERFACEHDR
  rec(g, 0x00C1, u16s({0}));     // MMS
  rec(g, 0x00E2, {});            // INTERFACEEND
  Bytes access;
  appendBiffString(access, u"Kestrune", false);
  access.resize(112, 0x20);
  rec(g, 0x005C, access);        // WRITEACCESS
  rec(g, 0x0042, u16s({1200}));  // CODEPAGE: UTF-16
  rec(g, 0x0161, u16s({0}));     // DSF
  rec(g, 0x013D, u16s({1}));     // RRTABID
  rec(g, 0x0019, u16s({0}));     // WINDOWPROTECT
  rec(g, 0x0012, u16s({0}));     // PROTECT
  rec(g, 0x0013, u16s({0}));     // PASSWORD
  rec(g, 0x01AF, u16s({0}));     // PROT4REV
  rec(g, 0x01BC, u16s({0}));     // PROT4REVPASS
  rec(g, rid::Window1, u16s({0, 0, 0x3A5C, 0x23BE, 0x0038, 0, 0, 1, 0x0258}));
  rec(g, 0x0040, u16s({0}));  // BACKUP
  rec(g, 0x008D, u16s({0}));  // HIDEOBJ
  rec(g, rid::DateMode, u16s({0}));
  rec(g, 0x000E, u16s({1}));                           // PRECISION
  rec(g, 0x01B7, u16s({0}));                           // REFRESHALL
  rec(g, 0x00DA, u16s({0}));                           // BOOKBOOL
  for (int i = 0; i < 5; ++i) rec(g, 0x0031, font());  // FONT 0-3 and 5
  for (int i = 0; i < 15; ++i) rec(g, rid::Xf, xf(true));
  rec(g, rid::Xf, xf(false));
  rec(g, 0x0293, u16s({0x8000, 0xFF00}));  // STYLE: built-in Normal on XF 0
  rec(g, 0x0160, u16s({1}));               // USESELFS
  Bytes boundSheet;
  putU32(boundSheet, 0);  // patched below
  putU8(boundSheet, 0);
  putU8(boundSheet, 0);
  appendBiffString(boundSheet, u"Sheet1", true);
  const std::size_t boundSheetAt = g.size() + 4;
  rec(g, rid::BoundSheet, boundSheet);
  rec(g, 0x008C, u16s({1, 1}));  // COUNTRY
  rec(g, rid::Sst, u16s({0, 0, 0, 0}));
  rec(g, rid::ExtSst, u16s({8}));
  rec(g, rid::Eof, {});
  setU32(g, boundSheetAt, static_cast<std::uint32_t>(g.size()));

  rec(g, rid::Bof, bof(0x0010));
  rec(g, 0x000D, u16s({1}));    // CALCMODE: automatic
  rec(g, 0x000C, u16s({100}));  // CALCCOUNT
  rec(g, 0x000F, u16s({1}));    // REFMODE: A1
  rec(g, 0x0011, u16s({0}));    // ITERATION
  Bytes delta;
  putF64(delta, 0.001);
  rec(g, 0x0010, delta);               // DELTA
  rec(g, 0x005F, u16s({1}));           // SAVERECALC
  rec(g, 0x002A, u16s({0}));           // PRINTHEADERS
  rec(g, 0x002B, u16s({0}));           // PRINTGRIDLINES
  rec(g, 0x0082, u16s({1}));           // GRIDSET
  rec(g, 0x0080, u16s({0, 0, 0, 0}));  // GUTS
  rec(g, 0x0225, u16s({0, 0x00FF}));   // DEFAULTROWHEIGHT
  rec(g, 0x0081, u16s({0x04C1}));      // WSBOOL
  rec(g, 0x0014, {});                  // HEADER
  rec(g, 0x0015, {});                  // FOOTER
  rec(g, 0x0083, u16s({0}));           // HCENTER
  rec(g, 0x0084, u16s({0}));           // VCENTER
  Bytes setup = u16s({0, 100, 1, 1, 1, 0x0004, 300, 300});
  putF64(setup, 0.5);
  putF64(setup, 0.5);
  putU16(setup, 1);
  rec(g, 0x00A1, setup);  // SETUP
  rec(g, rid::DefColWidth, u16s({8}));
  rec(g, rid::Dimensions, u16s({0, 0, 0, 0, 0, 0, 0}));
  rec(g, rid::Window2, u16s({0x06B6, 0, 0, 0x0040, 0, 0, 0, 0, 0}));
  Bytes selection;
  putU8(selection, 3);
  for (std::uint16_t v : {0, 0, 0, 1, 0, 0}) putU16(selection, v);
  putU8(selection, 0);
  putU8(selection, 0);
  rec(g, rid::Selection, selection);
  rec(g, rid::Eof, {});
  return g;
}

}  // namespace

Workbook Workbook::createEmpty() {
  CompoundFile file;
  CfbEntry stream;
  stream.name = u"Workbook";
  stream.data = globalsAndSheet();
  stream.data.resize(std::max<std::size_t>(stream.data.size(), 4096), 0);
  file.root().children.push_back(std::move(stream));
  Workbook wb;
  // The bytes above are fixed; loading them cannot fail short of a bug,
  // which the tests catch.
  auto bytes = file.serialize();
  if (bytes) (void)wb.load(bytes.value());
  return wb;
}

}  // namespace kestrune::xls
