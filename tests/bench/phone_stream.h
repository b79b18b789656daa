// The phone simulator's moving test pattern encoded as the phone streams it
// (tools/phonesim/h264_encoder.h), for the media benchmarks.
#pragma once

#include "tools/phonesim/wire_writer.h"

#include <cstdint>
#include <vector>

namespace talvik::bench {

// `frames` access units of `width` x `height` at 30 fps, each followed by
// the zeroed padding a bitstream reader may touch. Exits with a line on
// standard error when the encoder cannot make them.
std::vector<phonesim::Bytes> PhoneStream(int width, int height, int frames);

// An access unit's size without its padding.
std::uint32_t PayloadSize(const phonesim::Bytes& unit);

} // namespace talvik::bench
