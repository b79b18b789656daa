// What a recording of the phone simulator's tone must hold.
#pragma once

#include <string_view>

namespace talvik::test {

// 16-bit little-endian stereo `samples` of the simulator's tone at `hertz`:
// both channels alike everywhere, loud for more than 10 000 frames,
// and the median distance between rising zero crossings one period of the
// tone within 2% (gaps and dropped audio move few crossings).
void ExpectTone(std::string_view samples, double hertz);

} // namespace talvik::test
