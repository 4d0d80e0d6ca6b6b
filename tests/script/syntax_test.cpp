#include "script/syntax.h"

#include <gtest/gtest.h>

namespace kestrune::script {
namespace {

using cp932::CodeString;

CodeString codes(const char* utf8) { return cp932::fromUtf8(utf8); }

struct LineCase {
  const char* line;  // UTF-8, converted to code page 932 codes
  bool valid;
  std::int16_t command;
  std::int16_t charCode;
  std::int32_t timeMs;
  CodeString data;
};

class ParseScriptLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseScriptLineTest, GivesTheStep) {
  const LineCase& c = GetParam();
  std::vector<ScriptStep> steps(2);
  steps[1].command = CmdERR;  // a previous value that a refused line must not touch
  steps[1].data = u"old";
  const ScriptStep before = steps[1];
  ASSERT_EQ(parseScriptLine(steps, 1, codes(c.line)), c.valid) << c.line;
  if (!c.valid) {
    EXPECT_EQ(steps[1], before);
    return;
  }
  EXPECT_EQ(steps[1].command, c.command) << c.line;
  EXPECT_EQ(steps[1].charCode, c.charCode) << c.line;
  EXPECT_EQ(steps[1].timeMs, c.timeMs) << c.line;
  EXPECT_EQ(steps[1].data, c.data) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ParseScriptLineTest,
    ::testing::Values(
        // Times
        LineCase{"RTM", false, 0, 0, 0, {}}, LineCase{"RTM:", true, CmdRTM, 0, 0, {}},
        LineCase{"RTM:5", true, CmdRTM, 0, 5000, {}}, LineCase{"RTM:10000", true, CmdRTM, 0, 10000000, {}},
        LineCase{"RTM:99999", true, CmdRTM, 0, 10000000, {}}, LineCase{"STM:0.25", true, CmdSTM, 0, 250, {}},
        LineCase{"WTM:1.5", true, CmdWTM, 0, 1500, {}}, LineCase{"WTM:-1", false, 0, 0, 0, {}},
        LineCase{"WTM:1e3", false, 0, 0, 0, {}}, LineCase{"WTM:1 0", true, CmdWTM, 0, 10000, {}},
        LineCase{"WTM:+2", true, CmdWTM, 0, 2000, {}}, LineCase{"WTM:.", true, CmdWTM, 0, 0, {}},
        LineCase{"WTM:1.2.3", true, CmdWTM, 0, 1200, {}}, LineCase{"WTM:1+2", true, CmdWTM, 0, 1000, {}},
        LineCase{"ITM:60", true, CmdITM, 0, 60000, {}}, LineCase{"ITM:0.0005", true, CmdITM, 0, 0, {}},
        LineCase{"BRK", true, CmdBRK, 0, 0, {}}, LineCase{"BRK:", true, CmdBRK, 0, 0, {}},
        LineCase{"BRK:x", true, CmdBRK, 0, 0, {}}, LineCase{"BRK:0.3", true, CmdBRK, 0, 300, {}},
        // Codes
        LineCase{"SCD:", true, CmdSCD, 0, 0, {}}, LineCase{"ECD:%0d", true, CmdECD, 13, 0, {}},
        LineCase{"DCD:%SP", true, CmdDCD, 32, 0, {}}, LineCase{"DCD:,", true, CmdDCD, 44, 0, {}},
        LineCase{"SCD:%sx", true, CmdSCD, 2, 0, {}}, LineCase{"ECD:%%%", true, CmdECD, 37, 0, {}},
        LineCase{"ECD:%FF", true, CmdECD, 255, 0, {}}, LineCase{"ECD:%LF", true, CmdECD, 10, 0, {}},
        LineCase{"ECD:%0", false, 0, 0, 0, {}}, LineCase{"ECD:%", false, 0, 0, 0, {}},
        LineCase{"ECD:%ZZ", false, 0, 0, 0, {}}, LineCase{"ECD:ab", false, 0, 0, 0, {}},
        LineCase{"ECD", false, 0, 0, 0, {}}, LineCase{"DCD:ｱ", true, CmdDCD, 0xB1, 0, {}},
        LineCase{"DCD:，", false, 0, 0, 0, {}},  // a full-width comma does not fit a byte
        // Data
        LineCase{"SND", false, 0, 0, 0, {}}, LineCase{"SND:", false, 0, 0, 0, {}},
        LineCase{"SND:%4", false, 0, 0, 0, {}}, LineCase{"SND:%ZZ", false, 0, 0, 0, {}},
        LineCase{"SND:%00", true, CmdSND, 0, 0, CodeString{0, 0}},
        LineCase{"SND:%80", true, CmdSND, 0, 0, CodeString{0x80}},
        LineCase{"SND:%FF", true, CmdSND, 0, 0, CodeString{0, 0x7F}},
        LineCase{"SND:%81", true, CmdSND, 0, 0, CodeString{0, 0x01}}, LineCase{"SND:%%%", true, CmdSND, 0, 0, u"%"},
        LineCase{"SND:MEAS?%CR%LF", true, CmdSND, 0, 0, u"MEAS?\r\n"}, LineCase{"SND:A;B", true, CmdSND, 0, 0, u"A;B"},
        LineCase{"SND: A", true, CmdSND, 0, 0, u" A"},
        LineCase{"SND:%sx1%ex", true, CmdSND, 0, 0,
                 u"\x02"
                 "1\x03"},
        LineCase{"SND:測定", true, CmdSND, 0, 0, CodeString{0x91AA, 0x92E8}}, LineCase{"SND:%2", false, 0, 0, 0, {}},
        LineCase{"ERR", true, CmdERR, 0, 0, {}}, LineCase{"ERR:%ZZ", true, CmdERR, 0, 0, {}},
        LineCase{"ERR:note", true, CmdERR, 0, 0, u"note"},
        // Commands without operand
        LineCase{"PAU", true, CmdPAU, 0, 0, {}}, LineCase{"PAU:1", false, 0, 0, 0, {}},
        LineCase{"SSS:", false, 0, 0, 0, {}}, LineCase{"CLR", true, CmdCLR, 0, 0, {}},
        LineCase{"SSS", true, CmdSSS, 0, 0, {}}, LineCase{"EEE", true, CmdEEE, 0, 0, {}},
        LineCase{"RCV", true, CmdRCV, 0, 0, {}}, LineCase{"SET", true, CmdSET, 0, 0, {}},
        LineCase{"SETX", false, 0, 0, 0, {}},
        // Keywords are exact
        LineCase{"snd:A", false, 0, 0, 0, {}}, LineCase{"SND :A", false, 0, 0, 0, {}},
        LineCase{"XYZ", false, 0, 0, 0, {}}, LineCase{"SN", false, 0, 0, 0, {}}));

struct ChannelCase {
  const char* line;
  StepError error;
  std::int16_t channel;  // 0-based, when valid
};

class ChannelLineTest : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(ChannelLineTest, NamesOneOfTheEightChannels) {
  const ChannelCase& c = GetParam();
  ScriptStep step;
  ASSERT_EQ(parseStepChecked(codes(c.line), step), c.error) << c.line;
  std::vector<ScriptStep> steps(1);
  EXPECT_EQ(parseScriptLine(steps, 0, codes(c.line)), c.error == StepError::None) << c.line;
  if (c.error != StepError::None) {
    EXPECT_EQ(steps[0], ScriptStep{}) << c.line;
    EXPECT_FALSE(stepErrorText(c.error).isEmpty());
    return;
  }
  EXPECT_EQ(steps[0].command, CmdCHN) << c.line;
  EXPECT_EQ(steps[0].channel, c.channel) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, ChannelLineTest,
    ::testing::Values(ChannelCase{"CHN:1", StepError::None, 0}, ChannelCase{"CHN:2", StepError::None, 1},
                      ChannelCase{"CHN:8", StepError::None, 7}, ChannelCase{"CHN:0", StepError::BadChannel, 0},
                      ChannelCase{"CHN:9", StepError::BadChannel, 0}, ChannelCase{"CHN:x", StepError::BadChannel, 0},
                      ChannelCase{"CHN:", StepError::BadChannel, 0}, ChannelCase{"CHN:12", StepError::BadChannel, 0},
                      ChannelCase{"CHN: 2", StepError::BadChannel, 0}, ChannelCase{"CHN:２", StepError::BadChannel, 0},
                      ChannelCase{"CHN", StepError::MissingColon, 0}, ChannelCase{"CHN2", StepError::MissingColon, 0},
                      ChannelCase{"chn:2", StepError::LowerCaseCommand, 0}));

TEST(ChannelsInUseTest, ChannelZeroAndEveryChannelNamedWithinTheSteps) {
  Script script;
  initScript(script);
  EXPECT_EQ(channelsInUse(script), std::vector<int>{0});
  script.scriptSteps.assign(5, ScriptStep{});
  for (const auto& [index, line] : {std::pair{0, "CHN:3"}, {1, "CHN:2"}, {2, "CHN:3"}, {4, "CHN:8"}})
    ASSERT_TRUE(parseScriptLine(script.scriptSteps, static_cast<std::size_t>(index), codes(line)));
  script.stepCount = 4;  // step 4 is past the script's end
  EXPECT_EQ(channelsInUse(script), (std::vector<int>{0, 1, 2}));
}

TEST(ParseScriptLineTest, IndexOutsideTheScriptIsRefused) {
  std::vector<ScriptStep> steps(1);
  EXPECT_FALSE(parseScriptLine(steps, 1, u"SSS"));
}

TEST(OperandParsersTest, TimeOperandLimits) {
  EXPECT_EQ(parseTimeOperand(u"WTM"), -1);
  EXPECT_EQ(parseTimeOperand(u"WTM;5"), -1);
  EXPECT_EQ(parseTimeOperand(u"WTM:9999.9994"), 9999999);
  EXPECT_EQ(parseTimeOperand(u"WTM:" + CodeString(40, u'9')), 10000000);
}

TEST(OperandParsersTest, CodeOperandOfADoubleByteCharacterIsItsCode) {
  EXPECT_EQ(parseCodeOperand(CodeString{u'D', u'C', u'D', u':', 0x8143}), 0x8143);
}

TEST(InitScriptTest, BuiltInScriptAndChannelDefaults) {
  Script script;
  script.startCode[0] = 7;
  script.startCode[1] = 9;
  script.endCode[7] = 3;
  script.receiveTimeoutMs[7] = 5;
  script.loopStartStep = 3;
  script.intervalMs = 5;
  initScript(script);
  EXPECT_EQ(script.stepCount, 4);
  ASSERT_EQ(script.scriptSteps.size(), 5u);
  const std::int16_t expected[] = {CmdSSS, CmdRCV, CmdSET, CmdEEE, CmdNone};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(script.scriptSteps[i].command, expected[i]) << i;
  EXPECT_EQ(script.startCode[0], 0);
  for (std::size_t ch = 0; ch < serial::ChannelCount; ++ch) {
    EXPECT_EQ(script.startCode[ch], 0) << ch;
    EXPECT_EQ(script.delimiterCode[ch], ',') << ch;
    EXPECT_EQ(script.endCode[ch], '\r') << ch;
    EXPECT_EQ(script.receiveTimeoutMs[ch], 9999000) << ch;
    EXPECT_EQ(script.sendTimeoutMs[ch], 2000) << ch;
  }
  EXPECT_EQ(script.intervalMs, 0);
  EXPECT_EQ(script.waitRemainingMs, 0);
  EXPECT_EQ(script.loopStartStep, -1);
}

}  // namespace
}  // namespace kestrune::script
