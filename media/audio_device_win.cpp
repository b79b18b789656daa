#include "media/audio_device.h"

#include "media/capture_device_lookup.h"

#include <windows.h>

namespace talvik {

namespace {

constexpr DWORD kWriteBuffered = 0x00222000;
constexpr DWORD kWriteReplyBytes = 12;

char g_devicePath[kCaptureDevicePathBytes] = {};

class AudioKernelDevice : public AudioDevice {
public:
    explicit AudioKernelDevice(HANDLE device) : device_(device) {}
    ~AudioKernelDevice() override { CloseHandle(device_); }

    AudioDeviceWrite Write(const std::uint8_t* frames, std::size_t bytes, std::uint32_t& error) override
    {
        // The driver's reply means nothing to the service.
        std::uint8_t reply[kWriteReplyBytes];
        DWORD answered = 0;
        if (DeviceIoControl(device_, kWriteBuffered, const_cast<std::uint8_t*>(frames), static_cast<DWORD>(bytes),
                            reply, sizeof(reply), &answered, nullptr))
            return AudioDeviceWrite::kWritten;
        error = GetLastError();
        return AudioDeviceWrite::kFailed;
    }

private:
    HANDLE device_;
};

} // namespace

bool FindAudioDevicePath(ConfigStore&)
{
    return FindCaptureDevicePath("Talvik Audio", FriendlyNameText::kLowBytes, "AudioDriver", g_devicePath);
}

OpenedAudioDevice OpenAudioDevice()
{
    const HANDLE device = CreateFileA(g_devicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return {nullptr, GetLastError()};
    return {std::make_unique<AudioKernelDevice>(device), 0};
}

} // namespace talvik
