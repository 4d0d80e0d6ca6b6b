#include "serial/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::serial {
namespace {

using cp932::CodeString;
constexpr std::uint64_t Limit = ReceiveBufferLimit;

struct AssemblerCase {
  const char* name;
  std::vector<CodeString> chunks;  // the first one is what was held before
  std::vector<CodeString> lines;   // taken one by one afterwards
  CodeString left;                 // held after the lines were taken
  DroppedCount dropped;
  DropReason reason = DropReason::None;  // the last one a chunk gave
  cp932::Code endCode = u'\r';
  bool keep = true;
};

class LineAssemblerTest : public ::testing::TestWithParam<AssemblerCase> {};

TEST_P(LineAssemblerTest, ChunksBecomeWholeLines) {
  const AssemblerCase& c = GetParam();
  LineAssembler assembler;
  DropReason reason = DropReason::None;
  for (const CodeString& chunk : c.chunks) {
    const DropReason r = assembler.append(chunk, c.endCode, c.keep);
    if (r != DropReason::None) reason = r;
  }
  for (const CodeString& line : c.lines) {
    ASSERT_TRUE(assembler.hasLine(c.endCode));
    EXPECT_EQ(CodeString(assembler.frontLine(c.endCode)), line);
    assembler.popLine(c.endCode);
  }
  EXPECT_EQ(CodeString(assembler.text()), c.left);
  EXPECT_EQ(assembler.dropped(), c.dropped);
  EXPECT_EQ(reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineAssemblerTest,
    ::testing::Values(
        AssemblerCase{"SplitInsideLinesAndEnds", {u"12", u".5,", u"3\r4", u"5\r"}, {u"12.5,3\r", u"45\r"}, u"", {}},
        AssemblerCase{"SeveralLinesInOneChunk", {u"1\r2,3\r\r4"}, {u"1\r", u"2,3\r", u"\r"}, u"4", {}},
        // A double-byte character is one code: the end code '@' (0x40) never
        // matches its trail byte 0x40, and dropped it counts two bytes.
        AssemblerCase{"DoubleByteCharacterIsNeverCut",
                      {CodeString{0x8140, u'a'}, CodeString{0x82A0, u'@', 0x8140}},
                      {CodeString{0x8140, u'a', 0x82A0, u'@'}},
                      CodeString{0x8140},
                      {},
                      DropReason::None,
                      u'@'},
        AssemblerCase{"DoubleByteCharactersCountTwoWhenDropped",
                      {u"1\r" + CodeString(Limit - 2, 0x82A0), u"0\r"},
                      {u"1\r"},
                      u"",
                      {1, 2 * (Limit - 2) + 2},
                      DropReason::BufferFull},
        // "aaa...b" is cut by "c": all of it and the rest up to its end.
        AssemblerCase{"FullBufferKeepsTheCompleteLinesBefore",
                      {u"1\r" + CodeString(Limit - 3, u'a'), u"b", u"cd\r2\r"},
                      {u"1\r", u"2\r"},
                      u"",
                      {1, Limit - 3 + 4},
                      DropReason::BufferFull},
        AssemblerCase{"EachLineThatFindsItFullGoes",
                      {CodeString(Limit, u'\r'), u"ab\rcd\r\r"},
                      {},
                      CodeString(Limit, u'\r'),
                      {3, 7},
                      DropReason::BufferFull},
        AssemblerCase{"OverlongLineThenItsRestAcrossChunks",
                      {CodeString(Limit - 2, u'a'), u"bc rest", u"of it\r2", u"\r3"},
                      {u"2\r"},
                      u"3",
                      {1, Limit + 11},
                      DropReason::LineTooLong},
        AssemblerCase{"AFullBufferOfEndCodesTakesOnlyEndCodes",
                      {CodeString(Limit - 1, u'\r'), u"x\n9\n"},
                      {u"9\n"},
                      u"",
                      {1, Limit + 1},
                      DropReason::LineTooLong,
                      u'\n'},
        AssemblerCase{"NothingIsKeptWithoutARun", {u"1\r2"}, {}, u"", {}, DropReason::None, u'\r', false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LineAssembler, EveryWayOfCuttingTheStreamGivesTheSameLines) {
  const CodeString stream = u"12.5,\x82A0\r\r7\r8";
  for (std::size_t i = 0; i <= stream.size(); ++i) {
    for (std::size_t j = i; j <= stream.size(); ++j) {
      LineAssembler assembler;
      for (const CodeString& chunk : {stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)})
        assembler.append(chunk, u'\r');
      std::vector<CodeString> lines;
      for (; assembler.hasLine(u'\r'); assembler.popLine(u'\r')) lines.emplace_back(assembler.frontLine(u'\r'));
      EXPECT_EQ(lines, (std::vector<CodeString>{u"12.5,\x82A0\r", u"\r", u"7\r"})) << i << ", " << j;
      EXPECT_EQ(CodeString(assembler.text()), u"8") << i << ", " << j;
    }
  }
}

TEST(LineAssembler, ClearEmptiesButALineBeingDroppedStaysDroppedToItsEnd) {
  LineAssembler assembler;
  assembler.append(CodeString(Limit, u'a'), u'\r');  // its last character cut it
  ASSERT_EQ(assembler.dropped(), (DroppedCount{1, Limit}));
  assembler.append(u"1\r2", u'\r', false);  // the dropped line's end, then no run
  assembler.clear();
  EXPECT_TRUE(assembler.empty());
  assembler.append(u"tail\r5\r", u'\r');
  EXPECT_EQ(CodeString(assembler.text()), u"tail\r5\r");
  // A line left at the front stays until it is taken; a clear takes all.
  EXPECT_EQ(CodeString(assembler.frontLine(u'\r')), u"tail\r");
  assembler.append(u"6\r", u'\r');
  EXPECT_EQ(CodeString(assembler.frontLine(u'\r')), u"tail\r");
  assembler.clear();
  EXPECT_FALSE(assembler.hasLine(u'\r'));
  EXPECT_EQ(assembler.dropped(), (DroppedCount{1, Limit + 2}));
}

}  // namespace
}  // namespace kestrune::serial
