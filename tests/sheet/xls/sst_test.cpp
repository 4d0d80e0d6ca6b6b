#include "xls_test_support.h"

#include "sheet/xls/sst.h"

#include <gtest/gtest.h>

namespace kestrune::xls {
namespace {

using testing::u16s;

SstString plain(std::u16string s) { return SstString{std::move(s), {}, {}}; }

TEST(SstTest, SmallTableIsOneRecordWithExactBytes) {
  std::vector<SstPosition> pos;
  const auto recs = buildSst({plain(u"ab"), plain(u"\u3042")}, 5, pos);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].id, rid::Sst);
  const Bytes expected = {5, 0, 0,    0,    2,   0, 0, 0,  // total 5, unique 2
                          2, 0, 0x00, 'a',  'b',           // 8-bit string
                          1, 0, 0x01, 0x42, 0x30};         // 16-bit string
  EXPECT_EQ(recs[0].body, expected);
  ASSERT_EQ(pos.size(), 2u);
  EXPECT_EQ(pos[1].record, 0u);
  EXPECT_EQ(pos[1].offset, 13u);
}

TEST(SstTest, LongStringContinuesWithAFlagsByte) {
  // 8300 8-bit characters: 8224 - 8 - 3 = 8213 fit in the SST, the rest
  // go to a CONTINUE that starts with the flags byte 0x00.
  std::vector<SstPosition> pos;
  const auto recs = buildSst({plain(std::u16string(8300, u'x'))}, 1, pos);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].body.size(), MaxRecordBody);
  EXPECT_EQ(recs[1].id, rid::Continue);
  ASSERT_EQ(recs[1].body.size(), 1u + 8300 - 8213);
  EXPECT_EQ(recs[1].body[0], 0x00);
  EXPECT_EQ(recs[1].body[1], 'x');
}

TEST(SstTest, WideCharactersAreNeverSplit) {
  // 8 header + 3 string header leave 8213 bytes: 4106 wide characters (8212
  // bytes) fit and one byte stays unused.
  std::vector<SstPosition> pos;
  const auto recs = buildSst({plain(std::u16string(5000, u'\u3042'))}, 1, pos);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].body.size(), MaxRecordBody - 1);
  EXPECT_EQ(recs[1].body[0], 0x01);
  EXPECT_EQ(recs[1].body.size(), 1u + 2 * (5000 - 4106));
  EXPECT_EQ(getU16(recs[1].body, 1), 0x3042);
}

TEST(SstTest, HeaderThatDoesNotFitWithItsFirstCharacterMovesToTheNextRecord) {
  // The first string leaves exactly 3 bytes: room for a header but not for
  // a character, so the second string starts the CONTINUE without flags.
  std::vector<SstPosition> pos;
  const std::size_t firstLen = MaxRecordBody - 8 - 3 - 3;
  const auto recs = buildSst({plain(std::u16string(firstLen, u'a')), plain(u"zz")}, 2, pos);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].body.size(), MaxRecordBody - 3);
  const Bytes expected = {2, 0, 0x00, 'z', 'z'};
  EXPECT_EQ(recs[1].body, expected);
  EXPECT_EQ(pos[1].record, 1u);
  EXPECT_EQ(pos[1].offset, 0u);
}

TEST(SstTest, RichRunsAndExtRstContinueWithoutFlags) {
  SstString rich{std::u16string(8205, u'r'), Bytes{1, 0, 2, 0, 3, 0, 4, 0}, Bytes{9, 8, 7, 6, 5}};
  std::vector<SstPosition> pos;
  const auto recs = buildSst({rich}, 1, pos);
  // 8 + 9 header + 8205 chars = 8222: the runs (4 bytes each) move whole.
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].body.size(), 8222u);
  const Bytes expected = {1, 0, 2, 0, 3, 0, 4, 0, 9, 8, 7, 6, 5};
  EXPECT_EQ(recs[1].body, expected);
  std::vector<ByteView> pieces{recs[0].body, recs[1].body};
  const SstTable back = parseSst(pieces);
  ASSERT_EQ(back.strings.size(), 1u);
  EXPECT_EQ(back.strings[0], rich);
}

TEST(SstTest, ParsesCharactersContinuingWithAWidthChange) {
  // "abc" begins 8-bit in the SST; the CONTINUE switches to 16-bit for the rest.
  const Bytes sst = {1, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0x00, 'a', 'b'};
  const Bytes cont = {0x01, 'c', 0, 0x42, 0x30, 0x44, 0x30, 2, 0, 0, 'o', 'k'};
  std::vector<ByteView> pieces{sst, cont};
  const SstTable t = parseSst(pieces);
  ASSERT_EQ(t.strings.size(), 2u);
  EXPECT_TRUE(t.strings[0].chars == u"abc\u3042\u3044");
  EXPECT_TRUE(t.strings[1].chars == u"ok");
  EXPECT_FALSE(t.truncated);
}

