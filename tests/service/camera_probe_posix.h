// What a camera consumer sees in a camera file, through camview run as a
// separate process (Linux): pictures, snapshots and the phone simulator's
// frame numbers. Used with the Linux service and with the Windows service
// under Wine alike.
#pragma once

#include "media/pixel_format.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvik::test {

class CameraProbe {
public:
    explicit CameraProbe(std::string file) : file_(std::move(file)) {}

    // camview on the camera: its exit code, with its output in `output`.
    std::optional<int> Camview(const std::vector<std::string>& arguments, std::string* output = nullptr) const;
    // The first whole picture of `bytes` bytes that camview streams (an
    // older format's picture may still come first); empty when none came.
    std::vector<std::uint8_t> Grab(std::uint32_t bytes) const;
    // Saves the next picture as snapshots/NAME.png in the build directory,
    // for people to look at: the golden images of the README.
    void Snapshot(const std::string& name) const;
    // The simulator's frame number in the first picture of the stream whose
    // code can be read within 3 s: the format text drawn over the code's
    // right end for two seconds after a change can hide it. `bars`: black
    // rows at the top and the bottom.
    std::optional<std::uint32_t> FrameNumber(std::uint32_t width, std::uint32_t height, DriverPixelFormat format,
                                             std::uint32_t bars = 0) const;

private:
    std::string file_;
};

// The frame number in the picture area of `bytes`, a picture `width` pixels
// wide whose top and bottom `bars` rows are black bars.
std::optional<std::uint32_t> ReadFrameNumber(const std::vector<std::uint8_t>& bytes, std::uint32_t width,
                                             std::uint32_t height, DriverPixelFormat format, std::uint32_t bars = 0);

} // namespace talvik::test
