// Record-level checks of what a save writes: exact bodies of the records an
// edit touches, and that everything else stays as it was.
#include "xls_test_support.h"

#include "sheet/xls/sheet_records.h"
#include "sheet/xls/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>

namespace kestrune::xls {
namespace {

using namespace testing;

Bytes cellBody(std::uint16_t row, std::uint16_t col, std::uint16_t xf) { return u16s({row, col, xf}); }

Record numberRec(std::uint16_t row, std::uint16_t col, double v, std::uint16_t xf = 15) {
  Bytes b = cellBody(row, col, xf);
  putF64(b, v);
  return rec(rid::Number, b);
}

Record rowRec(std::uint16_t row, std::uint16_t colMic, std::uint16_t colMac) {
  Bytes b = u16s({row, colMic, colMac, 0xFF, 0, 0});
  putU32(b, 0x000F0100);
  return rec(rid::Row, b);
}

// MULRK row 2, columns 1..3: integers 10, 20, 30 with XFs 15, 16, 15.
Record mulRk() {
  Bytes b = u16s({2, 1});
  for (auto [xf, v] : {std::pair{15, 10}, {16, 20}, {15, 30}}) {
    putU16(b, static_cast<std::uint16_t>(xf));
    putU32(b, static_cast<std::uint32_t>(v << 2) | 0x02);
  }
  putU16(b, 3);
  return rec(rid::MulRk, b);
}

template <std::size_t N>
Bytes bytesOf(const std::array<std::uint8_t, N>& body) {
  return Bytes(body.begin(), body.end());
}

// One row per record body a save makes: the builder's output and the bytes
// written out by hand from the record's layout.
TEST(RecordBuildersTest, EachBuilderWritesItsRecordByteForByte) {
  constexpr std::uint16_t Active = Window2Record::DefaultFlags | Window2Record::ActiveSheet;
  struct Case {
    const char* name;
    Bytes built;
    Bytes expected;
  };
  const Case cases[] = {
      {"ROW, default XF",
       bytesOf(rowBody({300, 0, 1})),
       {0x2C, 0x01, 0, 0, 1, 0, 0xFF, 0, 0, 0, 0, 0, 0x00, 0x01, 0x0F, 0x00}},
      {"ROW, last row and columns, XF 0xABC",
       bytesOf(rowBody({65535, 255, 256, 0x0ABC})),
       {0xFF, 0xFF, 0xFF, 0, 0, 1, 0xFF, 0, 0, 0, 0, 0, 0x00, 0x01, 0xBC, 0x0A}},
      {"DIMENSIONS, empty sheet", bytesOf(dimensionsBody({})), Bytes(14, 0)},
      {"DIMENSIONS, B2:H301",
       bytesOf(dimensionsBody({1, 301, 1, 8})),
       {1, 0, 0, 0, 0x2D, 0x01, 0, 0, 1, 0, 8, 0, 0, 0}},
      {"DIMENSIONS, whole sheet",
       bytesOf(dimensionsBody({0, 65536, 0, 256})),
       {0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0}},
      {"WINDOW2, defaults", bytesOf(window2Body({})), {0xB6, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"WINDOW2, active sheet, grid colour also at offset 8",
       bytesOf(window2Body({Active, 0, 0, 0x40, 0x40})),
       {0xB6, 0x06, 0, 0, 0, 0, 0x40, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"WINDOW2, grid only, scrolled",
       bytesOf(window2Body({Window2Record::ShowGrid, 10, 3, 8, 0})),
       {0x02, 0, 10, 0, 3, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"SELECTION, A1", bytesOf(selectionBody({})), {3, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {"SELECTION, last cell of pane 0",
       bytesOf(selectionBody({0, 65535, 255})),
       {0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"BLANK", bytesOf(blankBody({2, 3, 15})), {2, 0, 3, 0, 15, 0}},
      {"LABELSST", bytesOf(labelSstBody({1, 0, 16}, 0x01020304)), {1, 0, 0, 0, 16, 0, 4, 3, 2, 1}},
      {"NUMBER", bytesOf(numberBody({0, 1, 15}, 1.5)), {0, 0, 1, 0, 15, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
      {"RK, integer 10", bytesOf(rkBody({2, 1, 15}, 10 << 2 | 0x02)), {2, 0, 1, 0, 15, 0, 0x2A, 0, 0, 0}},
      {"BOOLERR, true", bytesOf(boolErrBody({3, 3, 15}, 1, false)), {3, 0, 3, 0, 15, 0, 1, 0}},
      {"BOOLERR, #N/A", bytesOf(boolErrBody({4, 3, 15}, 0x2A, true)), {4, 0, 3, 0, 15, 0, 0x2A, 1}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.built, c.expected) << c.name;
}

TEST(RecordBuildersTest, MultiCellCountChecksLengthAgainstTheLastColumn) {
  auto mulRk = [](std::uint16_t first, std::size_t cells, std::uint16_t last) {
    Bytes b = u16s({2, first});
    for (std::size_t k = 0; k < cells; ++k) {
      putU16(b, 15);
      putU32(b, 0x02);
    }
    putU16(b, last);
    return b;
  };
  struct Case {
    const char* name;
    std::uint16_t id;
    Bytes body;
    std::size_t cells;
  };
  const Case cases[] = {
      {"MULRK of three", rid::MulRk, mulRk(1, 3, 3), 3},
      {"MULRK, last column one too far", rid::MulRk, mulRk(1, 3, 4), 0},
      {"MULRK, last column before the first", rid::MulRk, mulRk(5, 1, 4), 0},
      {"MULRK cut inside an entry", rid::MulRk, Bytes{2, 0, 1, 0, 15, 0, 2, 0, 1, 0}, 0},
      {"MULRK without entries", rid::MulRk, u16s({2, 1, 0}), 0},
      {"MULBLANK of five", rid::MulBlank, u16s({2, 0, 15, 16, 15, 16, 15, 4}), 5},
      {"MULBLANK with an odd length", rid::MulBlank, Bytes{2, 0, 0, 0, 15, 0, 16, 0, 0}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(multiCellCount(c.id, c.body), c.cells) << c.name;
}

TEST(RecordBuildersTest, CellHeaderReadsRowColumnAndXf) {
  const Bytes body = {0x34, 0x12, 0xFF, 0x00, 0x0F, 0x01, 0xAA};
  const CellHeader header = readCellHeader(body);
  EXPECT_EQ(header.row, 0x1234);
  EXPECT_EQ(header.column, 0x00FF);
  EXPECT_EQ(header.xf, 0x010F);
}

Workbook load(const Bytes& stream) {
  auto wb = Workbook::fromBytes(wrapInCompoundFile(stream));
  EXPECT_TRUE(wb.ok()) << wb.description();
  return wb.ok() ? std::move(wb.value()) : Workbook::createEmpty();
}

Bytes saved(const Workbook& wb) {
  auto bytes = wb.toBytes();
  EXPECT_TRUE(bytes.ok()) << bytes.description();
  return bytes.ok() ? bytes.value() : Bytes{};
}

std::vector<Record> globalsWithXf16() {
  auto g = minimalGlobals();
  // A 17th XF (index 16) so MULRK can carry a second XF.
  auto xf = g[g.size() - 2];
  g.insert(g.end() - 1, xf);
  return g;
}

TEST(WorkbookRecordsTest, MulRkExpandsIntoSingleRecordsWhenOneCellIsWritten) {
  Record untouched = mulRk();
  setU16(untouched.body, 0, 4);  // the same cells on row 4
  const Bytes stream = buildWorkbookStream(
      globalsWithXf16(), {{"S", minimalSheet({rowRec(2, 1, 4), rowRec(4, 1, 4), mulRk(), untouched})}});
  Workbook wb = load(stream);
  ASSERT_TRUE(wb.setCell(0, 2, 2, 5.5).ok());
  const auto recs = sheetRecords(saved(wb), 0);
  const auto mulrks = withId(recs, rid::MulRk);
  ASSERT_EQ(mulrks.size(), 1u);
  EXPECT_EQ(mulrks[0].body, untouched.body);
  const auto rks = withId(recs, rid::Rk);
  ASSERT_EQ(rks.size(), 2u);
  Bytes first = cellBody(2, 1, 15);
  putU32(first, (10 << 2) | 2);
  Bytes last = cellBody(2, 3, 15);
  putU32(last, (30 << 2) | 2);
  EXPECT_EQ(rks[0].body, first);
  EXPECT_EQ(rks[1].body, last);
  const auto numbers = withId(recs, rid::Number);
  ASSERT_EQ(numbers.size(), 1u);
  EXPECT_EQ(numbers[0].body, numberRec(2, 2, 5.5, 16).body);  // keeps the cell's XF
  // Order inside the row: RK col 1, NUMBER col 2, RK col 3.
  std::vector<std::uint16_t> cols;
  for (const Record& r : recs)
    if ((r.id == rid::Rk || r.id == rid::Number) && getU16(r.body, 0) == 2) cols.push_back(getU16(r.body, 2));
  EXPECT_EQ(cols, (std::vector<std::uint16_t>{1, 2, 3}));
}

TEST(WorkbookRecordsTest, DimensionsAndRowsCoverNewCells) {
  const Bytes stream =
      buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet({rowRec(1, 2, 3), numberRec(1, 2, 1)})}});
  Workbook wb = load(stream);
  ASSERT_TRUE(wb.setCell(0, 1, 7, 2.0).ok());
  ASSERT_TRUE(wb.setCell(0, 300, 0, std::string("far")).ok());
  const auto recs = sheetRecords(saved(wb), 0);
  const auto dims = withId(recs, rid::Dimensions);
  ASSERT_EQ(dims.size(), 1u);
  Bytes expected;
  putU32(expected, 1);
  putU32(expected, 301);
  putU16(expected, 0);
  putU16(expected, 8);
  putU16(expected, 0);
  EXPECT_EQ(dims[0].body, expected);
  const auto rows = withId(recs, rid::Row);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].body, rowRec(1, 2, 8).body);
  EXPECT_EQ(rows[1].body, rowRec(300, 0, 1).body);
  // Each ROW precedes the cells of its 32-row block.
  std::vector<std::uint16_t> order;
  for (const Record& r : recs)
    if (r.id == rid::Row || isCellRecord(r.id)) order.push_back(r.id);
  EXPECT_EQ(order, (std::vector<std::uint16_t>{rid::Row, rid::Number, rid::Number, rid::Row, rid::LabelSst}));
}

TEST(WorkbookRecordsTest, SelectionRecordsTheActiveCell) {
  for (bool hadSelection : {true, false}) {
    const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet({}, hadSelection)}});
    Workbook wb = load(stream);
    ASSERT_TRUE(wb.setActiveCell(0, 65535, 200).ok());  // row 65535
    const auto recs = sheetRecords(saved(wb), 0);
    const auto sels = withId(recs, rid::Selection);
    ASSERT_EQ(sels.size(), 1u) << hadSelection;
    const Bytes expected = {3, 0xFF, 0xFF, 200, 0, 0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 200, 200};
    EXPECT_EQ(sels[0].body, expected);
    // SELECTION follows WINDOW2.
    for (std::size_t i = 0; i < recs.size(); ++i)
      if (recs[i].id == rid::Selection) {
        EXPECT_EQ(recs[i - 1].id, rid::Window2);
      }
    auto back = Workbook::fromBytes(saved(wb));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->activeCell(0), (CellPosition{65535, 200}));
  }
}

TEST(WorkbookRecordsTest, BoundSheetOffsetsFollowAGrowingSheet) {
  const Bytes stream = buildWorkbookStream(
      minimalGlobals(), {{"A", minimalSheet({})}, {"B", minimalSheet({numberRec(0, 0, 9)})}, {"C", minimalSheet({})}});
  Workbook wb = load(stream);
  for (std::uint32_t r = 0; r < 200; ++r) ASSERT_TRUE(wb.setCell(0, r, r % 5, double(r)).ok());
  ASSERT_TRUE(wb.setCell(1, 0, 1, std::string("grow")).ok());
  const Bytes file = saved(wb);
  auto all = splitRecords(workbookStream(file));
  ASSERT_TRUE(all.ok());
  const auto sheets = withId(globalRecords(file), rid::BoundSheet);
  ASSERT_EQ(sheets.size(), 3u);
  std::uint32_t previous = 0;
  for (const Record& bs : sheets) {
    const std::uint32_t at = getU32(bs.body, 0);
    EXPECT_GT(at, previous);
    previous = at;
    bool found = false;
    for (const Record& r : all.value())
      if (r.offset == at) found = r.id == rid::Bof && getU16(r.body, 2) == 0x10;
    EXPECT_TRUE(found) << "offset " << at;
  }
  EXPECT_EQ(withId(sheetRecords(file, 0), rid::Number).size(), 200u);
  EXPECT_EQ(withId(sheetRecords(file, 2), rid::Bof).size(), 1u);
}

TEST(WorkbookRecordsTest, IndexOfAnUntouchedSheetPointsAtItsDbCells) {
  Bytes index;
  putU32(index, 0);
  putU32(index, 0);
  putU32(index, 1);
  putU32(index, 0);
  putU32(index, 0xDEAD);  // stale DBCELL position
  std::vector<Record> second =
      minimalSheet({rowRec(0, 0, 1), numberRec(0, 0, 1), rec(rid::DbCell, {0, 0, 0, 0, 0, 0})});
  second.insert(second.begin() + 1, rec(rid::Index, index));
  const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"A", minimalSheet({})}, {"B", second}});
  Workbook wb = load(stream);
  ASSERT_TRUE(wb.setCell(0, 0, 0, std::string("moves sheet B")).ok());
  const Bytes file = saved(wb);
  auto all = splitRecords(workbookStream(file));
  ASSERT_TRUE(all.ok());
  std::uint32_t dbcellAt = 0;
  Bytes indexBody;
  for (const Record& r : all.value()) {
    if (r.id == rid::DbCell) dbcellAt = r.offset;
    if (r.id == rid::Index) indexBody = r.body;
  }
  ASSERT_EQ(indexBody.size(), 20u);
  EXPECT_NE(dbcellAt, 0u);
  EXPECT_EQ(getU32(indexBody, 16), dbcellAt);
}

TEST(WorkbookRecordsTest, OverwritingAFormulaDropsItsStringRecord) {
  Bytes f = cellBody(0, 0, 15);
  f.insert(f.end(), {0, 0, 0, 0, 0, 0, 0xFF, 0xFF});  // cached result: a string
  f.insert(f.end(), {0, 0, 0, 0, 0, 0, 3, 0, 0x17, 1, 0, 'x'});
  Bytes s;
  appendBiffString(s, u"cached", false);
  const Bytes stream =
      buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet({rec(rid::Formula, f), rec(rid::String, s)})}});
  Workbook wb = load(stream);
  auto before = wb.cell(0, 0, 0);
  ASSERT_TRUE(before.ok());
  EXPECT_TRUE(before->formula);
  EXPECT_EQ(std::get<std::string>(before->value), "cached");
  ASSERT_TRUE(wb.setCell(0, 0, 0, 4.0).ok());
  const auto recs = sheetRecords(saved(wb), 0);
  EXPECT_TRUE(withId(recs, rid::Formula).empty());
  EXPECT_TRUE(withId(recs, rid::String).empty());
  ASSERT_EQ(withId(recs, rid::Number).size(), 1u);
}

