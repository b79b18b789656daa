#include "media/pipewire_microphone_linux.h"

#include "media/pipewire_link_linux.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace talvik {
namespace {

constexpr const char* kNodeName = "talvik-microphone";
constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kChannels = 2;
constexpr std::size_t kFrameBytes = 4;
// Two phone blocks of 1024 frames: one playing, one arriving, with room for
// the network's jitter; more would only add delay.
constexpr std::size_t kRingFrames = 2048;

// The frames between Write and the graph's cycles. Positions count frames
// since the open; the ring holds the frames [read, write).
class FrameRing {
public:
    // Appends `frames`, pushing out the oldest ones that no longer fit; true
    // when some were pushed out.
    bool Put(const std::uint8_t* data, std::size_t frames)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frames > kRingFrames) {
            data += (frames - kRingFrames) * kFrameBytes;
            frames = kRingFrames;
        }
        const bool overflow = write_ - read_ + frames > kRingFrames;
        if (overflow)
            read_ = write_ + frames - kRingFrames;
        Spans(write_, frames, [&](std::size_t ring, std::size_t outside, std::size_t count) {
            std::memcpy(bytes_.data() + ring * kFrameBytes, data + outside * kFrameBytes, count * kFrameBytes);
        });
        write_ += frames;
        return overflow;
    }

    // Moves up to `frames` frames into `out`; how many it moved.
    std::size_t Take(std::uint8_t* out, std::size_t frames)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t count = std::min<std::size_t>(frames, write_ - read_);
        Spans(read_, count, [&](std::size_t ring, std::size_t outside, std::size_t n) {
            std::memcpy(out + outside * kFrameBytes, bytes_.data() + ring * kFrameBytes, n * kFrameBytes);
        });
        read_ += count;
        return count;
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        read_ = write_;
    }

private:
    // Calls `copy`(frame in the ring, frame outside, count) for the one or
    // two spans that `frames` frames from `position` on take in the ring.
    template <typename Copy>
    static void Spans(std::uint64_t position, std::size_t frames, Copy copy)
    {
        const std::size_t at = position % kRingFrames;
        const std::size_t first = std::min(frames, kRingFrames - at);
        copy(at, std::size_t{0}, first);
        if (frames > first)
            copy(std::size_t{0}, first, frames - first);
    }

    std::mutex mutex_;
    std::array<std::uint8_t, kRingFrames * kFrameBytes> bytes_{};
    std::uint64_t read_ = 0;
    std::uint64_t write_ = 0;
};

class PipeWireMicrophone : public AudioDevice, PipeWireLink::Node {
public:
    PipeWireMicrophone()
        : link_({"PipeWire microphone", kNodeName, "Vidrelo Microphone", "microphone", "microphone: " + Describe()},
                *this)
    {
    }
    ~PipeWireMicrophone() override { link_.Close(); }
    PipeWireMicrophone(const PipeWireMicrophone&) = delete;
    PipeWireMicrophone& operator=(const PipeWireMicrophone&) = delete;

    // 0 once the node is published, else the system's error code.
    std::uint32_t Open();

    AudioDeviceWrite Write(const std::uint8_t* frames, std::size_t bytes, std::uint32_t& error) override;

    std::string Describe() const override
    {
        return "the PipeWire audio source \"Vidrelo Microphone\" (node talvik-microphone), in every program's "
               "microphone list; try: pw-record --target talvik-microphone out.wav";
    }

    void OnStateChanged(pw_stream_state state, const char* error);
    void OnProcess();

private:
    int Publish(pw_core* core) override;
    void Unpublish() override;

    pw_stream* stream_ = nullptr; // under the loop's lock
    spa_hook listener_{};

    FrameRing ring_;
    // Whether a program records: set on the loop thread, read by Write.
    std::atomic<bool> recorded_{false};
    std::uint64_t dropped_ = 0; // Write's thread only
    PipeWireLink link_;
};

