// The running instrument: the pseudo-terminal, signals and standard input
// around an Engine, in one poll loop that sleeps until the next due time.
#pragma once

#include "instrument/options.h"

namespace kestrune::instrument {

// Runs until a signal, the end that the options ask for, or a failure.
// Returns the exit status: 0 for a clean end, 1 when the device or link fails.
int runInstrument(const Options& options);

}  // namespace kestrune::instrument