// A FORMULA of a formula group: its cached result (8 bytes) and one PtgExp,
// or PtgTbl for a data table, naming the host cell.
Record groupFormula(std::uint32_t cell, Bytes result, std::uint32_t host, std::uint16_t grbit,
                    std::uint8_t ptg = 0x01) {
  Bytes b = cellBody(static_cast<std::uint16_t>(cell >> 8), cell & 0xFF, 15);
  b.insert(b.end(), result.begin(), result.end());
  putU16(b, grbit);
  putU32(b, 0);
  putU16(b, 5);
  putU8(b, ptg);
  putU16(b, static_cast<std::uint16_t>(host >> 8));
  putU16(b, host & 0xFF);
  return rec(rid::Formula, b);
}

Bytes numberResult(double v) {
  Bytes b;
  putF64(b, v);
  return b;
}

// SHRFMLA over rows r0..r1, columns c0..c1: the cell to the left plus one
// (PtgRefN row +0 column -1, PtgInt 1, PtgAdd).
Record leftPlusOne(std::uint16_t r0, std::uint16_t r1, std::uint8_t c0, std::uint8_t c1, std::uint8_t uses) {
  Bytes b = u16s({r0, r1});
  b.insert(b.end(), {c0, c1, 0, uses, 9, 0, 0x4C, 0, 0, 0xFF, 0xC0, 0x1E, 1, 0, 0x03});
  return rec(rid::ShrFmla, b);
}

