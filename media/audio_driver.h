// The audio client: passes the phone's microphone audio to the virtual
// microphone device.
//
// The phone sends mono signed 16-bit little-endian samples at 44 100 Hz.
// Each block becomes interleaved stereo, both channels carrying the same
// sample, and goes to the device in writes of at most 1024 frames (4096
// bytes, the conversion buffer): a block longer than 2048 bytes is split into
// several writes in order, so nothing is lost; an odd last byte is ignored; an
// empty block still makes one empty write.
//
// A libswresample context (mono to stereo, S16, 44 100 Hz both sides) is
// set up on the first write and kept; it does no conversion itself. Its
// failed set-up is retried on every following write.
//
// Lines logged:
//   info   "AudioDriver loaded"                      device opened
//   error  "AudioDriver CreateFile failed: {0}"      open failed (system code)
//   error  "AudioDriver conversion buffer not available"  codec libraries
//                                                    not bound or no memory:
//                                                    the client is unusable
//   error  "swr_alloc failed", "swr_init failed: {0}"    block dropped
//   error  "AudioDriver DeviceIoControl failed: {0}" block dropped (system code)
// A client whose open failed refuses every block without logging. Devices
// may log drops of their own (see audio_device.h).
//
// Life: created and opened by the engine's Start, after the connection
// manager; destroyed by its Stop, after the connection manager is gone.
// Write runs only on the connection manager's loop thread and has no lock.
// The codec libraries must stay bound for the client's whole life.
#pragma once

#include "media/audio_device.h"

#include <cstdint>
#include <memory>

struct SwrContext;

namespace talvik {

class AudioDriver {
public:
    enum State : std::int32_t { kOpen = 1, kOpenFailed = 2 };

    // The device lookup; the engine ignores its result, since an open of the
    // empty path fails and logs.
    static bool FindDevicePath(ConfigStore& config);

    // Opens the device that FindDevicePath found, or takes `opened`.
    AudioDriver();
    explicit AudioDriver(OpenedAudioDevice opened);
    // Close: the resampler, the conversion buffer, then the device.
    ~AudioDriver();
    AudioDriver(const AudioDriver&) = delete;
    AudioDriver& operator=(const AudioDriver&) = delete;

    // Converts one block of `byteCount` bytes and writes it; true when every
    // part of it was written.
    bool Write(const std::uint8_t* samples, std::uint32_t byteCount);

    State state() const { return state_; }

private:
    bool SetUpResampler();

    State state_ = kOpenFailed;
    std::unique_ptr<AudioDevice> device_;
    SwrContext* resampler_ = nullptr;
    std::int32_t configuredRate_ = 0;
    std::int32_t configured_ = 0;
    std::uint8_t* conversionBuffer_ = nullptr;
};

} // namespace talvik
