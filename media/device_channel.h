// The camera client's link to whatever plays the camera device: the kernel
// driver on Windows, or a camera file (media/file_camera.h).
//
// Every operation but FindDevicePath answers 0 on success or a nonzero
// system error code (GetLastError() on Windows, errno elsewhere), which the
// camera client logs. kDeviceNotRunning is the code of a device that is not
// streaming to any consumer.
//
// Used from one thread at a time (the camera client's callers serialise).
#pragma once

#include "media/frame_buffer_record.h"

#include <cstdint>
#include <string>

namespace talvik {

inline constexpr std::uint32_t kDeviceNotRunning = 0xFFFFFFF8;

class DeviceChannel {
public:
    virtual ~DeviceChannel() = default;

    // Looks the device up; true when it was found. Open works on what was
    // found (and fails when nothing was).
    virtual bool FindDevicePath() = 0;
    virtual std::uint32_t Open() = 0;

    // Asks for the current description; `record` goes in zeroed and comes
    // back filled in.
    virtual std::uint32_t GetFrameBuffer(FrameBufferRecord& record) = 0;

    // Hands over one picture of `bytes` bytes.
    virtual std::uint32_t WriteBuffered(const std::uint8_t* picture, std::uint32_t bytes) = 0;

    // Publishes the picture written last, described by `record` as
    // GetFrameBuffer gave it.
    virtual std::uint32_t CommitFrameBuffer(FrameBufferRecord& record) = 0;

    // A camera that lends its consumer's memory: room of at least `bytes`
    // bytes for the picture GetFrameBuffer described last, written in place
    // and then published with CommitLentBuffer or given back with
    // ReturnLentBuffer, one at a time. Null when it has none free now, or
    // lends none (the picture then goes through WriteBuffered).
    virtual std::uint8_t* LendFrameBuffer(std::uint64_t /*bytes*/) { return nullptr; }
    // Publishes the lent picture of `bytes` bytes, described by `record`.
    virtual std::uint32_t CommitLentBuffer(std::uint32_t /*bytes*/, FrameBufferRecord& /*record*/) { return 0; }
    virtual void ReturnLentBuffer() {}

    // Whether the camera stores 32-bit pictures top-down (BGRx), rather
    // than bottom-up as ARGB32 is; whatever it is handed is in its order.
    virtual bool TopDownRows() const { return false; }

    // Releases the device; nothing works afterwards. Safe to repeat.
    virtual void Close() = 0;

    // What the camera is and how to look at it, for a person.
    virtual std::string Describe() const { return "the Vidrelo Camera driver"; }
};

} // namespace talvik
