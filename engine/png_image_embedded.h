// The status-screen PNG files built into the Linux program, by the resource
// id the Windows program gives them (engine/png_image.h). The source is
// generated at build time from engine/resources/.
#pragma once

#include <cstddef>
#include <span>

namespace talvik {

// The file's bytes, or an empty span for an unknown id.
std::span<const unsigned char> EmbeddedPng(int resourceId);

} // namespace talvik
