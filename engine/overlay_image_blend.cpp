#include "engine/overlay_image_blend.h"

#include "media/pixel_format.h"

#include <algorithm>
#include <cstring>

namespace talvik {
namespace {

// One grid of equal cells (a pixel, or a shared chroma pair) of an image
// plane and where it lands in a frame plane, in cells.
struct Layer {
    const std::uint8_t* source;
    std::int64_t sourceStride;
    // Cell (column, row) takes its alpha from
    // alpha[row * alphaStride + (column >> alphaShift) * alphaStep].
    const std::uint8_t* alpha;
    std::int64_t alphaStride;
    int alphaShift;
    int alphaStep;
    std::int64_t columns;
    std::int64_t rows;
    int cellBytes;
    int mixedBytes; // the leading bytes of a cell blended for partial alpha
    std::uint8_t* target;
    std::int64_t targetStride;
    std::int64_t targetColumns;
    std::int64_t targetRows;
    std::int64_t left; // the image's top-left cell in the frame plane
    std::int64_t top;
};

void BlendLayer(const Layer& layer)
{
    const std::int64_t firstColumn = std::max<std::int64_t>(0, -layer.left);
    const std::int64_t endColumn = std::min(layer.columns, layer.targetColumns - layer.left);
    const std::int64_t firstRow = std::max<std::int64_t>(0, -layer.top);
    const std::int64_t endRow = std::min(layer.rows, layer.targetRows - layer.top);
    for (std::int64_t row = firstRow; row < endRow; ++row) {
        const std::uint8_t* alphaRow = layer.alpha + row * layer.alphaStride;
        const std::uint8_t* source = layer.source + row * layer.sourceStride;
        std::uint8_t* target = layer.target + (layer.top + row) * layer.targetStride;
        for (std::int64_t column = firstColumn; column < endColumn; ++column) {
            const std::uint8_t a = alphaRow[(column >> layer.alphaShift) * layer.alphaStep];
            if (a == 0)
                continue;
            const std::uint8_t* from = source + column * layer.cellBytes;
            std::uint8_t* to = target + (layer.left + column) * layer.cellBytes;
            if (a == 255) {
                std::memcpy(to, from, static_cast<std::size_t>(layer.cellBytes));
                continue;
            }
            const float share = a / 255.0f;
            for (int i = 0; i < layer.mixedBytes; ++i)
                to[i] = static_cast<std::uint8_t>(from[i] * share + to[i] * (1.0f - share));
        }
    }
}

} // namespace

FramePlanes FramePlanesOf(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                          std::int32_t pixelFormat)
{
    FramePlanes planes;
    planes.data[0] = buffer;
    const auto w = static_cast<std::int32_t>(width);
    switch (pixelFormat) {
    case kPixelArgb32:
        planes.stride[0] = 4 * w;
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

void BlendOverlay(const OverlayImage& image, std::int32_t pixelFormat, std::uint32_t frameWidth,
                  std::uint32_t frameHeight, const FramePlanes& planes, std::int32_t x, std::int32_t y)
{
    const std::int64_t w = image.width;
    const std::int64_t h = image.height;
    const std::int64_t fw = frameWidth;
    const std::int64_t fh = frameHeight;
    if (w == 0 || h == 0 || planes.data[0] == nullptr)
        return;

    switch (pixelFormat) {
    case kPixelArgb32:
        // Both the image and the frame are stored bottom-up.
        BlendLayer({image.argb.data(), 4 * w, image.argb.data() + 3, 4 * w, 0, 4, w, h, 4, 3, planes.data[0],
                    planes.stride[0], fw, fh, x, fh - h - y});
        break;
    case kPixelNv12:
        if (image.nv12.empty() || planes.data[1] == nullptr)
            return;
        BlendLayer({image.nv12.data(), w, image.alpha.data(), w, 0, 1, w, h, 1, 1, planes.data[0],
                    planes.stride[0], fw, fh, x, y});
        // Chroma cells are U,V pairs over 2 x 2 pixels; a pair is drawn only
        // when both of its bytes fall inside the frame's chroma plane.
        BlendLayer({image.nv12.data() + w * h, w, image.chromaAlpha.data(), w / 2, 0, 1, w / 2, h / 2, 2, 2,
                    planes.data[1], planes.stride[1], fw / 2, fh / 2, x >> 1, y >> 1});
        break;
    case kPixelYuy2:
        if (image.yuy2.empty())
            return;
        BlendLayer({image.yuy2.data(), 2 * w, image.pairAlpha.data(), w / 2, 1, 1, w, h, 2, 2, planes.data[0],
                    planes.stride[0], fw, fh, x, y});
        break;
    default:
        break;
    }
}

} // namespace talvik
