// Which camera device the service drives.
//
// The text value "CameraFile" under "Software\Talvik\Vidrelo" names a
// camera file (media/file_camera.h); when it is set and not empty, that
// file is the camera on every platform. Otherwise:
//   Windows  the virtual camera's kernel driver, found by its friendly name
//            "Vidrelo Camera" among the kernel-streaming capture devices
//   Linux    the camera file $XDG_RUNTIME_DIR/talvik/camera (the directory
//            is created, for the user only); without XDG_RUNTIME_DIR no
//            camera is found
#pragma once

#include "base/config_store.h"
#include "media/device_channel.h"

#include <memory>

namespace talvik {

inline constexpr const char* kCameraFileValue = "CameraFile";

std::unique_ptr<DeviceChannel> MakeCameraChannel(ConfigStore& store);

// The platform's camera when no camera file is configured.
std::unique_ptr<DeviceChannel> MakeDefaultCameraChannel();

} // namespace talvik
