// The camera's pixel formats, by the index the camera client derives from
// the driver's frame-buffer description and everything downstream uses:
//   0 "ARGB32"  32 bits: bytes B G R A, rows stored bottom-up
//   1 "NV12"    12 bits: luma plane, then the interleaved U,V plane
//   2 "YUY2"    16 bits: Y0 U Y1 V
//   3 "RGBA32"  32 bits: the driver asks for nothing usable
//   4 "Unsupported" (name only, for log text)
#pragma once

#include <cstdint>

namespace talvik {

enum DriverPixelFormat : std::int32_t {
    kPixelArgb32 = 0,
    kPixelNv12 = 1,
    kPixelYuy2 = 2,
    kPixelRgba32 = 3,
    kPixelUnsupported = 4,
};

constexpr const char* PixelFormatName(std::int32_t index)
{
    constexpr const char* kNames[] = {"ARGB32", "NV12", "YUY2", "RGBA32", "Unsupported"};
    return index >= 0 && index <= kPixelUnsupported ? kNames[index] : "Unsupported";
}

constexpr std::uint32_t BitsPerPixel(std::int32_t index)
{
    return index == kPixelNv12 ? 12 : index == kPixelYuy2 ? 16 : 32;
}

// One frame's bytes: bits per pixel x width x height / 8, in unsigned 32-bit
// arithmetic as the driver computes it.
constexpr std::uint32_t FrameBytes(std::int32_t index, std::uint32_t width, std::uint32_t height)
{
    return BitsPerPixel(index) * width * height / 8;
}

} // namespace talvik