constexpr std::uint32_t at(std::uint32_t row, std::uint32_t col) { return row << 8 | col; }

std::uint32_t keyOf(const Record& cell) { return at(getU16(cell.body, 0), getU16(cell.body, 2)); }

TEST(WorkbookRecordsTest, WrittenSharedFormulaCellsLeaveTheFormulaToTheFirstRemainingCell) {
  // A1:A3 hold 1..3; B1:C3 share "left + 1" with host B1; E5 is a one-cell shared formula.
  const std::map<std::uint32_t, double> cached = {{at(0, 1), 2}, {at(0, 2), 3}, {at(1, 1), 3},
                                                  {at(1, 2), 4}, {at(2, 1), 4}, {at(2, 2), 5}};
  const Record shared = leftPlusOne(0, 2, 1, 2, 6), single = leftPlusOne(4, 4, 4, 4, 1);
  std::vector<Record> cells;
  for (std::uint16_t r = 0; r < 3; ++r) {
    cells.push_back(numberRec(r, 0, r + 1.0));
    for (std::uint16_t c = 1; c <= 2; ++c) {
      cells.push_back(
          groupFormula(at(r, c), numberResult(cached.at(at(r, c))), at(0, 1), FormulaRecord::SharedFormula));
      if (r == 0 && c == 1) cells.push_back(shared);
    }
  }
  cells.push_back(groupFormula(at(4, 4), numberResult(1), at(4, 4), FormulaRecord::SharedFormula));
  cells.push_back(single);
  const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet(cells)}});

  // The host of B1:C3 after the save, the SHRFMLA range (rows, columns) and its use count.
  struct Case {
    const char* name;
    std::vector<std::uint32_t> written;
    std::uint32_t host;  // 0: no cell uses the formula any more
    std::array<std::uint16_t, 4> range;
    std::uint8_t uses;
  };
  const std::uint32_t None = 0;
  const Case cases[] = {
      {"host", {at(0, 1)}, at(0, 2), {0, 2, 1, 2}, 5},
      {"member", {at(1, 2)}, at(0, 1), {0, 2, 1, 2}, 5},
      {"first row", {at(0, 1), at(0, 2)}, at(1, 1), {1, 2, 1, 2}, 4},
      {"last column", {at(0, 2), at(1, 2), at(2, 2)}, at(0, 1), {0, 2, 1, 1}, 3},
      {"all but the last", {at(0, 1), at(0, 2), at(1, 1), at(1, 2), at(2, 1)}, at(2, 2), {2, 2, 2, 2}, 1},
      {"all", {at(0, 1), at(0, 2), at(1, 1), at(1, 2), at(2, 1), at(2, 2)}, None, {}, 0},
      {"one-cell formula", {at(4, 4)}, at(0, 1), {0, 2, 1, 2}, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workbook wb = load(stream);
    for (std::uint32_t cell : c.written) ASSERT_TRUE(wb.setCell(0, cell >> 8, cell & 0xFF, -1.0).ok());
    const Bytes file = saved(wb);
    const auto recs = sheetRecords(file, 0);
    std::map<std::uint32_t, Record> formulas;
    std::vector<std::pair<std::uint32_t, Bytes>> shrFmlas;  // the FORMULA it follows, its body
    for (std::size_t i = 0; i < recs.size(); ++i) {
      if (recs[i].id == rid::Formula) formulas[keyOf(recs[i])] = recs[i];
      if (recs[i].id == rid::ShrFmla) {
        ASSERT_EQ(recs[i - 1].id, rid::Formula);
        shrFmlas.emplace_back(keyOf(recs[i - 1]), recs[i].body);
      }
    }
    auto isWritten = [&](std::uint32_t cell) {
      return std::find(c.written.begin(), c.written.end(), cell) != c.written.end();
    };
    // Remaining cells keep their records (cached result, flags) but name the new host.
    for (const auto& [cell, result] : cached) {
      SCOPED_TRACE(cell);
      if (isWritten(cell)) {
        EXPECT_FALSE(formulas.count(cell));
        continue;
      }
      ASSERT_TRUE(formulas.count(cell));
      EXPECT_EQ(formulas[cell].body,
                groupFormula(cell, numberResult(result), c.host, FormulaRecord::SharedFormula).body);
    }
    std::vector<std::pair<std::uint32_t, Bytes>> expected;
    if (c.host != None) {
      Record moved = shared;
      setU16(moved.body, 0, c.range[0]);
      setU16(moved.body, 2, c.range[1]);
      moved.body[4] = static_cast<std::uint8_t>(c.range[2]);
      moved.body[5] = static_cast<std::uint8_t>(c.range[3]);
      moved.body[7] = c.uses;
      expected.emplace_back(c.host, moved.body);
    }
    if (!isWritten(at(4, 4))) expected.emplace_back(at(4, 4), single.body);
    EXPECT_EQ(shrFmlas, expected);

    // Read back: written values, cached results, and the moved formula is a
    // group again: writing its new host moves it on once more.
    auto back = Workbook::fromBytes(file);
    ASSERT_TRUE(back.ok()) << back.description();
    for (const auto& [cell, result] : cached) {
      const auto got = back->cell(0, cell >> 8, cell & 0xFF);
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(got->formula, !isWritten(cell)) << cell;
      EXPECT_EQ(std::get<double>(got->value), isWritten(cell) ? -1.0 : result) << cell;
    }
    if (c.host == None) continue;
    ASSERT_TRUE(back->setCell(0, c.host >> 8, c.host & 0xFF, -2.0).ok());
    std::uint32_t next = None;
    for (const auto& [cell, result] : cached)
      if (!isWritten(cell) && cell != c.host) {
        next = cell;
        break;
      }
    const auto again = sheetRecords(saved(back.value()), 0);
    std::vector<std::uint32_t> hosts;
    for (std::size_t i = 1; i < again.size(); ++i)
      if (again[i].id == rid::ShrFmla && getU16(again[i].body, 0) <= 2) hosts.push_back(keyOf(again[i - 1]));
    EXPECT_EQ(hosts, next == None ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{next});
  }
}

