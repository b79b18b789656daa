// The camera's frame-buffer record: the 116-byte description of the picture
// that the camera's consumer wants, exchanged with the camera device when a
// buffer is requested and sent back unchanged with every committed picture.
// All fields are little-endian; offsets in bytes:
//
//     0  16  device data, not interpreted
//    16   4  ulBufferSize   bytes the device expects for one picture
//    20  48  device data, not interpreted
//    68   4  biSize         not interpreted; bytes 68 to 107 have the
//    72   4  biWidth        layout of a BITMAPINFOHEADER
//    76   4  biHeight
//    80   2  biPlanes       not interpreted
//    82   2  biBitCount     bits per pixel: 32, 16 or 12
//    84   4  biCompression  0 (RGB), "NV12" or "YUY2" as a FOURCC
//    88   4  biSizeImage    picture bytes, or 0
//    92  16  pels per meter, colours used and important (not interpreted)
//   108   8  device data, not interpreted
#pragma once

#include "base/byte_order.h"
#include "media/pixel_format.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace talvik {

inline constexpr std::uint32_t kFourccNv12 = 0x3231564E; // "NV12"
inline constexpr std::uint32_t kFourccYuy2 = 0x32595559; // "YUY2"

struct FrameBufferRecord {
    static constexpr std::size_t kBytes = 116;

    std::array<std::uint8_t, kBytes> bytes{};

    std::uint32_t ulBufferSize() const { return LoadU32Le(&bytes[16]); }
    std::uint32_t biWidth() const { return LoadU32Le(&bytes[72]); }
    std::uint32_t biHeight() const { return LoadU32Le(&bytes[76]); }
    std::uint16_t biBitCount() const { return LoadU16Le(&bytes[82]); }
    std::uint32_t biCompression() const { return LoadU32Le(&bytes[84]); }
    std::uint32_t biSizeImage() const { return LoadU32Le(&bytes[88]); }

    bool operator==(const FrameBufferRecord&) const = default;
};

// The driver pixel format index (media/pixel_format.h) a record asks for:
// 32 bits uncompressed is ARGB32, 12-bit NV12 and 16-bit YUY2 are theirs,
// anything else (32 bits with a FOURCC included) is RGBA32, "nothing usable".
DriverPixelFormat PixelFormatOf(const FrameBufferRecord& record);

// A complete record for `width` x `height` pictures of `format`
// (ARGB32, NV12 or YUY2), as a camera consumer fills it in: ulBufferSize and
// biSizeImage are the frame's bytes, biSize 40, biPlanes 1, the rest zero.
FrameBufferRecord DescribeFormat(std::uint32_t width, std::uint32_t height, DriverPixelFormat format);

} // namespace talvik
