// Which of the phone's formats to ask for, given the picture size the camera
// wants (0 x 0: it has not asked yet, 1280 x 720 is wanted):
//   1. the first H.264 entry of exactly the wanted size;
//   2. else the first H.264 entry whose aspect ratio is within 0.01 of the
//      wanted one (ratios in single precision, bounds strict);
//   3. else the H.264 entry of the nearest aspect ratio, the earlier one on
//      a tie; with none at all, the wanted size itself.
// The request always carries 30 fps and codec 1 (H.264), whatever the phone
// offered. Each step logs at info level.
#pragma once

#include "session/client_format.h"

#include <cstdint>

namespace talvik {

inline constexpr std::uint32_t kRequestedFps = 30;
inline constexpr std::uint32_t kRequestedCodec = 1; // H.264

ClientFormat ChooseFormat(const ClientFormat* formats, std::uint32_t count, std::int32_t driverWidth,
                          std::int32_t driverHeight);

} // namespace talvik