TEST(WorkbookRecordsTest, WritingACellOfAnArrayOrTableTurnsItsCellsIntoValues) {
  // D1:D5 one array formula whose results are a number, a text, an empty
  // text, a boolean and an error; E1 a one-cell array formula; G2:G3 a data table.
  auto result = [](std::initializer_list<std::uint8_t> bytes) { return Bytes(bytes); };
  Bytes twenty, empty;
  appendBiffString(twenty, u"twenty", false);
  appendBiffString(empty, u"", false);
  Bytes arrayD = u16s({0, 4});
  arrayD.insert(arrayD.end(), {3, 3, 0, 0, 0, 0, 0, 0, 3, 0, 0x1E, 10, 0});
  Bytes arrayE = u16s({0, 0});
  arrayE.insert(arrayE.end(), {4, 4, 0, 0, 0, 0, 0, 0, 3, 0, 0x1E, 6, 0});
  Bytes table = u16s({1, 2});
  table.insert(table.end(), {6, 6, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const std::vector<Record> cells = {
      numberRec(0, 0, 1.0),
      groupFormula(at(0, 3), numberResult(10), at(0, 3), 0),
      rec(rid::Array, arrayD),
      groupFormula(at(0, 4), numberResult(6), at(0, 4), 0),
      rec(rid::Array, arrayE),
      groupFormula(at(1, 3), result({0, 0, 0, 0, 0, 0, 0xFF, 0xFF}), at(0, 3), 0),
      rec(rid::String, twenty),
      groupFormula(at(1, 6), numberResult(15), at(1, 6), 0, 0x02),
      rec(rid::Table, table),
      groupFormula(at(2, 3), result({0, 0, 0, 0, 0, 0, 0xFF, 0xFF}), at(0, 3), 0),
      rec(rid::String, empty),
      groupFormula(at(2, 6), numberResult(21), at(1, 6), 0, 0x02),
      groupFormula(at(3, 3), result({1, 0, 1, 0, 0, 0, 0xFF, 0xFF}), at(0, 3), 0),
      groupFormula(at(4, 3), result({2, 0, 7, 0, 0, 0, 0xFF, 0xFF}), at(0, 3), 0),
  };
  const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet(cells)}});
  // The plain cell records the groups' cells become (the string index of the
  // text is whatever the save gave it).
  Bytes text = cellBody(1, 3, 15);
  putU32(text, 0);
  const std::map<std::uint32_t, Record> values = {
      {at(0, 3), numberRec(0, 3, 10)},
      {at(1, 3), rec(rid::LabelSst, text)},
      {at(2, 3), rec(rid::Blank, cellBody(2, 3, 15))},
      {at(3, 3), rec(rid::BoolErr, u16s({3, 3, 15, 0x0001}))},
      {at(4, 3), rec(rid::BoolErr, u16s({4, 3, 15, 0x0107}))},
      {at(0, 4), numberRec(0, 4, 6)},
      {at(1, 6), numberRec(1, 6, 15)},
      {at(2, 6), numberRec(2, 6, 21)},
  };
  const std::map<char, std::vector<std::uint32_t>> groups = {
      {'D', {at(0, 3), at(1, 3), at(2, 3), at(3, 3), at(4, 3)}}, {'E', {at(0, 4)}}, {'G', {at(1, 6), at(2, 6)}}};
  struct Case {
    const char* name;
    std::vector<std::uint32_t> written;
    char released;
  };
  const Case cases[] = {
      {"array host", {at(0, 3)}, 'D'},
      {"array member", {at(3, 3)}, 'D'},
      {"two of one array", {at(2, 3), at(0, 3)}, 'D'},
      {"one-cell array", {at(0, 4)}, 'E'},
      {"table host", {at(1, 6)}, 'G'},
      {"table member", {at(2, 6)}, 'G'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Workbook wb = load(stream);
    for (std::uint32_t cell : c.written) ASSERT_TRUE(wb.setCell(0, cell >> 8, cell & 0xFF, 99.0).ok());
    const Bytes file = saved(wb);
    const auto recs = sheetRecords(file, 0);
    // Cells of the other groups and their ARRAY/TABLE/STRING records stay as read.
    std::vector<Record> expectedKept, kept;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const Record& r = cells[i];
      const bool follows = r.id != rid::Formula && r.id != rid::Number;
      const Record& owner = follows ? cells[i - 1] : r;
      const auto& mine = groups.at(c.released);
      if (r.id != rid::Number && std::find(mine.begin(), mine.end(), keyOf(owner)) == mine.end())
        expectedKept.push_back(r);
    }
    for (const Record& r : recs)
      if (r.id == rid::Formula || r.id == rid::Array || r.id == rid::Table || r.id == rid::String) kept.push_back(r);
    ASSERT_EQ(kept.size(), expectedKept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
      EXPECT_EQ(kept[i].id, expectedKept[i].id) << i;
      EXPECT_EQ(kept[i].body, expectedKept[i].body) << i;
    }
    // The released group's cells: the written value, or the last result as a plain value.
    auto back = Workbook::fromBytes(file);
    ASSERT_TRUE(back.ok()) << back.description();
    for (std::uint32_t cell : groups.at(c.released)) {
      SCOPED_TRACE(cell);
      const bool written = std::find(c.written.begin(), c.written.end(), cell) != c.written.end();
      Record want = written ? numberRec(static_cast<std::uint16_t>(cell >> 8), cell & 0xFF, 99.0) : values.at(cell);
      const auto found = std::find_if(recs.begin(), recs.end(),
                                      [&](const Record& r) { return isCellRecord(r.id) && keyOf(r) == cell; });
      ASSERT_NE(found, recs.end());
      if (want.id == rid::LabelSst) setU32(want.body, 6, getU32(found->body, 6));
      EXPECT_EQ(found->id, want.id);
      EXPECT_EQ(found->body, want.body);
      const auto got = back->cell(0, cell >> 8, cell & 0xFF);
      ASSERT_TRUE(got.ok());
      EXPECT_FALSE(got->formula);
      if (cell == at(1, 3) && !written) {
        EXPECT_EQ(got->value, Value(std::string("twenty")));
      }
    }
  }
}