void OnStateChangedEvent(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    static_cast<PipeWireMicrophone*>(data)->OnStateChanged(state, error);
}

void OnProcessEvent(void* data)
{
    static_cast<PipeWireMicrophone*>(data)->OnProcess();
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = OnStateChangedEvent;
    events.process = OnProcessEvent;
    return events;
}();

void PipeWireMicrophone::OnStateChanged(pw_stream_state state, const char* error)
{
    const bool recorded = state == PW_STREAM_STATE_STREAMING;
    // A recorder that starts hears what comes from now on, not the audio
    // that waited while nobody listened.
    const bool before = recorded_.exchange(recorded, std::memory_order_relaxed);
    if (recorded && !before)
        ring_.Clear();
    if (!recorded && before && state == PW_STREAM_STATE_PAUSED)
        spdlog::info("PipeWire microphone: the last recorder left");
    if (state == PW_STREAM_STATE_ERROR)
        spdlog::error("PipeWire microphone: stream error: {0}", error ? error : "unknown");
}

void PipeWireMicrophone::OnProcess()
{
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream_);
    if (buffer == nullptr)
        return; // every buffer is with the recorder: this cycle gets nothing
    spa_data& data = buffer->buffer->datas[0];
    if (data.data != nullptr) {
        std::size_t frames = data.maxsize / kFrameBytes;
        if (buffer->requested != 0)
            frames = std::min<std::size_t>(frames, buffer->requested);
        auto* out = static_cast<std::uint8_t*>(data.data);
        const std::size_t taken = ring_.Take(out, frames);
        std::memset(out + taken * kFrameBytes, 0, (frames - taken) * kFrameBytes);
        data.chunk->offset = 0;
        data.chunk->stride = static_cast<std::int32_t>(kFrameBytes);
        data.chunk->size = static_cast<std::uint32_t>(frames * kFrameBytes);
    }
    pw_stream_queue_buffer(stream_, buffer);
}

std::uint32_t PipeWireMicrophone::Open()
{
    if (const int error = link_.Connect(); error != 0)
        return static_cast<std::uint32_t>(error);
    return static_cast<std::uint32_t>(link_.Publish());
}

int PipeWireMicrophone::Publish(pw_core* core)
{
    stream_ = pw_stream_new(core, kNodeName,
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                              PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_NODE_NAME, kNodeName,
                                              PW_KEY_NODE_DESCRIPTION, "Vidrelo Microphone", PW_KEY_NODE_LATENCY,
                                              "512/44100", nullptr));
    if (stream_ == nullptr)
        return -ENOMEM;
    pw_stream_add_listener(stream_, &listener_, &kStreamEvents, this);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = kRate;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* format = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
    // The cycles run on PipeWire's data thread, not behind the loop's other
    // work.
    return pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                             static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS),
                             &format, 1);
}

void PipeWireMicrophone::Unpublish()
{
    if (stream_ != nullptr) {
        spa_hook_remove(&listener_);
        pw_stream_destroy(stream_); // waits for the data thread's cycle
        stream_ = nullptr;
    }
    recorded_.store(false, std::memory_order_relaxed);
}

AudioDeviceWrite PipeWireMicrophone::Write(const std::uint8_t* frames, std::size_t bytes, std::uint32_t&)
{
    if (ring_.Put(frames, bytes / kFrameBytes) && recorded_.load(std::memory_order_relaxed)) {
        ++dropped_;
        if (std::has_single_bit(dropped_))
            spdlog::warn("AudioDriver microphone behind: {0} blocks of old audio dropped", dropped_);
    }
    return AudioDeviceWrite::kWritten;
}

} // namespace

OpenedAudioDevice OpenPipeWireMicrophone()
{
    auto microphone = std::make_unique<PipeWireMicrophone>();
    if (const std::uint32_t error = microphone->Open(); error != 0)
        return {nullptr, error};
    return {std::move(microphone), 0};
}

} // namespace talvik
