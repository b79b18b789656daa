// Writes an RGB image as a PNG file.
#pragma once

#include "tools/camview/picture_rgb.h"

#include <string>

namespace talvik::camview {

// False with `error` set when the file cannot be written.
bool WritePng(const std::string& path, const Image& rgb, std::string& error);

} // namespace talvik::camview
