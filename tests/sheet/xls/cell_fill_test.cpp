// Filled cells read back by python3-xlrd: the fill shows the workbook's
// colour nearest to the one asked for (from its own PALETTE record or the
// default table), every other part of the cell's format and its value stay,
// and the file's own XF records are written back as they were.
#include "xls_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>

namespace kestrune::xls {
namespace {

using namespace testing;

constexpr Rgb Alarm{255, 199, 206};

// Tab-separated; per cell: cell, r, c, xf, pattern, colour index, red,
// green, blue, number format, font, type, value.
const char* const FillDumpScript = R"(
import sys, xlrd
book = xlrd.open_workbook(sys.argv[1], formatting_info=True)
sheet = book.sheet_by_index(0)
print("xfs", len(book.xf_list), sep="\t")
far = lambda i: sum((a - b) ** 2 for a, b in zip(book.colour_map[i], (255, 199, 206)))
print("nearest", min(range(8, 64), key=far), sep="\t")
for r, c in [(0, 0), (1, 0), (2, 0), (3, 0), (4, 1)]:
    if r >= sheet.nrows or c >= sheet.row_len(r):
        continue
    x = sheet.cell_xf_index(r, c)
    xf = book.xf_list[x]
    bg = xf.background
    rgb = book.colour_map.get(bg.pattern_colour_index) or ("-", "-", "-")
    print("cell", r, c, x, bg.fill_pattern, bg.pattern_colour_index, *rgb,
          repr(book.format_map[xf.format_key].format_str), xf.font_index,
          sheet.cell_type(r, c), repr(sheet.cell_value(r, c)), sep="\t")
)";

struct CellLook {
  int xf = -1, pattern = -1, colourIndex = -1;
  std::string rgb, format, font, type, value;
};
struct FillDump {
  int xfs = 0, nearest = 0;
  std::map<std::string, CellLook> cells;  // "r c"
};

FillDump fillDump(const std::string& path) {
  const PythonRun run = runPython(FillDumpScript, path);
  EXPECT_EQ(run.status, 0) << run.output;
  FillDump d;
  std::istringstream in(run.output);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() == 2 && f[0] == "xfs") d.xfs = std::stoi(f[1]);
    if (f.size() == 2 && f[0] == "nearest") d.nearest = std::stoi(f[1]);
    if (f.size() == 13 && f[0] == "cell")
      d.cells[f[1] + " " + f[2]] = CellLook{
          std::stoi(f[3]), std::stoi(f[4]), std::stoi(f[5]), f[6] + "," + f[7] + "," + f[8], f[9], f[10], f[11], f[12]};
  }
  return d;
}

Record paletteRecord(std::uint8_t index, Rgb colour) {
  Palette palette = defaultPalette();
  palette[index - FirstPaletteIndex] = colour;
  Bytes body = u16s({static_cast<std::uint16_t>(PaletteSize)});
  for (const Rgb& c : palette) body.insert(body.end(), {c.red, c.green, c.blue, 0});
  return rec(rid::Palette, body);
}

// A LABEL: text the file holds in the cell record itself, not the shared strings.
Record labelRecord(std::uint16_t row, std::uint16_t column, const std::string& text) {
  Bytes body = u16s({row, column, 15, static_cast<std::uint16_t>(text.size())});
  body.push_back(0);  // 8-bit characters
  body.insert(body.end(), text.begin(), text.end());
  return rec(rid::Label, body);
}

struct PaletteCase {
  const char* name;
  bool ownPalette;  // the file has a PALETTE record with the alarm colour at index 50
  int index;        // the index the fill must use
  const char* rgb;  // the colour xlrd must show for it
};

class FillRoundTripTest : public ::testing::TestWithParam<PaletteCase> {};

