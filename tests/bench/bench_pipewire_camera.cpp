// The service's CPU while a phone streams 1080p at 30 fps into a PipeWire
// camera consumer, against the decoder's own decode and scale of the same
// stream into the same picture, measured in the same run.
//
// The service: TalvikSvc with the PipeWire camera on a private PipeWire,
// GStreamer's pipewiresrc taking 1920 x 1080 NV12 into a fakesink, the phone
// simulator streaming its pattern; after a 3 s warm-up, the service's user
// and system time over 10 s divided by the pictures it decoded meanwhile
// (from its "decoder FPS" lines). The decoder: VideoDecoder in this process
// on the phone simulator's encoding of the same pattern, into a 1920 x 1080
// NV12 buffer, at the same pace, on this thread's CPU clock, over the same
// warm-up and window, before and after the service. Goal: ratio
// (service / decoder) <= 1.10: receiving, parsing and handing pictures to
// the consumer add little to decoding them. Figures, not pass or fail: on a shared machine
// they are noisy.
#include "media/codec_library.h"
#include "media/video_decoder.h"
#include "tests/bench/cpu_time.h"
#include "tests/bench/phone_stream.h"
#include "tests/bench/system_codecs.h"
#include "tests/service/service_rig_posix.h"
#include "tests/support/phonesim_process.h"
#include "tests/support/pipewire_posix.h"

#include <spdlog/spdlog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

using namespace talvik;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;

class Camera : public CVideoDecoderObserver {
public:
    std::uint8_t* GetFrameBuffer(std::uint32_t& width, std::uint32_t& height, std::int32_t& format) override
    {
        width = kWidth;
        height = kHeight;
        format = kPixelNv12;
        return buffer_.data();
    }
    void OnFrameReady(std::uint8_t*, std::uint32_t, std::uint32_t, std::int32_t, std::uintptr_t) override
    {
        ++frames;
    }
    int frames = 0;

private:
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(FrameBytes(kPixelNv12, kWidth, kHeight) + 64);
};

// Both sides are measured alike: a warm-up, then the mean over a window of
// the same length (a best-of-several for one side only would favour it).
constexpr auto kWarmUp = 3s;
constexpr auto kWindow = 10s;
constexpr int kPicturesPerSecond = 30;

// The pattern's pictures as the phone sends them from the start, as many
// as a warm-up and a window take: the decoder's window decodes the same
// pictures as the service's does, not the first few again and again.
std::vector<phonesim::Bytes> StreamedPictures()
{
    return bench::PhoneStream(kWidth, kHeight, static_cast<int>((kWarmUp + kWindow).count()) * kPicturesPerSecond);
}

// The decoder's CPU seconds per picture of `units`, paced as the phone
// streams (one picture every 33 ms, so that caches cool between pictures as
// they do in the service), over the same warm-up and window as the service.
double DecoderSecondsPerPicture(const std::vector<phonesim::Bytes>& units)
{
    Camera camera;
    VideoDecoder decoder(camera);
    decoder.Init();
    const auto warmUp = static_cast<std::size_t>(kWarmUp.count() * kPicturesPerSecond);
    double seconds = 0;
    auto next = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (i == warmUp) {
            seconds = 0;
            camera.frames = 0;
        }
        std::this_thread::sleep_until(next += std::chrono::microseconds(1000000 / kPicturesPerSecond));
        const double start = bench::CallingThreadCpuSeconds();
        decoder.Decode(units[i].data(), bench::PayloadSize(units[i]), 0, 0);
        std::lock_guard<std::mutex> hold(decoder.Lock());
        decoder.ReceiveFrames();
        seconds += bench::CallingThreadCpuSeconds() - start;
    }
    if (camera.frames == 0) {
        std::fprintf(stderr, "the decoder delivered no pictures\n");
        std::exit(1);
    }
    return seconds / camera.frames;
}

