#include "media/camera_channel.h"
#include "media/file_camera.h"
#include "media/pipewire_camera_posix.h"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace talvik {

std::unique_ptr<DeviceChannel> MakeDefaultCameraChannel(CameraChoice choice)
{
    if (choice != CameraChoice::kFile) {
        auto camera = std::make_unique<PipeWireCamera>();
        if (choice == CameraChoice::kPipeWire || camera->FindDevicePath())
            return camera;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return std::make_unique<FileCamera>(std::string());
    const std::string directory = std::string(runtime) + "/talvik";
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        spdlog::error("Camera directory {0} could not be made: {1}", directory, errno);
    return std::make_unique<FileCamera>(directory + "/camera");
}

} // namespace talvik