// A1 a number, A2 a date, A3 a LABEL, A4 a number left alone, B5 empty: all
// but A4 filled. The number, the text and the empty cell share one XF, so two
// XFs are added: one for it, one for the date's.
TEST_P(FillRoundTripTest, FillShowsTheNearestColourAndTheRestStays) {
  if (!haveXlrd()) GTEST_SKIP() << "/usr/bin/python3 with xlrd is not available";
  std::vector<Record> globals = minimalGlobals();
  if (GetParam().ownPalette) globals.push_back(paletteRecord(50, Alarm));
  auto made = Workbook::fromBytes(
      wrapInCompoundFile(buildWorkbookStream(globals, {{"S", minimalSheet({labelRecord(2, 0, "abc")})}})));
  ASSERT_TRUE(made.ok()) << made.description();
  ASSERT_TRUE(made.value().setCell(0, 0, 0, 12.5).ok());
  ASSERT_TRUE(made.value().setCell(0, 1, 0, DateTimeValue{46363.5, DateKind::DateTime}).ok());
  ASSERT_TRUE(made.value().setCell(0, 3, 0, 7.0).ok());
  TempDir dir;
  const std::string plain = dir.file("plain.xls"), filled = dir.file("filled.xls");
  ASSERT_TRUE(made.value().save(plain).ok());

  auto wb = Workbook::open(plain);
  ASSERT_TRUE(wb.ok()) << wb.description();
  for (const auto& [row, column] : {std::pair{0u, 0u}, {1u, 0u}, {2u, 0u}, {4u, 1u}}) {
    const XlsResult<bool> changed = wb.value().fillCell(0, row, column, Alarm);
    ASSERT_TRUE(changed.ok()) << changed.description();
    EXPECT_TRUE(changed.value()) << row << " " << column;
  }
  const XlsResult<bool> again = wb.value().fillCell(0, 0, 0, Alarm);
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again.value()) << "a filled cell filled again changes nothing";
  ASSERT_TRUE(wb.value().save(filled).ok());

  const FillDump before = fillDump(plain), after = fillDump(filled);
  EXPECT_EQ(after.nearest, GetParam().index);
  EXPECT_EQ(after.xfs, before.xfs + 2);
  // B5 had no cell: it is a blank now, in the format of an empty cell (A4's).
  EXPECT_FALSE(before.cells.count("4 1"));
  const CellLook blank{before.cells.at("3 0").xf,   0,   0,   "", before.cells.at("3 0").format,
                       before.cells.at("3 0").font, "6", "''"};
  for (const char* key : {"0 0", "1 0", "2 0", "4 1"}) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(after.cells.count(key));
    const CellLook &was = before.cells.count(key) ? before.cells.at(key) : blank, &is = after.cells.at(key);
    EXPECT_EQ(is.pattern, 1);
    EXPECT_EQ(is.colourIndex, GetParam().index);
    EXPECT_EQ(is.rgb, GetParam().rgb);
    EXPECT_GE(is.xf, before.xfs) << "a new XF, not a changed one of the file";
    EXPECT_EQ(is.format, was.format);
    EXPECT_EQ(is.font, was.font);
    EXPECT_EQ(is.type, was.type);
    EXPECT_EQ(is.value, was.value);
  }
  EXPECT_EQ(after.cells.at("0 0").xf, after.cells.at("2 0").xf);
  EXPECT_EQ(after.cells.at("0 0").xf, after.cells.at("4 1").xf);
  EXPECT_NE(after.cells.at("0 0").xf, after.cells.at("1 0").xf);
  EXPECT_EQ(after.cells.at("2 0").value, "'abc'");
  EXPECT_NE(after.cells.at("1 0").format, after.cells.at("0 0").format) << "the date keeps its date format";
  EXPECT_EQ(after.cells.at("3 0").xf, before.cells.at("3 0").xf);
  EXPECT_EQ(after.cells.at("3 0").pattern, 0);

  // The file's XF records, byte for byte, then the new ones.
  const auto xfsOf = [](const std::string& path) {
    auto file = Workbook::open(path);
    EXPECT_TRUE(file.ok());
    auto bytes = file.value().toBytes();
    return withId(globalRecords(bytes.value()), rid::Xf);
  };
  const std::vector<Record> plainXfs = xfsOf(plain), filledXfs = xfsOf(filled);
  ASSERT_EQ(filledXfs.size(), plainXfs.size() + 2);
  for (std::size_t i = 0; i < plainXfs.size(); ++i) EXPECT_EQ(filledXfs[i].body, plainXfs[i].body) << "XF " << i;
}

INSTANTIATE_TEST_SUITE_P(Palettes, FillRoundTripTest,
                         ::testing::Values(PaletteCase{"DefaultPalette", false, 45, "255,153,204"},
                                           PaletteCase{"OwnPalette", true, 50, "255,199,206"}),
                         [](const auto& p) { return std::string(p.param.name); });

// A formula's record is written back as read: it cannot take another XF,
// and the refused fill changes nothing in the file.
TEST(FillCellTest, AFormulaCellIsRefusedAndTheFileStays) {
  auto wb = Workbook::open(KESTRUNE_XLS_TEST_DATA "/formulas.xls");
  ASSERT_TRUE(wb.ok()) << wb.description();
  const auto untouched = wb.value().toBytes();
  ASSERT_TRUE(untouched.ok());
  std::optional<std::uint32_t> formula;
  for (const auto& [key, cell] : wb.value().cells(0))
    if (cell.formula && !formula) formula = key;
  ASSERT_TRUE(formula) << "formulas.xls holds a formula on its first sheet";
  const XlsResult<bool> filled = wb.value().fillCell(0, *formula >> 8, *formula & 0xFF, Alarm);
  ASSERT_FALSE(filled.ok());
  EXPECT_EQ(filled.error().code, XlsErrorCode::ValueNotStorable);
  EXPECT_EQ(wb.value().toBytes().value(), untouched.value());
}

}  // namespace
}  // namespace kestrune::xls
