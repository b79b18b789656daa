#include "media/camera_channel.h"

#include "base/runtime_directory_posix.h"
#include "media/file_camera.h"
#include "media/pipewire_camera_linux.h"

namespace talvik {

std::unique_ptr<DeviceChannel> MakeDefaultCameraChannel(CameraChoice choice)
{
    if (choice != CameraChoice::kFile) {
        auto camera = std::make_unique<PipeWireCamera>();
        if (choice == CameraChoice::kPipeWire || camera->FindDevicePath())
            return camera;
    }
    // Without a runtime directory the empty path fails to open, and says so.
    const std::string directory = ProductRuntimeDirectory();
    return std::make_unique<FileCamera>(directory.empty() ? std::string() : directory + "/camera");
}

} // namespace talvik
