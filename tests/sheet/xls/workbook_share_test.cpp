// Copies of a workbook share its parts until one of them writes: each copy
// must keep what it had, whatever the other one does afterwards.
#include "sheet/xls/workbook.h"
#include "sheet/xls/xls_test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace kestrune::xls {
namespace {

// A workbook made here: a few hundred rows over several blocks, with text.
Workbook madeWorkbook() {
  Workbook book = Workbook::createEmpty();
  for (std::uint32_t row = 0; row < 300; ++row) {
    EXPECT_TRUE(book.setCell(0, row, 0, "row " + std::to_string(row)).ok());
    EXPECT_TRUE(book.setCell(0, row, 3, double(row) * 0.5).ok());
  }
  return book;
}

Workbook sample(const std::string& name) {
  if (name.empty()) return madeWorkbook();
  auto opened = Workbook::open(std::string(KESTRUNE_XLS_TEST_DATA "/") + name);
  EXPECT_TRUE(opened.ok()) << name;
  return std::move(opened).value();
}

Bytes bytesOf(const Workbook& book) {
  auto bytes = book.toBytes();
  EXPECT_TRUE(bytes.ok());
  return bytes.ok() ? std::move(bytes).value() : Bytes();
}

// Every kind of edit a run makes, each told apart by `tag`; returns the
// number of the added sheet.
std::size_t editAll(Workbook& book, const std::string& tag) {
  const std::size_t sheet = 0;
  for (std::uint32_t row : {0u, 1u, 63u, 64u, 130u, 299u})
    EXPECT_TRUE(book.setCell(sheet, row, 1, tag + " cell " + std::to_string(row)).ok());
  EXPECT_TRUE(book.setCell(sheet, 70, 2, 42.0).ok());
  // New strings past a chunk of the shared strings.
  for (std::uint32_t i = 0; i < 300; ++i)
    EXPECT_TRUE(book.setCell(sheet, 400 + i, 0, tag + " text " + std::to_string(i)).ok());
  EXPECT_TRUE(book.fillCell(sheet, 2, 1, Rgb{0xFF, 0, 0}).ok());
  EXPECT_TRUE(book.ensureColumnWidth(sheet, 5, 5000).ok());
  EXPECT_TRUE(book.setActiveCell(sheet, 7, 4).ok());
  auto added = book.addWorksheet(sheet, tag);
  EXPECT_TRUE(added.ok());
  if (!added.ok()) return 0;
  EXPECT_TRUE(book.copyRows(sheet, *added, 2).ok());
  EXPECT_TRUE(book.setActiveSheet(*added).ok());
  return *added;
}

// What editAll(tag) wrote reads back from the saved bytes.
void expectEdits(const Bytes& bytes, const std::string& tag, std::size_t added, const std::string& what) {
  auto reread = Workbook::fromBytes(bytes);
  ASSERT_TRUE(reread.ok()) << what;
  const Workbook& book = reread.value();
  for (std::uint32_t row : {0u, 1u, 63u, 64u, 130u, 299u})
    EXPECT_EQ(book.cell(0, row, 1)->value, Value(tag + " cell " + std::to_string(row))) << what << " row " << row;
  EXPECT_EQ(book.cell(0, 70, 2)->value, Value(42.0)) << what;
  EXPECT_EQ(book.cell(0, 699, 0)->value, Value(tag + " text 299")) << what;
  EXPECT_EQ(book.solidFillOf(book.cell(0, 2, 1)->xf), (Rgb{0xFF, 0, 0})) << what;
  EXPECT_GE(book.columnWidth(0, 5).value_or(0), 5000) << what;
  EXPECT_EQ(book.activeCell(0), (CellPosition{7, 4})) << what;
  ASSERT_EQ(book.sheetName(added), tag) << what;
  EXPECT_EQ(book.activeSheet(), added) << what;
  EXPECT_EQ(book.cell(added, 1, 1)->value, Value(tag + " cell 1")) << what;
}

class CopiesStayApart : public ::testing::TestWithParam<std::string> {};

TEST_P(CopiesStayApart, EditsOfOneCopyNeverReachTheOther) {
  Workbook original = sample(GetParam());
  const Bytes before = bytesOf(original);
  const Workbook copy = original;

  const std::size_t added = editAll(original, "alpha");
  EXPECT_EQ(bytesOf(copy), before) << "the copy saves as the workbook was when copied";
  const Bytes edited = bytesOf(original);
  expectEdits(edited, "alpha", added, "the edited original");

  Workbook second = copy;
  const std::size_t secondAdded = editAll(second, "beta");
  EXPECT_EQ(bytesOf(copy), before) << "a copy of a copy shares and clones the same way";
  EXPECT_EQ(bytesOf(original), edited) << "the original keeps its own edits";
  expectEdits(bytesOf(second), "beta", secondAdded, "the edited copy");
}

std::string sampleName(const ::testing::TestParamInfo<std::string>& param) {
  const std::string name = param.param.empty() ? "made_here" : param.param;
  return name.substr(0, name.find('.'));
}

INSTANTIATE_TEST_SUITE_P(Workbooks, CopiesStayApart,
                         ::testing::Values("", "two_sheets.xls", "many_strings.xls", "formulas.xls", "merged.xls"),
                         sampleName);

// The cell store against a map, with a copy taken midway and both written on.
TEST(CellStoreModel, CopiesMatchTheirModelsAfterRandomWrites) {
  using Model = std::map<std::pair<std::uint32_t, std::uint32_t>, double>;
  std::mt19937 random(7);
  std::uniform_int_distribution<std::uint32_t> rowOf(0, 700), columnOf(0, 255);
  auto write = [&](CellStore& store, Model& model, int count) {
    for (int i = 0; i < count; ++i) {
      const std::uint32_t row = rowOf(random), column = columnOf(random);
      const double v = static_cast<double>(random() % 100000);
      CellSlot& slot = store.slot(row, column);
      slot.kind = static_cast<std::uint8_t>(CellKind::Number);
      slot.setNumber(v);
      model[{row, column}] = v;
    }
  };
  auto check = [](const CellStore& store, const Model& model, const char* what) {
    ASSERT_EQ(store.size(), model.size()) << what;
    Model seen;
    for (std::size_t r = 0; r < store.rowCount(); ++r) {
      int last = -1;
      for (const CellSlot& slot : store.row(r)) {
        EXPECT_GT(int{slot.column}, last) << what << ": row " << r << " sorted by column";
        last = slot.column;
        seen[{static_cast<std::uint32_t>(r), slot.column}] = slot.number();
      }
    }
    EXPECT_EQ(seen, model) << what;
    for (const auto& [key, v] : model) {
      const CellSlot* slot = store.find(key.first, key.second);
      ASSERT_NE(slot, nullptr) << what;
      EXPECT_EQ(slot->number(), v) << what;
    }
    EXPECT_EQ(store.find(701, 0), nullptr) << what;
  };

  CellStore store;
  Model model;
  write(store, model, 3000);
  CellStore copy = store;
  Model copyModel = model;
  EXPECT_EQ(copy.sharedBlocks(), (700 / CellStore::RowsPerBlock) + 1) << "a copy shares every block";
  write(store, model, 2000);
  check(copy, copyModel, "the copy, before its own writes");
  write(copy, copyModel, 2000);
  check(store, model, "the original");
  check(copy, copyModel, "the copy");
  // Writing through find() also makes the block the writer's own.
  CellStore third = copy;
  const auto& [key, v] = *copyModel.begin();
  third.find(key.first, key.second)->setNumber(v + 1);
  EXPECT_EQ(copy.find(key.first, key.second)->number(), v);
}

}  // namespace
}  // namespace kestrune::xls
