#include "media/camera_channel.h"

#include "base/config.h"
#include "media/file_camera.h"

namespace talvik {

namespace {

// A path of up to MAX_PATH characters, terminator included.
constexpr std::size_t kCameraFileBytes = 260;

} // namespace

std::unique_ptr<DeviceChannel> MakeCameraChannel(ConfigStore& store)
{
    std::optional<std::string> path = store.ReadString(kProductKey, kCameraFileValue, kCameraFileBytes);
    if (path && !path->empty())
        return std::make_unique<FileCamera>(*path);
    return MakeDefaultCameraChannel();
}

} // namespace talvik
