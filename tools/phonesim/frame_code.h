// The frame number, drawn into every picture so that whoever receives the
// pictures (the service, a consumer of the virtual camera, a test) can tell
// them apart, find dropped or repeated frames and, with the simulator's log
// of send times, measure latency.
//
// A row of 34 square cells along the top edge of the picture, spread over its
// full width (cell i spans x = i*width/34 to (i+1)*width/34, all cells
// width/34 high), in luma only:
//
//      +-------+-------+-------+--- ... ---+-------+-------+
//      | white | bit31 | bit30 |           | bit0  | black |
//      +-------+-------+-------+--- ... ---+-------+-------+
//
// Bits 31-8 are the frame number modulo 2^24, bits 7-0 a check byte. The
// white and black end cells set the reading threshold, so the code survives
// compression, scaling and a change of brightness.
#pragma once

#include <cstdint>
#include <optional>

namespace talvik::phonesim {

inline constexpr int kFrameCodeCells = 34;

// Height in rows of the code drawn into a picture `width` pixels wide.
int FrameCodeHeight(int width);

void DrawFrameCode(std::uint32_t number, std::uint8_t* luma, int stride, int width, int height);

// The frame number (modulo 2^24) in a luma plane holding the simulator's
// picture scaled to `width` x `height` (pass the picture's own area of a
// letterboxed buffer). Nothing when the picture carries no readable code.
std::optional<std::uint32_t> ReadFrameCode(const std::uint8_t* luma, int stride, int width, int height);

} // namespace talvik::phonesim
