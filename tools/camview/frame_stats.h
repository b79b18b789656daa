// Frame rate, jitter and latency of the pictures a camera file receives.
//
// Jitter is the standard deviation of the intervals between commit times.
// Latency, given as its median and 99th percentile, needs the phone
// simulator: each picture's frame number (read from
// the code the simulator draws along its top edge) is looked up in the
// simulator's frame log, and its send time is subtracted from the moment
// the picture was seen here; both are CLOCK_MONOTONIC microseconds.
#pragma once

#include "tools/camview/camera_reader.h"

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace talvik::camview {

class FrameStats {
public:
    // `simulatorLog`: the simulator's --log file, or empty.
    explicit FrameStats(const std::string& simulatorLog);

    void Add(const Picture& picture, std::uint64_t seenUs);

    // One line for the pictures added since the last report; starts anew.
    std::string Report();
    // The same line for every picture added.
    std::string Summary() const;

private:
    // The figures of a stretch of pictures.
    struct Stretch {
        std::uint64_t firstSeenUs = 0, lastSeenUs = 0;
        std::vector<double> intervalsMs;
        std::vector<double> latenciesMs;
        int pictures = 0;
    };

    void ReadSendTimes();
    std::string Format(const Stretch& stretch) const;

    std::ifstream log_;
    std::string partialLine_;
    std::map<std::uint32_t, std::uint64_t> sendUs_; // frame number mod 2^24 -> send time
    Stretch second_, whole_;
    std::uint64_t lastCommitUs_ = 0;
};

} // namespace talvik::camview
