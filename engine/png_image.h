// The status screen's artwork: PNG images of type "PNG" in the program's
// own resources (Windows) or built into the program (Linux), drawn black and
// turned white as they load.
#pragma once

#include "engine/overlay_image.h"

#include <cstdint>
#include <vector>

namespace talvik {

// Resource ids: spinner frames 108 to 127 (64 x 64, frame 0 first), the
// USB icon (120 x 120), the WiFi icon (128 x 128) and the crossed-out USB
// icon (120 x 120).
inline constexpr int kSpinnerResource = 108;
inline constexpr int kSpinnerFrames = 20;
inline constexpr int kUsbIconResource = 128;
inline constexpr int kWifiIconResource = 129;
inline constexpr int kCrossedUsbIconResource = 130;

// Decodes the resource to premultiplied B G R A, inverts the three colour
// bytes of every pixel (alpha kept) and finishes the image. A resource that
// is missing or cannot be decoded gives an empty image, which draws nothing.
// Windows: the imaging component needs COM initialised on the thread.
OverlayImage LoadPngImage(int resourceId);

// The common tail of LoadPngImage for the platform edges: the inversion and
// the finishing, from top-down premultiplied B G R A pixels.
OverlayImage ImageFromArtwork(std::vector<std::uint8_t> bgra, std::uint32_t width, std::uint32_t height);

} // namespace talvik
