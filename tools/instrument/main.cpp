// kestrune-instrument: a virtual serial instrument on a pseudo-terminal, for
// trying scripts without hardware, the demo and end-to-end tests.
#include "instrument/options.h"
#include "instrument/runner.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace kestrune::instrument;
  const std::vector<std::string> args(argv + 1, argv + argc);
  auto commandLine = parseCommandLine(args);
  if (!commandLine) {
    std::fprintf(stderr, "kestrune-instrument: %s\nTry 'kestrune-instrument --help' for more information.\n",
                 commandLine.description().c_str());
    return 2;
  }
  if (commandLine->help) {
    std::fputs(usageText().c_str(), stdout);
    return 0;
  }
  return runInstrument(commandLine->options);
}
