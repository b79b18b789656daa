#include "tools/camview/picture_rgb.h"

#include "media/pixel_format.h"

#include <algorithm>
#include <cmath>

namespace talvik::camview {

namespace {

struct Yuv {
    int y, u, v;
};

std::uint8_t Clamp(double value)
{
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

void PutRgb(std::uint8_t* out, Yuv p)
{
    const double y = 1.164 * (p.y - 16);
    out[0] = Clamp(y + 1.596 * (p.v - 128));
    out[1] = Clamp(y - 0.392 * (p.u - 128) - 0.813 * (p.v - 128));
    out[2] = Clamp(y + 2.017 * (p.u - 128));
}

bool Fits(const std::vector<std::uint8_t>& bytes, std::uint32_t width, std::uint32_t height, DriverPixelFormat format)
{
    if (width == 0 || height == 0 || width > 16384 || height > 16384)
        return false;
    if (format == kPixelArgb32 || format == kPixelBgrx)
        return bytes.size() >= std::uint64_t{width} * height * 4;
    if (format != kPixelNv12 && format != kPixelYuy2)
        return false;
    if (width % 2 != 0 || (format == kPixelNv12 && height % 2 != 0))
        return false;
    return bytes.size() >= std::uint64_t{BitsPerPixel(format)} * width * height / 8;
}

// The YUV of pixel (x, y), counted from the top left; NV12 and YUY2 only.
Yuv YuvAt(const std::uint8_t* data, std::uint32_t width, std::uint32_t height, DriverPixelFormat format,
          std::uint32_t x, std::uint32_t y)
{
    if (format == kPixelNv12) {
        const std::uint8_t* chroma = data + std::size_t{width} * height + std::size_t{y / 2} * width + (x & ~1u);
        return {data[std::size_t{y} * width + x], chroma[0], chroma[1]};
    }
    const std::uint8_t* pair = data + std::size_t{y} * width * 2 + (x & ~1u) * 2;
    return {pair[(x & 1) * 2], pair[1], pair[3]};
}

} // namespace

std::optional<Image> ToRgb(const std::vector<std::uint8_t>& bytes, std::uint32_t width, std::uint32_t height,
                           DriverPixelFormat format)
{
    if (!Fits(bytes, width, height, format))
        return std::nullopt;
    Image image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 3)};
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* out = &image.pixels[(std::size_t{y} * width + x) * 3];
            if (format == kPixelArgb32 || format == kPixelBgrx) {
                const std::uint32_t row = format == kPixelArgb32 ? height - 1 - y : y; // bottom-up or top-down
                const std::uint8_t* in = &bytes[(std::size_t{row} * width + x) * 4];
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            } else {
                PutRgb(out, YuvAt(bytes.data(), width, height, format, x, y));
            }
        }
    }
    return image;
}

std::optional<Image> ToLuma(const std::vector<std::uint8_t>& bytes, std::uint32_t width, std::uint32_t height,
                            DriverPixelFormat format)
{
    if (format != kPixelArgb32 && format != kPixelBgrx) {
        if (!Fits(bytes, width, height, format))
            return std::nullopt;
        Image image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height)};
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x)
                image.pixels[std::size_t{y} * width + x] =
                    static_cast<std::uint8_t>(YuvAt(bytes.data(), width, height, format, x, y).y);
        return image;
    }
    std::optional<Image> rgb = ToRgb(bytes, width, height, format);
    if (!rgb)
        return std::nullopt;
    Image image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height)};
    for (std::size_t i = 0; i < image.pixels.size(); ++i) {
        const std::uint8_t* p = &rgb->pixels[i * 3];
        image.pixels[i] = Clamp(16 + 0.257 * p[0] + 0.504 * p[1] + 0.098 * p[2]);
    }
    return image;
}

} // namespace talvik::camview
