#include "engine/overlay_image.h"

#include "media/codec_library.h"

#include <algorithm>

namespace talvik {
namespace {

// Converts the whole top-down BGRA picture into `plane`, laid out as
// described in the header; false (and `plane` left empty) when the scaler
// cannot be made or delivers fewer rows than the picture has.
bool Convert(const std::vector<std::uint8_t>& bgra, std::uint32_t width, std::uint32_t height,
             AVPixelFormat target, std::vector<std::uint8_t>& plane)
{
    const auto& codec = Codec();
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    SwsContext* scaler =
        codec.sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, target, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler == nullptr)
        return false;

    const bool nv12 = target == AV_PIX_FMT_NV12;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * (nv12 ? 3 : 4) / 2);
    std::uint8_t* dst[4] = {out.data(), nv12 ? out.data() + static_cast<std::size_t>(width) * height : nullptr,
                            nullptr, nullptr};
    const int dstStride[4] = {nv12 ? w : 2 * w, nv12 ? w : 0, 0, 0};
    const std::uint8_t* src[4] = {bgra.data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {4 * w, 0, 0, 0};
    const int rows = codec.sws_scale(scaler, src, srcStride, 0, h, dst, dstStride);
    codec.sws_freeContext(scaler);
    if (rows != h)
        return false;
    plane = std::move(out);
    return true;
}

void BuildAlphaPlanes(OverlayImage& image)
{
    const std::uint32_t w = image.width;
    const std::uint32_t h = image.height;
    const std::uint32_t pairs = w / 2;
    const auto a = [&](std::uint32_t row, std::uint32_t column) {
        return static_cast<unsigned>(image.argb[(static_cast<std::size_t>(row) * w + column) * 4 + 3]);
    };
    image.alpha.resize(static_cast<std::size_t>(w) * h);
    image.pairAlpha.resize(static_cast<std::size_t>(pairs) * h);
    image.chromaAlpha.resize(static_cast<std::size_t>(pairs) * (h / 2));
    for (std::uint32_t row = 0; row < h; ++row) {
        for (std::uint32_t column = 0; column < w; ++column)
            image.alpha[static_cast<std::size_t>(row) * w + column] = static_cast<std::uint8_t>(a(row, column));
        for (std::uint32_t pair = 0; pair < pairs; ++pair)
            image.pairAlpha[static_cast<std::size_t>(row) * pairs + pair] =
                static_cast<std::uint8_t>((a(row, 2 * pair) + a(row, 2 * pair + 1)) >> 1);
    }
    for (std::uint32_t row = 0; row < h / 2; ++row)
        for (std::uint32_t pair = 0; pair < pairs; ++pair)
            image.chromaAlpha[static_cast<std::size_t>(row) * pairs + pair] = static_cast<std::uint8_t>(
                (a(2 * row, 2 * pair) + a(2 * row, 2 * pair + 1) + a(2 * row + 1, 2 * pair) +
                 a(2 * row + 1, 2 * pair + 1)) >>
                2);
    image.fullSpans = SpansOf(image.alpha, w, h);
    image.pairSpans = SpansOf(image.pairAlpha, pairs, h);
    image.chromaSpans = SpansOf(image.chromaAlpha, pairs, h / 2);
}

void TurnUpsideDown(std::vector<std::uint8_t>& argb, std::uint32_t width, std::uint32_t height)
{
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    for (std::uint32_t row = 0; row < height / 2; ++row)
        std::swap_ranges(argb.begin() + row * stride, argb.begin() + (row + 1) * stride,
                         argb.begin() + (height - 1 - row) * stride);
}

} // namespace

AlphaSpans SpansOf(const std::vector<std::uint8_t>& alpha, std::uint32_t columns, std::uint32_t rows)
{
    AlphaSpans runs;
    runs.rowFirst.reserve(static_cast<std::size_t>(rows) + 1);
    for (std::uint32_t row = 0; row < rows; ++row) {
        runs.rowFirst.push_back(static_cast<std::uint32_t>(runs.spans.size()));
        const std::uint8_t* line = alpha.data() + static_cast<std::size_t>(row) * columns;
        for (std::uint32_t column = 0; column < columns;) {
            if (line[column] == 0) {
                ++column;
                continue;
            }
            const bool opaque = line[column] == 255;
            AlphaSpan span{column, 0, opaque};
            while (column < columns && line[column] != 0 && (line[column] == 255) == opaque) {
                ++column;
                ++span.length;
            }
            runs.spans.push_back(span);
        }
    }
    runs.rowFirst.push_back(static_cast<std::uint32_t>(runs.spans.size()));
    return runs;
}

OverlayImage FinishOverlayImage(std::vector<std::uint8_t> topDownBgra, std::uint32_t width, std::uint32_t height)
{
    OverlayImage image;
    if (width == 0 || height == 0 || topDownBgra.size() != static_cast<std::size_t>(width) * height * 4)
        return image;
    image.width = width;
    image.height = height;
    image.argb = std::move(topDownBgra);

    if (CodecLibrariesBound() && width % 2 == 0 && height % 2 == 0 &&
        Convert(image.argb, width, height, AV_PIX_FMT_NV12, image.nv12))
        Convert(image.argb, width, height, AV_PIX_FMT_YUYV422, image.yuy2);

    BuildAlphaPlanes(image);
    TurnUpsideDown(image.argb, width, height);
    return image;
}

} // namespace talvik
