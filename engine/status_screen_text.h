// The line of text that names the camera picture: size, pixel format and
// frame rate, and for video also the link and any scaling.
#pragma once

#include "base/config.h"
#include "media/pixel_format.h"

#include <cstdint>
#include <optional>
#include <string>

namespace talvik {

// Which line: the status screen's, or video arriving over USB or WiFi.
enum class FormatTextKind : int { kWifi = 0, kUsb = 1, kStatusScreen = 2 };

// At most 255 characters; the frame rate is always 30.
//   status screen:           "1280x720 NV12 at 30 fps"
//   video, same or no size:  "USB: 1280x720 NV12 at 30 fps"
//   video, other source:     "WIFI: 1920x1080 scaled to 1280x720 NV12 at 30 fps"
std::string FormatText(std::uint32_t width, std::uint32_t height, DriverPixelFormat pixelFormat, FormatTextKind kind,
                       std::optional<VideoSize> sourceSize);

} // namespace talvik
