#include "tests/support/wait_until.h"

#include <thread>

namespace talvik::test {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout, std::chrono::milliseconds every)
{
    for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}

} // namespace talvik::test
