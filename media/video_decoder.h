// The H.264 decoder and scaler: turns the phone's compressed packets into
// pictures in the camera's frame buffer, aspect ratio kept with black bars,
// in the driver's pixel format and orientation.
//
// Every library call goes through the codec table (media/codec_library.h)
// and only while it is bound. A decoder whose Init did not complete, or that
// runs without bound libraries, refuses Decode and ReceiveFrames quietly.
//
// Threads: Decode takes Lock() itself and may run on any one thread;
// ReceiveFrames and ScaleAndDeliver must be called with Lock() held, so that
// pictures reach the observer from one thread at a time. The observer is
// called under the lock.
#pragma once

#include "media/frame_layout.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace talvik {

// Implemented by whoever owns the frame buffer (the engine). No virtual
// destructor: the decoder never deletes its observer.
class CVideoDecoderObserver {
public:
    // The filled buffer, with the size and format GetFrameBuffer gave and
    // the user data of the packet the picture was decoded from.
    virtual void OnFrameReady(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                              std::int32_t format, std::uintptr_t userData) = 0;
    // The buffer to fill, its size and driver pixel format index; null, an
    // empty size or index 3 when there is nothing to fill.
    virtual std::uint8_t* GetFrameBuffer(std::uint32_t& width, std::uint32_t& height, std::int32_t& format) = 0;

protected:
    ~CVideoDecoderObserver() = default;
};

// Told of every picture ScaleAndDeliver drops after asking for a buffer, so
// that whatever went with it is given back: the buffer GetFrameBuffer handed
// out (null when it handed out none) and the picture's user data, neither of
// which reaches OnFrameReady then. Called under the lock, like the observer.
class DroppedPictureObserver {
public:
    virtual void OnPictureDropped(std::uint8_t* buffer, std::uintptr_t userData) = 0;

protected:
    ~DroppedPictureObserver() = default;
};

class VideoDecoder {
public:
    // `dropped`, when given, hears of every picture that is not delivered.
    explicit VideoDecoder(CVideoDecoderObserver& observer, DroppedPictureObserver* dropped = nullptr);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Opens the H.264 decoder. Failures are logged and leave the decoder
    // refusing work.
    void Init();

    // Delivers the pictures finished so far (scaled with the previous
    // packet's flags), then submits one packet. `flags`, the orientation
    // flags (base/orientation.h), turn the following pictures upside down
    // and mirror them. `userData` is
    // carried, never read, to the OnFrameReady of the picture decoded from
    // this packet. `data` need not outlive the call.
    void Decode(const std::uint8_t* data, std::uint32_t size, std::uint32_t flags, std::uintptr_t userData);

    // Delivers every finished picture. Lock() held.
    void ReceiveFrames();

    // Scales one picture into the observer's buffer and hands it over; uses
    // the flags of the latest Decode. A picture that cannot be scaled (no
    // buffer, unusable format or size, no scaler) is dropped: OnFrameReady
    // is not called, OnPictureDropped is. Lock() held.
    void ScaleAndDeliver(const AVFrame& picture, std::uintptr_t userData);

    // Scales a raw NV12 picture of `width` x `height`, whose bytes `data`
    // holds (at least width x height x 3 / 2 of them), as ScaleAndDeliver
    // does a decoded one. Lock() held.
    void DeliverRawFrame(const std::uint8_t* data, std::uint32_t width, std::uint32_t height,
                         std::uintptr_t userData);

    std::mutex& Lock() { return lock_; }

    // Size of the last picture the scaler was set up for; all bits set
    // before the first.
    std::uint32_t SourceWidth() const { return sourceWidth_; }
    std::uint32_t SourceHeight() const { return sourceHeight_; }

private:
    bool Ready() const;
    void AttachUserData(AVPacket& packet, std::uintptr_t userData);
    void CountPicture();
    // Rebuilds the scaler for the picture and buffer when any of its inputs
    // changed; false when there is no usable scaler.
    bool SetUpScaler(const AVFrame& picture, std::uint32_t outW, std::uint32_t outH, DriverPixelFormat format);

    // Scales into `buffer`; false when the picture cannot be placed there.
    bool Scale(const AVFrame& picture, std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH,
               DriverPixelFormat format);

    CVideoDecoderObserver& observer_;
    DroppedPictureObserver* dropped_;
    std::uint32_t flags_ = 0;
    AVCodecContext* context_ = nullptr;
    AVFrame* picture_ = nullptr;
    SwsContext* scaler_ = nullptr;
    std::uint32_t sourceWidth_ = UINT32_MAX;
    std::uint32_t sourceHeight_ = UINT32_MAX;
    std::int32_t sourceFormat_ = -1;
    PictureFit fit_;
    std::uint32_t outputWidth_ = 0;
    std::uint32_t outputHeight_ = 0;
    std::mutex lock_;
    DriverPixelFormat outputFormat_ = kPixelRgba32;
    // The packet's bytes followed by the zeroed padding the bitstream reader
    // may read past the end; kept from packet to packet.
    std::vector<std::uint8_t> packet_;
    // A raw picture followed by room for the scaler's wide loads, which
    // read past the end of its last row: the caller's bytes may end there.
    std::vector<std::uint8_t> rawFrame_;
    bool ready_ = false;
    // Frame-rate stopwatch; the clock's epoch makes the first picture report.
    std::chrono::steady_clock::time_point rateStart_{};
    std::uint32_t picturesCounted_ = 0;
};

} // namespace talvik