TEST(WorkbookRecordsTest, DatesGetAFormatAndAClonedXfAppendedToTheGlobals) {
  const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet({})}});
  Workbook wb = load(stream);
  ASSERT_TRUE(wb.setCell(0, 0, 0, DateTimeValue{45000.25, DateKind::DateTime}).ok());
  ASSERT_TRUE(wb.setCell(0, 1, 0, DateTimeValue{45001.5, DateKind::DateTime}).ok());
  ASSERT_TRUE(wb.setCell(0, 2, 0, DateTimeValue{0.5, DateKind::TimeOnly}).ok());
  const Bytes file = saved(wb);
  const auto g = globalRecords(file);
  const auto formats = withId(g, rid::Format);
  ASSERT_EQ(formats.size(), 2u);
  Bytes expected = u16s({164});
  appendBiffString(expected, u"yyyy/mm/dd h:mm:ss", false);
  EXPECT_EQ(formats[0].body, expected);
  EXPECT_EQ(getU16(formats[1].body, 0), 165);
  const auto xfs = withId(g, rid::Xf);
  ASSERT_EQ(xfs.size(), 18u);  // 16 kept, 2 added (one per kind)
  Bytes clone = xfs[15].body;
  setU16(clone, 2, 164);
  clone[9] |= 0x04;
  EXPECT_EQ(xfs[16].body, clone);
  const auto numbers = withId(sheetRecords(file, 0), rid::Number);
  ASSERT_EQ(numbers.size(), 3u);
  EXPECT_EQ(getU16(numbers[0].body, 4), 16);
  EXPECT_EQ(getU16(numbers[1].body, 4), 16);
  EXPECT_EQ(getU16(numbers[2].body, 4), 17);
  auto back = Workbook::fromBytes(file);
  ASSERT_TRUE(back.ok());
  auto c = back->cell(0, 2, 0);
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(std::get<DateTimeValue>(c->value), (DateTimeValue{0.5, DateKind::TimeOnly}));
}

