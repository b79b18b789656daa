// The consumer's side of a camera file (media/camera_file.h): what it asks
// for, and the pictures the service commits, each copied whole.
#pragma once

#include "media/frame_buffer_record.h"
#include "media/mapped_file.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik::camview {

struct Picture {
    std::uint32_t sequence = 0;
    FrameBufferRecord record;      // the request it was made for
    std::uint64_t commitTimeUs = 0; // on the service's monotonic clock
    std::vector<std::uint8_t> bytes;
};

class CameraReader {
public:
    // Opens an existing camera file; null with `error` set otherwise.
    static std::unique_ptr<CameraReader> Open(const std::string& path, std::string& error);

    FrameBufferRecord Request();
    // Grows the file when the new pictures need more room, then replaces
    // the request. False with `error` set on failure.
    bool SetRequest(const FrameBufferRecord& request, std::string& error);

    // The commit sequence now: 0 before the first picture.
    std::uint32_t Sequence();

    // Waits for a picture committed after `sequence` and copies it; false
    // when none came within `timeout`, or the file holds no valid one.
    bool NextPicture(std::uint32_t sequence, Picture& picture, std::chrono::milliseconds timeout);

private:
    CameraReader(std::string path, std::unique_ptr<MappedFile> file);
    bool CopyCommitted(std::uint32_t sequence, Picture& picture);

    std::string path_;
    std::unique_ptr<MappedFile> file_;
};

// Microseconds on this machine's monotonic clock (CLOCK_MONOTONIC), the
// phone simulator's clock.
std::uint64_t MonotonicUs();

} // namespace talvik::camview
