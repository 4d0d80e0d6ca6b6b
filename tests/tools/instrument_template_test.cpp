// Reply templates, line ends, line framing and the verbose byte form of
// kestrune-instrument, without a pseudo-terminal.
#include "instrument/lines.h"
#include "instrument/template.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

namespace kestrune::instrument {
namespace {

using namespace std::string_literals;

std::tm localTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

std::string expandText(const std::string& text, std::uint64_t counter = 1, std::string_view line = {}) {
  auto templ = parseTemplate(text);
  EXPECT_TRUE(templ.ok()) << text << ": " << templ.description();
  if (!templ) return "<error>";
  Random random(1);
  return expand(*templ, ExpansionContext{counter, line, localTime(2026, 12, 7, 9, 5, 3)}, random);
}

struct ExpansionRow {
  std::string templ;
  std::uint64_t counter;
  std::string line;
  std::string expected;
};

TEST(InstrumentTemplate, ExpandsEscapesPlaceholdersAndCodePage932) {
  const ExpansionRow rows[] = {
      {"MEAS", 1, "", "MEAS"},
      {"", 1, "", ""},
      {"測定", 1, "", "\x91\xAA\x92\xE8"},
      {"値=12", 1, "", "\x92\x6C=12"},
      {"ｱ", 1, "", "\xB1"},                // half-width katakana: one byte
      {"～①", 1, "", "\x81\x60\x87\x40"},  // code page 932, not plain Shift_JIS
      {"\\x80", 1, "", "\x80"},            // a raw byte, not converted
      {"\\x00\\xff\\x4A", 1, "", "\x00\xFF\x4A"s},
      {"\\xe6\\xb8\\xac", 1, "", "\xE6\xB8\xAC"},  // UTF-8 bytes written raw stay as they are
      {"測\\x82\\xA0定", 1, "", "\x91\xAA\x82\xA0\x92\xE8"},
      {"a\\r\\n\\tb\\\\", 1, "", "a\r\n\tb\\"},
      {"\\{n}", 1, "", "{n}"},
      {"a}b", 1, "", "a}b"},
      {"{n}", 7, "", "7"},
      {"No.{n}/{n}", 12, "", "No.12/12"},
      {"[{line}]", 1, "MEAS?", "[MEAS?]"},
      {"{line}", 1, "\x91\xAA\x00\xFF"s, "\x91\xAA\x00\xFF"s},  // received bytes go back unchanged
      {"{date} {time}", 1, "", "2026/12/07 09:05:03"},
      {"{rand:5:5:0}", 1, "", "5"},
      {"{rand:5:5}", 1, "", "5"},
      {"{rand:1.5:1.5:2}", 1, "", "1.50"},
      {"{rand:-2:-2:1}", 1, "", "-2.0"},
      {"{rand:0.004:0.011:2}", 1, "", "0.01"},  // MIN rounds up, MAX down
      {"{rand:-0.011:-0.004:2}", 1, "", "-0.01"},
      {"{rand:+3:3.00:0}", 1, "", "3"},
      {"{rand:.5:.5:1}", 1, "", "0.5"},
  };
  for (const auto& row : rows) EXPECT_EQ(expandText(row.templ, row.counter, row.line), row.expected) << row.templ;
}

TEST(InstrumentTemplate, RejectsBadTemplatesWithAReason) {
  const struct {
    std::string templ;
    std::string reason;
  } rows[] = {
      {"{", "{ without }"},
      {"{n", "{ without }"},
      {"{nn}", "unknown placeholder {nn}"},
      {"{}", "unknown placeholder {}"},
      {"{rand}", "unknown placeholder"},
      {"{rand:1}", "MIN:MAX"},
      {"{rand:1:2:3:4}", "MIN:MAX"},
      {"{rand:a:2}", "decimal numbers"},
      {"{rand:1:2.2.2}", "decimal numbers"},
      {"{rand::2}", "decimal numbers"},
      {"{rand:-:2}", "decimal numbers"},
      {"{rand:99999999999999999999:1}", "decimal numbers"},
      {"{rand:1:2:10}", "decimals must be 0 to 9"},
      {"{rand:1:2:x}", "decimals must be 0 to 9"},
      {"{rand:2:1}", "no number"},
      {"{rand:0.001:0.009:2}", "no number with 2 decimals"},
      {"\\q", "unknown escape \\q"},
      {"abc\\", "lone \\"},
      {"\\x4", "two hexadecimal digits"},
      {"\\xZZ", "two hexadecimal digits"},
      {"😀", "U+1F600"},
      {"\xFF", "invalid UTF-8 at byte 0"},
      {"ab\xE6\xB8", "invalid UTF-8 at byte 2"},
  };
  for (const auto& row : rows) {
    auto result = parseTemplate(row.templ);
    ASSERT_FALSE(result.ok()) << row.templ;
    EXPECT_NE(result.description().find(row.reason), std::string::npos)
        << row.templ << " gave: " << result.description();
  }
}

TEST(InstrumentTemplate, ParsedPiecesKeepTextPlaceholdersApart) {
  auto templ = parseTemplate("測{n}\\x80x{rand:1:2.5:1}");
  ASSERT_TRUE(templ.ok());
  ASSERT_EQ(templ->pieces.size(), 4u);
  EXPECT_EQ(templ->pieces[0].bytes, "\x91\xAA");
  EXPECT_EQ(templ->pieces[1].kind, Piece::Kind::Counter);
  EXPECT_EQ(templ->pieces[2].bytes, "\x80x");
  EXPECT_EQ(templ->pieces[3].kind, Piece::Kind::Random);
  EXPECT_EQ(templ->pieces[3].range, (RandomRange{10, 25, 1}));
  EXPECT_TRUE(templ->uses(Piece::Kind::Counter));
  EXPECT_FALSE(templ->uses(Piece::Kind::Line));
}

TEST(InstrumentTemplate, RandomNumbersStayInRangeAndCoverIt) {
  auto templ = parseTemplate("{rand:-1:1:1}");
  ASSERT_TRUE(templ.ok());
  Random random(7);
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) seen.insert(expand(*templ, {}, random));
  // Every value from -1.0 to 1.0 in steps of 0.1, and nothing else.
  std::set<std::string> expected;
  for (int v = -10; v <= 10; ++v) expected.insert(formatScaled(v, 1));
  EXPECT_EQ(seen, expected);
}

TEST(InstrumentTemplate, RandomIsDeterministicPerSeed) {
  auto templ = parseTemplate("{rand:0:1000000:3}");
  ASSERT_TRUE(templ.ok());
  Random a(42), b(42), c(43);
  std::string fromA, fromB, fromC;
  for (int i = 0; i < 20; ++i) {
    fromA += expand(*templ, {}, a) + ",";
    fromB += expand(*templ, {}, b) + ",";
    fromC += expand(*templ, {}, c) + ",";
  }
  EXPECT_EQ(fromA, fromB);
  EXPECT_NE(fromA, fromC);
}

TEST(InstrumentTemplate, RandomBetweenHandlesTheWholeRange) {
  Random random(3);
  constexpr auto low = std::numeric_limits<std::int64_t>::min();
  constexpr auto high = std::numeric_limits<std::int64_t>::max();
  bool negative = false, positive = false;
  for (int i = 0; i < 64; ++i) {
    const std::int64_t v = random.between(low, high);
    negative |= v < 0;
    positive |= v > 0;
    EXPECT_EQ(random.between(-3, -3), -3);
  }
  EXPECT_TRUE(negative && positive);
}

TEST(InstrumentTemplate, FormatsScaledNumbers) {
  const struct {
    std::int64_t value;
    int decimals;
    std::string text;
  } rows[] = {
      {0, 0, "0"},
      {5, 0, "5"},
      {-5, 2, "-0.05"},
      {12345, 2, "123.45"},
      {-100, 1, "-10.0"},
      {7, 3, "0.007"},
      {0, 2, "0.00"},
      {1000000000, 9, "1.000000000"},
      {-123456789, 9, "-0.123456789"},
  };
  for (const auto& row : rows) EXPECT_EQ(formatScaled(row.value, row.decimals), row.text) << row.value;
}

TEST(InstrumentTemplate, EscapedTextKeepsBracesPlain) {
  const struct {
    std::string text, bytes;
  } rows[] = {
      {"MEAS?", "MEAS?"}, {"{n}", "{n}"}, {"\\x3D", "="}, {"測", "\x91\xAA"}, {"\\t\\\\", "\t\\"}, {"", ""},
  };
  for (const auto& row : rows) {
    auto bytes = parseEscapedText(row.text);
    ASSERT_TRUE(bytes.ok()) << row.text;
    EXPECT_EQ(*bytes, row.bytes) << row.text;
  }
  EXPECT_FALSE(parseEscapedText("\\x").ok());
}

TEST(InstrumentTemplate, ParsesLineEnds) {
  const struct {
    std::string text, bytes;
  } rows[] = {
      {"CR", "\r"},      {"LF", "\n"},       {"CRLF", "\r\n"},       {"NONE", ""},     {"crlf", "\r\n"}, {"none", ""},
      {"\\x03", "\x03"}, {"\\r\\n", "\r\n"}, {"\\x04\\r", "\x04\r"}, {"\\x00", "\0"s}, {"ETX", "ETX"},
  };
  for (const auto& row : rows) {
    auto bytes = parseLineEnd(row.text);
    ASSERT_TRUE(bytes.ok()) << row.text;
    EXPECT_EQ(*bytes, row.bytes) << row.text;
  }
  for (const char* bad : {"\\x0", "\\q", "\\"}) EXPECT_FALSE(parseLineEnd(bad).ok()) << bad;
}

TEST(InstrumentLines, SplitsAtCrOrLfAndDropsEmptyLines) {
  const struct {
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    std::string pending;
  } rows[] = {
      {{"MEAS?\r"}, {"MEAS?"}, ""},
      {{"MEAS?\n"}, {"MEAS?"}, ""},
      {{"A\r\nB\n"}, {"A", "B"}, ""},
      {{"A\r", "\nB\r"}, {"A", "B"}, ""},  // CR LF cut between two reads
      {{"A\n\rB\r"}, {"A", "B"}, ""},
      {{"\r\n\r\n", "\n", "\r"}, {}, ""},
      {{"ME", "AS", "?\r\n"}, {"MEAS?"}, ""},
      {{"X"}, {}, "X"},
      {{"A\rB"}, {"A"}, "B"},
      {{"\x91\xAA\x00Z\r"s}, {"\x91\xAA\x00Z"s}, ""},
      {{""}, {}, ""},
  };
  for (const auto& row : rows) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    for (const std::string& chunk : row.chunks)
      for (std::string& line : splitter.feed(chunk)) lines.push_back(std::move(line));
    EXPECT_EQ(lines, row.lines) << ::testing::PrintToString(row.chunks);
    EXPECT_EQ(splitter.pending(), row.pending) << ::testing::PrintToString(row.chunks);
  }
}

TEST(InstrumentLines, KeepsTheStartOfOverlongLines) {
  LineSplitter splitter(4);
  EXPECT_EQ(splitter.feed("ABCDEFG"), std::vector<std::string>{});
  EXPECT_EQ(splitter.pending(), "ABCD");
  EXPECT_EQ(splitter.feed("HI\rXY\r"), (std::vector<std::string>{"ABCD", "XY"}));
}

TEST(InstrumentLines, DescribesBytesForTheLog) {
  const struct {
    std::string bytes, text;
  } rows[] = {
      {"OK\r\n", "OK<0D><0A>"}, {"<", "<3C>"}, {"\x00\xFF~ "s, "<00><FF>~ "},
      {"\x91\xAA", "<91><AA>"}, {"", ""},      {"\x7F", "<7F>"},
  };
  for (const auto& row : rows) EXPECT_EQ(describeBytes(row.bytes), row.text);
}

}  // namespace
}  // namespace kestrune::instrument
