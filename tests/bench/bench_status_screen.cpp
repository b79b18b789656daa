// One status frame at 1920 x 1080 in each pixel format (background,
// spinner, WiFi and USB icons, format text, through the camera client)
// against a plain fill of the same frame buffer (the status frame's black
// background) with the same camera client calls. Each iteration runs both, each timed on the thread's CPU clock.
// Goal: ratio (status frame / fill) <= 1.5, and no allocation per frame.
#include "base/config.h"
#include "engine/overlay_on_black.h"
#include "engine/status_screen.h"
#include "media/codec_library.h"
#include "media/frame_buffer_record.h"
#include "media/pixel_format.h"
#include "media/video_driver.h"
#include "session/phone_session.h"
#include "tests/bench/allocation_counter.h"
#include "tests/bench/cpu_time.h"
#include "tests/bench/system_codecs.h"
#include "tests/support/fake_config_store.h"

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace talvik;

namespace {

constexpr std::uint32_t kWidth = 1920;
constexpr std::uint32_t kHeight = 1080;

// A consumer that wants `format` and discards what it is given.
class NullCamera : public DeviceChannel {
public:
    explicit NullCamera(DriverPixelFormat format) : record_(DescribeFormat(kWidth, kHeight, format)) {}
    bool FindDevicePath() override { return true; }
    std::uint32_t Open() override { return 0; }
    std::uint32_t GetFrameBuffer(FrameBufferRecord& record) override
    {
        record = record_;
        return 0;
    }
    std::uint32_t WriteBuffered(const std::uint8_t* picture, std::uint32_t) override
    {
        benchmark::DoNotOptimize(picture);
        return 0;
    }
    std::uint32_t CommitFrameBuffer(FrameBufferRecord&) override { return 0; }
    void Close() override {}

private:
    FrameBufferRecord record_;
};

// A network and a USB phone: every icon is drawn.
class BothLinks : public PhoneSession {
public:
    void Tick(std::uint32_t) override {}
    void StartStreaming(const ClientFormat&) override {}
    bool networkAvailable() const override { return true; }
    ConnectionState state() const override { return ConnectionState::kIdle; }
    bool hasUsbConnection() const override { return true; }
    int usbValidDeviceCount() const override { return 1; }
    bool usbHasDeviceList() const override { return true; }
};

// The background alone: the status frame's own fill, so that the ratio is
// what the images cost on top of it.
void PlainFill(VideoDriver& camera)
{
    std::uint32_t width = 0, height = 0;
    DriverPixelFormat format = kPixelArgb32;
    std::uint8_t* buffer = camera.GetOutputBuffer(width, height, format);
    FillStatusBackground(buffer, width, height, format);
    camera.CommitOutputBuffer(buffer, FrameBytes(format, width, height));
}

void BM_StatusFrame(benchmark::State& state, DriverPixelFormat format)
{
    test::FakeConfigStore config;
    StatusScreen screen(config);
    VideoDriver camera(std::make_unique<NullCamera>(format));
    camera.Open();
    const BothLinks links;
    CameraPicture picture;
    std::uint32_t overlayUntil = 0;
    // The first frame makes the format text; the text stays up throughout.
    const std::uint32_t now = 1000;
    screen.PaintStatusFrame(camera, links, true, now, picture, overlayUntil);

    double statusSeconds = 0;
    double fillSeconds = 0;
    std::uint64_t allocations = 0;
    for (auto _ : state) {
        const std::uint64_t before = bench::AllocationCount();
        const double start = bench::CallingThreadCpuSeconds();
        screen.PaintStatusFrame(camera, links, true, now, picture, overlayUntil);
        const double middle = bench::CallingThreadCpuSeconds();
        allocations += bench::AllocationCount() - before;
        PlainFill(camera);
        statusSeconds += middle - start;
        fillSeconds += bench::CallingThreadCpuSeconds() - middle;
    }
    const double frames = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["status_ms"] = statusSeconds * 1000 / frames;
    state.counters["fill_ms"] = fillSeconds * 1000 / frames;
    state.counters["ratio"] = statusSeconds / fillSeconds;
    state.counters["allocs_per_frame"] = static_cast<double>(allocations) / frames;
}

} // namespace

int main(int argc, char** argv)
{
    if (!bench::BindSystemCodecLibraries())
        return 1;
    spdlog::set_level(spdlog::level::warn);
    for (DriverPixelFormat format : {kPixelArgb32, kPixelNv12, kPixelYuy2})
        benchmark::RegisterBenchmark((std::string("1080p/") + PixelFormatName(format)).c_str(), BM_StatusFrame,
                                     format)
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    std::printf("goal: ratio (status frame / plain fill, CPU time per frame) <= 1.5, allocs_per_frame 0\n");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    UnloadCodecLibraries();
    return 0;
}
