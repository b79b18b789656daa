#include "engine/overlay_on_black.h"

#include "media/pixel_format.h"

#include <algorithm>
#include <cstring>

namespace talvik {
namespace {

// Copies `rows` rows of `bytes` bytes from `source` (stride `sourceStride`)
// to `target` (stride `targetStride`).
void CopyRows(const std::uint8_t* source, std::ptrdiff_t sourceStride, std::uint8_t* target,
              std::ptrdiff_t targetStride, std::ptrdiff_t rows, std::size_t bytes)
{
    for (std::ptrdiff_t row = 0; row < rows; ++row)
        std::memcpy(target + row * targetStride, source + row * sourceStride, bytes);
}

// Fills `bytes` bytes with copies of the `cell` bytes at their start,
// doubling what is done with each copy.
void FillPattern(std::uint8_t* buffer, std::size_t bytes, const std::uint8_t* cell, std::size_t cellBytes)
{
    if (bytes < cellBytes)
        return;
    std::memcpy(buffer, cell, cellBytes);
    for (std::size_t done = cellBytes; done < bytes;) {
        const std::size_t next = std::min(done, bytes - done);
        std::memcpy(buffer + done, buffer, next);
        done += next;
    }
}

} // namespace

void FillStatusBackground(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                          DriverPixelFormat pixelFormat)
{
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    switch (DrawingFormat(pixelFormat)) {
    case kPixelArgb32: {
        const std::uint8_t opaqueBlack[4] = {0, 0, 0, 0xFF}; // B G R A
        FillPattern(buffer, 4 * pixels, opaqueBlack, 4);
        break;
    }
    case kPixelNv12:
        std::memset(buffer, 0, pixels);
        std::memset(buffer + pixels, 128, pixels / 2);
        break;
    case kPixelYuy2: {
        const std::uint8_t blackCell[2] = {0, 128}; // luma 0, chroma 128
        FillPattern(buffer, 2 * pixels, blackCell, 2);
        break;
    }
    default:
        break;
    }
}

OverlayOnBlack::OverlayOnBlack(const OverlayImage& image, DriverPixelFormat pixelFormat)
    : pixelFormat_(DrawingFormat(pixelFormat)), width_(image.width), height_(image.height),
      canvasWidth_((image.width + 1) & ~1u), canvasHeight_((image.height + 1) & ~1u)
{
    canvas_.resize(FrameBytes(pixelFormat_, canvasWidth_, canvasHeight_));
    FillStatusBackground(canvas_.data(), canvasWidth_, canvasHeight_, pixelFormat_);
    // At the top-left corner; an ARGB32 canvas is bottom-up, so there the
    // image's rows are the canvas's last height_ rows in memory.
    BlendOverlay(image, pixelFormat_, canvasWidth_, canvasHeight_,
                 FramePlanesOf(canvas_.data(), canvasWidth_, canvasHeight_, pixelFormat_), 0, 0);
}

bool OverlayOnBlack::CopyInto(const FramePlanes& planes, DriverPixelFormat pixelFormat, std::uint32_t frameWidth,
                              std::uint32_t frameHeight, std::int64_t x, std::int64_t y) const
{
    if (DrawingFormat(pixelFormat) != pixelFormat_ || canvas_.empty() || x < 0 || y < 0 || x + width_ > frameWidth ||
        y + height_ > frameHeight || planes.data[0] == nullptr)
        return false;
    const std::ptrdiff_t w = width_, h = height_, cw = canvasWidth_, ch = canvasHeight_;
    switch (pixelFormat_) {
    case kPixelArgb32: {
        // Bottom-up: image row r is memory row frameHeight - 1 - (y + r).
        const std::ptrdiff_t firstMemoryRow = frameHeight - y - h;
        CopyRows(canvas_.data() + (ch - h) * 4 * cw, 4 * cw,
                 planes.data[0] + firstMemoryRow * planes.stride[0] + 4 * x, planes.stride[0], h, 4 * w);
        break;
    }
    case kPixelNv12:
        if (planes.data[1] == nullptr)
            return false;
        CopyRows(canvas_.data(), cw, planes.data[0] + y * planes.stride[0] + x, planes.stride[0], h, w);
        // The chroma pairs the blend draws: (w / 2) x (h / 2) from (x / 2, y / 2).
        CopyRows(canvas_.data() + cw * ch, cw, planes.data[1] + (y >> 1) * planes.stride[1] + (x >> 1) * 2,
                 planes.stride[1], h / 2, (w / 2) * 2);
        break;
    case kPixelYuy2:
        CopyRows(canvas_.data(), 2 * cw, planes.data[0] + y * planes.stride[0] + 2 * x, planes.stride[0], h, 2 * w);
        break;
    default:
        return false;
    }
    return true;
}

} // namespace talvik
