#include "engine/png_image.h"

#include "engine/png_image_embedded.h"

#include <png.h>

namespace talvik {

OverlayImage LoadPngImage(int resourceId)
{
    const std::span<const unsigned char> file = EmbeddedPng(resourceId);
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (file.empty() || !png_image_begin_read_from_memory(&png, file.data(), file.size()))
        return {};
    png.format = PNG_FORMAT_BGRA;
    std::vector<std::uint8_t> bgra(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, bgra.data(), 0, nullptr)) {
        png_image_free(&png);
        return {};
    }
    // libpng hands out straight alpha; the image contract (as the Windows
    // imaging component delivers it) is premultiplied.
    for (std::size_t i = 0; i < bgra.size(); i += 4)
        for (std::size_t c = 0; c < 3; ++c)
            bgra[i + c] = static_cast<std::uint8_t>((bgra[i + c] * bgra[i + 3] + 127) / 255);
    return ImageFromArtwork(std::move(bgra), png.width, png.height);
}

} // namespace talvik
