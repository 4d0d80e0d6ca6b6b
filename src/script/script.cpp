#include "script/script.h"

#include <algorithm>

namespace kestrune::script {

namespace {
ScriptStep stepOf(StepCommand command) {
  ScriptStep step;
  step.command = command;
  return step;
}
}  // namespace

void initScript(Script& script) {
  script.startCode.fill(0);
  script.delimiterCode.fill(',');
  script.endCode.fill('\r');
  script.receiveTimeoutMs.fill(DefaultReceiveTimeoutMs);
  script.sendTimeoutMs.fill(DefaultSendTimeoutMs);
  script.intervalMs = 0;
  script.waitRemainingMs = 0;
  script.loopStartStep = -1;
  script.scriptSteps = {stepOf(CmdSSS), stepOf(CmdRCV), stepOf(CmdSET), stepOf(CmdEEE), ScriptStep{}};
  script.stepCount = 4;
}

std::vector<int> channelsInUse(const Script& script) {
  std::array<bool, serial::ChannelCount> named{};
  named[0] = true;
  const std::size_t steps =
      std::min(script.scriptSteps.size(), static_cast<std::size_t>(std::max<int>(script.stepCount, 0)));
  for (std::size_t i = 0; i < steps; ++i) {
    const ScriptStep& step = script.scriptSteps[i];
    if (step.command == CmdCHN && step.channel >= 0 && step.channel < serial::ChannelCount)
      named[static_cast<std::size_t>(step.channel)] = true;
  }
  std::vector<int> channels;
  for (int ch = 0; ch < serial::ChannelCount; ++ch)
    if (named[static_cast<std::size_t>(ch)]) channels.push_back(ch);
  return channels;
}

}  // namespace kestrune::script
