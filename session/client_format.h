// One video format the phone can send, decoded from its announcement: what
// the engine chooses from and asks for again with StartStreaming.
#pragma once

#include <cstdint>

namespace talvik {

struct ClientFormat {
    uint32_t width;
    uint32_t height;
    uint32_t fps;   // whole frames per second, truncated toward zero
    uint32_t codec; // 0 MPEG-4, 1 H.264, 2 and 3 unsupported, 4 raw NV12

    bool operator==(const ClientFormat&) const = default;
};

// The codec's name in log lines. The phone may announce numbers the service
// has no name for; they show as "UNKNOWN".
constexpr const char* CodecName(uint32_t codec)
{
    constexpr const char* kNames[] = {"MPEG-4", "H.264", "UNSUPPORTED", "UNSUPPORTED2", "NV12"};
    return codec < sizeof kNames / sizeof kNames[0] ? kNames[codec] : "UNKNOWN";
}

} // namespace talvik
