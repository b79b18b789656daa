#include "media/frame_layout.h"

#include "media/pixel_format.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace talvik {

namespace {

// Chroma is shared by two neighbouring pixels of a row in NV12 and YUY2, and
// by two neighbouring rows in NV12.
bool EvenColumns(DriverPixelFormat format)
{
    return format == kPixelNv12 || format == kPixelYuy2;
}

bool EvenRows(DriverPixelFormat format)
{
    return format == kPixelNv12;
}

std::uint32_t RoundDownEven(std::uint32_t value)
{
    return value & ~1u;
}

// One plane of the buffer and the picture's block in it, in bytes and rows.
struct PlaneArea {
    std::uint8_t* plane;
    std::size_t rowBytes;
    std::size_t rows;
    std::size_t left, width, top, height;
};

// Fills everything outside the block with a repeated pattern of `n` bytes;
// every edge of the block lies on a pattern boundary.
void FillOutside(const PlaneArea& a, const std::uint8_t* pattern, std::size_t n)
{
    auto fill = [&](std::uint8_t* from, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i)
            from[i] = pattern[i % n];
    };
    for (std::size_t y = 0; y < a.rows; ++y) {
        std::uint8_t* row = a.plane + y * a.rowBytes;
        if (y < a.top || y >= a.top + a.height) {
            fill(row, a.rowBytes);
            continue;
        }
        fill(row, a.left);
        fill(row + a.left + a.width, a.rowBytes - a.left - a.width);
    }
}

// First buffer row of the picture area.
std::size_t PictureTop(DriverPixelFormat format, std::uint32_t outH, const PictureFit& fit, bool upsideDown)
{
    return format == kPixelArgb32 || !upsideDown ? fit.topBar : outH - fit.topBar - fit.scaledHeight;
}

void MirrorArgbRow(std::uint8_t* row, std::uint32_t width)
{
    for (std::uint32_t i = 0; i < width / 2; ++i)
        std::swap_ranges(row + std::size_t{i} * 4, row + std::size_t{i} * 4 + 4,
                         row + std::size_t{width - 1 - i} * 4);
}

void MirrorBytes(std::uint8_t* row, std::uint32_t count)
{
    std::reverse(row, row + count);
}

void MirrorUvPairs(std::uint8_t* row, std::uint32_t pairs)
{
    for (std::uint32_t j = 0; j < pairs / 2; ++j) {
        std::swap(row[2 * j], row[2 * (pairs - 1 - j)]);
        std::swap(row[2 * j + 1], row[2 * (pairs - 1 - j) + 1]);
    }
}

// Y0 U Y1 V groups trade places and each group's two luma bytes swap, so
// that every pixel keeps its own luma; a middle group (an odd number of
// groups) only swaps its luma bytes.
void MirrorYuy2Row(std::uint8_t* row, std::uint32_t width)
{
    const std::uint32_t groups = width / 2;
    for (std::uint32_t k = 0; k < groups / 2; ++k) {
        std::uint8_t* left = row + std::size_t{k} * 4;
        std::uint8_t* right = row + std::size_t{groups - 1 - k} * 4;
        const std::uint8_t l[4] = {left[0], left[1], left[2], left[3]};
        left[0] = right[2];
        left[1] = right[1];
        left[2] = right[0];
        left[3] = right[3];
        right[0] = l[2];
        right[1] = l[1];
        right[2] = l[0];
        right[3] = l[3];
    }
    if (groups % 2 == 1)
        std::swap(row[std::size_t{groups / 2} * 4], row[std::size_t{groups / 2} * 4 + 2]);
}

} // namespace

PictureFit FitPicture(std::uint32_t inW, std::uint32_t inH, std::uint32_t outW, std::uint32_t outH,
                      DriverPixelFormat format)
{
    PictureFit fit;
    const float inRatio = static_cast<float>(inW) / static_cast<float>(inH);
    const float outRatio = static_cast<float>(outW) / static_cast<float>(outH);
    const float difference = inRatio - outRatio;
    if (difference > -0.01f && difference < 0.01f) {
        fit.scaledWidth = outW;
        fit.scaledHeight = outH;
        return fit;
    }
    fit.letterboxed = true;
    if (inRatio > outRatio) {
        fit.scaledWidth = outW;
        fit.scaledHeight = static_cast<std::uint32_t>(static_cast<float>(outW) / static_cast<float>(inW) *
                                                      static_cast<float>(inH));
    } else {
        fit.scaledHeight = outH;
        fit.scaledWidth = static_cast<std::uint32_t>(static_cast<float>(outH) / static_cast<float>(inH) *
                                                     static_cast<float>(inW));
    }
    fit.scaledWidth = std::min(fit.scaledWidth, outW);
    fit.scaledHeight = std::min(fit.scaledHeight, outH);
    if (EvenColumns(format))
        fit.scaledWidth = RoundDownEven(fit.scaledWidth);
    if (EvenRows(format))
        fit.scaledHeight = RoundDownEven(fit.scaledHeight);
    fit.sideBar = (outW - fit.scaledWidth) / 2;
    fit.topBar = (outH - fit.scaledHeight) / 2;
    if (EvenColumns(format))
        fit.sideBar = RoundDownEven(fit.sideBar);
    if (EvenRows(format))
        fit.topBar = RoundDownEven(fit.topBar);
    return fit;
}

