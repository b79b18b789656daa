#include "media/camera_channel.h"

#include "base/config.h"
#include "media/file_camera.h"

#include <spdlog/spdlog.h>


namespace talvik {

namespace {

// A path of up to MAX_PATH characters, terminator included.
constexpr std::size_t kCameraFileBytes = 260;

CameraChoice ReadCameraChoice(ConfigStore& store)
{
    return static_cast<CameraChoice>(ReadChoice(store, kCameraValue, {"auto", "pipewire", "file"}));
}

} // namespace

std::unique_ptr<DeviceChannel> MakeCameraChannel(ConfigStore& store)
{
    const CameraChoice choice = ReadCameraChoice(store);
    std::optional<std::string> path = store.ReadString(kProductKey, kCameraFileValue, kCameraFileBytes);
    if (choice != CameraChoice::kPipeWire && path && !path->empty())
        return std::make_unique<FileCamera>(*path);
    return MakeDefaultCameraChannel(choice);
}

} // namespace talvik
