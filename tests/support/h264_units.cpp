#include "tests/support/h264_units.h"

#include "base/byte_order.h"

#include <fstream>
#include <iterator>

namespace talvik::test {

std::vector<std::vector<std::uint8_t>> ReadH264Units(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<std::uint8_t>> units;
    for (std::size_t at = 0; at + 4 <= file.size();) {
        const std::size_t size = LoadU32Le(file.data() + at);
        at += 4;
        if (size > file.size() - at)
            break;
        units.emplace_back(file.begin() + at, file.begin() + at + size);
        at += size;
    }
    return units;
}

} // namespace talvik::test
