// One line of text as an OverlayImage: antialiased white on black, the
// text's coverage becoming its opacity.
#pragma once

#include "engine/overlay_image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace talvik {

// The line in "Segoe UI", cell height fontHeight and average character
// width fontHeight / 2, drawn at (0, 0) on an image whose measured width and
// height are each rounded up to an even number. Windows draws it with GDI.
// Linux draws it with FreeType, in the face fontconfig picks for
// "Segoe UI" (its nearest sans-serif, such as DejaVu Sans or Liberation Sans,
// where the face itself is not installed), sized the way GDI sizes a font.
// A font or drawing surface that cannot be made gives an empty image.
OverlayImage CreateTextImage(const std::string& text, int fontHeight);

// The common tail for the platform edges: from the drawn top-down B G R x
// pixels (white on black), alpha := red, then the image is finished.
OverlayImage ImageFromTextRaster(std::vector<std::uint8_t> bgrx, std::uint32_t width, std::uint32_t height);

} // namespace talvik
