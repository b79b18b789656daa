// What the phone simulator streams in a run, and how it is counted:
// `frames` raw 1280x720 NV12 pictures (the announced H.264 entry, streamed
// raw by --video nv12, so that encoding does not limit the rate), back to
// back or at the entry's 30 fps, no sound, then the phone closes the
// connection.
//
// Every reader counts alike: the time runs from the moment the first
// picture's message is complete to the moment the last one is, and the
// bytes are the video messages after the first, as the protocol defines them
// (16-byte header, 12 bytes of fields, the picture). The 8-byte frame header
// that carries each message over USB is not counted. Starting at the first
// picture leaves out how long the stream request took to reach the phone,
// which is reported on its own.
#pragma once

#include "session/client_format.h"

#include <cstdint>
#include <string>
#include <vector>

namespace talvik::bench {

struct StreamPlan {
    ClientFormat format{1280, 720, 30, 1};
    std::uint32_t frames = 1000;
    bool unpaced = true;

    static constexpr std::uint64_t kVideoMessageOverhead = 16 + 12;
    static constexpr std::uint64_t kUsbFrameHeader = 8;

    std::uint64_t PictureBytes() const { return std::uint64_t{format.width} * format.height * 3 / 2; }
    std::uint64_t MessageBytes() const { return kVideoMessageOverhead + PictureBytes(); }
    std::uint64_t MeasuredBytes() const { return (frames - 1) * MessageBytes(); }

    // The simulator's command line for `mode` and its transport options.
    std::vector<std::string> PhonesimArguments(std::vector<std::string> modeAndTransport) const
    {
        for (const char* option : {"--video", "nv12", "--tone", "0", "--sessions", "0", "--duration", "90"})
            modeAndTransport.emplace_back(option);
        if (unpaced)
            modeAndTransport.emplace_back("--unpaced");
        modeAndTransport.emplace_back("--frames");
        modeAndTransport.push_back(std::to_string(frames));
        return modeAndTransport;
    }
};

} // namespace talvik::bench
