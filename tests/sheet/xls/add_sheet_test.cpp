// Adding a worksheet to a loaded workbook: the saved file read back by
// python3-xlrd (the sheets in order, their cells, the active sheet, names
// and references between sheets) and by our own reader, and the names the
// engine refuses.
#include "xls_test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

namespace kestrune::xls {
namespace {

using namespace testing;

// Per sheet its name and whether it is selected, then "sheet row col value"
// per cell, then per name its scope and the sheet its reference is on.
const char* const SheetsScript = R"PY(
import sys, xlrd
book = xlrd.open_workbook(sys.argv[1])
for si in range(book.nsheets):
    sh = book.sheet_by_index(si)
    print("sheet %d %s %d" % (si, sh.name, sh.sheet_selected))
    for r in range(sh.nrows):
        for c in range(sh.ncols):
            if sh.cell(r, c).ctype not in (0, 6):
                print("cell %d %d %d %s" % (si, r, c, sh.cell(r, c).value))
for n in book.name_obj_list:
    print("name %s scope %d on %d" % (n.name, n.scope, n.result.value[0].shtxlo))
)PY";

// Two worksheets "First" and "Second" (7 in A1), and a name local to
// "Second" that refers to Second!$A$1 through the workbook's own SUPBOOK.
Bytes referencingWorkbook() {
  std::vector<Record> globals = minimalGlobals();
  globals.push_back(rec(0x01AE, u16s({2, 0x0401})));   // SUPBOOK: this workbook, two sheets
  globals.push_back(rec(0x0017, u16s({1, 0, 1, 1})));  // EXTERNSHEET: sheet 1
  Bytes name = u16s({0});
  putU8(name, 0);   // no key
  putU8(name, 4);   // "Pick"
  putU16(name, 7);  // formula size
  putU16(name, 0);
  putU16(name, 2);  // local to the second sheet
  for (int i = 0; i < 4; ++i) putU8(name, 0);
  putU8(name, 0);  // 8-bit characters
  for (char c : std::string("Pick")) putU8(name, static_cast<std::uint8_t>(c));
  putU8(name, 0x3A);  // ptgRef3d
  putU16(name, 0);    // the EXTERNSHEET entry
  putU16(name, 0);    // row 1
  putU16(name, 0);    // column A, absolute
  globals.push_back(rec(0x0018, name));
  Bytes seven = u16s({0, 0, 15});
  putF64(seven, 7);
  const Bytes stream = buildWorkbookStream(
      globals, {{"First", minimalSheet({}), 0}, {"Second", minimalSheet({rec(rid::Number, seven)}), 0}});
  return wrapInCompoundFile(stream);
}

std::string readBack(const std::string& path) {
  const PythonRun run = runPython(SheetsScript, path);
  EXPECT_EQ(run.status, 0) << run.output;
  return run.output;
}

TEST(AddSheetTest, SavedWorkbooksReadBackWithTheNewSheet) {
  if (!haveXlrd()) GTEST_SKIP() << "/usr/bin/python3 with xlrd is not available";
  struct Case {
    const char* what;
    std::function<XlsResult<Workbook>()> load;
    std::size_t after;
    std::uint32_t headerRows;
    const char* expected;
  };
  const std::string data = KESTRUNE_XLS_TEST_DATA;
  const std::vector<Case> cases = {
      {"a new workbook, its header row copied",
       [] {
         Workbook wb = Workbook::createEmpty();
         static_cast<void>(wb.setCell(0, 0, 0, std::string("時刻")));
         static_cast<void>(wb.setCell(0, 0, 1, 2.5));
         static_cast<void>(wb.setCell(0, 1, 0, std::string("data")));
         return XlsResult<Workbook>(std::move(wb));
       },
       0, 1,
       "sheet 0 Sheet1 0\ncell 0 0 0 時刻\ncell 0 0 1 2.5\ncell 0 1 0 data\n"
       "sheet 1 Sheet1 (2) 1\ncell 1 0 0 時刻\ncell 1 0 1 2.5\ncell 1 2 3 next\n"},
      {"between two sheets of a file", [&] { return Workbook::open(data + "/two_sheets.xls"); }, 0, 0, nullptr},
      {"before a sheet a name and a reference point at", [] { return Workbook::fromBytes(referencingWorkbook()); }, 0,
       0,
       "sheet 0 First 0\nsheet 1 Sheet1 (2) 1\ncell 1 2 3 next\nsheet 2 Second 0\ncell 2 0 0 7.0\n"
       "name Pick scope 2 on 2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    XlsResult<Workbook> loaded = c.load();
    ASSERT_TRUE(loaded) << loaded.description();
    Workbook wb = std::move(loaded).value();
    TempDir dir;
    ASSERT_TRUE(wb.save(dir.file("before.xls")));
    const std::string before = readBack(dir.file("before.xls"));

    const XlsResult<std::size_t> added = wb.addWorksheet(c.after, "Sheet1 (2)");
    ASSERT_TRUE(added) << added.description();
    EXPECT_EQ(added.value(), c.after + 1);
    ASSERT_TRUE(wb.copyRows(c.after, *added, c.headerRows));
    ASSERT_TRUE(wb.setCell(*added, 2, 3, std::string("next")));
    ASSERT_TRUE(wb.setActiveSheet(*added));
    ASSERT_TRUE(wb.save(dir.file("after.xls")));
    const std::string after = readBack(dir.file("after.xls"));
    if (c.expected) {
      EXPECT_EQ(after, c.expected);
    } else {
      // Every sheet and cell as before, the new sheet among them.
      std::string expected;
      std::istringstream lines(before);
      for (std::string line; std::getline(lines, line);) {
        if (line.rfind("sheet 1 ", 0) == 0) expected += "sheet 1 Sheet1 (2) 1\ncell 1 2 3 next\n";
        std::istringstream f(line);
        std::string kind, rest;
        int sheet = 0;
        f >> kind >> sheet;
        std::getline(f, rest);
        if (sheet > static_cast<int>(c.after)) ++sheet;
        if (kind == "sheet") rest = rest.substr(0, rest.size() - 1) + "0";  // the new sheet is the selected one
        expected += kind + " " + std::to_string(sheet) + rest + "\n";
      }
      EXPECT_EQ(after, expected);
    }
    // Our own reader opens it again with the sheet in its place.
    XlsResult<Workbook> again = Workbook::open(dir.file("after.xls"));
    ASSERT_TRUE(again) << again.description();
    EXPECT_EQ(again->sheetName(c.after + 1), "Sheet1 (2)");
    EXPECT_EQ(again->activeSheet(), c.after + 1);
  }
}

TEST(AddSheetTest, RefusesNamesASheetCannotHave) {
  const struct {
    const char* name;
    XlsErrorCode code;
  } cases[] = {
      {"sheet1", XlsErrorCode::BadSheetName},  // "Sheet1", compared case-blind
      {"a:b", XlsErrorCode::BadSheetName},
      {"[x]", XlsErrorCode::BadSheetName},
      {"", XlsErrorCode::BadSheetName},
      {"abcdefghijklmnopqrstuvwxyz123456", XlsErrorCode::BadSheetName},  // 32 characters
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Workbook wb = Workbook::createEmpty();
    const XlsResult<std::size_t> added = wb.addWorksheet(0, c.name);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().code, c.code);
    EXPECT_EQ(wb.sheetCount(), 1u);
  }
  Workbook wb = Workbook::createEmpty();
  EXPECT_TRUE(wb.addWorksheet(0, "abcdefghijklmnopqrstuvwxyz12345"));  // 31 characters
}

}  // namespace
}  // namespace kestrune::xls
