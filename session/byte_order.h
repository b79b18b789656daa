// Little-endian loads and stores. Every multi-byte field of the wire protocol
// is little-endian, whatever the host; these compile to plain moves on x86.
#pragma once

#include <bit>
#include <cstdint>

namespace talvik {

inline uint16_t LoadU16Le(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t LoadU32Le(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline float LoadF32Le(const uint8_t* p)
{
    return std::bit_cast<float>(LoadU32Le(p));
}

inline void StoreU32Le(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

} // namespace talvik
