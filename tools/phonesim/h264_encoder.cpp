#include "tools/phonesim/h264_encoder.h"

#include <fmt/format.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <cstring>

namespace talvik::phonesim {

namespace {

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void CopyPlane(const Bytes& from, int width, int height, std::uint8_t* to, int stride)
{
    for (int y = 0; y < height; ++y)
        std::memcpy(to + static_cast<long>(y) * stride, from.data() + static_cast<long>(y) * width, width);
}

} // namespace

std::unique_ptr<H264Encoder> H264Encoder::Open(int width, int height, int fps, std::string& error)
{
    // The encoder's banner and statistics are not the simulator's log.
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        error = "this FFmpeg has no libx264 encoder";
        return nullptr;
    }
    std::unique_ptr<H264Encoder> encoder(new H264Encoder);
    AVCodecContext* context = encoder->context_ = avcodec_alloc_context3(codec);
    encoder->frame_ = av_frame_alloc();
    encoder->packet_ = av_packet_alloc();
    if (context == nullptr || encoder->frame_ == nullptr || encoder->packet_ == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = {1, fps};
    context->framerate = {fps, 1};
    context->gop_size = 2 * fps;
    context->max_b_frames = 0;
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    if (int result = avcodec_open2(context, codec, nullptr); result < 0) {
        error = fmt::format("cannot open the H.264 encoder at {}x{}: {}", width, height, AvError(result));
        return nullptr;
    }

    AVFrame* frame = encoder->frame_;
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    if (int result = av_frame_get_buffer(frame, 0); result < 0) {
        error = fmt::format("cannot allocate a {}x{} picture: {}", width, height, AvError(result));
        return nullptr;
    }
    return encoder;
}

H264Encoder::~H264Encoder()
{
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

bool H264Encoder::Encode(const Picture& picture, Bytes& accessUnit)
{
    accessUnit.clear();
    if (int result = av_frame_make_writable(frame_); result < 0) {
        error_ = fmt::format("picture buffer: {}", AvError(result));
        return false;
    }
    CopyPlane(picture.y, picture.width, picture.height, frame_->data[0], frame_->linesize[0]);
    CopyPlane(picture.u, picture.width / 2, picture.height / 2, frame_->data[1], frame_->linesize[1]);
    CopyPlane(picture.v, picture.width / 2, picture.height / 2, frame_->data[2], frame_->linesize[2]);
    frame_->pts = nextPts_++;

    if (int result = avcodec_send_frame(context_, frame_); result < 0) {
        error_ = fmt::format("encoding: {}", AvError(result));
        return false;
    }
    for (;;) {
        const int result = avcodec_receive_packet(context_, packet_);
        if (result == AVERROR(EAGAIN))
            break;
        if (result < 0) {
            error_ = fmt::format("encoding: {}", AvError(result));
            return false;
        }
        accessUnit.insert(accessUnit.end(), packet_->data, packet_->data + packet_->size);
        av_packet_unref(packet_);
    }
    if (accessUnit.empty()) {
        error_ = "the encoder held the picture back";
        return false;
    }
    return true;
}

} // namespace talvik::phonesim
