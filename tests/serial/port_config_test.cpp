#include "serial/port_config.h"

#include <gtest/gtest.h>

#include <optional>

namespace kestrune::serial {
namespace {

struct ParseCase {
  const char* name;
  const char* text;
  bool ok;
  PortConfig expected;
  const char* normalised;
};

class ParseSettingsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseSettingsTest, ParsesAndNormalises) {
  const ParseCase& c = GetParam();
  const Result<PortConfig> r = parseSettings(QString::fromUtf8(c.text));
  ASSERT_EQ(r.ok(), c.ok) << r.description().toStdString();
  if (!c.ok) {
    EXPECT_FALSE(r.description().isEmpty());
    return;
  }
  EXPECT_EQ(*r, c.expected);
  EXPECT_EQ(settingsText(*r).toStdString(), c.normalised);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseSettingsTest,
    ::testing::Values(
        ParseCase{"Default", "9600,n,8,1", true, {9600, Parity::None, 8, StopBits::One}, "9600,n,8,1"},
        ParseCase{"UpperCaseParity", "9600,N,8,1", true, {9600, Parity::None, 8, StopBits::One}, "9600,n,8,1"},
        ParseCase{"EvenSevenOneAndHalf",
                  "19200,E,7,1.5",
                  true,
                  {19200, Parity::Even, 7, StopBits::OnePointFive},
                  "19200,e,7,1.5"},
        ParseCase{"OddTwo", "115200,o,8,2", true, {115200, Parity::Odd, 8, StopBits::Two}, "115200,o,8,2"},
        ParseCase{"Mark", "300,m,5,1", true, {300, Parity::Mark, 5, StopBits::One}, "300,m,5,1"},
        ParseCase{"Space", "1200,S,6,2", true, {1200, Parity::Space, 6, StopBits::Two}, "1200,s,6,2"},
        ParseCase{
            "BlanksAroundFields", " 4800 , e , 7 , 1 ", true, {4800, Parity::Even, 7, StopBits::One}, "4800,e,7,1"},
        ParseCase{"UnknownSpeed", "14400,n,8,1", false, {}, ""}, ParseCase{"NoSpeed", ",n,8,1", false, {}, ""},
        ParseCase{"BadParity", "9600,x,8,1", false, {}, ""}, ParseCase{"EmptyParity", "9600,,8,1", false, {}, ""},
        ParseCase{"NineDataBits", "9600,n,9,1", false, {}, ""}, ParseCase{"FourDataBits", "9600,n,4,1", false, {}, ""},
        ParseCase{"BadStopBits", "9600,n,8,3", false, {}, ""}, ParseCase{"TooFewFields", "9600,n,8", false, {}, ""},
        ParseCase{"TooManyFields", "9600,n,8,1,1", false, {}, ""}, ParseCase{"Empty", "", false, {}, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(HandshakingTest, AcceptsZeroToThree) {
  const struct {
    int code;
    std::optional<FlowControl> flow;
  } cases[] = {{-1, std::nullopt},       {0, FlowControl::None},          {1, FlowControl::XonXoff},
               {2, FlowControl::RtsCts}, {3, FlowControl::RtsCtsXonXoff}, {4, std::nullopt}};
  for (const auto& c : cases) {
    const Result<FlowControl> flow = flowControlFromCode(c.code);
    ASSERT_EQ(flow.ok(), c.flow.has_value()) << c.code;
    if (!c.flow) {
      EXPECT_EQ(flow.description(), QStringLiteral("フロー制御 %1 は使用できません（0～3）").arg(c.code));
      continue;
    }
    EXPECT_EQ(*flow, *c.flow) << c.code;
    EXPECT_EQ(handshakingCode(*flow), c.code);
  }
}

}  // namespace
}  // namespace kestrune::serial
