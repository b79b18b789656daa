// An H.264 decoder for tests, set for low delay: every access unit the
// simulator sends must come out as a picture at once. It reads the frame
// number from each picture.
#pragma once

#include "tools/phonesim/wire_writer.h"

#include <optional>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace talvik::phonesim::test {

class TestDecoder {
public:
    TestDecoder();
    ~TestDecoder();
    TestDecoder(const TestDecoder&) = delete;
    TestDecoder& operator=(const TestDecoder&) = delete;

    // Decodes one access unit; false when no picture comes out of it.
    bool Decode(const Bytes& accessUnit);

    // Of the last picture.
    int width() const;
    int height() const;
    std::optional<std::uint32_t> FrameNumber() const;

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

} // namespace talvik::phonesim::test
