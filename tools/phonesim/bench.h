// bench mode: how long the encoder takes per frame of the test pattern on
// this machine, at each requested size.
#pragma once

#include "tools/phonesim/options.h"

namespace talvik::phonesim {

// Prints one result line per size on standard output; returns the exit code.
int RunBench(const Options& options);

} // namespace talvik::phonesim
