// The microphone's delay: from the moment a phone's block is handed to the
// Linux audio device to the recorder's PipeWire buffer that carries its
// first frame, on a private PipeWire (bus, daemon, wireplumber,
// pipewire-pulse; the graph runs at its default rate, so the audio is
// resampled on the way as on a desktop).
//
// A writer thread hands blocks of 1024 stereo frames at the phone's pace
// (one every 23.2 ms, each late by a random 0 to 10 ms as over a network,
// which also sweeps the blocks across the graph's cycles); every frame of block s holds the level 2000 + 60 s.
// A capture stream of this process, linked to the microphone,
// time-stamps the first frame of each level in its process callback.
// Measured for the PipeWire audio source, and, as the baseline in the same
// run, for the FIFO route it replaces: the same blocks written to the
// sound server's pipe source (module-pipe-source through pipewire-pulse).
// The first two seconds are left out while the graph settles.
// Prints the median and the 99th percentile of each, their ratio and the
// blocks never seen. Figures, not pass or fail: on a shared machine they are
// noisy.
#include "base/config.h"
#include "media/audio_device.h"
#include "tests/support/fake_config_store.h"
#include "tests/support/pipewire_posix.h"
#include "tests/support/wait_until.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

using namespace talvik;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlocks = 516; // 12 s
constexpr int kWarmUpBlocks = 86; // the first two seconds, while the graph settles
constexpr std::size_t kBlockFrames = 1024;
// Rising in small steps, so that the resampler's passage from one level to
// the next never looks like a later block.
std::int16_t Level(int block)
{
    return static_cast<std::int16_t>(2000 + 60 * block);
}

// A PipeWire capture stream linked to `target` that time-stamps in `seen`,
// for each block in order, the first buffer holding its level; `seen` is
// the stream's until the recorder is gone.
class Recorder {
public:
    Recorder(const char* target, std::vector<Clock::time_point>& seen) : seen_(seen)
    {
        loop_ = pw_thread_loop_new("bench-recorder", nullptr);
        pw_thread_loop_lock(loop_);
        pw_thread_loop_start(loop_);
        stream_ = pw_stream_new_simple(
            pw_thread_loop_get_loop(loop_), "bench-recorder",
            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
                              "Communication", PW_KEY_TARGET_OBJECT, target, PW_KEY_NODE_LATENCY, "512/44100",
                              nullptr),
            &kEvents, this);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16_LE;
        info.rate = 44100;
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        std::uint8_t storage[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* format = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
        pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                       PW_STREAM_FLAG_RT_PROCESS),
                          &format, 1);
        pw_thread_loop_unlock(loop_);
    }
    ~Recorder()
    {
        pw_thread_loop_lock(loop_);
        pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_thread_loop_destroy(loop_);
    }

    bool running() const { return buffers_.load() > 0; }

private:
    static void OnProcess(void* data) { static_cast<Recorder*>(data)->Process(); }

    void Process()
    {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
        if (buffer == nullptr)
            return;
        const Clock::time_point now = Clock::now();
        const spa_data& data = buffer->buffer->datas[0];
        const auto* samples = static_cast<const std::int16_t*>(data.data);
        const std::size_t frames = samples ? data.chunk->size / 4 : 0;
        for (std::size_t f = 0; f < frames && next_ < kBlocks; ++f) {
            // A block that never came is passed over when a later one shows.
            for (int ahead = 0; ahead < 4 && next_ + ahead < kBlocks; ++ahead) {
                if (std::abs(samples[2 * f] - Level(next_ + ahead)) < 20) {
                    next_ += ahead;
                    seen_[next_++] = now;
                    break;
                }
            }
        }
        ++buffers_;
        pw_stream_queue_buffer(stream_, buffer);
    }

    static constexpr pw_stream_events kEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.process = OnProcess;
        return events;
    }();

    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    std::vector<Clock::time_point>& seen_;
    int next_ = 0;
    std::atomic<int> buffers_{0};
};

struct Figures {
    double medianMs = 0, p99Ms = 0;
    int lost = 0;
};