TEST(WorkbookRecordsTest, ActiveSheetSetsWindow1AndOnlyItsWindow2) {
  const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"A", minimalSheet({})}, {"B", minimalSheet({})}});
  Workbook wb = load(stream);
  ASSERT_TRUE(wb.setActiveSheet(1).ok());
  EXPECT_FALSE(wb.setActiveSheet(2).ok());
  const Bytes file = saved(wb);
  const auto w1 = withId(globalRecords(file), rid::Window1);
  ASSERT_EQ(w1.size(), 1u);
  EXPECT_EQ(getU16(w1[0].body, 10), 1);
  EXPECT_EQ(getU16(w1[0].body, 14), 1);
  EXPECT_EQ(getU16(withId(sheetRecords(file, 0), rid::Window2)[0].body, 0), 0x06B6 & ~0x0600);
  EXPECT_EQ(getU16(withId(sheetRecords(file, 1), rid::Window2)[0].body, 0), 0x06B6);
  auto back = Workbook::fromBytes(file);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->activeSheet(), 1u);
}

TEST(WorkbookRecordsTest, SavingWithoutEditsKeepsTheStream) {
  const Workbook wb = Workbook::createEmpty();
  auto first = wb.toBytes();
  ASSERT_TRUE(first.ok());
  auto reopened = Workbook::fromBytes(first.value());
  ASSERT_TRUE(reopened.ok());
  auto second = reopened->toBytes();
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(workbookStream(second.value()), workbookStream(first.value()));
}

