// Decode and scale per frame of the video decoder against a bare loop of the
// same library calls on the same stream, and heap allocations per frame.
//
// Streams: 60 frames of the phone simulator's moving test pattern at
// 1920 x 1080 and 1280 x 720, encoded as the phone streams (no B-frames),
// decoded into a 1280 x 720 buffer in ARGB32, NV12 and YUY2. The bare loop
// sends each packet, receives the picture and scales it straight into the
// buffer with one bilinear scaler, through the same bound libraries; the
// decoder adds its padded packet copy, bars, orientation and delivery.
// Every iteration runs both over the whole stream, each timed on the
// thread's CPU clock (decoding and scaling run on the calling thread), so
// that other load on the machine touches both alike. Goal: ratio (decoder /
// bare) <= 1.05, and no allocation per frame in steady state.
#include "media/codec_library.h"
#include "media/pixel_format.h"
#include "media/video_decoder.h"
#include "tests/bench/allocation_counter.h"
#include "tests/bench/cpu_time.h"
#include "tests/bench/phone_stream.h"
#include "tests/bench/system_codecs.h"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <time.h>

#include <cstdio>
#include <algorithm>
#include <map>
#include <string>
#include <vector>

using namespace talvik;

namespace {

constexpr int kFrames = 60;
constexpr std::uint32_t kOutW = 1280;
constexpr std::uint32_t kOutH = 720;

using Units = std::vector<phonesim::Bytes>;

const Units& Stream(int width, int height)
{
    static std::map<int, Units> streams;
    Units& units = streams[width];
    if (units.empty())
        units = bench::PhoneStream(width, height, kFrames);
    return units;
}

using bench::PayloadSize;

class NullCamera : public CVideoDecoderObserver {
public:
    explicit NullCamera(DriverPixelFormat format) : format_(format), buffer_(FrameBytes(format, kOutW, kOutH)) {}
    std::uint8_t* GetFrameBuffer(std::uint32_t& width, std::uint32_t& height, std::int32_t& format) override
    {
        width = kOutW;
        height = kOutH;
        format = format_;
        return buffer_.data();
    }
    void OnFrameReady(std::uint8_t* buffer, std::uint32_t, std::uint32_t, std::int32_t, std::uintptr_t) override
    {
        benchmark::DoNotOptimize(buffer);
        ++frames;
    }
    int frames = 0;

private:
    std::int32_t format_;
    std::vector<std::uint8_t> buffer_;
};

void DecodeStream(VideoDecoder& decoder, const Units& units)
{
    for (const auto& unit : units)
        decoder.Decode(unit.data(), PayloadSize(unit), 0, 0);
    std::lock_guard<std::mutex> hold(decoder.Lock());
    decoder.ReceiveFrames();
}

AVPixelFormat ScalerFormat(DriverPixelFormat format)
{
    return format == kPixelArgb32 ? AV_PIX_FMT_BGRA : format == kPixelNv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUYV422;
}

// The same libraries called directly: send, receive, scale into the buffer.
class BareLoop {
public:
    BareLoop(int width, int height, DriverPixelFormat format)
        : av_(Codec()), buffer_(FrameBytes(format, kOutW, kOutH))
    {
        const AVCodec* codec = av_.avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = av_.avcodec_alloc_context3(codec);
        frame_ = av_.av_frame_alloc();
        opened_ = context_ && frame_ && av_.avcodec_open2(context_, codec, nullptr) >= 0;
        scaler_ = av_.sws_getContext(width, height, AV_PIX_FMT_YUV420P, kOutW, kOutH, ScalerFormat(format),
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
        const int rowBytes =
            static_cast<int>(format == kPixelArgb32 ? kOutW * 4 : format == kPixelYuy2 ? kOutW * 2 : kOutW);
        planes_[0] = buffer_.data();
        strides_[0] = rowBytes;
        if (format == kPixelNv12) {
            planes_[1] = buffer_.data() + kOutW * kOutH;
            strides_[1] = rowBytes;
        }
        if (format == kPixelArgb32) {
            // Bottom-up rows: the last row first, stride negative.
            planes_[0] += static_cast<std::size_t>(rowBytes) * (kOutH - 1);
            strides_[0] = -rowBytes;
        }
    }
    ~BareLoop()
    {
        av_.sws_freeContext(scaler_);
        av_.av_frame_free(&frame_);
        if (context_) {
            av_.avcodec_close(context_);
            av_.av_free(context_);
        }
    }
    bool Usable() const { return opened_ && scaler_; }

    void Run(const Units& units)
    {
        for (const auto& unit : units) {
            Receive();
            AVPacket packet;
            av_.av_init_packet(&packet);
            packet.data = const_cast<std::uint8_t*>(unit.data());
            packet.size = static_cast<int>(PayloadSize(unit));
            av_.avcodec_send_packet(context_, &packet);
        }
        Receive();
    }
    int frames = 0;

private:
    void Receive()
    {
        while (av_.avcodec_receive_frame(context_, frame_) == 0) {
            av_.sws_scale(scaler_, frame_->data, frame_->linesize, 0, frame_->height, planes_, strides_);
            benchmark::DoNotOptimize(buffer_.data());
            ++frames;
        }
    }

    const CodecEntryPoints& av_;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    SwsContext* scaler_ = nullptr;
    bool opened_ = false;
    std::vector<std::uint8_t> buffer_;
    std::uint8_t* planes_[4] = {};
    int strides_[4] = {};
};

double TimeBareLoop(BareLoop& bare, const Units& units)
{
    const double start = bench::CallingThreadCpuSeconds();
    bare.Run(units);
    return bench::CallingThreadCpuSeconds() - start;
}

void BM_DecodeAndScale(benchmark::State& state, int width, int height, DriverPixelFormat format)
{
    const Units& units = Stream(width, height);
    NullCamera camera(format);
    VideoDecoder decoder(camera);
    decoder.Init();
    BareLoop bare(width, height, format);
    if (!bare.Usable()) {
        state.SkipWithError("cannot open the bare loop's decoder and scaler");
        return;
    }
    // Scalers set up, picture pools filled.
    DecodeStream(decoder, units);
    bare.Run(units);
    camera.frames = bare.frames = 0;

    double decoderSeconds = 0;
    double bareSeconds = 0;
    std::uint64_t allocations = 0;
    // Each goes first every other iteration, so that neither always finds
    // the caches as the other left them.
    bool decoderFirst = true;
    for (auto _ : state) {
        if (!decoderFirst)
            bareSeconds += TimeBareLoop(bare, units);
        const std::uint64_t before = bench::AllocationCount();
        const double start = bench::CallingThreadCpuSeconds();
        DecodeStream(decoder, units);
        decoderSeconds += bench::CallingThreadCpuSeconds() - start;
        allocations += bench::AllocationCount() - before;
        if (decoderFirst)
            bareSeconds += TimeBareLoop(bare, units);
        decoderFirst = !decoderFirst;
    }
    if (camera.frames != bare.frames || camera.frames != kFrames * static_cast<int>(state.iterations())) {
        state.SkipWithError("frames were lost");
        return;
    }
    const double frames = std::max(camera.frames, 1);
    state.counters["decoder_ms"] = decoderSeconds * 1000 / frames;
    state.counters["bare_ms"] = bareSeconds * 1000 / frames;
    state.counters["ratio"] = decoderSeconds / bareSeconds;
    state.counters["allocs_per_frame"] = static_cast<double>(allocations) / frames;
}

const char* kFormatNames[] = {"ARGB32", "NV12", "YUY2"};

} // namespace

int main(int argc, char** argv)
{
    if (!bench::BindSystemCodecLibraries())
        return 1;
    // The decoder's set-up lines are not the benchmark's output.
    spdlog::set_level(spdlog::level::warn);
    for (const auto& [w, h] : {std::pair{1920, 1080}, std::pair{1280, 720}})
        for (DriverPixelFormat format : {kPixelNv12, kPixelArgb32, kPixelYuy2})
            benchmark::RegisterBenchmark((std::to_string(h) + "p_into_720p/" + kFormatNames[format]).c_str(),
                                         BM_DecodeAndScale, w, h, format)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(2.0); // a few hundred pictures: one stream's worth is noise
    benchmark::Initialize(&argc, argv);
    std::printf("goal: ratio (decoder / bare loop, CPU time per frame) <= 1.05, allocs_per_frame 0\n");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    UnloadCodecLibraries();
    return 0;
}
