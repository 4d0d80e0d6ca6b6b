// A worksheet added to a loaded workbook, saved and read back by python3-xlrd:
// the sheets in order, their cells, the active sheet, and a local name and a
// reference between sheets that follow the sheet they point at.
#include "xls_test_support.h"

#include <gtest/gtest.h>

namespace kestrune::xls {
namespace {

using namespace testing;

const char* const SheetsScript = R"PY(
import sys, xlrd
book = xlrd.open_workbook(sys.argv[1])
out = ""
for sh in book.sheets():
    out += "%s %d %s\n" % (sh.name, sh.sheet_selected, [(r, c, sh.cell_value(r, c)) for r in range(sh.nrows)
                                                          for c in range(sh.ncols) if sh.cell_type(r, c) not in (0, 6)])
for n in book.name_obj_list:
    out += "name %s scope %d on %d\n" % (n.name, n.scope, n.result.value[0].shtxlo)
sys.stdout.buffer.write(out.encode("utf-8"))
)PY";

// "First" and "Second" (7 in A1), and a name local to "Second" that refers to
// Second!$A$1 through the workbook's own SUPBOOK and EXTERNSHEET.
Bytes referencingWorkbook() {
  std::vector<Record> globals = minimalGlobals();
  globals.push_back(rec(0x01AE, u16s({2, 0x0401})));
  globals.push_back(rec(0x0017, u16s({1, 0, 1, 1})));
  // NAME: no flags, key 0, 4 characters, 7 bytes of formula, local to sheet 2;
  // "Pick" in 8-bit characters; ptgRef3d through entry 0 to A1.
  Bytes name = u16s({0, 0x0400, 7, 0, 2, 0, 0});
  name.insert(name.end(), {0, 'P', 'i', 'c', 'k', 0x3A, 0, 0, 0, 0, 0, 0});
  globals.push_back(rec(0x0018, name));
  Bytes seven = u16s({0, 0, 15});
  putF64(seven, 7);
  return wrapInCompoundFile(buildWorkbookStream(
      globals, {{"First", minimalSheet({}), 0}, {"Second", minimalSheet({rec(rid::Number, seven)}), 0}}));
}

TEST(AddSheetTest, TheNewSheetIsSavedInItsPlaceWithItsHeaderAndBadNamesAreRefused) {
  if (!haveXlrd()) GTEST_SKIP() << "/usr/bin/python3 with xlrd is not available";
  Workbook empty = Workbook::createEmpty();
  ASSERT_TRUE(empty.setCell(0, 0, 0, std::string("時刻")));
  ASSERT_TRUE(empty.setCell(0, 1, 0, 2.5));
  XlsResult<Workbook> referencing = Workbook::fromBytes(referencingWorkbook());
  ASSERT_TRUE(referencing) << referencing.description();
  const struct {
    Workbook* workbook;
    const char* expected;
  } cases[] = {
      {&empty, "Sheet1 0 [(0, 0, '時刻'), (1, 0, 2.5)]\nSheet1 (2) 1 [(0, 0, '時刻'), (2, 3, 'next')]\n"},
      {&referencing.value(),
       "First 0 []\nSheet1 (2) 1 [(2, 3, 'next')]\nSecond 0 [(0, 0, 7.0)]\nname Pick scope 2 on 2\n"},
  };
  for (const auto& c : cases) {
    Workbook& wb = *c.workbook;
    const XlsResult<std::size_t> added = wb.addWorksheet(0, "Sheet1 (2)");
    ASSERT_TRUE(added) << added.description();
    ASSERT_EQ(added.value(), 1u);
    ASSERT_TRUE(wb.copyRows(0, 1, 1));  // the header row
    ASSERT_TRUE(wb.setCell(1, 2, 3, std::string("next")));
    ASSERT_TRUE(wb.setActiveSheet(1));
    TempDir dir;
    ASSERT_TRUE(wb.save(dir.file("out.xls")));
    const PythonRun run = runPython(SheetsScript, dir.file("out.xls"));
    EXPECT_EQ(run.output, c.expected);
    const XlsResult<Workbook> again = Workbook::open(dir.file("out.xls"));
    ASSERT_TRUE(again) << again.description();
    EXPECT_EQ(again->sheetName(1), "Sheet1 (2)");
  }
  // Names a sheet cannot have: one in use (case-blind), a forbidden character, none, 32 characters.
  for (const char* bad : {"sheet1 (2)", "a:b", "", "abcdefghijklmnopqrstuvwxyz123456"})
    EXPECT_EQ(empty.addWorksheet(0, bad).error().code, XlsErrorCode::BadSheetName) << bad;
}

}  // namespace
}  // namespace kestrune::xls
