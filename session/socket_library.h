// The platform's socket library: Winsock must be started (version 2.2)
// before any socket call and stopped after the last; elsewhere both are
// no-ops that succeed.
#pragma once

namespace talvik {

bool StartSocketLibrary();
void StopSocketLibrary();

} // namespace talvik