TEST(WorkbookRecordsTest, NewStringsAppendToTheSstAndExistingIndexesStay) {
  Workbook wb = Workbook::createEmpty();
  ASSERT_TRUE(wb.setCell(0, 0, 0, std::string("one")).ok());
  ASSERT_TRUE(wb.setCell(0, 0, 1, std::string("two")).ok());
  auto first = Workbook::fromBytes(saved(wb));
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(first->setCell(0, 1, 0, std::string("three")).ok());
  ASSERT_TRUE(first->setCell(0, 1, 1, std::string("one")).ok());  // reuses index 0
  const Bytes file = saved(first.value());
  const auto g = globalRecords(file);
  const auto sst = withId(g, rid::Sst);
  ASSERT_EQ(sst.size(), 1u);
  Bytes expected;
  putU32(expected, 4);
  putU32(expected, 3);
  for (const char* s : {"one", "two", "three"}) appendBiffString(expected, utf8ToUtf16(s), false);
  EXPECT_EQ(sst[0].body, expected);
  std::vector<std::uint32_t> isst;
  for (const Record& r : withId(sheetRecords(file, 0), rid::LabelSst)) isst.push_back(getU32(r.body, 6));
  EXPECT_EQ(isst, (std::vector<std::uint32_t>{0, 1, 2, 0}));
  const auto ext = withId(g, rid::ExtSst);
  ASSERT_EQ(ext.size(), 1u);
  // One bucket, pointing at the first string 12 bytes into the SST record.
  ASSERT_EQ(ext[0].body.size(), 10u);
  std::uint32_t sstAt = 0;
  auto all = splitRecords(workbookStream(file));
  for (const Record& r : all.value())
    if (r.id == rid::Sst) sstAt = r.offset;
  EXPECT_EQ(getU32(ext[0].body, 2), sstAt + 12);
  EXPECT_EQ(getU16(ext[0].body, 6), 12);
}

// A value for each cell of a small grid: text, numbers, dates, booleans,
// errors and a cleared cell, the kinds a written cell can hold.
Value gridValue(std::uint32_t row, std::uint32_t col) {
  switch ((row + col) % 6) {
    case 0:
      return std::string(row % 2 ? "odd" : "even");
    case 1:
      return row * 1.5 + col;
    case 2:
      return DateTimeValue{45000.0 + row, DateKind::DateTime};
    case 3:
      return row % 3 == 0;
    case 4:
      return CellError{0x07};
    default:
      return std::monostate{};
  }
}

TEST(WorkbookRecordsTest, WriteOrderDoesNotChangeTheSavedFile) {
  constexpr std::uint32_t Rows = 70, Cols = 6;  // more than two 32-row blocks
  Workbook byRows = Workbook::createEmpty();
  for (std::uint32_t r = 0; r < Rows; ++r)
    for (std::uint32_t c = 0; c < Cols; ++c) ASSERT_TRUE(byRows.setCell(0, r, c, gridValue(r, c)).ok());
  // Same cells, column by column from the bottom right; the first row goes
  // first so that strings and date formats are added in the same order.
  Workbook byColumns = Workbook::createEmpty();
  for (std::uint32_t c = 0; c < Cols; ++c) ASSERT_TRUE(byColumns.setCell(0, 0, c, gridValue(0, c)).ok());
  for (std::uint32_t c = Cols; c-- > 0;)
    for (std::uint32_t r = Rows; r-- > 1;) ASSERT_TRUE(byColumns.setCell(0, r, c, gridValue(r, c)).ok());
  const Bytes file = saved(byRows);
  EXPECT_EQ(saved(byColumns), file);
  // Cells in row/column order; each row's ROW record before its block's cells.
  std::vector<std::uint32_t> keys;
  for (const Record& r : sheetRecords(file, 0))
    if (isCellRecord(r.id)) keys.push_back(static_cast<std::uint32_t>(getU16(r.body, 0)) << 8 | getU16(r.body, 2));
  std::vector<std::uint32_t> expected;
  for (std::uint32_t r = 0; r < Rows; ++r)
    for (std::uint32_t c = 0; c < Cols; ++c)
      if (!std::holds_alternative<std::monostate>(gridValue(r, c))) expected.push_back(r << 8 | c);
  EXPECT_EQ(keys, expected);
}

