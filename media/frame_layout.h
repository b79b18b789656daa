// Where a scaled picture goes in a camera frame buffer, and the buffer work
// around it: black bars, the destination planes the scaler writes through
// and mirroring.
//
// A frame buffer is outW x outH pixels in one of the driver pixel formats
// (media/pixel_format.h): ARGB32 rows of outW x 4 bytes stored bottom-up,
// BGRx rows of the same bytes stored top-down, NV12 as a luma plane of
// outW x outH bytes followed by the interleaved U,V plane of outW x outH / 2
// bytes, YUY2 rows of outW x 2 bytes. Only these four are laid out here;
// callers never pass another index.
#pragma once

#include "media/pixel_format.h"

#include <cstddef>
#include <cstdint>

namespace talvik {

// Room a frame buffer keeps after its last byte for the scaler: at the
// smallest sizes (a YUY2 picture two pixels wide) its wide stores reach
// past the end of the last row, by 4 bytes at most in a fuzzing campaign;
// 16 times that leaves a margin.
inline constexpr std::size_t kScalerSlackBytes = 64;

struct PictureFit {
    std::uint32_t scaledWidth = 0;
    std::uint32_t scaledHeight = 0;
    // Black columns left of the picture and rows above it (in display
    // order); the bars on the other sides take whatever is left, which is
    // the same or one more.
    std::uint32_t sideBar = 0;
    std::uint32_t topBar = 0;
    // False when the two aspect ratios differ by less than 0.01 and the
    // picture is stretched over the whole buffer.
    bool letterboxed = false;
};

// Fits an inW x inH picture into an outW x outH buffer keeping its aspect
// ratio (single-precision arithmetic, sizes truncated, bars halved rounding
// down). For NV12 and YUY2 the scaled size and the bars are rounded down to
// even values so that every chroma sample stays on its own pair of pixels.
PictureFit FitPicture(std::uint32_t inW, std::uint32_t inH, std::uint32_t outW, std::uint32_t outH,
                      DriverPixelFormat format);

// Whether the format can be laid out at this size: any non-empty size for
// ARGB32 and BGRx; NV12 needs an even width and height and YUY2 an even width, or the
// last chroma samples of a row or plane would fall outside the buffer.
bool FrameSizeUsable(DriverPixelFormat format, std::uint32_t outW, std::uint32_t outH);

// Paints everything outside the picture area black: 0xFF000000 for ARGB32
// and BGRx,
// luma 0 and chroma 128 for NV12 and YUY2. Runs after scaling: the scaler
// may write a few pixels past the end of a picture row (its wide stores only
// stop short of the end on the last rows it writes), and those land in bars
// or in rows it writes later, never outside the buffer.
void PaintBars(std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH, DriverPixelFormat format,
               const PictureFit& fit, bool upsideDown);

// Plane pointers and positive strides for the scaler, for the picture area
// of the buffer with the picture upright (ARGB32's rows stored bottom-up,
// the others' top-down) or `upsideDown`. An upside-down ARGB32 picture
// keeps its rows; the top-down formats turn the whole buffer over, so their
// picture area moves when the bars above and below differ. The rows are
// written in buffer order: when SourceReversed() the scaler must be given
// the picture bottom line first, or the destination turned over.
struct Destination {
    std::uint8_t* planes[4] = {};
    int strides[4] = {};
};
Destination PlacePicture(std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH, DriverPixelFormat format,
                         const PictureFit& fit, bool upsideDown);
bool SourceReversed(DriverPixelFormat format, bool upsideDown);

// Where SourceReversed(), the destination can be turned over instead,
// which spares the scaler reading its source backwards: each plane begins
// at the picture's last row and steps back. Only for a picture whose width
// is a multiple of kScalerStoreWidth, as the scaler's wide stores reach
// past the end of other rows, and a turned-over row's excess would land in
// the row written before it. False, `d` unchanged, for any other width.
inline constexpr std::uint32_t kScalerStoreWidth = 32;
bool TurnDestination(Destination& d, DriverPixelFormat format, const PictureFit& fit);

// Mirrors the whole buffer, bars included, left to right, keeping every
// pixel's colour (U,V order in NV12; luma pairs exchanged in YUY2).
void MirrorFrame(std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH, DriverPixelFormat format);

} // namespace talvik
