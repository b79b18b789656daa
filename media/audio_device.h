// The virtual microphone's device, as the audio client sees it: something
// that takes one block of interleaved stereo signed 16-bit little-endian
// samples at 44 100 Hz per call. The platform edge finds it and opens it.
//
// Windows: the kernel-streaming capture device whose friendly name contains
// "Talvik Audio", opened with CreateFileA; each block is one
// DeviceIoControl call with IOCTL_WRITE_BUFFERED.
//
// Linux: "Microphone" under "Software\Talvik\Vidrelo" in the configuration
// store chooses, ignoring case:
//   auto      (the default) PipeWire when its daemon answers as the device
//             is opened, else as "fifo" or "file" would, by the path below
//   pipewire  the PipeWire audio source of pipewire_microphone_linux.h
//   fifo      the FIFO device of audio_fifo.h at the configured path
//   file      the ring file of audio_ring_file.h at the path
// The path is "AudioDevice" under the same key, else
// "$XDG_RUNTIME_DIR/talvik/audio". Without a choice, a FIFO there, or a
// configured path that does not exist yet, is the FIFO device; otherwise the
// path is the ring file, created when missing.
//
// Write never blocks the caller: it runs on the connection manager's loop.
#pragma once

#include "base/config_store.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace talvik {

// The largest block one device write takes: 1024 stereo frames.
inline constexpr std::size_t kAudioDeviceWriteBytes = 4096;

// Linux: the configuration value that names the device.
inline constexpr const char* kAudioDeviceValue = "AudioDevice";
// Linux: the configuration value that chooses the kind of device.
inline constexpr const char* kMicrophoneValue = "Microphone";

enum class AudioDeviceWrite {
    kWritten,
    // Not taken because the reader is behind; the device itself has
    // reported it (a counted warning), the caller only learns it was lost.
    kDropped,
    // The device failed; the system's error code is in `error`.
    kFailed,
};

class AudioDevice {
public:
    virtual ~AudioDevice() = default;

    // Hands one block of at most kAudioDeviceWriteBytes bytes (a whole
    // number of frames, possibly none) to the device.
    virtual AudioDeviceWrite Write(const std::uint8_t* frames, std::size_t bytes, std::uint32_t& error) = 0;

    // What the microphone is and how to hear it, for a person.
    virtual std::string Describe() const { return "the Talvik Audio driver"; }
};

// Looks up the device and keeps its path in a process-wide 256-byte buffer;
// true when a path was found. Windows: needs COM on the calling thread.
bool FindAudioDevicePath(ConfigStore& config);

struct OpenedAudioDevice {
    std::unique_ptr<AudioDevice> device;
    // The system's error code when `device` is null.
    std::uint32_t error = 0;
};

// Opens the device at the path found last (an empty path fails).
OpenedAudioDevice OpenAudioDevice();

} // namespace talvik
