#include "media/video_decoder.h"

#include "base/orientation.h"
#include "media/codec_library.h"
#include "media/pixel_format.h"

#include <spdlog/spdlog.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace talvik {

namespace {

constexpr const char* kUserDataKey = "userdatapointer";
constexpr std::int64_t kMaxPicturePixels = 3840 * 2160;
constexpr int kAgain = AVERROR(EAGAIN);

// The packed-dictionary size type differs between library series (int in
// FFmpeg 4, size_t later); take it from the prototype in use.
template <typename>
struct PackedSize;
template <typename R, typename D, typename S>
struct PackedSize<R (*)(D, S*)> {
    using type = S;
};
using PackedSizeType = PackedSize<decltype(&::av_packet_pack_dictionary)>::type;

AVPixelFormat ScalerFormat(DriverPixelFormat format)
{
    switch (format) {
    case kPixelArgb32:
    case kPixelBgrx:
        return AV_PIX_FMT_BGRA;
    case kPixelNv12:
        return AV_PIX_FMT_NV12;
    default:
        return AV_PIX_FMT_YUYV422;
    }
}

bool Deliverable(DriverPixelFormat format)
{
    return format == kPixelArgb32 || format == kPixelBgrx || format == kPixelNv12 || format == kPixelYuy2;
}

// A picture's planes read bottom line first. False for a format whose
// chroma layout is not known here, whose planes cannot be walked backwards.
bool ReverseSource(const AVFrame& p, const std::uint8_t* planes[4], int strides[4])
{
    int chromaRows = 0;
    switch (p.format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_NV12:
    case AV_PIX_FMT_NV21:
    case AV_PIX_FMT_YUV420P9:
    case AV_PIX_FMT_YUV420P10:
    case AV_PIX_FMT_YUV420P12:
    case AV_PIX_FMT_YUV420P14:
        chromaRows = (p.height + 1) / 2;
        break;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUV422P9:
    case AV_PIX_FMT_YUV422P10:
    case AV_PIX_FMT_YUV422P12:
    case AV_PIX_FMT_YUV422P14:
    case AV_PIX_FMT_YUV444P9:
    case AV_PIX_FMT_YUV444P10:
    case AV_PIX_FMT_YUV444P12:
    case AV_PIX_FMT_YUV444P14:
    case AV_PIX_FMT_GBRP:
    case AV_PIX_FMT_GBRP9:
    case AV_PIX_FMT_GBRP10:
    case AV_PIX_FMT_GBRP12:
    case AV_PIX_FMT_GBRP14:
    case AV_PIX_FMT_GRAY8:
        chromaRows = p.height;
        break;
    default:
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const int rows = i == 0 ? p.height : chromaRows;
        planes[i] = p.data[i] ? p.data[i] + static_cast<std::ptrdiff_t>(rows - 1) * p.linesize[i] : nullptr;
        strides[i] = -p.linesize[i];
    }
    return true;
}

// The user data as the packet carried it: upper-case hexadecimal, as wide as
// a pointer. 0 when the text does not parse.
std::uintptr_t ParseUserData(const char* text)
{
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 16);
    return end == text || *end != '\0' ? 0 : static_cast<std::uintptr_t>(value);
}

} // namespace

VideoDecoder::VideoDecoder(CVideoDecoderObserver& observer, DroppedPictureObserver* dropped)
    : observer_(observer), dropped_(dropped)
{
}

VideoDecoder::~VideoDecoder()
{
    if (!CodecLibrariesBound())
        return;
    const CodecEntryPoints& av = Codec();
    av.sws_freeContext(scaler_);
    av.av_frame_free(&picture_);
    if (context_) {
        av.avcodec_close(context_);
        av.av_free(context_);
    }
}

void VideoDecoder::Init()
{
    spdlog::trace("VideoDecoder Init");
    if (!CodecLibrariesBound()) {
        spdlog::error("VideoDecoder has no codec libraries");
        return;
    }
    const CodecEntryPoints& av = Codec();
    if (static_cast<int>(av.avcodec_version() >> 16) != kCodecMajorVersion) {
        spdlog::error("LIBAVCODEC_VERSION_MAJOR mismatch");
        return;
    }
    const AVCodec* codec = av.avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) {
        spdlog::error("avcodec_find_decoder(AV_CODEC_ID_H264) failed");
        return;
    }
    context_ = av.avcodec_alloc_context3(codec);
    if (!context_) {
        spdlog::error("avcodec_alloc_context3 failed");
        return;
    }
    // A stream that claims a huge picture would have the decoder allocate
    // and clear frames of hundreds of megabytes, packet after packet; no
    // phone streams more than 4K.
    context_->max_pixels = kMaxPicturePixels;
    if (av.avcodec_open2(context_, codec, nullptr) < 0) {
        spdlog::error("avcodec_open2 failed");
        return;
    }
    picture_ = av.av_frame_alloc();
    if (!picture_) {
        spdlog::error("av_frame_alloc failed");
        return;
    }
    spdlog::info("VideoDecoder initialized");
    rateStart_ = {};
    picturesCounted_ = 0;
    ready_ = true;
}

