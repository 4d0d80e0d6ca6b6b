// Script files from anywhere: the line reader and the line parser never
// crash, lines respect their limits, and a parsed step's fields are in range.
#include "script/loader.h"
#include "script/syntax.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune::script;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const StepLines read = readStepLines(bytes);
  if (read.lines.size() > MaxStepLines) std::abort();
  for (const auto& line : read.lines) {
    if (line.size() < 3 || line.size() > MaxLineLength || line.front() == u';') std::abort();
    ScriptStep step;
    if (!parseStep(line, step)) continue;
    if (step.command < CmdSCD || step.command > CmdCHN) std::abort();
    if (step.channel < 0 || step.channel >= kestrune::serial::ChannelCount) std::abort();
    if (step.charCode < 0 || step.charCode > 255) std::abort();
    if (step.timeMs < 0 || step.timeMs > 10000000) std::abort();
    if (step.command == CmdSND && step.data.empty()) std::abort();
  }
  return 0;
}
