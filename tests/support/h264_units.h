// The decoder's test streams (tests/media/data/*.h264units, written by
// make_test_streams): H.264 access units, each preceded by its 32-bit
// little-endian size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talvik::test {

// The units of the stream at `path`; none when it cannot be read.
std::vector<std::vector<std::uint8_t>> ReadH264Units(const std::string& path);

} // namespace talvik::test
