#include "engine/status_screen_text.h"

#include "media/pixel_format.h"

#include <cstdio>

namespace talvik {

std::string FormatText(std::uint32_t width, std::uint32_t height, DriverPixelFormat pixelFormat, FormatTextKind kind,
                       std::optional<VideoSize> sourceSize)
{
    constexpr int kFps = 30;
    char text[256];
    const char* format = PixelFormatName(pixelFormat);
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    if (kind == FormatTextKind::kStatusScreen) {
        std::snprintf(text, sizeof text, "%dx%d %s at %d fps", w, h, format, kFps);
        return text;
    }
    const char* link = kind == FormatTextKind::kUsb ? "USB" : "WIFI";
    if (!sourceSize || (sourceSize->width == w && sourceSize->height == h))
        std::snprintf(text, sizeof text, "%s: %dx%d %s at %d fps", link, w, h, format, kFps);
    else
        std::snprintf(text, sizeof text, "%s: %dx%d scaled to %dx%d %s at %d fps", link, sourceSize->width,
                      sourceSize->height, w, h, format, kFps);
    return text;
}

} // namespace talvik
