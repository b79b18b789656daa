// The status screen's background, and overlay images blended once onto it.
//
// A status frame is black with a few images that do not overlap. Blending an
// image onto a uniform background gives the same bytes wherever it lands, so
// each image is blended once, in the frame's pixel format, onto a black
// canvas of its own size; a status frame then copies the rows of that
// canvas instead of blending every pixel again. The bytes are those of
// BlendOverlay onto FillStatusBackground by construction.
#pragma once

#include "engine/overlay_image.h"
#include "engine/overlay_image_blend.h"

#include <cstdint>
#include <vector>

namespace talvik {

// Paints a frame buffer black: ARGB32 and BGRx 0xFF000000 per pixel, NV12
// luma 0 and chroma 128, YUY2 cells of luma 0 and chroma 128; other
// formats: nothing.
void FillStatusBackground(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                          DriverPixelFormat pixelFormat);

class OverlayOnBlack {
public:
    OverlayOnBlack() = default;
    // Blends `image` onto a black canvas in `pixelFormat`.
    OverlayOnBlack(const OverlayImage& image, DriverPixelFormat pixelFormat);

    // Copies the canvas into a black frame of `pixelFormat` with its top-left
    // corner at (x, y), when it lies wholly inside the frame; false (nothing
    // written) when it does not, or when the canvas was made for another
    // format: the caller then blends.
    bool CopyInto(const FramePlanes& planes, DriverPixelFormat pixelFormat, std::uint32_t frameWidth,
                  std::uint32_t frameHeight, std::int64_t x, std::int64_t y) const;

private:
    DriverPixelFormat pixelFormat_ = kPixelUnsupported; // none: the canvas is empty
    std::uint32_t width_ = 0;  // the image's
    std::uint32_t height_ = 0;
    std::uint32_t canvasWidth_ = 0; // rounded up to even, as NV12 and YUY2 need
    std::uint32_t canvasHeight_ = 0;
    std::vector<std::uint8_t> canvas_;
};

} // namespace talvik
