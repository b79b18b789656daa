#include "tests/service/tone_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace talvik::test {

void ExpectTone(std::string_view samples, double hertz)
{
    int loud = 0;
    std::vector<std::size_t> periods;
    std::size_t lastRise = 0;
    std::int16_t previous = 0;
    for (std::size_t frame = 0; frame * 4 + 4 <= samples.size(); ++frame) {
        std::int16_t left = 0;
        std::int16_t right = 0;
        std::memcpy(&left, samples.data() + frame * 4, 2);
        std::memcpy(&right, samples.data() + frame * 4 + 2, 2);
        ASSERT_EQ(left, right) << "at frame " << frame;
        loud += std::abs(left) > 1000;
        if (previous < 0 && left >= 0) {
            if (lastRise != 0)
                periods.push_back(frame - lastRise);
            lastRise = frame;
        }
        previous = left;
    }
    EXPECT_GT(loud, 10000);
    ASSERT_FALSE(periods.empty());
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    const double period = 44100.0 / hertz;
    EXPECT_NEAR(static_cast<double>(periods[periods.size() / 2]), period, period * 0.02);
}

} // namespace talvik::test
