// Blocks the calling thread until the user asks the foreground program to
// stop: SIGINT or SIGTERM on Linux, Ctrl+C or Ctrl+Break on a Windows
// console.
#pragma once

namespace talvik {

void WaitForStopSignal();

} // namespace talvik
