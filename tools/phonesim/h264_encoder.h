// H.264 encoding of the test pattern, tuned the way a phone streams live:
// no B-frames and no look-ahead, so every picture comes out at once as one
// access unit in Annex-B form (start codes, parameter sets in front of every
// key frame). A key frame opens the stream and follows every two seconds.
#pragma once

#include "tools/phonesim/test_pattern.h"

#include <memory>
#include <string>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace talvik::phonesim {

class H264Encoder {
public:
    // Nothing, with `error` set, when the encoder cannot be opened.
    static std::unique_ptr<H264Encoder> Open(int width, int height, int fps, std::string& error);
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // Encodes the next picture (of the size given to Open) into `accessUnit`.
    // False, with error() set, when the encoder fails or holds it back.
    bool Encode(const Picture& picture, Bytes& accessUnit);

    const std::string& error() const { return error_; }

private:
    H264Encoder() = default;

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::int64_t nextPts_ = 0;
    std::string error_;
};

} // namespace talvik::phonesim
