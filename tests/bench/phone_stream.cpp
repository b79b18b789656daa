#include "tests/bench/phone_stream.h"

#include "media/codec_library.h"
#include "tools/phonesim/h264_encoder.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace talvik::bench {

std::vector<phonesim::Bytes> PhoneStream(int width, int height, int frames)
{
    std::string error;
    auto encoder = phonesim::H264Encoder::Open(width, height, 30, error);
    if (!encoder) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    phonesim::Picture picture = phonesim::MakePicture(width, height);
    std::vector<phonesim::Bytes> units;
    for (int i = 0; i < frames; ++i) {
        phonesim::DrawTestPattern(static_cast<std::uint32_t>(i), picture);
        phonesim::Bytes unit;
        if (!encoder->Encode(picture, unit)) {
            std::fprintf(stderr, "%s\n", encoder->error().c_str());
            std::exit(1);
        }
        unit.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        units.push_back(std::move(unit));
    }
    return units;
}

std::uint32_t PayloadSize(const phonesim::Bytes& unit)
{
    return static_cast<std::uint32_t>(unit.size() - AV_INPUT_BUFFER_PADDING_SIZE);
}

} // namespace talvik::bench
