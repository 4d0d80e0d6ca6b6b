// Column widths: a column widened for a stamp, saved and read back by our
// reader and by python3-xlrd (colinfo_map); a column inside a COLINFO range
// split from it; wider and hidden columns and columns wide enough by default
// left alone, with the saved bytes unchanged.
#include "xls_test_support.h"

#include "sheet/xls/sheet_records.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace kestrune::xls {
namespace {

using namespace testing;

struct Range {
  std::uint16_t first, last, width, flags;
  bool operator==(const Range&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Range& r) {
  return os << "[" << r.first << ".." << r.last << " width " << r.width << " flags " << r.flags << "]";
}

Record colInfo(std::uint16_t first, std::uint16_t last, std::uint16_t width, std::uint16_t xf, std::uint16_t flags) {
  return rec(rid::ColInfo, u16s({first, last, width, xf, flags, 0}));
}

// One worksheet: DEFCOLWIDTH 8, then COLINFO C:F 3000 (XF 16), I 8000 and
// K:M 5000 hidden, a cell in A1.
const std::vector<Range> ReadRanges = {{2, 5, 3000, 0x02}, {8, 8, 8000, 0x02}, {10, 12, 5000, 0x03}};

Bytes rangesWorkbook() {
  std::vector<Record> sheet = minimalSheet({rec(rid::Number, [] {
    Bytes b = u16s({0, 0, 15});
    putF64(b, 1.0);
    return b;
  }())});
  std::vector<Record> head = {rec(rid::DefColWidth, u16s({8}))};
  for (const Range& r : ReadRanges) head.push_back(colInfo(r.first, r.last, r.width, r.first == 2 ? 16 : 15, r.flags));
  sheet.insert(sheet.begin() + 1, head.begin(), head.end());
  return wrapInCompoundFile(buildWorkbookStream(minimalGlobals(), {{"Data", sheet}}));
}

// The COLINFO ranges of the first sheet of a saved file, and whether they
// stand together after DEFCOLWIDTH and before DIMENSIONS.
std::vector<Range> savedRanges(const Bytes& file, bool* inPlace = nullptr) {
  const std::vector<Record> records = sheetRecords(file, 0);
  std::vector<Range> out;
  std::vector<std::uint16_t> order;
  for (const Record& r : records) {
    if (r.id == rid::ColInfo)
      out.push_back({getU16(r.body, 0), getU16(r.body, 2), getU16(r.body, 4), getU16(r.body, 8)});
    if (r.id == rid::ColInfo || r.id == rid::DefColWidth || r.id == rid::Dimensions)
      if (order.empty() || order.back() != r.id) order.push_back(r.id);
  }
  if (inPlace) {
    const std::vector<std::uint16_t> want = {rid::DefColWidth, rid::ColInfo, rid::Dimensions};
    *inPlace = order == want;
  }
  return out;
}

// xlrd's width of each column that has a COLINFO.
std::map<int, int> xlrdWidths(const std::string& path) {
  const PythonRun run = runPython(R"PY(
import sys, xlrd
s = xlrd.open_workbook(sys.argv[1], formatting_info=True).sheet_by_index(0)
for c in sorted(s.colinfo_map):
    print(c, s.colinfo_map[c].width, s.colinfo_map[c].hidden)
)PY",
                                  path);
  EXPECT_EQ(run.status, 0) << run.output;
  std::map<int, int> widths;
  std::istringstream in(run.output);
  int column, width, hidden;
  while (in >> column >> width >> hidden) widths[column] = width;
  return widths;
}

constexpr int Stamp = 19, DateOnly = 10, TimeOnly = 8;  // characters of the stamps

struct WidenCase {
  const char* name;
  std::uint32_t column;
  int characters;
  bool writeCell;               // a cell written as well: the sheet's cell area is laid out again
  std::vector<Range> expected;  // empty: nothing changes
};

void PrintTo(const WidenCase& c, std::ostream* os) { *os << c.name; }

const std::uint16_t W19 = columnWidthForCharacters(Stamp);
const std::uint16_t W10 = columnWidthForCharacters(DateOnly);

class WidenColumnTest : public ::testing::TestWithParam<WidenCase> {};

TEST_P(WidenColumnTest, SavesTheWidthsReadersSee) {
  const WidenCase& c = GetParam();
  auto wb = Workbook::fromBytes(rangesWorkbook());
  ASSERT_TRUE(wb.ok()) << wb.description();
  const Bytes untouched = wb->toBytes().value();
  EXPECT_EQ(wb->defaultColumnWidth(0), columnWidthForCharacters(8));
  if (c.writeCell) {
    ASSERT_TRUE(wb->setCell(0, 3, c.column, std::string("2024/05/06 07:08:09")).ok());
  }
  const XlsResult<bool> widened = wb->ensureColumnWidth(0, c.column, columnWidthForCharacters(c.characters));
  ASSERT_TRUE(widened.ok()) << widened.description();
  EXPECT_EQ(widened.value(), !c.expected.empty());
  const std::vector<Range> want = c.expected.empty() ? ReadRanges : c.expected;

  const Bytes saved = wb->toBytes().value();
  if (c.expected.empty() && !c.writeCell) {
    EXPECT_EQ(saved, untouched) << "nothing changed, nothing is rewritten";
  }
  bool inPlace = false;
  EXPECT_EQ(savedRanges(saved, &inPlace), want);
  EXPECT_TRUE(inPlace) << "COLINFO records stand together between DEFCOLWIDTH and DIMENSIONS";

  // Our reader: every column's width as the ranges give it; the split
  // parts keep the XF of the range they came from.
  auto reread = Workbook::fromBytes(saved);
  ASSERT_TRUE(reread.ok()) << reread.description();
  std::map<int, int> expectedWidths;
  for (const Range& r : want)
    for (int col = r.first; col <= r.last; ++col) expectedWidths[col] = r.width;
  for (std::uint32_t col = 0; col < MaxColumns; ++col) {
    const auto width = reread->columnWidth(0, col);
    EXPECT_EQ(width.has_value(), expectedWidths.count(static_cast<int>(col)) > 0) << col;
    if (width) {
      EXPECT_EQ(*width, expectedWidths[static_cast<int>(col)]) << col;
    }
  }
  for (const Record& r : withId(sheetRecords(saved, 0), rid::ColInfo))
    EXPECT_EQ(getU16(r.body, 6), getU16(r.body, 0) >= 2 && getU16(r.body, 2) <= 5 ? 16 : 15)
        << "XF of the range from column " << getU16(r.body, 0);

  if (!haveXlrd()) return;
  TempDir dir;
  const std::string path = dir.file("widths.xls");
  ASSERT_TRUE(wb->save(path).ok());
  EXPECT_EQ(xlrdWidths(path), expectedWidths);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WidenColumnTest,
    ::testing::Values(
        WidenCase{"NewRangeBeforeTheOthers",
                  0,
                  Stamp,
                  false,
                  {{0, 0, W19, 0x02}, ReadRanges[0], ReadRanges[1], ReadRanges[2]}},
        WidenCase{
            "NewRangeBetweenTwo", 6, DateOnly, true, {ReadRanges[0], {6, 6, W10, 0x02}, ReadRanges[1], ReadRanges[2]}},
        WidenCase{"NewRangeAfterAll",
                  200,
                  Stamp,
                  false,
                  {ReadRanges[0], ReadRanges[1], ReadRanges[2], {200, 200, W19, 0x02}}},
        WidenCase{"SplitInTheMiddle",
                  3,
                  Stamp,
                  true,
                  {{2, 2, 3000, 0x02}, {3, 3, W19, 0x02}, {4, 5, 3000, 0x02}, ReadRanges[1], ReadRanges[2]}},
        WidenCase{"SplitAtTheFirstColumn",
                  2,
                  Stamp,
                  false,
                  {{2, 2, W19, 0x02}, {3, 5, 3000, 0x02}, ReadRanges[1], ReadRanges[2]}},
        WidenCase{"SplitAtTheLastColumn",
                  5,
                  Stamp,
                  false,
                  {{2, 4, 3000, 0x02}, {5, 5, W19, 0x02}, ReadRanges[1], ReadRanges[2]}},
        WidenCase{"AWiderColumnStays", 8, Stamp, false, {}},
        WidenCase{"ANarrowerStampStaysInARangeWideEnough", 4, DateOnly, true, {}},
        WidenCase{"AHiddenColumnStaysHidden", 11, Stamp, false, {}},
        WidenCase{"TheDefaultWidthIsWideEnoughForATime", 1, TimeOnly, false, {}}),
    [](const auto& p) { return std::string(p.param.name); });

// A new workbook has no COLINFO: the first goes right after DEFCOLWIDTH. A
// second, wider stamp widens the same range; a narrower one changes nothing.
TEST(ColumnWidthTest, ANewWorkbookGetsItsFirstColumnRangeAndWidensIt) {
  Workbook wb = Workbook::createEmpty();
  ASSERT_TRUE(wb.setCell(0, 0, 2, DateTimeValue{45000.5, DateKind::DateOnly}).ok());
  EXPECT_TRUE(wb.ensureColumnWidth(0, 2, W10).value());
  EXPECT_TRUE(wb.ensureColumnWidth(0, 2, W19).value());
  EXPECT_FALSE(wb.ensureColumnWidth(0, 2, W10).value());
  bool inPlace = false;
  const Bytes saved = wb.toBytes().value();
  EXPECT_EQ(savedRanges(saved, &inPlace), (std::vector<Range>{{2, 2, W19, 0x02}}));
  EXPECT_TRUE(inPlace);
  if (!haveXlrd()) return;
  TempDir dir;
  ASSERT_TRUE(wb.save(dir.file("new.xls")).ok());
  EXPECT_EQ(xlrdWidths(dir.file("new.xls")), (std::map<int, int>{{2, W19}}));
}

TEST(ColumnWidthTest, RefusesSheetsWithoutCellsAndColumnsOutsideTheSheet) {
  std::vector<Record> chart = {minimalSheet({}).front(), rec(rid::Eof, {})};
  auto wb = Workbook::fromBytes(
      wrapInCompoundFile(buildWorkbookStream(minimalGlobals(), {{"Data", minimalSheet({})}, {"Chart1", chart, 2}})));
  ASSERT_TRUE(wb.ok()) << wb.description();
  const XlsResult<bool> chartSheet = wb->ensureColumnWidth(1, 0, W19);
  ASSERT_FALSE(chartSheet.ok());
  EXPECT_NE(chartSheet.description().find("not a worksheet"), std::string::npos);
  EXPECT_FALSE(wb->ensureColumnWidth(0, MaxColumns, W19).ok());
  EXPECT_TRUE(wb->ensureColumnWidth(0, MaxColumns - 1, W19).value());
  EXPECT_EQ(wb->columnWidth(0, MaxColumns - 1), W19);
}

// Damaged COLINFO records (too short, backwards, past the last column) are
// kept as they are and do not take part; the column gets its own range.
TEST(ColumnWidthTest, DamagedRangesAreKeptAndIgnored) {
  std::vector<Record> sheet = minimalSheet({});
  sheet.insert(sheet.begin() + 1,
               {rec(rid::ColInfo, u16s({0, 9})), colInfo(7, 3, 9000, 15, 0), colInfo(250, 0xFFFF, 700, 15, 0)});
  auto wb = Workbook::fromBytes(wrapInCompoundFile(buildWorkbookStream(minimalGlobals(), {{"S", sheet}})));
  ASSERT_TRUE(wb.ok()) << wb.description();
  EXPECT_EQ(wb->columnWidth(0, 5), std::nullopt);
  EXPECT_EQ(wb->columnWidth(0, 255), std::optional<std::uint16_t>(700));
  EXPECT_TRUE(wb->ensureColumnWidth(0, 5, W19).value());
  EXPECT_TRUE(wb->ensureColumnWidth(0, 252, W19).value());
  const std::vector<Record> saved = withId(sheetRecords(wb->toBytes().value(), 0), rid::ColInfo);
  ASSERT_EQ(saved.size(), 6u);
  EXPECT_EQ(saved[0].body, u16s({0, 9}));
  EXPECT_EQ(getU16(saved[1].body, 0), 7);
  EXPECT_EQ(getU16(saved[2].body, 0), 5) << "before the first range after it";
  EXPECT_EQ(getU16(saved[3].body, 2), 251) << "the part before the widened column";
  EXPECT_EQ(getU16(saved[4].body, 4), W19);
  EXPECT_EQ(getU16(saved[5].body, 2), 0xFFFF) << "the part after it keeps the last column as read";
}

}  // namespace
}  // namespace kestrune::xls
