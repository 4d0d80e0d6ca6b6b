// File-level checks against python3-xlrd as an independent reader: our
// reader agrees with it on the sample workbooks, and after writing into
// them xlrd sees exactly the written cells changed and everything else kept.
#include "xls_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>

namespace kestrune::xls {
namespace {

using namespace testing;

#define REQUIRE_XLRD() \
  if (!haveXlrd()) GTEST_SKIP() << "/usr/bin/python3 with xlrd is not available"

struct Dump {
  std::map<std::string, std::string> lines;  // key: "sheet row col" or a tag; value: the rest
};

Dump xlrdDump(const std::string& path) {
  const PythonRun run = runPython(XlrdDumpScript, path);
  EXPECT_EQ(run.status, 0) << run.output;
  Dump d;
  std::istringstream in(run.output);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::size_t b = 0;
    for (std::size_t e; (e = line.find('\t', b)) != std::string::npos; b = e + 1) f.push_back(line.substr(b, e - b));
    f.push_back(line.substr(b));
    if (f[0] == "datemode") d.lines["datemode"] = f[1];
    else if (f[0] == "sheet-info" || f[0] == "merged") d.lines[f[0] + " " + f[1]] = line.substr(f[0].size() + f[1].size() + 2);
    else if (f.size() == 6) d.lines[f[0] + " " + f[1] + " " + f[2]] = f[3] + "\t" + f[4] + "\t" + f[5];
  }
  return d;
}

std::string g17(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Type and value of a cell as the dump prints them, without the format.
std::string describe(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return "text\t" + *s;
  if (const auto* n = std::get_if<double>(&v)) return "number\t" + g17(*n);
  if (const auto* b = std::get_if<bool>(&v)) return std::string("bool\t") + (*b ? "1" : "0");
  if (const auto* d = std::get_if<DateTimeValue>(&v)) return "date\t" + g17(d->serial);
  if (std::holds_alternative<CellError>(v)) return "error";
  return "empty";
}

std::string withoutFormat(const std::string& s) { return s.substr(0, s.rfind('\t')); }
std::string formatOf(const std::string& s) { return s.substr(s.rfind('\t') + 1); }

// Our reader must see what xlrd sees (xlrd drops blank cells and shows
// errors by code, so those are left out of the comparison).
void expectReaderAgrees(const Workbook& wb, const Dump& d, const std::string& file) {
  std::size_t compared = 0;
  for (std::size_t s = 0; s < wb.sheetCount(); ++s) {
    EXPECT_EQ(d.lines.at("sheet-info " + std::to_string(s)).substr(0, wb.sheetName(s).size()), wb.sheetName(s));
    for (const auto& [k, c] : wb.cells(s)) {
      const std::string want = describe(c.value);
      if (want == "empty" || want == "error") continue;
      const std::string key = std::to_string(s) + " " + std::to_string(k >> 8) + " " + std::to_string(k & 0xFF);
      ASSERT_TRUE(d.lines.count(key)) << file << " " << key;
      EXPECT_EQ(withoutFormat(d.lines.at(key)), want) << file << " " << key;
      ++compared;
    }
  }
  std::size_t xlrdCells = 0;
  for (const auto& [k, v] : d.lines)
    if (std::isdigit(static_cast<unsigned char>(k[0])) && v.rfind("error", 0) != 0) ++xlrdCells;
  EXPECT_EQ(compared, xlrdCells) << file;
}

struct Edit {
  std::uint32_t row, col;
  Value value;
};

class CorpusTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CorpusTest, WrittenCellsChangeAndEverythingElseStays) {
  REQUIRE_XLRD();
  const std::string source = std::string(KESTRUNE_XLS_TEST_DATA) + "/" + GetParam();
  TempDir dir;
  const std::string path = dir.file("copy.xls");
  std::filesystem::copy_file(source, path);
  const Dump before = xlrdDump(path);
  auto wb = Workbook::open(path);
  ASSERT_TRUE(wb.ok()) << wb.description();
  expectReaderAgrees(wb.value(), before, GetParam());