bool FrameSizeUsable(DriverPixelFormat format, std::uint32_t outW, std::uint32_t outH)
{
    if (outW == 0 || outH == 0)
        return false;
    return !(EvenColumns(format) && outW % 2 != 0) && !(EvenRows(format) && outH % 2 != 0);
}

void PaintBars(std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH, DriverPixelFormat format,
               const PictureFit& fit, bool upsideDown)
{
    const std::size_t top = PictureTop(format, outH, fit, upsideDown);
    const std::size_t side = fit.sideBar;
    const std::size_t w = fit.scaledWidth;
    const std::size_t h = fit.scaledHeight;
    switch (format) {
    case kPixelArgb32:
    case kPixelBgrx: {
        constexpr std::uint8_t kBlack[] = {0, 0, 0, 0xFF};
        FillOutside({buffer, std::size_t{outW} * 4, outH, side * 4, w * 4, top, h}, kBlack, 4);
        break;
    }
    case kPixelNv12: {
        constexpr std::uint8_t kLuma[] = {0};
        constexpr std::uint8_t kChroma[] = {128, 128};
        FillOutside({buffer, outW, outH, side, w, top, h}, kLuma, 1);
        FillOutside({buffer + std::size_t{outW} * outH, outW, outH / 2, side, w, top / 2, h / 2}, kChroma, 2);
        break;
    }
    case kPixelYuy2: {
        constexpr std::uint8_t kBlack[] = {0x00, 0x80};
        FillOutside({buffer, std::size_t{outW} * 2, outH, side * 2, w * 2, top, h}, kBlack, 2);
        break;
    }
    case kPixelRgba32:
    case kPixelUnsupported:
        break; // never laid out
    }
}

Destination PlacePicture(std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH, DriverPixelFormat format,
                         const PictureFit& fit, bool upsideDown)
{
    Destination d;
    const std::size_t top = PictureTop(format, outH, fit, upsideDown);
    const std::size_t side = fit.sideBar;
    switch (format) {
    case kPixelArgb32:
    case kPixelBgrx:
        d.planes[0] = buffer + top * outW * 4 + side * 4;
        d.strides[0] = static_cast<int>(outW * 4);
        break;
    case kPixelNv12:
        d.planes[0] = buffer + top * outW + side;
        d.planes[1] = buffer + std::size_t{outW} * outH + top / 2 * outW + side;
        d.strides[0] = d.strides[1] = static_cast<int>(outW);
        break;
    case kPixelYuy2:
        d.planes[0] = buffer + top * outW * 2 + side * 2;
        d.strides[0] = static_cast<int>(outW * 2);
        break;
    case kPixelRgba32:
    case kPixelUnsupported:
        break; // never laid out
    }
    return d;
}

bool SourceReversed(DriverPixelFormat format, bool upsideDown)
{
    // Bottom-up ARGB32 rows hold an upright picture bottom line first.
    return format == kPixelArgb32 ? !upsideDown : upsideDown;
}

bool TurnDestination(Destination& d, DriverPixelFormat format, const PictureFit& fit)
{
    if (fit.scaledWidth % kScalerStoreWidth != 0 || fit.scaledHeight == 0)
        return false;
    const std::ptrdiff_t rows[2] = {fit.scaledHeight, EvenRows(format) ? fit.scaledHeight / 2 : 0};
    for (int i = 0; i < 2 && d.planes[i] != nullptr; ++i) {
        d.planes[i] += (rows[i] - 1) * d.strides[i];
        d.strides[i] = -d.strides[i];
    }
    return true;
}

void MirrorFrame(std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH, DriverPixelFormat format)
{
    switch (format) {
    case kPixelArgb32:
    case kPixelBgrx:
        for (std::uint32_t y = 0; y < outH; ++y)
            MirrorArgbRow(buffer + std::size_t{y} * outW * 4, outW);
        break;
    case kPixelNv12: {
        for (std::uint32_t y = 0; y < outH; ++y)
            MirrorBytes(buffer + std::size_t{y} * outW, outW);
        std::uint8_t* chroma = buffer + std::size_t{outW} * outH;
        for (std::uint32_t y = 0; y < outH / 2; ++y)
            MirrorUvPairs(chroma + std::size_t{y} * outW, outW / 2);
        break;
    }
    case kPixelYuy2:
        for (std::uint32_t y = 0; y < outH; ++y)
            MirrorYuy2Row(buffer + std::size_t{y} * outW * 2, outW);
        break;
    case kPixelRgba32:
    case kPixelUnsupported:
        break; // never laid out
    }
}

} // namespace talvik