bool VideoDecoder::Ready() const
{
    return ready_ && CodecLibrariesBound();
}

void VideoDecoder::Decode(const std::uint8_t* data, std::uint32_t size, std::uint32_t flags, std::uintptr_t userData)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (!Ready())
        return;
    ReceiveFrames();
    flags_ = flags;

    // The bitstream reader may read a little past the end of a packet, and
    // the caller's buffer ends where the payload does: submit a padded copy.
    packet_.resize(std::size_t{size} + AV_INPUT_BUFFER_PADDING_SIZE);
    if (size != 0)
        std::memcpy(packet_.data(), data, size);
    std::memset(packet_.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);

    const CodecEntryPoints& av = Codec();
    AVPacket packet;
    av.av_init_packet(&packet);
    packet.data = packet_.data();
    packet.size = static_cast<int>(size);
    if (userData != 0)
        AttachUserData(packet, userData);

    const int result = av.avcodec_send_packet(context_, &packet);
    if (result == kAgain) {
        spdlog::info("avcodec_send_packet returned (EAGAIN)");
    } else if (result != 0 && size != 4) {
        char text[256] = {};
        av.av_strerror(result, text, sizeof text);
        spdlog::error("avcodec_send_packet returned '{0}' while processing {1} bytes", text, size);
    }
    av.av_packet_free_side_data(&packet);
}

// The library copies a packet's strings metadata into the metadata of the
// picture decoded from it, which is how the user data finds its picture.
void VideoDecoder::AttachUserData(AVPacket& packet, std::uintptr_t userData)
{
    const CodecEntryPoints& av = Codec();
    char text[2 * sizeof(std::uintptr_t) + 1];
    std::snprintf(text, sizeof text, "%0*" PRIXPTR, static_cast<int>(2 * sizeof(std::uintptr_t)), userData);
    AVDictionary* dictionary = nullptr;
    if (av.av_dict_set(&dictionary, kUserDataKey, text, 0) < 0)
        spdlog::error("av_dict_set failed");
    PackedSizeType packedSize = 0;
    std::uint8_t* packed = av.av_packet_pack_dictionary(dictionary, &packedSize);
    av.av_dict_free(&dictionary);
    if (!packed) {
        spdlog::error("av_packet_pack_dictionary failed");
        return;
    }
    if (av.av_packet_add_side_data(&packet, AV_PKT_DATA_STRINGS_METADATA, packed, packedSize) < 0) {
        spdlog::error("av_packet_add_side_data failed");
        av.av_free(packed);
    }
}

void VideoDecoder::ReceiveFrames()
{
    if (!Ready())
        return;
    const CodecEntryPoints& av = Codec();
    for (;;) {
        const int result = av.avcodec_receive_frame(context_, picture_);
        if (result != 0) {
            if (result != kAgain)
                spdlog::info("avcodec_receive_frame returned {0}", result);
            return;
        }
        CountPicture();

        std::uintptr_t userData = 0;
        if (const AVDictionaryEntry* entry = av.av_dict_get(picture_->metadata, kUserDataKey, nullptr, 0)) {
            userData = ParseUserData(entry->value);
            av.av_dict_free(&picture_->metadata);
        }
        if (picture_->format != AV_PIX_FMT_YUV420P)
            spdlog::info("avcodec_receive_frame format: {0}", picture_->format);
        ScaleAndDeliver(*picture_, userData);
    }
}

void VideoDecoder::CountPicture()
{
    ++picturesCounted_;
    const auto now = std::chrono::steady_clock::now();
    const double elapsedMs = std::chrono::duration<double, std::milli>(now - rateStart_).count();
    if (elapsedMs >= 1000.0) {
        const float rate = static_cast<float>(picturesCounted_ * 1000.0 / elapsedMs);
        spdlog::trace("decoder FPS {0:03.2f}", rate);
        picturesCounted_ = 0;
        rateStart_ = std::chrono::steady_clock::now();
    }
}

