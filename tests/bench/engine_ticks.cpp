#include "tests/bench/engine_ticks.h"

#include <thread>

namespace talvik::bench {

bool TickUntil(ConnectionManager& manager, const std::function<bool()>& done,
               std::chrono::steady_clock::time_point deadline)
{
    using Clock = std::chrono::steady_clock;
    for (;;) {
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
        manager.Tick(static_cast<std::uint32_t>(now.count()));
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kEngineTick);
    }
}

} // namespace talvik::bench
