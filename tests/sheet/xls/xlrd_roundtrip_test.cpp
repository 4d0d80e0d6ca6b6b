// File-level checks against python3-xlrd as an independent reader: our
// reader agrees with it on the sample workbooks, and after writing into
// them xlrd sees exactly the written cells changed and everything else kept.
// Then the exact bytes saves of the sample workbooks write.
#include "xls_test_support.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <cerrno>

#include "sheet/xls/text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <fstream>
#include <iterator>
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
    if (f[0] == "datemode")
      d.lines["datemode"] = f[1];
    else if (f[0] == "sheet-info" || f[0] == "merged")
      d.lines[f[0] + " " + f[1]] = line.substr(f[0].size() + f[1].size() + 2);
    else if (f.size() == 6)
      d.lines[f[0] + " " + f[1] + " " + f[2]] = f[3] + "\t" + f[4] + "\t" + f[5];
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

// The number xlrd gives a worksheet: xlrd leaves chart sheets out.
std::size_t xlrdSheet(const Workbook& wb, std::size_t sheet) {
  std::size_t n = 0;
  for (std::size_t s = 0; s < sheet; ++s)
    if (wb.sheetKind(s) == SheetKind::Worksheet) ++n;
  return n;
}

// The last worksheet: the last sheet may be a chart.
std::size_t lastWorksheet(const Workbook& wb) {
  std::size_t last = 0;
  for (std::size_t s = 0; s < wb.sheetCount(); ++s)
    if (wb.sheetKind(s) == SheetKind::Worksheet) last = s;
  return last;
}