  const std::string longText(10000, 'L');
  const std::vector<Edit> edits = {
      {0, 0, 99.5},                                         // over an existing cell
      {1, 1, std::string("changed \xe6\x97\xa5\xe6\x9c\xac")},  // text over an existing cell
      {0, 5, std::string("new in row")},
      {5, 0, std::string("=SUM(A1:A2)")},  // over a formula in formulas.xls; stays text
      {200, 3, -1.25e-7},
      {201, 0, DateTimeValue{45000.5, DateKind::DateTime}},
      {202, 0, DateTimeValue{45000, DateKind::DateOnly}},
      {203, 0, DateTimeValue{0.75, DateKind::TimeOnly}},
      {204, 0, true},
      {205, 0, longText},
  };
  Dump expected = before;
  const std::size_t last = wb->sheetCount() - 1;
  for (std::size_t s : {std::size_t{0}, last}) {
    for (const Edit& e : edits) {
      const std::string key = std::to_string(s) + " " + std::to_string(e.row) + " " + std::to_string(e.col);
      const bool existed = before.lines.count(key) > 0;
      const std::string oldFormat = existed ? formatOf(before.lines.at(key)) : "General";
      ASSERT_TRUE(wb->setCell(s, e.row, e.col, e.value).ok());
      std::string want = describe(e.value);
      std::string format = oldFormat;
      if (const auto* d = std::get_if<DateTimeValue>(&e.value)) format = std::string(dateFormatCode(d->kind));
      // A number written into a date-formatted cell shows as a date, as typed input does.
      if (std::holds_alternative<double>(e.value) && existed && before.lines.at(key).rfind("date", 0) == 0)
        want = "date\t" + g17(std::get<double>(e.value));
      expected.lines[key] = want + "\t" + format;
    }
  }
  ASSERT_TRUE(wb->setActiveSheet(last).ok());
  ASSERT_TRUE(wb->setActiveCell(last, 204, 0).ok());
  for (std::size_t s = 0; s < wb->sheetCount(); ++s) {
    const std::string k = "sheet-info " + std::to_string(s);
    const std::string info = expected.lines[k];
    expected.lines[k] = info.substr(0, info.size() - 3) + (s == last ? "1\t1" : "0\t0");
  }
  ASSERT_TRUE(wb->save(path).ok());

  const Dump after = xlrdDump(path);
  for (const auto& [k, v] : expected.lines) {
    ASSERT_TRUE(after.lines.count(k)) << GetParam() << " lost " << k;
    EXPECT_EQ(after.lines.at(k), v) << GetParam() << " at " << k;
  }
  for (const auto& [k, v] : after.lines) EXPECT_TRUE(expected.lines.count(k)) << GetParam() << " extra " << k;

