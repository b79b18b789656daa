// VideoDriver: the service's side of the virtual camera. It asks the camera
// device what the current consumer wants (size and pixel format), hands out
// a matching frame buffer for the decoder or the status screen to fill, and
// writes each filled picture to the device and commits it.
//
// A buffer cycle: GetOutputBuffer (reference count 0 -> 1), fill,
// CommitOutputBuffer(buffer, FrameBytes(format, width, height)) (1 -> 0);
// a buffer that is not to be committed after all goes back with
// ReturnOutputBuffer (1 -> 0, nothing sent).
// A device that lends its consumer's memory (the PipeWire camera) is asked
// for it first, and the picture is made right there; otherwise the frame
// buffer, reused while the device's picture size stays the same, is filled
// and written to the device. A 32-bit picture for a device that stores its
// rows top-down is handed out as BGRx rather than ARGB32.
// The state goes from 0 (usable) to 1 when the open fails or the device's
// sizes disagree, and never back: from then on no buffer is handed out.
//
// Depth mode (set by the engine for each video packet): buffers are
// 640 x 480 ARGB32 blocks of their own that are freed at commit and never
// reach the device; the first such commit creates the depth objects
// (media/depth_objects.h). A commit follows the mode its buffer was handed
// out in, so that a mode change between the two calls neither frees the
// frame buffer nor sends a depth block to the device.
//
// No lock: GetOutputBuffer and CommitOutputBuffer are called by one thread
// at a time (the decoder's lock, or the status screen while nothing
// streams); the reference count only reveals overlapping use in the log.
// Depth mode alone may be switched from another thread.
#pragma once

#include "media/depth_objects.h"
#include "media/device_channel.h"
#include "media/frame_buffer_record.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace talvik {

inline constexpr std::uint32_t kDepthBufferBytes = 640 * 480 * 4 * 2;

class VideoDriver {
public:
    explicit VideoDriver(std::unique_ptr<DeviceChannel> channel);
    ~VideoDriver();
    VideoDriver(const VideoDriver&) = delete;
    VideoDriver& operator=(const VideoDriver&) = delete;

    bool FindDevicePath();

    // The engine's start sequence: FindDevicePath, then the open, whatever
    // the lookup gave. Logs "VideoDriver device path not found" for a failed
    // lookup, then "VideoDriver CreateFile failed: {0}" (state 1) or
    // "VideoDriver loaded" (state 0).
    void Open();

    // Releases the device, then the frame buffer.
    void Close();

    std::int32_t state() const { return state_; }

    // A buffer for one picture of `width` x `height` in pixel format
    // `format`, or null when there is nothing to fill (unusable client, a
    // failed request, an empty size, or a disagreement of the device's
    // sizes, which makes the client unusable).
    std::uint8_t* GetOutputBuffer(std::uint32_t& width, std::uint32_t& height, DriverPixelFormat& format);

    // Writes and commits a buffer from GetOutputBuffer; `byteCount` must be
    // the picture size the device described, else nothing is sent.
    void CommitOutputBuffer(std::uint8_t* buffer, std::uint32_t byteCount);

    // Takes back a buffer from GetOutputBuffer whose picture was dropped:
    // the device hears nothing, a depth block is freed, and the frame
    // buffer counts as no longer handed out.
    void ReturnOutputBuffer(std::uint8_t* buffer);

    void SetDepthMode(bool on) { depthMode_.store(on, std::memory_order_relaxed); }
    bool depthMode() const { return depthMode_.load(std::memory_order_relaxed); }

    // Depth blocks handed out and neither committed nor given back.
    std::size_t depthBlocksOut() const { return depthBlocks_.size(); }

private:
    std::uint8_t* DriverBuffer(std::uint32_t& width, std::uint32_t& height, DriverPixelFormat& format);
    // The frame buffer, (re)allocated for `capacity` bytes of `bufferBytes`.
    std::uint8_t* FrameBuffer(std::uint32_t bufferBytes, std::uint64_t capacity);
    void CommitToDevice(std::uint8_t* buffer, std::uint32_t byteCount);
    void CommitLent(std::uint32_t byteCount);
    void CommitDepth(std::vector<std::unique_ptr<std::uint8_t[]>>::iterator block);
    std::vector<std::unique_ptr<std::uint8_t[]>>::iterator DepthBlock(const std::uint8_t* buffer);

    std::int32_t state_ = 1;
    std::unique_ptr<DeviceChannel> device_;
    std::unique_ptr<std::uint8_t[]> frameBuffer_;
    std::uint8_t* lent_ = nullptr; // the device's memory, handed out
    std::uint32_t frameBufferBytes_ = 0;
    // What the block really holds: room for even dimensions, since the
    // scaler writes whole chroma pairs (an odd NV12 or YUY2 size would
    // otherwise overrun by part of a row), and kScalerSlackBytes beyond.
    std::uint64_t frameBufferCapacity_ = 0;
    std::uint32_t pictureSize_ = 0;
    FrameBufferRecord record_;
    std::int32_t referenceCount_ = 0;
    std::atomic<bool> depthMode_{false};
    std::unique_ptr<DepthObjects> depthObjects_;
    std::vector<std::unique_ptr<std::uint8_t[]>> depthBlocks_; // handed out, not yet committed
};

} // namespace talvik
