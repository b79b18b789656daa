// The camera's pixel formats, by the index the camera client derives from
// the driver's frame-buffer description and everything downstream uses:
//   0 "ARGB32"  32 bits: bytes B G R A, rows stored bottom-up
//   1 "NV12"    12 bits: luma plane, then the interleaved U,V plane
//   2 "YUY2"    16 bits: Y0 U Y1 V
//   3 "RGBA32"  32 bits: the driver asks for nothing usable
//   4 "Unsupported" (name only, for log text)
//   5 "BGRx"    32 bits: bytes B G R x, rows stored top-down; what ARGB32
//               becomes for a camera that stores its rows that way (the
//               PipeWire camera), so that they are written in its order
//
// Code passes a DriverPixelFormat; the bare signed 32-bit index appears only
// where an interface carries it as a number (the decoder's observer), and
// comes back in through PixelFormatFromIndex.
#pragma once

#include <cstdint>

namespace talvik {

enum DriverPixelFormat : std::int32_t {
    kPixelArgb32 = 0,
    kPixelNv12 = 1,
    kPixelYuy2 = 2,
    kPixelRgba32 = 3,
    kPixelUnsupported = 4,
    kPixelBgrx = 5,
};

// An index from outside: a number that names no format is Unsupported.
constexpr DriverPixelFormat PixelFormatFromIndex(std::int32_t index)
{
    return index >= kPixelArgb32 && index <= kPixelBgrx ? static_cast<DriverPixelFormat>(index) : kPixelUnsupported;
}

constexpr const char* PixelFormatName(DriverPixelFormat format)
{
    constexpr const char* kNames[] = {"ARGB32", "NV12", "YUY2", "RGBA32", "Unsupported", "BGRx"};
    return kNames[PixelFormatFromIndex(format)];
}

constexpr std::uint32_t BitsPerPixel(DriverPixelFormat format)
{
    return format == kPixelNv12 ? 12 : format == kPixelYuy2 ? 16 : 32;
}

// One frame's bytes: bits per pixel x width x height / 8, in unsigned 32-bit
// arithmetic as the driver computes it.
constexpr std::uint32_t FrameBytes(DriverPixelFormat format, std::uint32_t width, std::uint32_t height)
{
    return BitsPerPixel(format) * width * height / 8;
}

} // namespace talvik
