#include "engine/text_image.h"

namespace talvik {

OverlayImage ImageFromTextRaster(std::vector<std::uint8_t> bgrx, std::uint32_t width, std::uint32_t height)
{
    for (std::size_t i = 0; i + 3 < bgrx.size(); i += 4)
        bgrx[i + 3] = bgrx[i + 2];
    return FinishOverlayImage(std::move(bgrx), width, height);
}

} // namespace talvik