// Our reader must see what xlrd sees (xlrd drops blank cells and shows
// errors by code, so those are left out of the comparison).
void expectReaderAgrees(const Workbook& wb, const Dump& d, const std::string& file) {
  std::size_t compared = 0;
  for (std::size_t s = 0; s < wb.sheetCount(); ++s) {
    if (wb.sheetKind(s) != SheetKind::Worksheet) continue;
    const std::string x = std::to_string(xlrdSheet(wb, s));
    EXPECT_EQ(d.lines.at("sheet-info " + x).substr(0, wb.sheetName(s).size()), wb.sheetName(s));
    for (const auto& [k, c] : wb.cells(s)) {
      const std::string want = describe(c.value);
      if (want == "empty" || want == "error") continue;
      const std::string key = x + " " + std::to_string(k >> 8) + " " + std::to_string(k & 0xFF);
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
      {0, 0, 99.5},                                             // over an existing cell
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
  const std::size_t last = lastWorksheet(wb.value());
  for (std::size_t s : {std::size_t{0}, last}) {
    for (const Edit& e : edits) {
      const std::string key =
          std::to_string(xlrdSheet(wb.value(), s)) + " " + std::to_string(e.row) + " " + std::to_string(e.col);
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
    if (wb->sheetKind(s) != SheetKind::Worksheet) continue;
    const std::string k = "sheet-info " + std::to_string(xlrdSheet(wb.value(), s));
    const std::string info = expected.lines.at(k);
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

std::string testName(const ::testing::TestParamInfo<const char*>& p) {
  std::string n = p.param;
  n = n.substr(n.rfind('/') + 1);
  return n.substr(0, n.find('.'));
}

INSTANTIATE_TEST_SUITE_P(Samples, CorpusTest,
                         ::testing::Values("formats.xls", "merged.xls", "formulas.xls", "two_sheets.xls",
                                           "date1904.xls", "long_strings.xls", "many_strings.xls",
                                           "formula_results.xls", "chart.xls", "formula_groups.xls"),
                         testName);

// Files as other programs write them (tools/make_xls_corpus.py): LibreOffice,
// Gnumeric and xlwt, a workbook stream named "BOOK" and "Book", and a
// chart sheet active.
INSTANTIATE_TEST_SUITE_P(OtherPrograms, CorpusTest,
                         ::testing::Values("corpus/libreoffice_log.xls", "corpus/gnumeric_log.xls",
                                           "corpus/xlwt_log.xls", "corpus/stream_BOOK.xls", "corpus/stream_Book.xls",
                                           "corpus/chart_sheet_active.xls"),
                         testName);

// The names of the root's streams of a compound file, exactly as stored.
std::vector<std::u16string> streamNames(const Bytes& file) {
  auto cf = CompoundFile::parse(file);
  EXPECT_TRUE(cf.ok()) << cf.description();
  std::vector<std::u16string> names;
  if (cf.ok())
    for (const CfbEntry& e : cf->root().children) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  return names;
}

Bytes fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// BIFF8 workbooks whose stream is called "BOOK" (LibreOffice's file) or
// "Book" (xlwt's): they open, take cells and save under the stream name they
// had, every other stream kept; xlrd, which looks for "Workbook" then "Book"
// without regard to case, reads the saved file with the original cells kept.
class StreamNameTest : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamNameTest, OpensWritesAndSavesUnderItsOwnName) {
  const std::string source = std::string(KESTRUNE_XLS_TEST_DATA) + "/corpus/stream_" + GetParam() + ".xls";
  const std::u16string name = utf8ToUtf16(GetParam());
  const std::vector<std::u16string> before = streamNames(fileBytes(source));
  ASSERT_NE(std::find(before.begin(), before.end(), name), before.end()) << "the sample's own stream name";
  ASSERT_EQ(std::find(before.begin(), before.end(), u"Workbook"), before.end());

  auto wb = Workbook::open(source);
  ASSERT_TRUE(wb.ok()) << wb.description();
  const std::size_t sheet = wb->activeSheet();
  ASSERT_TRUE(wb->setCell(sheet, 30, 1, std::string("written")).ok());
  ASSERT_TRUE(wb->setCell(sheet, 30, 2, 12.5).ok());
  TempDir dir;
  const std::string path = dir.file("saved.xls");
  ASSERT_TRUE(wb->save(path).ok());
  EXPECT_EQ(streamNames(fileBytes(path)), before) << "the same directory entries, the same stream name";

  auto reread = Workbook::open(path);
  ASSERT_TRUE(reread.ok()) << reread.description();
  EXPECT_EQ(reread->cell(sheet, 30, 1)->value, Value(std::string("written")));
  if (!haveXlrd()) return;
  const Dump original = xlrdDump(source);
  const Dump saved = xlrdDump(path);
  for (const auto& [k, v] : original.lines) {
    ASSERT_TRUE(saved.lines.count(k)) << "lost " << k;
    EXPECT_EQ(saved.lines.at(k), v) << k;
  }
  const std::string at = std::to_string(sheet) + " 30 ";
  ASSERT_TRUE(saved.lines.count(at + "1") && saved.lines.count(at + "2"));
  EXPECT_EQ(withoutFormat(saved.lines.at(at + "1")), "text\twritten");
  EXPECT_EQ(withoutFormat(saved.lines.at(at + "2")), "number\t12.5");
}

INSTANTIATE_TEST_SUITE_P(Names, StreamNameTest, ::testing::Values("BOOK", "Book"),
                         [](const auto& p) { return std::string(p.param) == "BOOK" ? "Capitals" : "Capitalised"; });

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
  EXPECT_EQ(st.error().code, XlsErrorCode::CannotSave);
  EXPECT_EQ(st.error().sysError, ENOENT);
  // The rename fails (the target is a folder): the error names the reason,
  // the target is untouched and no temporary file is left behind.
  const std::string target = dir.file("book.xls");
  std::filesystem::create_directory(target);
  std::ofstream(target + "/keep") << "data";
  const XlsStatus refused = Workbook::createEmpty().save(target);
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.description().find("Is a directory"), std::string::npos) << refused.description();
  EXPECT_EQ(refused.error().sysError, EISDIR);
  EXPECT_TRUE(std::filesystem::exists(target + "/keep"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// What saves write, byte for byte: the SHA-256 of whole saved files. The
// rows cover the sample workbooks saved untouched, with cells written and
// with only the view changed, formula groups taken apart, new workbooks
// (one large enough for DIFAT sectors) and hand-made sheets with MULRK,
// INDEX/DBCELL, panes and missing view records. Any change to the bytes a
// save writes fails here; when a change is meant, the message names the new
// digest to put in the table.
std::string sha256(const Bytes& bytes) {
  const QByteArray digest = QCryptographicHash::hash(
      QByteArrayView(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())),
      QCryptographicHash::Sha256);
  return digest.toHex().toStdString();
}

Workbook openSample(const std::string& name) {
  auto wb = Workbook::open(std::string(KESTRUNE_XLS_TEST_DATA) + "/" + name);
  EXPECT_TRUE(wb.ok()) << name << ": " << wb.description();
  return wb.ok() ? std::move(wb.value()) : Workbook::createEmpty();
}

Bytes savedBytes(const Workbook& wb) {
  auto bytes = wb.toBytes();
  EXPECT_TRUE(bytes.ok()) << bytes.description();
  return bytes.ok() ? bytes.value() : Bytes{};
}

Bytes sampleUntouched(const std::string& name) { return savedBytes(openSample(name)); }

// Cells of every kind written over existing cells, into existing rows and far
// away, on the first and the last sheet, then the last sheet made active.
Bytes sampleWritten(const std::string& name) {
  Workbook wb = openSample(name);
  const std::vector<Edit> edits = {
      {0, 0, 99.5},
      {1, 1, std::string("changed \xe6\x97\xa5\xe6\x9c\xac")},
      {0, 5, std::string("new in row")},
      {2, 0, std::monostate{}},
      {3, 1, CellError{0x07}},
      {40, 2, DateTimeValue{45000.5, DateKind::DateTime}},
      {41, 2, DateTimeValue{0.75, DateKind::TimeOnly}},
      {200, 3, -1.25e-7},
      {204, 0, true},
      {65535, 255, std::string("last cell")},
  };
  const std::size_t last = wb.sheetCount() - 1;
  for (std::size_t s : {std::size_t{0}, last})
    for (const Edit& e : edits) EXPECT_TRUE(wb.setCell(s, e.row, e.col, e.value).ok()) << name;
  EXPECT_TRUE(wb.setActiveSheet(last).ok());
  EXPECT_TRUE(wb.setActiveCell(last, 204, 0).ok());
  return savedBytes(wb);
}

// Only the view: the active cell of the first sheet.
Bytes sampleActiveCell(const std::string& name) {
  Workbook wb = openSample(name);
  EXPECT_TRUE(wb.setActiveCell(0, 3, 2).ok());
  return savedBytes(wb);
}

Bytes formulaGroupsWritten(std::size_t set) {
  Workbook wb = openSample("formula_groups.xls");
  for (const CellWrite& w : formulaGroupWrites()[set].writes) EXPECT_TRUE(wb.setCell(0, w.row, w.col, w.value).ok());
  return savedBytes(wb);
}

Bytes newWorkbook(std::uint32_t rows, std::uint32_t cols) {
  Workbook wb = Workbook::createEmpty();
  for (std::uint32_t r = 0; r < rows; ++r)
    for (std::uint32_t c = 0; c < cols; ++c) {
      Value v = r * 0.5 + c;
      if (c == 1) v = std::string(r % 3 ? "OK" : "NG");
      if (c == 2) v = DateTimeValue{45000.0 + r / 1440.0, DateKind::DateTime};
      EXPECT_TRUE(wb.setCell(0, r, c, v).ok());
    }
  return savedBytes(wb);
}

// Sheet A: INDEX, ROWs, a record before the first cell, two MULRKs, a second
// record for a MULRK cell, a cell out of order, DBCELL, WINDOW2, a PANE whose
// active pane is 0, the SELECTIONs of panes 3 and 0. Sheet B has no
// DIMENSIONS, WINDOW2 or SELECTION. Sheet C is a chart.
Bytes handMadeStream() {
  auto rk = [](std::uint16_t row) {
    Bytes b = u16s({row, 1});
    for (std::uint32_t v : {10u, 20u, 30u}) {
      putU16(b, 15);
      putU32(b, v << 2 | 0x02);
    }
    putU16(b, 3);
    return rec(rid::MulRk, b);
  };
  auto row = [](std::uint16_t r) {
    Bytes b = u16s({r, 1, 4, 0xFF, 0, 0});
    putU32(b, 0x000F0100);
    return rec(rid::Row, b);
  };
  Bytes index;
  for (std::uint32_t v : {0u, 0u, 5u, 0u, 0xDEADu}) putU32(index, v);
  Bytes selection0{0};
  for (std::uint16_t v : {1, 1, 0, 1, 1, 1}) putU16(selection0, v);
  selection0.push_back(1);
  selection0.push_back(1);
  auto number = [](std::uint16_t r, std::uint16_t c, double v) {
    Bytes b = u16s({r, c, 15});
    putF64(b, v);
    return rec(rid::Number, b);
  };
  const Record mergeCells = rec(0x00E5, u16s({0}));
  std::vector<Record> a = minimalSheet({row(2), row(4), mergeCells, rk(2), rk(4), number(2, 2, 7.0), number(1, 0, 8.0),
                                        rec(rid::DbCell, {0, 0, 0, 0, 0, 0})});
  a.insert(a.begin() + 1, rec(rid::Index, index));
  a.insert(a.end() - 2, rec(rid::Pane, {0, 0, 2, 0, 2, 0, 0, 0, 0, 0}));
  a.insert(a.end() - 1, rec(rid::Selection, selection0));
  std::vector<Record> b = minimalSheet({}, false);
  b.erase(b.end() - 2);    // WINDOW2
  b.erase(b.begin() + 1);  // DIMENSIONS
  return buildWorkbookStream(minimalGlobals(), {{"A", a}, {"B", b}, {"C", minimalSheet({}), 2}});
}

Bytes handMade(bool writeCells, bool activateB) {
  auto wb = Workbook::fromBytes(wrapInCompoundFile(handMadeStream()));
  EXPECT_TRUE(wb.ok()) << wb.description();
  if (!wb.ok()) return {};
  if (writeCells) {
    EXPECT_TRUE(wb->setCell(0, 2, 2, 5.5).ok());
    EXPECT_TRUE(wb->setCell(0, 70, 0, std::string("new block")).ok());
  }
  EXPECT_TRUE(wb->setActiveCell(0, 7, 7).ok());
  if (activateB) {
    EXPECT_TRUE(wb->setActiveSheet(1).ok());
    EXPECT_TRUE(wb->setActiveCell(1, 2, 3).ok());
    if (writeCells) {
      EXPECT_TRUE(wb->setCell(1, 1, 1, std::string("in B")).ok());
    }
  }
  return savedBytes(wb.value());
}

// A compound file with a storage inside a storage, an empty stream, streams
// for the mini stream and one exactly at the mini stream cutoff.
Bytes compoundFileTree() {
  auto stream = [](std::u16string name, std::size_t size, std::uint8_t seed) {
    CfbEntry e;
    e.name = std::move(name);
    for (std::size_t i = 0; i < size; ++i) e.data.push_back(static_cast<std::uint8_t>(seed + i * 7));
    return e;
  };
  CompoundFile cf;
  cf.root().clsid[3] = 0x42;
  cf.root().children.push_back(stream(u"Workbook", 9000, 1));
  cf.root().children.push_back(stream(u"\u0005SummaryInformation", 300, 2));
  cf.root().children.push_back(stream(u"Empty", 0, 3));
  cf.root().children.push_back(stream(u"Exactly4096", 4096, 4));
  CfbEntry storage;
  storage.name = u"_VBA_PROJECT_CUR";
  storage.type = CfbType::Storage;
  storage.stateBits = 0x12345678;
  storage.timestamps[7] = 1;
  storage.children.push_back(stream(u"PROJECT", 65, 5));
  CfbEntry inner;
  inner.name = u"VBA";
  inner.type = CfbType::Storage;
  inner.children.push_back(stream(u"dir", 5000, 6));
  storage.children.push_back(std::move(inner));
  cf.root().children.push_back(std::move(storage));
  auto bytes = cf.serialize();
  EXPECT_TRUE(bytes.ok()) << bytes.description();
  return bytes.ok() ? bytes.value() : Bytes{};
}

TEST(SavedBytesTest, SavesWriteTheseExactFiles) {
  struct Case {
    const char* name;
    std::function<Bytes()> save;
    const char* sha256;
  };
  const std::vector<Case> cases = {
      {"chart untouched", [] { return sampleUntouched("chart.xls"); },
       "1ac6497706ccb35dad095e8caa13852dc90a7d83f840d1366c89a992ea1bb955"},
      {"chart written", [] { return sampleWritten("chart.xls"); },
       "daedcd00e1ce66d00e3ea5902308d910df45fd3a12b8bac076f82676f28cd2de"},
      {"chart active cell", [] { return sampleActiveCell("chart.xls"); },
       "dbbddde55f6bb02327c38c007a95aea0b8139cda06c76bbec2604d68853306db"},
      {"date1904 untouched", [] { return sampleUntouched("date1904.xls"); },
       "c6dfe219824dc4903054cba0a5c441b235c605a962321f72f1e084eb650f047a"},
      {"date1904 written", [] { return sampleWritten("date1904.xls"); },
       "0e79515b0cc6e5d39217902e3768535551c58bbebacef54c5117982596fabfa8"},
      {"date1904 active cell", [] { return sampleActiveCell("date1904.xls"); },
       "887a240e6be8ebf403576d6a1a4a2232a6a82561af3abdf260a28120e5e44fe8"},
      {"formats untouched", [] { return sampleUntouched("formats.xls"); },
       "ff3a417bd500955ebcd3deacfd9052aae50d50ee109f47bff780a87506ec46eb"},
      {"formats written", [] { return sampleWritten("formats.xls"); },
       "14c9e6945bb4b142f9860e3f046408c9129a9c450d8ede1478d0d897325e95b5"},
      {"formats active cell", [] { return sampleActiveCell("formats.xls"); },
       "b2037f3d44129ee996b591f90586527cf20381dc7d82d75b761664b3f1a7e7d0"},
      {"formula_groups untouched", [] { return sampleUntouched("formula_groups.xls"); },
       "5639ba5e9852ec731b514661a7072285685b986603cb0b85ddfc7a3d1c74d7c5"},
      {"formula_groups written", [] { return sampleWritten("formula_groups.xls"); },
       "49c1a31c4ed48d7087390debe01d999a2caa0b4308ae565c57df1a3119dbf136"},
      {"formula_groups active cell", [] { return sampleActiveCell("formula_groups.xls"); },
       "4d1dc2cc0033e63ba4ce441140355b0c5255d894280c9aa55d99ba77c6e02287"},
      {"formula_groups hosts", [] { return formulaGroupsWritten(0); },
       "8b95235265a284d597aeec806a69e25bb302fa1cb2b68798caaa15fe576549a9"},
      {"formula_groups members", [] { return formulaGroupsWritten(1); },
       "15439292e1cef59f8f126eb1b0cecaa2101bc28d8cd3d256a3ce5e2df61fb937"},
      {"formula_results untouched", [] { return sampleUntouched("formula_results.xls"); },
       "3bdd2be695e1df3c25478a80fde10f931daf93aaef2247ca2a6393af43403660"},
      {"formula_results written", [] { return sampleWritten("formula_results.xls"); },
       "eafc6aa5b69669598a6113848917b78f0700762e5b7a0c6bedd0fa09ba8d50a6"},
      {"formula_results active cell", [] { return sampleActiveCell("formula_results.xls"); },
       "0ad04b955086f7f68905e843f1c2095753fdd8ecc07ff8b0db09d7c9b7b40f3c"},
      {"formulas untouched", [] { return sampleUntouched("formulas.xls"); },
       "0d87c510899f7a5035e3e662c13b6652e3f89ac782cbba610cc8dbad83725fee"},
      {"formulas written", [] { return sampleWritten("formulas.xls"); },
       "e84657a618bbaa38041d45d212dc56a1602727f94a8e3d63e69dbf1cec911517"},
      {"formulas active cell", [] { return sampleActiveCell("formulas.xls"); },
       "9086f9da444e93eb313ca521f8ab8161e655ad54dfd6f29a87e3873d049e6eab"},
      {"long_strings untouched", [] { return sampleUntouched("long_strings.xls"); },
       "fcd9dc58e057d5c9fddb7e69f0f9f34dd69dffa195f461cbc1a3c2be2ad0cf80"},
      {"long_strings written", [] { return sampleWritten("long_strings.xls"); },
       "902d8a3582be4a13cdfb19b6fb10b97b702a8ff1aa5f756ce81865cddb44099f"},
      {"long_strings active cell", [] { return sampleActiveCell("long_strings.xls"); },
       "4cc9ef0b67d07a15386fea5626760828808e763b9cb2014b1c658eaf6d043e78"},
      {"many_strings untouched", [] { return sampleUntouched("many_strings.xls"); },
       "ff7fa9b92ae3886c502d4983548afc4ac408c6b11c93d5403d5803726ecdcb63"},
      {"many_strings written", [] { return sampleWritten("many_strings.xls"); },
       "8c147ff63a7ec478b12087bb68849e61ccbff079ad7d169b9d2c0fd77329c38a"},
      {"many_strings active cell", [] { return sampleActiveCell("many_strings.xls"); },
       "08bc7a543b4bfd88f40470d3847117af81112b49389c11f940e0554e17472094"},
      {"merged untouched", [] { return sampleUntouched("merged.xls"); },
       "598bc98b4af9337851456d96a373ae7f696cb13cdc1c6280ca20e4c8f1ffdae3"},
      {"merged written", [] { return sampleWritten("merged.xls"); },
       "ada8111fb3353c9c4786997cbef60e6e17b484b2d24d116e3723b34aa6865063"},
      {"merged active cell", [] { return sampleActiveCell("merged.xls"); },
       "e5b5349c13c74e6886a3f2519156a8f339021044c2955fb11d25d3c88a0faef7"},
      {"two_sheets untouched", [] { return sampleUntouched("two_sheets.xls"); },
       "36580b230e21a01958046ae66a20a8bed11a506393d06ba9a651fe811929f2f7"},
      {"two_sheets written", [] { return sampleWritten("two_sheets.xls"); },
       "c3cfed15ec95955028f6208a5dbe8f2156cfa8944a23d63c411c1056dcd34217"},
      {"two_sheets active cell", [] { return sampleActiveCell("two_sheets.xls"); },
       "408b1b9b62eb5b745fd53bb77322585fbca671f56d9fc87cee7fca1b02834bff"},
      {"new empty", [] { return savedBytes(Workbook::createEmpty()); },
       "be3a8309c3aac9fcfebfa2a14d5a6585e7408cc1ec5645e37cdb25cf8a5d7334"},
      {"new 70 x 6", [] { return newWorkbook(70, 6); },
       "7643e5ae2081cbbe912f547f5b840d20481feeea2e07c729c7eab1c0a4042fb9"},
      {"new 65536 x 6 (DIFAT)", [] { return newWorkbook(65536, 6); },
       "80bff38c07cbfe5c7e2dbe3baf5f4bc5b4fb7934a84aee8dd77ecd012c2f49e9"},
      {"hand-made view only", [] { return handMade(false, false); },
       "8f2e65892db451a51cd5896113fb8c8de5571d0b1cb0bb0fd79310108cfc572d"},
      {"hand-made written", [] { return handMade(true, false); },
       "fd8bff72e96ee2cf1feb587cf6f6db7f1d6c58c6eaa7c5a7fe41ec958b97d69f"},
      {"hand-made view only, sheet B active", [] { return handMade(false, true); },
       "defd2071acd6ee3daebec2ca58abb2062ec46de0219811d327ad91a92f80f133"},
      {"compound file with storages", [] { return compoundFileTree(); },
       "5ecbd1128a05ac5514d3dfe4920e7d9304a07666972838654b49a7b87456c82a"},
      {"hand-made written, sheet B active", [] { return handMade(true, true); },
       "59d94927a29b94cb315a10b07aa5d8d6f6ba01287985856059ffb15f44e869f0"},
  };
  for (const Case& c : cases) {
    const Bytes file = c.save();
    ASSERT_FALSE(file.empty()) << c.name;
    EXPECT_EQ(sha256(file), c.sha256) << c.name << " (" << file.size() << " bytes)";
  }
}

}  // namespace
}  // namespace kestrune::xls
