#include "tests/tools/test_decoder.h"

#include "tools/phonesim/frame_code.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace talvik::phonesim::test {

TestDecoder::TestDecoder()
{
    context_ = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context_->thread_count = 1;
    avcodec_open2(context_, context_->codec, nullptr);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
}

TestDecoder::~TestDecoder()
{
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

bool TestDecoder::Decode(const Bytes& accessUnit)
{
    Bytes padded(accessUnit);
    padded.resize(accessUnit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet_->data = padded.data();
    packet_->size = static_cast<int>(accessUnit.size());
    return avcodec_send_packet(context_, packet_) == 0 && avcodec_receive_frame(context_, frame_) == 0;
}

int TestDecoder::width() const
{
    return frame_->width;
}

int TestDecoder::height() const
{
    return frame_->height;
}

std::optional<std::uint32_t> TestDecoder::FrameNumber() const
{
    return ReadFrameCode(frame_->data[0], frame_->linesize[0], frame_->width, frame_->height);
}

} // namespace talvik::phonesim::test
