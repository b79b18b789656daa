// Blending an OverlayImage into a camera frame buffer, in the frame's own
// pixel format (media/pixel_format.h).
#pragma once

#include "engine/overlay_image.h"
#include "media/pixel_format.h"

#include <cstdint>

namespace talvik {

// The planes of one camera frame: ARGB32 and YUY2 use plane 0 only; NV12
// has the luma plane and the interleaved chroma plane.
struct FramePlanes {
    std::uint8_t* data[2] = {nullptr, nullptr};
    std::int32_t stride[2] = {0, 0};
};

// The planes of a frame buffer as the camera client hands it out: strides
// 4 w (ARGB32), w and w (NV12, chroma at buffer + w x h), 2 w (YUY2). A
// BGRx frame's plane begins at its last row and steps back by 4 w, so that
// it is drawn as the bottom-up ARGB32 frame it then reads as.
FramePlanes FramePlanesOf(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                          DriverPixelFormat pixelFormat);

// The format a frame of `pixelFormat` is drawn in through its FramePlanesOf:
// ARGB32 for BGRx, every other format itself.
constexpr DriverPixelFormat DrawingFormat(DriverPixelFormat pixelFormat)
{
    return pixelFormat == kPixelBgrx ? kPixelArgb32 : pixelFormat;
}

// Draws `image` with its top-left corner at (x, y) in top-down frame
// coordinates; x and y are expected even (the NV12 chroma placement relies
// on it). Pixels outside the frame are clipped, each blended pixel uses the
// alpha of its own image pixel, alpha 255 copies and 0 leaves the frame.
// Otherwise a byte becomes the truncated single-precision value of
// src x (a / 255) + dst x (1 - a / 255).
//   ARGB32: the frame is bottom-up; the three colour bytes are blended, the
//           frame's alpha byte is kept (copied at alpha 255). BGRx alike,
//           through its planes.
//   NV12:   luma with the full alpha plane; each chroma U,V pair with the
//           2 x 2 chroma alpha, drawn only when both bytes land inside the
//           frame's chroma plane.
//   YUY2:   both bytes of each pixel's cell with the alpha of its pair.
//   Other formats: nothing.
void BlendOverlay(const OverlayImage& image, DriverPixelFormat pixelFormat, std::uint32_t frameWidth,
                  std::uint32_t frameHeight, const FramePlanes& planes, std::int32_t x, std::int32_t y);

} // namespace talvik
