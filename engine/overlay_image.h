// OverlayImage: one picture of the status screen (a spinner frame, an icon
// or a text line), kept ready in the three pixel formats a camera frame can
// have, so that painting a frame needs only blending (overlay_image_blend.h).
//
// Layout of a finished image of width w and height h:
//   argb         4 bytes per pixel, B G R A, rows bottom-up (last row
//                first), stride 4 w: the same orientation as an ARGB32
//                camera frame.
//   nv12         top-down: luma plane (w x h bytes, stride w), then the
//                interleaved U,V plane (w x h / 2 bytes, stride w).
//   yuy2         top-down, Y0 U Y1 V, stride 2 w.
//   alpha        top-down, one alpha byte per pixel (w x h).
//   pairAlpha    top-down, (w / 2) x h: (a(x) + a(x+1)) >> 1 over each
//                horizontal pixel pair; the YUY2 cells share it.
//   chromaAlpha  top-down, (w / 2) x (h / 2): the four alphas of each 2 x 2
//                block summed, >> 2; the NV12 chroma pairs share it.
//   fullSpans, pairSpans, chromaSpans  the runs of each alpha plane that
//                are not transparent, so that blending never visits
//                transparent pixels and copies opaque runs whole.
// An empty plane means that format could not be made; nothing is drawn in
// it. An image with no pixels at all draws nothing anywhere.
#pragma once

#include <cstdint>
#include <vector>

namespace talvik {

// A run of alpha entries within one row: all 255 (opaque), or all between
// 1 and 254 (partial). Transparent entries belong to no run.
struct AlphaSpan {
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    bool opaque = false;
};

// The runs of a top-down alpha plane, row by row: row r's runs are
// spans[rowFirst[r]] up to spans[rowFirst[r + 1]], left to right.
struct AlphaSpans {
    std::vector<AlphaSpan> spans;
    std::vector<std::uint32_t> rowFirst;
};

AlphaSpans SpansOf(const std::vector<std::uint8_t>& alpha, std::uint32_t columns, std::uint32_t rows);

struct OverlayImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> argb;
    std::vector<std::uint8_t> nv12;
    std::vector<std::uint8_t> yuy2;
    std::vector<std::uint8_t> alpha;
    std::vector<std::uint8_t> pairAlpha;
    std::vector<std::uint8_t> chromaAlpha;
    AlphaSpans fullSpans;
    AlphaSpans pairSpans;
    AlphaSpans chromaSpans;
};

// Finishes an image from its top-down B G R A pixels (4 x width x height
// bytes; anything else yields an empty image): converts it to NV12 and then
// YUY2 with the codec library's bilinear scaler, builds the three alpha
// planes and their runs, and turns the ARGB plane bottom-up.
//
// The conversions need the codec libraries bound (media/codec_library.h)
// and an even width and height; otherwise, or when a conversion delivers
// fewer rows than the height, that format and the ones after it stay empty.
OverlayImage FinishOverlayImage(std::vector<std::uint8_t> topDownBgra, std::uint32_t width,
                                std::uint32_t height);

} // namespace talvik
