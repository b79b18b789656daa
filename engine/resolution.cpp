#include "engine/resolution.h"

#include <spdlog/spdlog.h>

#include <cmath>
#include <limits>

namespace talvik {

namespace {

float Ratio(std::uint32_t width, std::uint32_t height)
{
    return static_cast<float>(width) / static_cast<float>(height);
}

ClientFormat Request(std::uint32_t width, std::uint32_t height)
{
    return {width, height, kRequestedFps, kRequestedCodec};
}

} // namespace

ClientFormat ChooseFormat(const ClientFormat* formats, std::uint32_t count, std::int32_t driverWidth,
                          std::int32_t driverHeight)
{
    spdlog::info("Choosing best video resolution from {0} client resolutions", count);

    std::uint32_t wantedWidth = 1280;
    std::uint32_t wantedHeight = 720;
    if (driverWidth != 0 && driverHeight != 0) {
        spdlog::info("\t\tDriver has requested resolution {0} x {1}, try to find that", driverWidth, driverHeight);
        wantedWidth = static_cast<std::uint32_t>(driverWidth);
        wantedHeight = static_cast<std::uint32_t>(driverHeight);
    } else {
        spdlog::info("\t\tDriver has not requested any resolution yet, choosing resolution based on client");
    }

    for (std::uint32_t i = 0; i < count; ++i) {
        const ClientFormat& f = formats[i];
        if (f.width == wantedWidth && f.height == wantedHeight && f.codec == kRequestedCodec) {
            spdlog::info("\t\t\tClient supports exactly resolution {0} x {1}", f.width, f.height);
            return Request(f.width, f.height);
        }
    }

    spdlog::info("\t\tExact resolution not found, checking if resolution with same aspect ratio available");
    const float wantedRatio = Ratio(wantedWidth, wantedHeight);
    for (std::uint32_t i = 0; i < count; ++i) {
        const ClientFormat& f = formats[i];
        const float d = Ratio(f.width, f.height) - wantedRatio;
        if (d < 0.01f && d > -0.01f && f.codec == kRequestedCodec) {
            spdlog::info("\t\t\tFound resolution with same aspect ratio: (wanted:{0} x {1}) (found:{2} x {3})",
                         wantedWidth, wantedHeight, f.width, f.height);
            return Request(f.width, f.height);
        }
    }

    spdlog::info("\t\tResolution with same aspect ratio not found, choose one with nearest aspect ratio");
    float best = std::numeric_limits<float>::max();
    ClientFormat choice = Request(wantedWidth, wantedHeight);
    for (std::uint32_t i = 0; i < count; ++i) {
        const ClientFormat& f = formats[i];
        const float d = std::fabs(Ratio(f.width, f.height) - wantedRatio);
        if (best > d && f.codec == kRequestedCodec) {
            choice = Request(f.width, f.height);
            best = d;
        }
    }
    spdlog::info("\t\t\tSelected resolution {0} x {1} as it has nearest aspect ratio", choice.width, choice.height);
    return choice;
}

} // namespace talvik
