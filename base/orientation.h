// The orientation flags handed on with compressed video, from the phone's
// message flags to the scaler: two bits of an unsigned 32-bit value, the
// rest always clear. Bit 0 turns the picture upside down, bit 1 mirrors it
// left to right.
#pragma once

#include <cstdint>

namespace talvik {

inline constexpr std::uint32_t kOrientationUpsideDown = 0x1;
inline constexpr std::uint32_t kOrientationMirrored = 0x2;

constexpr bool IsUpsideDown(std::uint32_t orientation)
{
    return (orientation & kOrientationUpsideDown) != 0;
}

constexpr bool IsMirrored(std::uint32_t orientation)
{
    return (orientation & kOrientationMirrored) != 0;
}

} // namespace talvik