TEST(SstTest, StringGoesOnPastRecordsHoldingOnlyFlagsOrNothing) {
  // "abcd" then "ok": the first string's characters continue through a
  // CONTINUE that holds only the width flags, or nothing, and the rest
  // follows in the next one.
  const Bytes sst = {2, 0, 0, 0, 2, 0, 0, 0, 4, 0, 0x00, 'a'};
  const Bytes rest = {0x00, 'b', 'c', 'd', 2, 0, 0, 'o', 'k'};
  const Bytes restWide = {0x01, 'b', 0, 'c', 0, 'd', 0, 2, 0, 0, 'o', 'k'};
  const Bytes flagsOnly = {0x00};
  const Bytes wideFlagsOnly = {0x01};
  const Bytes empty;
  struct Case {
    const char* name;
    std::vector<ByteView> pieces;
  };
  const Case cases[] = {
      {"flags only", {sst, flagsOnly, rest}},
      {"wide flags only, then 8-bit", {sst, wideFlagsOnly, rest}},
      {"flags only, then 16-bit", {sst, flagsOnly, restWide}},
      {"empty", {sst, empty, rest}},
      {"empty and flags only", {sst, empty, flagsOnly, empty, rest}},
  };
  for (const Case& c : cases) {
    const SstTable t = parseSst(c.pieces);
    ASSERT_EQ(t.strings.size(), 2u) << c.name;
    EXPECT_TRUE(t.strings[0].chars == u"abcd") << c.name;
    EXPECT_TRUE(t.strings[1].chars == u"ok") << c.name;
    EXPECT_FALSE(t.truncated) << c.name;
  }
}

TEST(SstTest, CountsThatLieStopAtTheData) {
  struct Case {
    const char* name;
    Bytes body;
    std::size_t strings;
  };
  const Case cases[] = {
      {"unique larger than data", {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 0, 0, 'a'}, 1},
      {"string longer than data", {0, 0, 0, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0, 'a'}, 0},
      {"ExtRst size huge", {0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 0},
      {"header cut", {0, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    std::vector<ByteView> pieces{c.body};
    const SstTable t = parseSst(pieces);
    EXPECT_EQ(t.strings.size(), c.strings) << c.name;
    EXPECT_TRUE(t.truncated) << c.name;
  }
}

TEST(SstTest, BuildThenParseRoundTripsManyStrings) {
  std::vector<SstString> strings;
  for (int i = 0; i < 3000; ++i)
    strings.push_back(plain(i % 7 == 0 ? std::u16string(static_cast<std::size_t>(i % 50), u'\u00e9') + u"\u65e5"
                                       : u"value" + std::u16string(static_cast<std::size_t>(i % 13), u'x')));
  std::vector<SstPosition> pos;
  const auto recs = buildSst(strings, 4000, pos);
  EXPECT_GT(recs.size(), 1u);
  std::vector<ByteView> pieces;
  for (const Record& r : recs) {
    EXPECT_LE(r.body.size(), MaxRecordBody);
    pieces.emplace_back(r.body);
  }
  const SstTable t = parseSst(pieces);
  EXPECT_EQ(t.declaredTotal, 4000u);
  EXPECT_EQ(t.strings, strings);
}

TEST(SstTest, ExtSstPointsAtEveryBucketStart) {
  std::vector<SstString> strings;
  for (int i = 0; i < 2000; ++i)
    strings.push_back(plain(u"string number " + std::u16string(static_cast<std::size_t>(i % 40), u'#')));
  std::vector<SstPosition> pos;
  const auto recs = buildSst(strings, 2000, pos);
  Bytes stream(100, 0);  // the SST starts at stream offset 100
  for (const Record& r : recs) appendRecord(stream, r);
  const Record ext = buildExtSst(recs, pos, 100);
  const std::uint16_t perBucket = getU16(ext.body, 0);
  EXPECT_EQ(perBucket, 16);  // 2000 strings in at most 128 buckets
  const std::size_t buckets = (2000 + perBucket - 1) / perBucket;
  ASSERT_EQ(ext.body.size(), 2 + 8 * buckets);
  for (std::size_t b = 0; b < buckets; ++b) {
    const std::uint32_t at = getU32(ext.body, 2 + 8 * b);
    const std::uint16_t inRecord = getU16(ext.body, 6 + 8 * b);
    const std::u16string& s = strings[b * perBucket].chars;
    // The stream at `at` holds that string's header, and `inRecord` bytes
    // back is a record header (SST or CONTINUE).
    ASSERT_LT(at + 3u, stream.size());
    EXPECT_EQ(getU16(stream, at), s.size()) << "bucket " << b;
    const std::uint16_t id = getU16(stream, at - inRecord);
    EXPECT_TRUE(id == rid::Sst || id == rid::Continue) << "bucket " << b;
  }
}

TEST(SstTest, EmptyTableHasMinimalRecords) {
  std::vector<SstPosition> pos;
  const auto recs = buildSst({}, 0, pos);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].body, Bytes(8, 0));
  const Record ext = buildExtSst(recs, pos, 0);
  EXPECT_EQ(ext.body, u16s({8}));
}

}  // namespace
}  // namespace kestrune::xls
