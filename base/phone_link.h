// The two numbers every side of the phone link agrees on.
#pragma once

#include <cstdint>

namespace talvik {

// The camera app's port: the service listens on it for WiFi phones, DNS-SD
// announces it, and USB connections are made to it on the phone.
inline constexpr std::uint16_t kPhonePort = 5055;

// First four bytes of every session message (little-endian on the wire).
inline constexpr std::uint32_t kMessageMagic = 0xDEADC0DE;

} // namespace talvik
