#include "tools/camview/png_file.h"

#include <png.h>

#include <cstring>

namespace talvik::camview {

bool WritePng(const std::string& path, const Image& rgb, std::string& error)
{
    png_image image;
    std::memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    image.width = rgb.width;
    image.height = rgb.height;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.pixels.data(), 0, nullptr)) {
        error = path + ": " + image.message;
        return false;
    }
    return true;
}

} // namespace talvik::camview
