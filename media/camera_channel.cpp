#include "media/camera_channel.h"

#include "base/config.h"
#include "media/file_camera.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>

namespace talvik {

namespace {

// A path of up to MAX_PATH characters, terminator included.
constexpr std::size_t kCameraFileBytes = 260;
constexpr std::size_t kCameraChoiceBytes = 16;

CameraChoice ReadCameraChoice(ConfigStore& store)
{
    const std::optional<std::string> value = store.ReadString(kProductKey, kCameraValue, kCameraChoiceBytes);
    std::string choice = value.value_or("");
    std::transform(choice.begin(), choice.end(), choice.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (choice.empty() || choice == "auto")
        return CameraChoice::kAuto;
    if (choice == "pipewire")
        return CameraChoice::kPipeWire;
    if (choice == "file")
        return CameraChoice::kFile;
    spdlog::error("Camera '{0}' is none of auto, pipewire and file: auto is used", *value);
    return CameraChoice::kAuto;
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
