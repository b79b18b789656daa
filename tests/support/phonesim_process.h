// The phone simulator (tools/phonesim) started from a test as a separate
// process, and the parts of its log a test looks at (Linux only). The
// simulator must be built; it lands beside the test executables.
#pragma once

#include "tests/support/helper_process.h"

#include <cstdint>
#include <memory>

namespace talvik::test {

// Starts `phonesim` with `arguments` (the mode first). Its log is the
// process's output.
std::unique_ptr<HelperProcess> StartPhonesim(const std::vector<std::string>& arguments,
                                            const std::vector<std::string>& environment = {});

// The TCP port that `phonesim listen` reports, once it has.
std::optional<int> WaitForListeningPort(HelperProcess& phonesim, std::chrono::milliseconds timeout);

// One video frame as the simulator logged it: frame numbers count from 0 in
// each session; times are on the monotonic clock (CLOCK_MONOTONIC), in
// microseconds.
struct SentFrame {
    int session = 0;
    std::uint32_t number = 0;
    int width = 0;
    int height = 0;
    std::size_t bytes = 0;
    std::int64_t captureUs = 0;
    std::int64_t sendUs = 0;
};

std::vector<SentFrame> SentFrames(const std::string& log);

} // namespace talvik::test