// Streams the blocks into `device` at the phone's pace while `target` is
// recorded.
std::optional<Figures> Measure(AudioDevice& device, const char* target)
{
    std::vector<Clock::time_point> written(kBlocks);
    std::vector<Clock::time_point> seen(kBlocks);
    {
        Recorder recorder(target, seen);
        if (!talvik::test::WaitUntil([&] { return recorder.running(); }, 10s, 10ms))
            return std::nullopt;
        // Settling and draining (below) are part of the measurement's plan:
        // the recorder's first and last half second are not measured.
        std::this_thread::sleep_for(500ms);
        std::vector<std::uint8_t> block(kBlockFrames * 4);
        std::minstd_rand random(5055);
        std::uniform_int_distribution<int> jitter(0, 10000);
        const Clock::time_point start = Clock::now();
        for (int s = 0; s < kBlocks; ++s) {
            std::this_thread::sleep_until(start + s * std::chrono::microseconds(1000000 * kBlockFrames / 44100) +
                                          std::chrono::microseconds(jitter(random)));
            const std::int16_t level = Level(s);
            for (std::size_t f = 0; f < 2 * kBlockFrames; ++f)
                std::memcpy(block.data() + 2 * f, &level, 2);
            written[s] = Clock::now();
            std::uint32_t error = 0;
            device.Write(block.data(), block.size(), error);
        }
        std::this_thread::sleep_for(500ms);
    }
    std::vector<double> delays;
    for (int s = kWarmUpBlocks; s < kBlocks; ++s)
        if (seen[s] != Clock::time_point{})
            delays.push_back(std::chrono::duration<double, std::milli>(seen[s] - written[s]).count());
    if (delays.empty())
        return std::nullopt;
    std::sort(delays.begin(), delays.end());
    return Figures{delays[delays.size() / 2], delays[delays.size() * 99 / 100], kBlocks - kWarmUpBlocks - static_cast<int>(delays.size())};
}

std::unique_ptr<AudioDevice> Open(test::FakeConfigStore& config)
{
    FindAudioDevicePath(config);
    return OpenAudioDevice().device;
}

} // namespace

int main()
{
    test::PipeWire pipewire;
    if (const std::string problem = pipewire.Start(); !problem.empty()) {
        std::printf("bench_microphone: skipped: %s\n", problem.c_str());
        return 0;
    }
    for (const std::string& entry : pipewire.ClientEnvironment()) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    pw_init(nullptr, nullptr);

    test::FakeConfigStore pipewireChoice;
    pipewireChoice.SetString(kProductKey, kMicrophoneValue, "pipewire");
    std::unique_ptr<AudioDevice> microphone = Open(pipewireChoice);
    const std::optional<Figures> node = microphone ? Measure(*microphone, "talvik-microphone") : std::nullopt;
    microphone.reset();

    const std::string fifo = pipewire.dir.File("talvik-mic");
    std::optional<Figures> pipe;
    if (pipewire.Run("pactl", {"load-module", "module-pipe-source", "source_name=talvik_mic", "file=" + fifo,
                               "format=s16le", "rate=44100", "channels=2"},
                     10) == 0) {
        test::FakeConfigStore fifoChoice;
        fifoChoice.SetString(kProductKey, kMicrophoneValue, "fifo");
        fifoChoice.SetString(kProductKey, kAudioDeviceValue, fifo);
        if (std::unique_ptr<AudioDevice> device = Open(fifoChoice))
            pipe = Measure(*device, "talvik_mic");
    }

    std::printf("microphone delay, block handed over -> recorder's PipeWire buffer, %d blocks after the first two "
                "second:\n",
                kBlocks - kWarmUpBlocks);
    for (const auto& [name, figures] : {std::pair{"PipeWire audio source", node}, std::pair{"FIFO pipe source", pipe}}) {
        if (figures)
            std::printf("  %-22s median %6.1f ms  p99 %6.1f ms  blocks not seen %d\n", name, figures->medianMs,
                        figures->p99Ms, figures->lost);
        else
            std::printf("  %-22s not measured (the recorder got nothing)\n", name);
    }
    if (node && pipe)
        std::printf("  ratio PipeWire / FIFO: median %.2f  p99 %.2f\n", node->medianMs / pipe->medianMs,
                    node->p99Ms / pipe->p99Ms);
    pw_deinit();
    return node ? 0 : 1;
}
