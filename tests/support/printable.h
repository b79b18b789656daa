// Bytes as a line of text for a test's log: printable ASCII as it is, every
// other byte as \xHH.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace talvik::test {

inline std::string Printable(std::string_view bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        char escaped[8];
        if (c >= 0x20 && c < 0x7F)
            text += static_cast<char>(c);
        else if (std::snprintf(escaped, sizeof escaped, "\\x%02X", c) > 0)
            text += escaped;
    }
    return text;
}

} // namespace talvik::test