// User plus system time of process `pid`, from its stat line.
double ProcessSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The decoder's mean rate in the log since `from`, from its once-a-second
// "decoder FPS" lines; 0 without any. The rate, not the sum of the lines:
// the log is written a second at a time, so a window holds one line more or
// less than it has seconds.
double PicturesPerSecond(const std::string& log, std::size_t from)
{
    double sum = 0;
    int lines = 0;
    const std::string key = "] decoder FPS ";
    for (std::size_t at = log.find(key, from); at != std::string::npos; at = log.find(key, at + 1), ++lines)
        sum += std::atof(log.c_str() + at + key.size());
    return lines == 0 ? 0 : sum / lines;
}

int Fail(const std::string& what, const test::ServiceRig& rig)
{
    std::fprintf(stderr, "%s\n%s\n", what.c_str(), rig.Log().c_str());
    return 1;
}

} // namespace

int main()
{
    if (!bench::BindSystemCodecLibraries())
        return 1;
    spdlog::set_level(spdlog::level::warn);
    const std::vector<phonesim::Bytes> units = StreamedPictures();
    // The decoder before and after the service, so that a machine that
    // speeds up or slows down meanwhile does not tilt the ratio.
    const double before = DecoderSecondsPerPicture(units);

    test::PipeWire pipewire;
    if (const std::string why = pipewire.Start(); !why.empty()) {
        std::fprintf(stderr, "no PipeWire: %s\n", why.c_str());
        return 1;
    }
    test::ServiceRig rig({"Camera=pipewire"});
    rig.Start(rig.unusedUsbmuxd(), {"PIPEWIRE_RUNTIME_DIR=" + pipewire.dir.path()});
    if (!rig.WaitFor([&] { return rig.Count("PipeWire camera: published as \"Vidrelo Camera\" (talvik-camera)"); }))
        return Fail("the camera was not published", rig);
    test::HelperProcess consumer(test::FindProgram("gst-launch-1.0"),
                                 {"-q", "pipewiresrc", "target-object=talvik-camera", "!",
                                  "video/x-raw,format=NV12,width=1920,height=1080", "!", "fakesink"},
                                 pipewire.ClientEnvironment());
    if (!rig.WaitFor([&] { return rig.Count("PipeWire camera: a consumer takes 1920 x 1080 NV12") > 0; }))
        return Fail("the consumer did not come", rig);
    auto phone = test::StartPhonesim({"connect", "--port", std::to_string(rig.port()), "--duration", "40"});
    if (!rig.WaitFor([&] { return rig.Count("StartStreaming: 1920 x 1080 at 30 fps") == 1; }))
        return Fail("the phone did not stream 1080p", rig);
    // Letting time pass is the measurement: a warm-up, then the window.
    std::this_thread::sleep_for(kWarmUp);
    const std::size_t from = rig.Log().size();
    const double start = ProcessSeconds(rig.pid());
    std::this_thread::sleep_for(kWindow);
    const double seconds = ProcessSeconds(rig.pid()) - start;
    std::this_thread::sleep_for(1100ms); // the log is written once a second
    const double pictures = PicturesPerSecond(rig.Log(), from) * static_cast<double>(kWindow.count());
    phone->Stop();
    consumer.Stop();
    if (pictures < 100)
        return Fail("too few pictures were decoded", rig);

    rig.Stop();
    const double after = DecoderSecondsPerPicture(units);
    const double decoder = (before + after) / 2;
    const double service = seconds / pictures;
    std::printf("service: %.2f ms CPU per picture (%.0f pictures, %.0f%% of a core)\n", service * 1000, pictures,
                seconds * 100 / static_cast<double>(kWindow.count()));
    std::printf("decoder: %.2f ms CPU per picture (decode and scale, this process; %.2f before the service, "
                "%.2f after)\n",
                decoder * 1000, before * 1000, after * 1000);
    std::printf("ratio (service / decoder): %.3f, goal <= 1.10\n", service / decoder);
    UnloadCodecLibraries();
    return 0;
}