bool VideoDecoder::SetUpScaler(const AVFrame& picture, std::uint32_t outW, std::uint32_t outH,
                               DriverPixelFormat format)
{
    const auto inW = static_cast<std::uint32_t>(picture.width);
    const auto inH = static_cast<std::uint32_t>(picture.height);
    if (scaler_ && outW == outputWidth_ && outH == outputHeight_ && inW == sourceWidth_ && inH == sourceHeight_ &&
        format == outputFormat_ && picture.format == sourceFormat_)
        return true;

    const PictureFit fit = FitPicture(inW, inH, outW, outH, format);
    if (fit.letterboxed) {
        spdlog::info("decoder output size {0} x {1} will be scaled to {2} x {3} as driver requires {4} x {5}", inW,
                     inH, fit.scaledWidth, fit.scaledHeight, outW, outH);
        if (fit.sideBar != 0)
            spdlog::info("output image will have black bars of {0} pixels on left and right hand sides", fit.sideBar);
        if (fit.topBar != 0)
            spdlog::info("output image will have black bars of {0} pixels on top and bottom", fit.topBar);
    }
    const CodecEntryPoints& av = Codec();
    av.sws_freeContext(scaler_);
    scaler_ = av.sws_getContext(picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                static_cast<int>(fit.scaledWidth), static_cast<int>(fit.scaledHeight),
                                ScalerFormat(format), SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_) {
        // Nothing is remembered, so the next picture tries again.
        spdlog::error("sws_getContext failed");
        return false;
    }
    fit_ = fit;
    sourceWidth_ = inW;
    sourceHeight_ = inH;
    outputWidth_ = outW;
    outputHeight_ = outH;
    sourceFormat_ = picture.format;
    outputFormat_ = format;
    spdlog::info("sws configured to {0}: input = {1} x {2}, output = {3} x {4}", PixelFormatName(format), inW, inH,
                 fit.scaledWidth, fit.scaledHeight);
    return true;
}

void VideoDecoder::ScaleAndDeliver(const AVFrame& picture, std::uintptr_t userData)
{
    if (!CodecLibrariesBound())
        return;
    std::uint32_t outW = 0;
    std::uint32_t outH = 0;
    std::int32_t index = kPixelRgba32;
    std::uint8_t* buffer = observer_.GetFrameBuffer(outW, outH, index);
    const DriverPixelFormat format = PixelFormatFromIndex(index);
    if (!buffer || !Scale(picture, buffer, outW, outH, format)) {
        if (dropped_)
            dropped_->OnPictureDropped(buffer, userData);
        return;
    }
    outputFormat_ = format;
    observer_.OnFrameReady(buffer, outW, outH, format, userData);
}

void VideoDecoder::DeliverRawFrame(const std::uint8_t* data, std::uint32_t width, std::uint32_t height,
                                   std::uintptr_t userData)
{
    if (!CodecLibrariesBound())
        return;
    const std::size_t bytes = std::size_t{width} * height * 3 / 2;
    rawFrame_.resize(bytes + AV_INPUT_BUFFER_PADDING_SIZE);
    std::memcpy(rawFrame_.data(), data, bytes);
    std::memset(rawFrame_.data() + bytes, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    AVFrame picture{};
    picture.width = static_cast<int>(width);
    picture.height = static_cast<int>(height);
    picture.format = AV_PIX_FMT_NV12;
    if (Codec().av_image_fill_arrays(picture.data, picture.linesize, rawFrame_.data(), AV_PIX_FMT_NV12,
                                     picture.width, picture.height, 1) < 0) {
        spdlog::error("av_image_fill_arrays failed");
        if (dropped_)
            dropped_->OnPictureDropped(nullptr, userData);
        return;
    }
    ScaleAndDeliver(picture, userData);
}

bool VideoDecoder::Scale(const AVFrame& picture, std::uint8_t* buffer, std::uint32_t outW, std::uint32_t outH,
                         DriverPixelFormat format)
{
    if (!Deliverable(format) || !FrameSizeUsable(format, outW, outH))
        return false;
    if (!SetUpScaler(picture, outW, outH, format))
        return false;

    // The scaler writes rows in buffer order (see PaintBars): a picture
    // stored the other way up is written through a destination turned
    // over where that is safe, else read bottom line first.
    const bool upsideDown = IsUpsideDown(flags_);
    const std::uint8_t* const* source = picture.data;
    const int* sourceStrides = picture.linesize;
    const std::uint8_t* reversed[4];
    int reversedStrides[4];
    Destination to = PlacePicture(buffer, outW, outH, format, fit_, upsideDown);
    if (SourceReversed(format, upsideDown) && !TurnDestination(to, format, fit_)) {
        if (!ReverseSource(picture, reversed, reversedStrides))
            return false;
        source = reversed;
        sourceStrides = reversedStrides;
    }
    const int rows =
        Codec().sws_scale(scaler_, source, sourceStrides, 0, static_cast<int>(sourceHeight_), to.planes, to.strides);
    if (rows < 1)
        spdlog::error("sws_scale failed");
    PaintBars(buffer, outW, outH, format, fit_, upsideDown);
    if (IsMirrored(flags_))
        MirrorFrame(buffer, outW, outH, format);
    return true;
}

} // namespace talvik