TEST(WorkbookRecordsTest, CellsListsEveryCellInOrderWithItsValue) {
  const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet({numberRec(5, 3, 2.5, 15)})}});
  Workbook wb = load(stream);
  ASSERT_TRUE(wb.setCell(0, 9, 1, std::string("z\xc3\xa9")).ok());
  ASSERT_TRUE(wb.setCell(0, 0, 200, true).ok());
  ASSERT_TRUE(wb.setCell(0, 9, 0, CellError{0x2A}).ok());
  ASSERT_TRUE(wb.setCell(0, 5, 3, std::monostate{}).ok());  // clears the value, keeps the cell
  ASSERT_TRUE(wb.setCell(0, 7, 7, std::monostate{}).ok());  // nothing there: nothing added
  const std::vector<std::pair<std::uint32_t, Value>> expected = {
      {200, true}, {5 << 8 | 3, std::monostate{}}, {9 << 8, CellError{0x2A}}, {9 << 8 | 1, std::string("z\xc3\xa9")}};
  auto check = [&](const Workbook& w, const char* which) {
    std::vector<std::pair<std::uint32_t, Value>> got;
    for (const auto& [position, cell] : w.cells(0)) got.emplace_back(position, cell.value);
    EXPECT_EQ(got, expected) << which;
    EXPECT_EQ(w.cells(0).size(), expected.size()) << which;
    const auto found = w.cells(0).find(9 << 8 | 1);
    ASSERT_NE(found, w.cells(0).end()) << which;
    EXPECT_EQ(found->first, 9u << 8 | 1);
    EXPECT_EQ(std::get<std::string>(found->second.value), "z\xc3\xa9");
    EXPECT_EQ(w.cells(0).find(7 << 8 | 7), w.cells(0).end()) << which;
    EXPECT_EQ(w.cells(0).find(0xFFFFFFFF), w.cells(0).end()) << which;
  };
  check(wb, "written");
  auto back = Workbook::fromBytes(saved(wb));
  ASSERT_TRUE(back.ok());
  check(back.value(), "read back");
}

TEST(WorkbookRecordsTest, OneWrittenCellInAReopenedSheetChangesOnlyItsRecord) {
  Workbook wb = Workbook::createEmpty();
  for (std::uint32_t r = 0; r < 100; ++r)
    for (std::uint32_t c = 0; c < 4; ++c) ASSERT_TRUE(wb.setCell(0, r, c, gridValue(r, c)).ok());
  const Bytes first = saved(wb);
  auto again = Workbook::fromBytes(first);
  ASSERT_TRUE(again.ok());
  ASSERT_TRUE(again->setCell(0, 48, 1, 7.0).ok());  // a NUMBER over a NUMBER: same size
  const auto before = sheetRecords(first, 0);
  const auto after = sheetRecords(saved(again.value()), 0);
  ASSERT_EQ(after.size(), before.size());
  std::size_t changed = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].id, before[i].id) << i;
    if (after[i].body == before[i].body) continue;
    ++changed;
    EXPECT_EQ(after[i].body, numberRec(48, 1, 7.0, getU16(before[i].body, 4)).body);
  }
  EXPECT_EQ(changed, 1u);
}

TEST(WorkbookRecordsTest, PositionsOutsideTheSheetAndNonWorksheetsFail) {
  const Bytes stream = buildWorkbookStream(minimalGlobals(), {{"A", minimalSheet({})}, {"Chart", minimalSheet({}), 2}});
  Workbook wb = load(stream);
  struct Case {
    std::size_t sheet;
    std::uint32_t row, col;
  };
  for (const Case& c : {Case{0, 65536, 0}, Case{0, 0, 256}, Case{2, 0, 0}, Case{1, 0, 0}}) {
    EXPECT_FALSE(wb.setCell(c.sheet, c.row, c.col, 1.0).ok()) << c.sheet << " " << c.row << " " << c.col;
    EXPECT_FALSE(wb.setActiveCell(c.sheet, c.row, c.col).ok());
  }
  EXPECT_TRUE(wb.setCell(0, 65535, 255, 1.0).ok());
  EXPECT_FALSE(wb.cell(0, 65536, 0).ok());
  EXPECT_EQ(wb.sheetKind(1), SheetKind::Chart);
}

}  // namespace
}  // namespace kestrune::xls
