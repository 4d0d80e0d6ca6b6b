// Damaged and hostile files: each either fails to open with a reason or
// opens with the damaged part skipped, and then saves a file that opens
// again. None may crash or allocate from a size taken from the file.
#include "xls_test_support.h"

#include "sheet/xls/cfb_internal.h"
#include "sheet/xls/text.h"

#include <gtest/gtest.h>

#include <functional>

namespace kestrune::xls {
namespace {

using namespace testing;

Record labelSst(std::uint16_t row, std::uint16_t col, std::uint32_t isst) {
  Bytes b = u16s({row, col, 15});
  putU32(b, isst);
  return rec(rid::LabelSst, b);
}

Bytes sstBody(std::uint32_t total, std::uint32_t unique, const std::vector<std::u16string>& strings) {
  Bytes b;
  putU32(b, total);
  putU32(b, unique);
  for (const auto& s : strings) appendBiffString(b, s, false);
  return b;
}

// A valid stream: one sheet with a text and a number, padded so the
// Workbook stream sits in regular sectors.
Bytes validStream(std::vector<Record> extraCells = {}, std::vector<Record> extraGlobals = {}) {
  auto g = minimalGlobals();
  g.insert(g.end(), extraGlobals.begin(), extraGlobals.end());
  std::vector<Record> cells = {labelSst(0, 0, 0)};
  Bytes n = u16s({1, 0, 15});
  putF64(n, 2.5);
  cells.push_back(rec(rid::Number, n));
  cells.insert(cells.end(), extraCells.begin(), extraCells.end());
  Bytes stream = buildWorkbookStream(g, {{"S", minimalSheet(cells)}});
  return stream;
}

std::vector<Record> withSst(const Bytes& body) { return {rec(rid::Sst, body)}; }

Bytes validFile() {
  Bytes stream = validStream({}, withSst(sstBody(1, 1, {u"hello"})));
  stream.resize(10000, 0);
  return wrapInCompoundFile(stream);
}

std::size_t dirEntry(const Bytes& f, std::size_t i) { return (getU32(f, 0x30) + 1) * 512 + i * 128; }
std::size_t fatEntry(const Bytes& f, std::uint32_t sector) { return (getU32(f, 0x4C) + 1) * 512 + 4 * sector; }

// `f` with the one-sector structure whose first sector the header names at
// `headerField` (the directory, the MiniFAT) moved to a new last sector, of
// which only the first `keep` bytes are in the file.
Bytes sectorLastAndCut(Bytes f, std::size_t headerField, std::size_t keep) {
  const std::uint32_t old = getU32(f, headerField);
  const auto moved = static_cast<std::uint32_t>(f.size() / 512 - 1);
  const Bytes data(f.begin() + (old + 1) * 512, f.begin() + (old + 1) * 512 + static_cast<std::ptrdiff_t>(keep));
  f.insert(f.end(), data.begin(), data.end());
  setU32(f, headerField, moved);
  setU32(f, fatEntry(f, old), cfbconst::FreeSect);
  setU32(f, fatEntry(f, moved), cfbconst::EndOfChain);
  return f;
}

// The valid stream (in the mini stream) and a 100-byte stream "Extra".
Bytes validFileWithSmallStream() {
  CompoundFile cf;
  for (const auto& [name, data] :
       {std::pair{std::u16string(u"Workbook"), validStream({}, withSst(sstBody(1, 1, {u"hello"})))},
        std::pair{std::u16string(u"Extra"), Bytes(100, 7)}}) {
    CfbEntry e;
    e.name = name;
    e.data = data;
    cf.root().children.push_back(e);
  }
  return cf.serialize().value();
}

// The stream position field of the first BOUNDSHEET, moved by `delta`.
Bytes boundSheetMoved(int delta) {
  Bytes s = validStream({}, withSst(sstBody(1, 1, {u"hello"})));
  const std::vector<Record> records = splitRecords(s).value();
  for (const Record& r : records)
    if (r.id == rid::BoundSheet) setU32(s, r.offset + 4, static_cast<std::uint32_t>(getU32(s, r.offset + 4) + delta));
  return wrapInCompoundFile(s);
}

struct HostileCase {
  const char* name;
  std::function<Bytes()> make;
  const char* reason;                         // nullptr: the file must open
  XlsErrorCode code = XlsErrorCode::Damaged;  // of a refused file
};

class HostileTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileTest, RefusesWithAReasonOrSkipsSafely) {
  const HostileCase& c = GetParam();
  const Bytes file = c.make();
  auto wb = Workbook::fromBytes(file);
  if (c.reason) {
    ASSERT_FALSE(wb.ok()) << c.name;
    EXPECT_NE(wb.description().find(c.reason), std::string::npos) << c.name << ": " << wb.description();
    EXPECT_EQ(wb.error().code, c.code) << c.name;
    // Damage says where; other refusals name what the file is instead.
    EXPECT_EQ(wb.error().where.empty(), c.code != XlsErrorCode::Damaged) << c.name << ": " << wb.error().where;
  } else {
    ASSERT_TRUE(wb.ok()) << c.name << ": " << wb.description();
    // What opened can be edited and saved, and the result opens again.
    ASSERT_TRUE(wb->setCell(0, 3, 3, std::string("after")).ok());
    auto bytes = wb->toBytes();
    ASSERT_TRUE(bytes.ok()) << c.name;
    auto again = Workbook::fromBytes(bytes.value());
    ASSERT_TRUE(again.ok()) << c.name << ": " << again.description();
    EXPECT_EQ(std::get<std::string>(again->cell(0, 3, 3)->value), "after");
  }
}

Bytes mutate(std::function<void(Bytes&)> change) {
  Bytes f = validFile();
  change(f);
  return f;
}

const HostileCase Cases[] = {
    {"NotCompound",
     [] {
       return Bytes{'h', 'e', 'l', 'l', 'o'};
     },
     "not a compound document", XlsErrorCode::NotCompoundFile},
    {"TextFile", [] { return Bytes(600, 'a'); }, "not a compound document", XlsErrorCode::NotCompoundFile},
    {"TruncatedHeader",
     [] {
       Bytes f = validFile();
       f.resize(300);
       return f;
     },
     "too short", XlsErrorCode::NotCompoundFile},
    {"TruncatedBody",
     [] {
       Bytes f = validFile();
       f.resize(f.size() / 2);
       return f;
     },
     "compound file"},
    {"BadSectorShift", [] { return mutate([](Bytes& f) { setU16(f, 0x1E, 10); }); }, "sector shift"},
    {"Version4WithSmallSectors", [] { return mutate([](Bytes& f) { setU16(f, 0x1A, 4); }); }, "unsupported version"},
    {"HugeFatCount", [] { return mutate([](Bytes& f) { setU32(f, 0x2C, 0x7FFFFFFF); }); }, "FAT sector count"},
    {"FatSectorOutsideFile", [] { return mutate([](Bytes& f) { setU32(f, 0x4C, 0x00FFFFFF); }); }, "outside the file"},
    {"CyclicFatChain",
     [] {
       return mutate([](Bytes& f) {
         const std::uint32_t start = getU32(f, dirEntry(f, 1) + 0x74);
         const std::size_t fat = (getU32(f, 0x4C) + 1) * 512;
         setU32(f, fat + 4 * (start + 3), start + 1);
       });
     },
     "stream \"Workbook\" chain loops"},
    {"SelfLoopingDirectory",
     [] {
       return mutate([](Bytes& f) {
         const std::size_t fat = (getU32(f, 0x4C) + 1) * 512;
         const std::uint32_t dir = getU32(f, 0x30);
         setU32(f, fat + 4 * dir, dir);
       });
     },
     "directory chain loops"},
    {"StreamSizeAllOnes", [] { return mutate([](Bytes& f) { setU32(f, dirEntry(f, 1) + 0x78, 0xFFFFFFFF); }); },
     "larger than the file"},
    {"DirectoryTreeCycle", [] { return mutate([](Bytes& f) { setU32(f, dirEntry(f, 1) + 0x44, 1); }); }, "cycle"},
    {"DirectoryLinkOutOfRange", [] { return mutate([](Bytes& f) { setU32(f, dirEntry(f, 1) + 0x48, 5000); }); },
     "out of range"},
    {"MiniStreamChainPastRoot",
     [] {
       CompoundFile cf;
       CfbEntry s;
       s.name = u"Workbook";
       s.data = validStream({}, withSst(sstBody(1, 1, {u"hello"})));
       cf.root().children.push_back(s);
       Bytes f = cf.serialize().value();
       setU32(f, dirEntry(f, 1) + 0x74, 1000);  // mini sector far past the root's size
       return f;
     },
     "mini stream"},
    // Damage that other readers take, while the data is whole.
    {"StreamDeclaredLongerThanItsChain",
     [] { return mutate([](Bytes& f) { setU32(f, dirEntry(f, 1) + 0x78, getU32(f, dirEntry(f, 1) + 0x78) + 1000); }); },
     nullptr},
    {"StreamChainEndsBeforeTheSheets",
     [] { return mutate([](Bytes& f) { setU32(f, fatEntry(f, getU32(f, dirEntry(f, 1) + 0x74)), 0xFFFFFFFE); }); },
     "the Workbook stream is cut short (its sectors hold 512 of the 10000 bytes its directory entry declares)"},
    // The root and the Workbook entry take 256 bytes of the directory.
    {"FileEndsInsideTheDirectorysPadding", [] { return sectorLastAndCut(validFile(), 0x30, 256); }, nullptr},
    {"FileEndsInsideADirectoryEntry", [] { return sectorLastAndCut(validFile(), 0x30, 200); },
     "the file ends inside the directory (entry 1 is missing)"},
    // Both streams live in the mini stream; the MiniFAT's first entries
    // chain their mini sectors: 16 of them are kept, or only one.
    {"FileEndsInsideTheMiniFatsPadding", [] { return sectorLastAndCut(validFileWithSmallStream(), 0x3C, 64); },
     nullptr},
    {"FileEndsInsideTheMiniFatsEntries", [] { return sectorLastAndCut(validFileWithSmallStream(), 0x3C, 4); },
     "chain leaves the mini stream"},
    {"ByteOrderMarkSwapped", [] { return mutate([](Bytes& f) { setU16(f, 0x1C, 0xFEFF); }); }, nullptr},
    {"ByteOrderMarkWrong", [] { return mutate([](Bytes& f) { setU16(f, 0x1C, 0x1234); }); }, "bad byte order mark"},
    {"BoundSheetOffsetAFewBytesEarly", [] { return boundSheetMoved(-4); }, nullptr},
    {"BoundSheetOffsetFarBeforeItsSheet", [] { return boundSheetMoved(-40); }, "sheet \"S\""},
    {"BoundSheetOffsetPastItsBof", [] { return boundSheetMoved(2); }, "sheet \"S\" has no BOF record at its offset"},
    {"NoWorkbookStream", [] { return wrapInCompoundFile(validStream(), u"Other"); }, "no Workbook stream",
     XlsErrorCode::NoWorkbookStream},
    {"Biff5Book",
     [] {
       Bytes s = validStream();
       setU16(s, 4, 0x0500);
       return wrapInCompoundFile(s, u"Book");
     },
     "Excel 5.0/95 format (BIFF5/7)", XlsErrorCode::Excel95},
    {"Encrypted",
     [] {
       return wrapInCompoundFile(validStream({}, {rec(rid::FilePass, u16s({0, 1, 1}))}));
     },
     "encrypted", XlsErrorCode::Encrypted},
    {"Biff5Bof",
     [] {
       Bytes s = validStream();
       setU16(s, 4, 0x0500);
       return wrapInCompoundFile(s);
     },
     "BIFF8", XlsErrorCode::Excel95},
    {"RecordRunsPastStream",
     [] {
       Bytes s = validStream();
       setU16(s, s.size() - 2, 0x1000);  // the final EOF claims 4096 bytes of body
       return wrapInCompoundFile(s);
     },
     "runs past the end"},
    {"BoundSheetOffsetOutOfRange",
     [] {
       Bytes s = validStream();
       auto recs = splitRecords(s).value();
       for (const Record& r : recs)
         if (r.id == rid::BoundSheet) setU32(s, r.offset + 4, 0x7FFFFFF0);
       return wrapInCompoundFile(s);
     },
     "points outside"},
    {"BoundSheetIntoGlobals",
     [] {
       Bytes s = validStream();
       auto recs = splitRecords(s).value();
       for (const Record& r : recs)
         if (r.id == rid::BoundSheet) setU32(s, r.offset + 4, 0);
       return wrapInCompoundFile(s);
     },
     "points outside"},
    {"MissingSheetEof",
     [] {
       Bytes s = validStream();
       s.resize(s.size() - 4);
       return wrapInCompoundFile(s);
     },
     "no EOF"},
    {"DeepBofNesting",
     [] {
       std::vector<Record> nested;
       for (int i = 0; i < 20; ++i) nested.push_back(rec(rid::Bof, u16s({0x0600, 0x20, 0, 0, 0, 0, 0, 0})));
       return wrapInCompoundFile(validStream(nested));
     },
     "nests too deeply"},
    {"SstCountsLie",
     [] { return wrapInCompoundFile(validStream({labelSst(2, 0, 0)}, withSst(sstBody(9, 0x7FFFFFFF, {u"hello"})))); },
     nullptr},
    // Strings added later would take the missing indexes and show in these cells.
    {"CellUsesStringPastTheTable",
     [] { return wrapInCompoundFile(validStream({labelSst(2, 0, 5)}, withSst(sstBody(9, 0x7FFFFFFF, {u"hello"})))); },
     "shared string table: it holds 1 strings, but the cell at row 3, column 1 of sheet \"S\" uses string index 5"},
    {"IsstOutOfRange",
     [] { return wrapInCompoundFile(validStream({labelSst(2, 0, 0xFFFFFFFF)}, withSst(sstBody(1, 1, {u"hello"})))); },
     "uses string index 4294967295"},
    {"SstStringLengthLies",
     [] {
       Bytes body = sstBody(1, 1, {u"hello"});
       setU16(body, 8, 0xFFFF);
       return wrapInCompoundFile(validStream({}, withSst(body)));
     },
     "damaged shared string table: it holds 0 strings"},
    {"NoSstForTextCells", [] { return wrapInCompoundFile(validStream()); }, "damaged shared string table"},
    {"MulRkColumnsBackwards",
     [] {
       Bytes b = u16s({3, 5, 15, 4, 0, 15, 8, 0, 2});  // colLast 2 < colFirst 5
       return wrapInCompoundFile(validStream({rec(rid::MulRk, b)}, withSst(sstBody(1, 1, {u"hello"}))));
     },
     nullptr},
    {"MulRkWrongLength",
     [] {
       Bytes b = u16s({3, 0, 15, 4, 0, 15});
       return wrapInCompoundFile(validStream({rec(rid::MulRk, b)}, withSst(sstBody(1, 1, {u"hello"}))));
     },
     nullptr},
    {"CellColumnFFFF",
     [] {
       Bytes n = u16s({0xFFFF, 0xFFFF, 15});
       putF64(n, 1);
       return wrapInCompoundFile(validStream({rec(rid::Number, n)}, withSst(sstBody(1, 1, {u"hello"}))));
     },
     nullptr},
    {"ShortCellRecords",
     [] {
       return wrapInCompoundFile(validStream(
           {rec(rid::Number, u16s({1, 1})), rec(rid::LabelSst, u16s({1, 2, 15})), rec(rid::Formula, u16s({1, 3, 15}))},
           withSst(sstBody(1, 1, {u"hello"}))));
     },
     nullptr},
    {"StringWithoutFormulaAndFormulaWithoutString",
     [] {
       Bytes f = u16s({2, 2, 15, 0, 0, 0, 0xFFFF, 0, 0, 0, 0});
       Bytes s;
       appendBiffString(s, u"orphan", false);
       return wrapInCompoundFile(
           validStream({rec(rid::String, s), rec(rid::Formula, f)}, withSst(sstBody(1, 1, {u"hello"}))));
     },
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Files, HostileTest, ::testing::ValuesIn(Cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(HostileValuesTest, DamagedCellsReadAsEmptyOrAreSkipped) {
  auto wb = Workbook::fromBytes(wrapInCompoundFile(validStream({rec(rid::MulRk, u16s({3, 5, 15, 4, 0, 15, 8, 0, 2}))},
                                                               withSst(sstBody(9, 0x7FFFFFFF, {u"hello"})))));
  ASSERT_TRUE(wb.ok()) << wb.description();
  EXPECT_EQ(std::get<std::string>(wb->cell(0, 0, 0)->value), "hello");
  EXPECT_EQ(std::get<double>(wb->cell(0, 1, 0)->value), 2.5);
  for (std::uint32_t c = 0; c < 8; ++c) EXPECT_TRUE(std::holds_alternative<std::monostate>(wb->cell(0, 3, c)->value));
}

TEST(HostileValuesTest, LongStringThroughAFlagsOnlyContinueKeepsItsCellAfterASave) {
  // A long note whose characters go on after a CONTINUE holding only the
  // width flags, then a second string. A new string written later must get
  // an index of its own, not the note's.
  const std::u16string note(1168, u'n');
  Bytes sst;
  putU32(sst, 2);
  putU32(sst, 2);
  putU16(sst, static_cast<std::uint16_t>(note.size()));
  putU8(sst, 0);
  sst.insert(sst.end(), note.begin(), note.begin() + 100);
  Bytes rest = {0x00};
  rest.insert(rest.end(), note.begin() + 100, note.end());
  appendBiffString(rest, u"second", false);
  Bytes stream =
      validStream({labelSst(4, 0, 1)}, {rec(rid::Sst, sst), rec(rid::Continue, Bytes{0x00}), rec(rid::Continue, rest)});
  auto wb = Workbook::fromBytes(wrapInCompoundFile(stream));
  ASSERT_TRUE(wb.ok()) << wb.description();
  ASSERT_TRUE(wb->setCell(0, 5, 0, std::string("written")).ok());
  auto again = Workbook::fromBytes(wb->toBytes().value());
  ASSERT_TRUE(again.ok()) << again.description();
  EXPECT_EQ(std::get<std::string>(again->cell(0, 0, 0)->value), utf16ToUtf8(note));
  EXPECT_EQ(std::get<std::string>(again->cell(0, 4, 0)->value), "second");
  EXPECT_EQ(std::get<std::string>(again->cell(0, 5, 0)->value), "written");
}

TEST(HostileValuesTest, EveryTruncationIntoTheDataFailsWithAReason) {
  // The Workbook stream ends in the last sector; cutting anywhere before that
  // sector loses data the file claims to have.
  const Bytes f = validFile();
  for (std::size_t size = 0; size + 512 < f.size(); size += 97) {
    const Bytes cut(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(size));
    auto wb = Workbook::fromBytes(cut);
    EXPECT_FALSE(wb.ok()) << size;
    EXPECT_FALSE(wb.description().empty()) << size;
  }
}

}  // namespace
}  // namespace kestrune::xls