  auto reread = Workbook::open(path);
  ASSERT_TRUE(reread.ok()) << reread.description();
  expectReaderAgrees(reread.value(), after, GetParam());
  EXPECT_EQ(reread->activeSheet(), last);
  EXPECT_EQ(reread->activeCell(last), (CellPosition{204, 0}));
}

INSTANTIATE_TEST_SUITE_P(Samples, CorpusTest,
                         ::testing::Values("formats.xls", "merged.xls", "formulas.xls", "two_sheets.xls",
                                           "date1904.xls", "long_strings.xls", "many_strings.xls",
                                           "formula_results.xls", "chart.xls", "formula_groups.xls"),
                         [](const auto& p) {
                           std::string n = p.param;
                           return n.substr(0, n.find('.'));
                         });

// Cells of shared formulas, array formulas and a data table written: xlrd
// sees exactly those cells changed (the other cells of a removed array or
// table keep their values), and our reader agrees and still finds formulas
// in the cells that kept them.
TEST(XlrdTest, WritingIntoFormulaGroupsChangesOnlyTheWrittenCells) {
  REQUIRE_XLRD();
  const std::string source = KESTRUNE_XLS_TEST_DATA "/formula_groups.xls";
  const Dump before = xlrdDump(source);
  for (const GroupWrites& set : formulaGroupWrites()) {
    SCOPED_TRACE(set.name);
    TempDir dir;
    const std::string path = dir.file("groups.xls");
    writeFormulaGroups(source, set, path);
    Dump expected = before;
    for (const CellWrite& w : set.writes) {
      const std::string key = "0 " + std::to_string(w.row) + " " + std::to_string(w.col);
      ASSERT_TRUE(before.lines.count(key)) << key;
      expected.lines[key] = describe(w.value) + "\t" + formatOf(before.lines.at(key));
    }
    const Dump after = xlrdDump(path);
    EXPECT_EQ(after.lines, expected.lines);
    auto reread = Workbook::open(path);
    ASSERT_TRUE(reread.ok()) << reread.description();
    expectReaderAgrees(reread.value(), after, set.name);
    std::vector<std::uint32_t> formulas, want = set.formulaCells;
    for (const auto& [k, c] : reread->cells(0))
      if (c.formula) formulas.push_back(k);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(formulas, want);
  }
}

TEST(XlrdTest, NewWorkbookReadsBackWithTypesAndDates) {
  REQUIRE_XLRD();
  TempDir dir;
  Workbook wb = Workbook::createEmpty();
  ASSERT_EQ(wb.sheetName(0), "Sheet1");
  auto serial = serialFromCivil({2024, 5, 6, 7, 8, 9}, false);
  ASSERT_TRUE(serial.ok());
  ASSERT_TRUE(wb.setCell(0, 0, 0, parseTyped(" 12.5 ")).ok());
  ASSERT_TRUE(wb.setCell(0, 0, 1, parseTyped("=A1*2")).ok());
  ASSERT_TRUE(wb.setCell(0, 0, 2, parseTyped("abc")).ok());
  ASSERT_TRUE(wb.setCell(0, 1, 0, DateTimeValue{serial.value(), DateKind::DateTime}).ok());
  ASSERT_TRUE(wb.setCell(0, 1, 1, false).ok());
  const std::string path = dir.file("new.xls");
  ASSERT_TRUE(wb.save(path).ok());
  const PythonRun run = runPython(R"PY(
import sys, xlrd
b = xlrd.open_workbook(sys.argv[1])
s = b.sheet_by_index(0)
print(s.name, s.cell(0, 0).ctype, s.cell(0, 0).value, s.cell(0, 1).ctype, s.cell(0, 1).value, s.cell(0, 2).value)
print(xlrd.xldate_as_tuple(s.cell(1, 0).value, b.datemode), s.cell(1, 0).ctype, s.cell(1, 1).ctype, s.cell(1, 1).value)
)PY",
                                   path);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "Sheet1 2 12.5 1 =A1*2 abc\n(2024, 5, 6, 7, 8, 9) 3 4 0\n");
}

TEST(XlrdTest, FailedSaveLeavesTheOldFile) {
  TempDir dir;
  const std::string missing = dir.file("no-such-folder/book.xls");
  const XlsStatus st = Workbook::createEmpty().save(missing);
  EXPECT_FALSE(st.ok());
  EXPECT_NE(st.description().find("No such file"), std::string::npos) << st.description();
  // The rename fails (the target is a folder): the error names the reason,
  // the target is untouched and no temporary file is left behind.
  const std::string target = dir.file("book.xls");
  std::filesystem::create_directory(target);
  std::ofstream(target + "/keep") << "data";
  const XlsStatus refused = Workbook::createEmpty().save(target);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.description().find("Is a directory"), std::string::npos) << refused.description();
  EXPECT_TRUE(std::filesystem::exists(target + "/keep"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
}  // namespace kestrune::xls
