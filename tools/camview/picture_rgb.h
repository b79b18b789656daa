// Camera pictures in the forms a viewer wants: top-down RGB (8 bits per
// channel) and the luma plane. ARGB32 is stored bottom-up as B G R A,
// BGRx top-down as B G R x; NV12 and YUY2 carry BT.601 limited-range YUV, as the service's scaler
// writes it.
#pragma once

#include "media/pixel_format.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace talvik::camview {

struct Image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels; // RGB or luma, rows top-down
};

// Nothing when the format is not ARGB32, NV12 or YUY2 (with even sizes for
// the last two), or the bytes are fewer than the format needs.
std::optional<Image> ToRgb(const std::vector<std::uint8_t>& bytes, std::uint32_t width, std::uint32_t height,
                           DriverPixelFormat format);
std::optional<Image> ToLuma(const std::vector<std::uint8_t>& bytes, std::uint32_t width, std::uint32_t height,
                            DriverPixelFormat format);

} // namespace talvik::camview
