// The engine thread's part in a session, on the calling thread: a Tick with
// the engine's millisecond clock every 16 ms, as the service's worker does.
#pragma once

#include "session/connection_manager.h"

#include <chrono>
#include <functional>

namespace talvik::bench {

inline constexpr std::chrono::milliseconds kEngineTick{16};

// Ticks `manager` (the first tick starts its loop thread) until `done`,
// asked after every tick, returns true, or `deadline` passes. Returns
// whether `done` was reached.
bool TickUntil(ConnectionManager& manager, const std::function<bool()>& done,
               std::chrono::steady_clock::time_point deadline);

} // namespace talvik::bench
