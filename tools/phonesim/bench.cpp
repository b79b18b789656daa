#include "tools/phonesim/bench.h"

#include "tools/phonesim/exit_codes.h"
#include "tools/phonesim/h264_encoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace talvik::phonesim {

int RunBench(const Options& options)
{
    using Clock = std::chrono::steady_clock;
    for (const auto& [width, height] : options.benchSizes) {
        std::string error;
        std::unique_ptr<H264Encoder> encoder = H264Encoder::Open(width, height, 30, error);
        if (!encoder) {
            std::fprintf(stderr, "phonesim: %s\n", error.c_str());
            return kExitFailure;
        }
        Picture picture = MakePicture(width, height);
        Bytes accessUnit;
        double drawMs = 0, encodeMs = 0, slowestMs = 0;
        std::size_t bytes = 0;
        for (std::uint32_t frame = 0; frame < options.benchFrames; ++frame) {
            const Clock::time_point start = Clock::now();
            DrawTestPattern(frame, picture);
            const Clock::time_point drawn = Clock::now();
            if (!encoder->Encode(picture, accessUnit)) {
                std::fprintf(stderr, "phonesim: %s\n", encoder->error().c_str());
                return kExitFailure;
            }
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - drawn).count();
            drawMs += std::chrono::duration<double, std::milli>(drawn - start).count();
            encodeMs += ms;
            slowestMs = std::max(slowestMs, ms);
            bytes += accessUnit.size();
        }
        const double frames = options.benchFrames;
        std::printf("%dx%d: %u frames, encode %.2f ms per frame (slowest %.2f ms), pattern %.2f ms per frame, "
                    "%.0f bytes per frame\n",
                    width, height, options.benchFrames, encodeMs / frames, slowestMs, drawMs / frames,
                    bytes / frames);
        std::fflush(stdout);
    }
    return kExitOk;
}

} // namespace talvik::phonesim
