#include "engine/png_image.h"

namespace talvik {

OverlayImage ImageFromArtwork(std::vector<std::uint8_t> bgra, std::uint32_t width, std::uint32_t height)
{
    for (std::size_t i = 0; i + 3 < bgra.size(); i += 4)
        for (std::size_t c = 0; c < 3; ++c)
            bgra[i + c] = static_cast<std::uint8_t>(255 - bgra[i + c]);
    return FinishOverlayImage(std::move(bgra), width, height);
}

} // namespace talvik
