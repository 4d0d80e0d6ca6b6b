// The save as it streams: the cell area made row by row, the SST planned
// and written, the file written through a sink into the temporary file.
#include "sheet/xls/atomic_file.h"
#include "sheet/xls/sheet_records.h"
#include "sheet/xls/sst.h"
#include "sheet/xls/workbook.h"
#include "sheet/xls/xls_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <random>

#include <sys/resource.h>

namespace kestrune::xls {
namespace {

using namespace testing;

Bytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t filesIn(const TempDir& dir) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir.path()), {}));
}

template <std::size_t N>
Record made(std::uint16_t id, const std::array<std::uint8_t, N>& body) {
  return rec(id, Bytes(body.begin(), body.end()));
}

// A sheet's cells as a file may hold them: ROW records, numbers, a MULRK,
// a formula with its STRING; `shuffle` puts the cell records out of order.
std::vector<Record> cellRecords(bool shuffle) {
  std::vector<Record> rows, cells;
  for (std::uint16_t r = 0; r < 70; ++r) {
    rows.push_back(made(rid::Row, rowBody({r, 0, 4})));
    cells.push_back(made(rid::Number, numberBody({r, 0, 15}, r * 1.5)));
  }
  Bytes mulRk = u16s({5, 1});  // row 5 from column 1: three (XF, RK) entries, then the last column
  for (std::uint32_t k = 0; k < 3; ++k) {
    const std::uint32_t rk = (k + 7) << 2 | 2;
    const Bytes entry = u16s({15, static_cast<std::uint16_t>(rk), static_cast<std::uint16_t>(rk >> 16)});
    mulRk.insert(mulRk.end(), entry.begin(), entry.end());
  }
  const Bytes last = u16s({3});
  mulRk.insert(mulRk.end(), last.begin(), last.end());
  cells.push_back(rec(rid::MulRk, mulRk));
  if (shuffle) std::shuffle(cells.begin(), cells.end(), std::mt19937(5));
  std::vector<Record> out = rows;
  out.insert(out.end(), cells.begin(), cells.end());
  return out;
}

Workbook workbookOf(const std::vector<Record>& cells) {
  auto wb =
      Workbook::fromBytes(wrapInCompoundFile(buildWorkbookStream(minimalGlobals(), {{"S", minimalSheet(cells)}})));
  EXPECT_TRUE(wb.ok()) << wb.description();
  return std::move(wb.value());
}

// Whatever order the file has its cells in, the saved sheet is the same:
// the read and written cells merged in row/column order.
TEST(StreamedSaveTest, CellAreaSavesTheSameInOrderOrNot) {
  struct Edit {
    std::uint32_t row, column;
    Value value;
  };
  const std::vector<std::vector<Edit>> cases = {
      {{0, 0, 1.0}},                                 // replaces a cell read
      {{5, 2, std::string("inside a MULRK")}},       // splits the MULRK
      {{69, 3, true}, {100, 0, 2.0}, {2, 7, 3.0}},   // a new row, a widened one
      {{5, 1, Value()}, {5, 3, 4.0}, {31, 0, 5.0}},  // MULRK ends, a block's last row
      {{32, 9, std::string("t")}, {0, 255, 6.0}},    // a block's first row, the last column
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Workbook ordered = workbookOf(cellRecords(false));
    Workbook shuffled = workbookOf(cellRecords(true));
    for (const Edit& e : cases[i]) {
      ASSERT_TRUE(ordered.setCell(0, e.row, e.column, e.value).ok());
      ASSERT_TRUE(shuffled.setCell(0, e.row, e.column, e.value).ok());
    }
    auto a = ordered.toBytes(), b = shuffled.toBytes();
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a.value(), b.value()) << "case " << i;
    // And the saved file reads back with every cell.
    auto reread = Workbook::fromBytes(a.value());
    ASSERT_TRUE(reread.ok()) << reread.description();
    for (const Edit& e : cases[i]) EXPECT_EQ(reread->cell(0, e.row, e.column)->value, e.value) << "case " << i;
    EXPECT_EQ(reread->cell(0, 7, 0)->value, Value(7 * 1.5));
  }
}

// save writes exactly the bytes toBytes makes: a written sheet, an
// untouched one, a new workbook and an encrypted one.
TEST(StreamedSaveTest, SaveWritesWhatToBytesMakes) {
  TempDir dir;
  std::vector<Workbook> books;
  books.push_back(workbookOf(cellRecords(true)));
  books.push_back(workbookOf(cellRecords(false)));
  ASSERT_TRUE(books.back().setCell(0, 3, 2, std::string("x")).ok());
  books.push_back(Workbook::createEmpty());
  for (std::uint32_t r = 0; r < 3000; ++r) ASSERT_TRUE(books.back().setCell(0, r, r % 7, r * 0.5).ok());
  auto encrypted = Workbook::fromBytes(encryptedWorkbook(BiffCipherKind::Rc4));
  ASSERT_TRUE(encrypted.ok()) << encrypted.description();
  books.push_back(std::move(encrypted.value()));
  ASSERT_TRUE(books.back().setCell(0, 9, 1, 1.25).ok());
  for (std::size_t i = 0; i < books.size(); ++i) {
    const std::string path = dir.file("book" + std::to_string(i) + ".xls");
    ASSERT_TRUE(books[i].save(path).ok());
    auto bytes = books[i].toBytes();
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(readAll(path), bytes.value()) << i;
  }
}

