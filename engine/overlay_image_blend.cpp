#include "engine/overlay_image_blend.h"

#include "media/pixel_format.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace talvik {
namespace {

// One grid of equal cells (a pixel, or a shared chroma pair) of an image
// plane and where it lands in a frame plane, in cells.
struct Layer {
    const std::uint8_t* source;
    std::int64_t sourceStride;
    // Cell (column, row) takes its alpha from alpha row `row` (row
    // `rows - 1 - row` when the source is bottom-up), entry column >>
    // AlphaShift; the runs of that alpha plane say which cells to visit.
    // A cell has CellBytes bytes, of which the first MixedBytes are blended
    // for partial alpha.
    const std::uint8_t* alpha;
    const AlphaSpans* spans;
    std::int64_t alphaStride;
    bool bottomUp;
    std::int64_t columns;
    std::int64_t rows;
    std::uint8_t* target;
    std::int64_t targetStride;
    std::int64_t targetColumns;
    std::int64_t targetRows;
    std::int64_t left; // the image's top-left cell in the frame plane
    std::int64_t top;
};

// a / 255 in single precision for every alpha, so the per-pixel division
// happens once, at compile time, with the same rounding.
constexpr auto kShares = [] {
    std::array<float, 256> shares{};
    for (int a = 0; a < 256; ++a)
        shares[a] = static_cast<float>(a) / 255.0f;
    return shares;
}();

template <int CellBytes, int MixedBytes, int AlphaShift>
void BlendLayer(const Layer& layer)
{
    const std::int64_t firstColumn = std::max<std::int64_t>(0, -layer.left);
    const std::int64_t endColumn = std::min(layer.columns, layer.targetColumns - layer.left);
    const std::int64_t firstRow = std::max<std::int64_t>(0, -layer.top);
    const std::int64_t endRow = std::min(layer.rows, layer.targetRows - layer.top);
    if (layer.spans->rowFirst.size() != static_cast<std::size_t>(layer.rows) + 1)
        return; // an image made by hand without its runs
    for (std::int64_t row = firstRow; row < endRow; ++row) {
        const std::int64_t alphaRowIndex = layer.bottomUp ? layer.rows - 1 - row : row;
        const std::uint8_t* alphaRow = layer.alpha + alphaRowIndex * layer.alphaStride;
        const std::uint8_t* source = layer.source + row * layer.sourceStride;
        std::uint8_t* target = layer.target + (layer.top + row) * layer.targetStride;
        const AlphaSpan* span = layer.spans->spans.data() + layer.spans->rowFirst[alphaRowIndex];
        const AlphaSpan* end = layer.spans->spans.data() + layer.spans->rowFirst[alphaRowIndex + 1];
        for (; span != end; ++span) {
            const std::int64_t from = std::max<std::int64_t>(firstColumn, std::int64_t{span->start} << AlphaShift);
            const std::int64_t to =
                std::min<std::int64_t>(endColumn, std::int64_t{span->start + span->length} << AlphaShift);
            if (from >= to)
                continue;
            if (span->opaque) {
                std::memcpy(target + (layer.left + from) * CellBytes, source + from * CellBytes,
                            static_cast<std::size_t>(to - from) * CellBytes);
                continue;
            }
            for (std::int64_t column = from; column < to; ++column) {
                const float share = kShares[alphaRow[column >> AlphaShift]];
                const std::uint8_t* in = source + column * CellBytes;
                std::uint8_t* out = target + (layer.left + column) * CellBytes;
                for (int i = 0; i < MixedBytes; ++i)
                    out[i] = static_cast<std::uint8_t>(in[i] * share + out[i] * (1.0f - share));
            }
        }
    }
}

} // namespace

FramePlanes FramePlanesOf(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                          DriverPixelFormat pixelFormat)
{
    FramePlanes planes;
    planes.data[0] = buffer;
    const auto w = static_cast<std::int32_t>(width);
    switch (pixelFormat) {
    case kPixelArgb32:
        planes.stride[0] = 4 * w;
        break;
    case kPixelBgrx:
        planes.data[0] = buffer + (static_cast<std::size_t>(height) - 1) * 4 * width;
        planes.stride[0] = -4 * w;
        break;
    case kPixelNv12:
        planes.data[1] = buffer + static_cast<std::size_t>(width) * height;
        planes.stride[0] = w;
        planes.stride[1] = w;
        break;
    case kPixelYuy2:
        planes.stride[0] = 2 * w;
        break;
    default:
        planes.data[0] = nullptr;
        break;
    }
    return planes;
}

void BlendOverlay(const OverlayImage& image, DriverPixelFormat pixelFormat, std::uint32_t frameWidth,
                  std::uint32_t frameHeight, const FramePlanes& planes, std::int32_t x, std::int32_t y)
{
    const std::int64_t w = image.width;
    const std::int64_t h = image.height;
    const std::int64_t fw = frameWidth;
    const std::int64_t fh = frameHeight;
    if (w == 0 || h == 0 || planes.data[0] == nullptr)
        return;

    switch (DrawingFormat(pixelFormat)) {
    case kPixelArgb32:
        // Both the image and the frame are stored bottom-up.
        BlendLayer<4, 3, 0>({image.argb.data(), 4 * w, image.alpha.data(), &image.fullSpans, w, true, w, h,
                             planes.data[0], planes.stride[0], fw, fh, x, fh - h - y});
        break;
    case kPixelNv12:
        if (image.nv12.empty() || planes.data[1] == nullptr)
            return;
        BlendLayer<1, 1, 0>({image.nv12.data(), w, image.alpha.data(), &image.fullSpans, w, false, w, h,
                             planes.data[0], planes.stride[0], fw, fh, x, y});
        // Chroma cells are U,V pairs over 2 x 2 pixels; a pair is drawn only
        // when both of its bytes fall inside the frame's chroma plane.
        BlendLayer<2, 2, 0>({image.nv12.data() + w * h, w, image.chromaAlpha.data(), &image.chromaSpans, w / 2,
                             false, w / 2, h / 2, planes.data[1], planes.stride[1], fw / 2, fh / 2, x >> 1, y >> 1});
        break;
    case kPixelYuy2:
        if (image.yuy2.empty())
            return;
        BlendLayer<2, 2, 1>({image.yuy2.data(), 2 * w, image.pairAlpha.data(), &image.pairSpans, w / 2, false, w,
                             h, planes.data[0], planes.stride[0], fw, fh, x, y});
        break;
    default:
        break;
    }
}

} // namespace talvik
