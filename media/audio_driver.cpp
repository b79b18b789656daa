#include "media/audio_driver.h"

#include "base/console_status.h"

#include "media/codec_library.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

namespace talvik {

namespace {

constexpr std::int32_t kSampleRate = 44100;
constexpr int kBufferFrames = 1024;
constexpr std::size_t kInputSampleBytes = 2;
constexpr std::size_t kOutputFrameBytes = 4;

} // namespace

bool AudioDriver::FindDevicePath(ConfigStore& config)
{
    return FindAudioDevicePath(config);
}

AudioDriver::AudioDriver() : AudioDriver(OpenAudioDevice()) {}

AudioDriver::AudioDriver(OpenedAudioDevice opened)
{
    if (!opened.device) {
        spdlog::error("AudioDriver CreateFile failed: {0}", opened.error);
        ConsoleFact("microphone", fmt::format("microphone: none could be opened (error {0})", opened.error));
        state_ = kOpenFailed;
        return;
    }
    spdlog::info("AudioDriver loaded");
    ConsoleFact("microphone", "microphone: " + opened.device->Describe());
    device_ = std::move(opened.device);
    state_ = kOpen;
    // Without the buffer every block would be written from nowhere: the
    // client refuses work instead, like one whose device did not open.
    const int bytes = CodecLibrariesBound()
                          ? Codec().av_samples_get_buffer_size(nullptr, 2, kBufferFrames, AV_SAMPLE_FMT_S16, 1)
                          : -1;
    if (bytes == static_cast<int>(kAudioDeviceWriteBytes))
        conversionBuffer_ = static_cast<std::uint8_t*>(Codec().av_malloc(kAudioDeviceWriteBytes));
    if (conversionBuffer_ == nullptr) {
        spdlog::error("AudioDriver conversion buffer not available");
        device_.reset();
        state_ = kOpenFailed;
    }
}

AudioDriver::~AudioDriver()
{
    if (CodecLibrariesBound()) {
        if (resampler_ != nullptr)
            Codec().swr_free(&resampler_);
        Codec().av_free(conversionBuffer_);
    }
    device_.reset();
}

bool AudioDriver::SetUpResampler()
{
    if (!CodecLibrariesBound())
        return false;
    const CodecEntryPoints& codec = Codec();
    if (resampler_ != nullptr)
        codec.swr_free(&resampler_);
    resampler_ = codec.swr_alloc();
    if (resampler_ == nullptr) {
        spdlog::error("swr_alloc failed");
        return false;
    }
    // A braced list runs the calls in order. A refused option counts as the
    // set-up's failure: swr_init would otherwise start from defaults.
    const int optionResults[] = {
        codec.av_opt_set_channel_layout(resampler_, "in_channel_layout", AV_CH_LAYOUT_MONO, 0),
        codec.av_opt_set_channel_layout(resampler_, "out_channel_layout", AV_CH_LAYOUT_STEREO, 0),
        codec.av_opt_set_int(resampler_, "in_sample_rate", kSampleRate, 0),
        codec.av_opt_set_int(resampler_, "out_sample_rate", kSampleRate, 0),
        codec.av_opt_set_sample_fmt(resampler_, "in_sample_fmt", AV_SAMPLE_FMT_S16, 0),
        codec.av_opt_set_sample_fmt(resampler_, "out_sample_fmt", AV_SAMPLE_FMT_S16, 0),
    };
    int result = 0;
    for (int r : optionResults)
        if (result == 0 && r < 0)
            result = r;
    if (result == 0)
        result = codec.swr_init(resampler_);
    if (result != 0) {
        // Left allocated but not configured: the next block starts over.
        spdlog::error("swr_init failed: {0}", result);
        return false;
    }
    configured_ = 1;
    configuredRate_ = kSampleRate;
    return true;
}

bool AudioDriver::Write(const std::uint8_t* samples, std::uint32_t byteCount)
{
    if (state_ == kOpenFailed)
        return false;
    if (!(resampler_ != nullptr && configured_ == 1 && configuredRate_ == kSampleRate) && !SetUpResampler())
        return false;

    const std::size_t sampleCount = byteCount / kInputSampleBytes;
    std::size_t done = 0;
    // One pass even for an empty block: the device still sees the write.
    do {
        const std::size_t count = std::min<std::size_t>(sampleCount - done, kBufferFrames);
        const std::uint8_t* in = samples + done * kInputSampleBytes;
        // Byte copies: the samples keep their little-endian order and need
        // no alignment.
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t* frame = conversionBuffer_ + i * kOutputFrameBytes;
            std::memcpy(frame, in + i * kInputSampleBytes, kInputSampleBytes);
            std::memcpy(frame + kInputSampleBytes, in + i * kInputSampleBytes, kInputSampleBytes);
        }
        std::uint32_t error = 0;
        switch (device_->Write(conversionBuffer_, count * kOutputFrameBytes, error)) {
        case AudioDeviceWrite::kWritten: break;
        case AudioDeviceWrite::kDropped: return false;
        case AudioDeviceWrite::kFailed: spdlog::error("AudioDriver DeviceIoControl failed: {0}", error); return false;
        }
        done += count;
    } while (done < sampleCount);
    return true;
}

} // namespace talvik
