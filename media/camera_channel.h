// Which camera device the service drives.
//
// The text value "CameraFile" under "Software\Talvik\Vidrelo" names a
// camera file (media/file_camera.h); when it is set and not empty, that
// file is the camera on every platform, unless Linux is told to use
// PipeWire. On Linux the text value "Camera" chooses: "file", "pipewire" (a
// PipeWire video source, media/pipewire_camera_linux.h) or "auto", the
// default: PipeWire when its daemon answers as the camera is made, else the
// camera file. Otherwise:
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
inline constexpr const char* kCameraValue = "Camera";

// In the order of the names ReadCameraChoice reads: auto, pipewire, file.
enum class CameraChoice { kAuto, kPipeWire, kFile };

std::unique_ptr<DeviceChannel> MakeCameraChannel(ConfigStore& store);

// The platform's camera when no camera file is configured (Windows ignores
// `choice`).
std::unique_ptr<DeviceChannel> MakeDefaultCameraChannel(CameraChoice choice);

} // namespace talvik
