#include "script/script.h"

namespace kestrune::script {

namespace {
ScriptStep stepOf(StepCommand command) {
  ScriptStep step;
  step.command = command;
  return step;
}
}  // namespace

void initScript(Script& script) {
  constexpr std::size_t channel = 0;
  script.startCode[channel] = 0;
  script.delimiterCode[channel] = ',';
  script.endCode[channel] = '\r';
  script.receiveTimeoutMs[channel] = DefaultReceiveTimeoutMs;
  script.sendTimeoutMs[channel] = DefaultSendTimeoutMs;
  script.intervalMs = 0;
  script.waitRemainingMs = 0;
  script.loopStartStep = -1;
  script.scriptSteps = {stepOf(CmdSSS), stepOf(CmdRCV), stepOf(CmdSET), stepOf(CmdEEE), ScriptStep{}};
  script.stepCount = 4;
}

}  // namespace kestrune::script
