#include "core/cp932.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::cp932 {
namespace {

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

struct DecodeCase {
  const char* name;
  std::string input;
  CodeString expected;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, KeepsEveryByte) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(decode(c.input), c.expected);
  // Whatever came in goes out as the same bytes.
  EXPECT_EQ(encode(decode(c.input)), c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeTest,
    ::testing::Values(DecodeCase{"Ascii", "AB,1\r\n", u"AB,1\r\n"},
                      DecodeCase{"DoubleByte", bytes({0x82, 0xA0, 0x41}), CodeString{0x82A0, 0x41}},
                      DecodeCase{"HalfWidthKatakana", bytes({0xB1, 0xDF}), CodeString{0xB1, 0xDF}},
                      DecodeCase{"NulByte", bytes({0x00, 0x41}), CodeString{0x00, 0x41}},
                      DecodeCase{"SingleBytesGlibcRefuses", bytes({0x80, 0xA0, 0xFD, 0xFE, 0xFF}),
                                 CodeString{0x80, 0xA0, 0xFD, 0xFE, 0xFF}},
                      DecodeCase{"LeadWithInvalidTrailIsTwoCharacters", bytes({0x82, 0x0D}), CodeString{0x82, 0x0D}},
                      DecodeCase{"LeadWithLeadThenTrail", bytes({0x82, 0x82, 0xA0}), CodeString{0x8282, 0xA0}},
                      DecodeCase{"LeadBeforeDelete", bytes({0x88, 0x7F}), CodeString{0x88, 0x7F}},
                      DecodeCase{"LoneLeadAtEnd", bytes({0x41, 0x82}), CodeString{0x41, 0x82}},
                      DecodeCase{"UnassignedPairStaysOneCharacter", bytes({0x85, 0x40}), CodeString{0x8540}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DecoderTest, DoubleByteCharacterOnlyOnceBothBytesAreIn) {
  Decoder decoder;
  CodeString out;
  decoder.feed(0x82, out);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(decoder.pending());
  decoder.feed(0xA0, out);
  EXPECT_EQ(out, (CodeString{0x82A0}));
  EXPECT_FALSE(decoder.pending());
}

TEST(DecoderTest, LeadFollowedByCarriageReturnYieldsBothAtOnce) {
  Decoder decoder;
  CodeString out;
  decoder.feed(0x82, out);
  decoder.feed(0x0D, out);
  EXPECT_EQ(out, (CodeString{0x82, 0x0D}));
}

TEST(DecoderTest, FlushEmitsWaitingLeadByte) {
  Decoder decoder;
  CodeString out;
  decoder.feed(0xE0, out);
  decoder.flush(out);
  EXPECT_EQ(out, (CodeString{0xE0}));
  EXPECT_FALSE(decoder.pending());
}

TEST(DecoderTest, EveryByteSequenceSurvivesARoundTrip) {
  // All two-byte sequences: nothing lost, nothing invented.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string in = bytes({a, b});
      ASSERT_EQ(encode(decode(in)), in) << a << "," << b;
    }
  }
}

struct UnicodeCase {
  const char* name;
  CodeString codes;
  QString unicode;
};

class UnicodeTest : public ::testing::TestWithParam<UnicodeCase> {};

TEST_P(UnicodeTest, ToUnicode) {
  const UnicodeCase& c = GetParam();
  EXPECT_EQ(toUnicode(c.codes), c.unicode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnicodeTest,
    ::testing::Values(UnicodeCase{"Ascii", u"A1", QStringLiteral("A1")},
                      UnicodeCase{"Hiragana", CodeString{0x82A0}, QStringLiteral("あ")},
                      UnicodeCase{"Kanji", CodeString{0x93FA, 0x967B}, QStringLiteral("日本")},
                      UnicodeCase{"FullWidthComma", CodeString{0x8143}, QStringLiteral("，")},
                      UnicodeCase{"HalfWidthKatakana", CodeString{0xB1}, QStringLiteral("ｱ")},
                      UnicodeCase{"NecSpecial", CodeString{0x8740}, QStringLiteral("①")},
                      UnicodeCase{"YenSignByteIsBackslash", CodeString{0x5C}, QStringLiteral("\\")},
                      UnicodeCase{"WindowsSingleBytes", CodeString{0x80, 0xA0, 0xFD, 0xFF},
                                  QString::fromUtf16(u"\u0080\uF8F0\uF8F1\uF8F3")},
                      UnicodeCase{"LoneLeadIsReplacement", CodeString{0x82}, QString(QChar(0xFFFD))},
                      UnicodeCase{"UnassignedPairIsReplacement", CodeString{0x8540}, QString(QChar(0xFFFD))}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(UnicodeTest, FromUnicodeGivesCodes) {
  EXPECT_EQ(fromUnicode(QStringLiteral("Aあｱ①")), (CodeString{0x41, 0x82A0, 0xB1, 0x8740}));
  EXPECT_EQ(fromUnicode(QString::fromUtf16(u"\u0080\uF8F0\uF8F2")), (CodeString{0x80, 0xA0, 0xFE}));
}

TEST(UnicodeTest, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  // An emoji (a surrogate pair) and a Hangul syllable.
  EXPECT_EQ(fromUnicode(QString::fromUtf8("a\xF0\x9F\x98\x80"
                                          "b\xEA\xB0\x80")),
            (CodeString{u'a', u'?', u'b', u'?'}));
}

TEST(UnicodeTest, AssignedCodesRoundTripThroughUnicode) {
  // Every single-byte code and a sample of double-byte codes come back unchanged,
  // except NEC-selected IBM extensions that Windows itself folds onto the IBM codes.
  for (int c = 0; c < 256; ++c) {
    if (isLeadByte(static_cast<std::uint8_t>(c))) continue;
    const CodeString one{static_cast<Code>(c)};
    EXPECT_EQ(fromUnicode(toUnicode(one)), one) << c;
  }
  for (Code c : {0x8140, 0x824F, 0x829F, 0x8340, 0x889F, 0x9872, 0xE040, 0xEAA4}) {
    const CodeString one{c};
    EXPECT_EQ(fromUnicode(toUnicode(one)), one) << std::hex << static_cast<int>(c);
  }
}

}  // namespace
}  // namespace kestrune::cp932
