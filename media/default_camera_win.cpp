// The virtual camera's kernel driver, reached with device I/O control calls.
#include "media/camera_channel.h"
#include "media/capture_device_lookup.h"

#include <windows.h>
#include <objbase.h>

namespace talvik {

namespace {

constexpr const char* kFriendlyName = "Vidrelo Camera";

constexpr DWORD kWriteBuffered = 0x00222000;
constexpr DWORD kGetFrameBuffer = 0x00222008;
constexpr DWORD kCommitFrameBuffer = 0x0022200C;
constexpr DWORD kWriteReplyBytes = 12;

class KernelCamera : public DeviceChannel {
public:
    ~KernelCamera() override { Close(); }

    bool FindDevicePath() override
    {
        // Whatever the answer, COM is usable on this thread unless the
        // lookup's enumerator cannot be made, which the lookup reports.
        (void)CoInitialize(nullptr);
        return FindCaptureDevicePath(kFriendlyName, FriendlyNameText::kRuntimeConversion, "VideoDriver", devicePath_);
    }

    std::uint32_t Open() override
    {
        device_ = CreateFileA(devicePath_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
        return device_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }

    std::uint32_t GetFrameBuffer(FrameBufferRecord& record) override
    {
        return Control(kGetFrameBuffer, record.bytes.data(), record.bytes.data(), FrameBufferRecord::kBytes);
    }

    std::uint32_t WriteBuffered(const std::uint8_t* picture, std::uint32_t bytes) override
    {
        std::uint8_t reply[kWriteReplyBytes];
        DWORD answered = 0;
        if (!DeviceIoControl(device_, kWriteBuffered, const_cast<std::uint8_t*>(picture), bytes, reply, sizeof(reply),
                             &answered, nullptr))
            return GetLastError();
        return 0;
    }

    std::uint32_t CommitFrameBuffer(FrameBufferRecord& record) override
    {
        return Control(kCommitFrameBuffer, record.bytes.data(), record.bytes.data(), FrameBufferRecord::kBytes);
    }

    void Close() override
    {
        if (device_ != INVALID_HANDLE_VALUE)
            CloseHandle(device_);
        device_ = INVALID_HANDLE_VALUE;
    }

private:
    std::uint32_t Control(DWORD code, void* in, void* out, DWORD bytes)
    {
        DWORD answered = 0;
        if (!DeviceIoControl(device_, code, in, bytes, out, bytes, &answered, nullptr))
            return GetLastError();
        return 0;
    }

    char devicePath_[kCaptureDevicePathBytes] = {};
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

} // namespace

std::unique_ptr<DeviceChannel> MakeDefaultCameraChannel(CameraChoice)
{
    return std::make_unique<KernelCamera>();
}

} // namespace talvik