// Passes bytes on until `limit` of them went, then fails as a full disk does.
class FailingSink final : public ByteSink {
public:
  FailingSink(ByteSink& next, std::size_t limit) : next_(next), limit_(limit) {}
  bool write(ByteView bytes) override {
    if (bytes.size() > limit_ - written_) return false;
    written_ += bytes.size();
    return next_.write(bytes);
  }

private:
  ByteSink& next_;
  std::size_t limit_;
  std::size_t written_ = 0;
};

// A sink that fails at any point, or a file that cannot grow: the old file
// stays as it was and no temporary file is left.
TEST(StreamedSaveTest, FailedWriteLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  const std::string path = dir.file("book.xls");
  Workbook book = Workbook::createEmpty();
  for (std::uint32_t r = 0; r < 20000; ++r) ASSERT_TRUE(book.setCell(0, r, 1, r * 0.25).ok());
  ASSERT_TRUE(Workbook::createEmpty().save(path).ok());
  const Bytes old = readAll(path);
  auto whole = book.toBytes();
  ASSERT_TRUE(whole.ok());
  for (const std::size_t limit :
       {std::size_t{0}, std::size_t{511}, std::size_t{4096}, whole->size() / 2, whole->size() - 1}) {
    const XlsStatus st = writeFileAtomically(path, [&](ByteSink& out) {
      FailingSink failing(out, limit);
      return book.writeTo(failing);
    });
    EXPECT_FALSE(st.ok()) << limit;
    EXPECT_EQ(readAll(path), old) << limit;
    EXPECT_EQ(filesIn(dir), 1u) << limit;
  }
  // The file system refuses to let the file grow past a limit (as a full
  // disk does): the write itself fails and says why.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const XlsStatus st = book.save(path);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  ASSERT_FALSE(st.ok());
  EXPECT_NE(st.description().find("writing"), std::string::npos) << st.description();
  EXPECT_EQ(readAll(path), old);
  EXPECT_EQ(filesIn(dir), 1u);
  // And with room again the save goes through.
  ASSERT_TRUE(book.save(path).ok());
  EXPECT_EQ(readAll(path), whole.value());
}

SstString plain(std::u16string chars) { return SstString{std::move(chars), {}, {}}; }

// The SST block planned and written equals the one the record builder
// makes, CONTINUE boundaries and EXTSST included.
TEST(StreamedSaveTest, PlannedSstEqualsTheBuiltOne) {
  const std::u16string narrow(9000, u'a'), wide(5000, u'\u3042');
  std::vector<std::vector<SstString>> tables = {
      {},
      {plain(u"one")},
      {plain(narrow)},                                    // one string over two records
      {plain(u"x"), plain(wide), plain(u"y")},            // 16-bit characters never split
      {plain(std::u16string(8213, u'b')), plain(u"ab")},  // the next header just fits, or not
      {plain(std::u16string(8214, u'b')), plain(u"ab")},
      {plain(std::u16string(8215, u'b')), plain(u"\u3042")},
      {SstString{u"runs", Bytes(4 * 3000, 1), {}}, SstString{u"ext", {}, Bytes(9000, 2)}},
  };
  std::vector<SstString> many;
  for (int i = 0; i < 5000; ++i) many.push_back(plain(u"s" + std::u16string(static_cast<std::size_t>(i % 40), u'z')));
  tables.push_back(many);
  for (std::size_t t = 0; t < tables.size(); ++t) {
    std::vector<SstPosition> positions;
    const std::vector<Record> built = buildSst(tables[t], 77, positions);
    std::vector<Bytes> laid;
    layOutSst(tables[t], 77, 8, nullptr, [&](ByteView body) { laid.emplace_back(body.begin(), body.end()); });
    ASSERT_EQ(laid.size(), built.size()) << t;
    for (std::size_t i = 0; i < built.size(); ++i) EXPECT_EQ(laid[i], built[i].body) << t << " record " << i;
    const SstPlan plan = planSst(tables[t]);
    ASSERT_EQ(plan.bodySizes.size(), built.size());
    for (std::size_t i = 0; i < built.size(); ++i) EXPECT_EQ(plan.bodySizes[i], built[i].body.size());
    EXPECT_EQ(extSstFromPlan(plan, 1234).body, buildExtSst(built, positions, 1234).body) << t;
  }
}

}  // namespace
}  // namespace kestrune::xls
