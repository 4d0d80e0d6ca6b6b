// The script: its steps and the per-run script settings of each channel.
#pragma once

#include "core/cp932.h"
#include "serial/channels.h"

#include <array>
#include <cstdint>
#include <vector>

namespace kestrune::script {

// Command codes of a step; 0 is an empty step that does nothing.
enum StepCommand : std::int16_t {
  CmdNone = 0,
  CmdSCD = 1,   // start code
  CmdECD = 2,   // line end code
  CmdDCD = 3,   // field delimiter
  CmdERR = 4,   // no effect
  CmdBRK = 5,   // send a break
  CmdRTM = 6,   // receive time-out
  CmdSTM = 7,   // send time-out
  CmdWTM = 8,   // wait
  CmdITM = 9,   // acquisition interval
  CmdPAU = 10,  // pause until Next
  CmdCLR = 11,  // discard received data
  CmdSSS = 12,  // start of the acquisition loop
  CmdEEE = 13,  // end of the acquisition loop
  CmdRCV = 14,  // receive one line
  CmdSND = 15,  // send data
  CmdSET = 16,  // write the collected values
  CmdCHN = 17,  // make a channel the current one
};

struct ScriptStep {
  std::int16_t command = CmdNone;
  std::int16_t charCode = 0;  // SCD, ECD, DCD: 0 to 255, 0 = no character
  std::int32_t timeMs = 0;    // BRK, RTM, STM, WTM, ITM
  // SND, ERR: decoded data; a NUL escapes the next character (see parseDataOperand).
  cp932::CodeString data;
  std::int16_t channel = 0;  // CHN: 0 to ChannelCount - 1 (the script writes 1 to 8)
  friend bool operator==(const ScriptStep&, const ScriptStep&) = default;
};

constexpr std::int32_t DefaultReceiveTimeoutMs = 9999000;
constexpr std::int32_t DefaultSendTimeoutMs = 2000;

// The script and its settings, reset at every Start.
struct Script {
  // Steps 0 to stepCount - 1, then one empty step at index stepCount.
  std::vector<ScriptStep> scriptSteps{ScriptStep{}};
  std::int16_t stepCount = 0;

  std::array<std::uint8_t, serial::ChannelCount> startCode{};
  std::array<std::uint8_t, serial::ChannelCount> delimiterCode{};
  std::array<std::uint8_t, serial::ChannelCount> endCode{};
  std::array<std::int32_t, serial::ChannelCount> receiveTimeoutMs{};
  std::array<std::int32_t, serial::ChannelCount> sendTimeoutMs{};
  std::int32_t intervalMs = 0;
  std::int32_t waitRemainingMs = 0;
  std::int16_t loopStartStep = -1;
};

// Resets every channel's script settings to their defaults and installs the
// built-in script SSS, RCV, SET, EEE: receive lines and write their fields,
// one row each.
void initScript(Script& script);

// The channels a run uses, as 0-based indexes in increasing order: channel 0
// (where every script starts) and each channel a CHN step of steps 0 to
// stepCount - 1 names.
std::vector<int> channelsInUse(const Script& script);

}  // namespace kestrune::script
