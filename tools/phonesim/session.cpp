#include "tools/phonesim/session.h"

#include "tools/phonesim/log.h"
#include "tools/phonesim/usb_frame.h"

#include <algorithm>
#include <random>

namespace talvik::phonesim {

namespace {

using namespace std::chrono_literals;

// Well inside the service's USB receive time-out (500 ms of silence ends a
// USB session); at that time-out itself every wait would be a coin toss.
constexpr auto kKeepAliveInterval = 200ms;
// The longest the session waits before it looks at its stop flag again.
constexpr auto kPollInterval = 100ms;
constexpr auto kAudioBlockDuration = std::chrono::duration_cast<PhoneSession::Clock::duration>(
    std::chrono::duration<double>(static_cast<double>(kAudioBlockSamples) / kAudioSampleRate));

const char* CodecName(std::uint8_t codec)
{
    switch (codec) {
    case kCodecMpeg4: return "MPEG-4";
    case kCodecH264: return "H.264";
    case kCodecUnsupported: return "UNSUPPORTED";
    case kCodecUnsupported2: return "UNSUPPORTED2";
    case kCodecNv12: return "NV12";
    default: return "unknown codec";
    }
}

const char* FormName(VideoForm form)
{
    switch (form) {
    case VideoForm::kH264: return "h264";
    case VideoForm::kDepth: return "depth";
    case VideoForm::kNv12: return "nv12";
    }
    return "";
}

std::int64_t MonotonicUs(PhoneSession::Clock::time_point when)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
}

// A depth map that moves with the picture: 16-bit little-endian values.
Bytes DepthMap(std::uint16_t width, std::uint16_t height, std::uint32_t number)
{
    Bytes depth(static_cast<std::size_t>(width) * height * 2);
    std::size_t i = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto value = static_cast<std::uint16_t>((x + y + number) * 64);
            depth[i++] = value & 0xFF;
            depth[i++] = value >> 8;
        }
    return depth;
}

// Readable filler for the long helper text, so that a log that shows it
// shows where it was cut.
std::string LongText(std::size_t size)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "phonesim helper text " + std::to_string(i) + ". ";
    text.resize(size);
    return text;
}

} // namespace

PhoneSession::PhoneSession(Channel& channel, const PhoneConfig& config, int number, const std::atomic<bool>& stop,
                           Clock::time_point deadline)
    : channel_(channel), config_(config), number_(number), stop_(stop), deadline_(deadline), tone_(config.toneHz)
{
}

PhoneSession::~PhoneSession() = default;

SessionEnd PhoneSession::Run()
{
    Log("session {}: connected over {}", number_, channel_.framing() == Framing::kUsb ? "USB" : "TCP");
    channel_.SetByteAtATime(config_.fault == Fault::kByteAtATime);
    if (!Introduce())
        return end_;

    nextKeepAlive_ = Clock::now() + kKeepAliveInterval;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (stop_ || now >= deadline_) {
            End(SessionEnd::kStopped, stop_ ? "stopped by the simulator" : "the run's duration is over");
            return end_;
        }

        Clock::time_point wake = std::min(deadline_, now + kPollInterval);
        if (phase_ == Phase::kWaiting || phase_ == Phase::kLingering)
            wake = std::min(wake, nextKeepAlive_);
        if (phase_ == Phase::kStreaming) {
            wake = std::min(wake, nextFrame_);
            if (config_.toneHz > 0)
                wake = std::min(wake, nextAudio_);
        }

        ServiceMessage message;
        switch (channel_.Receive(wake, message)) {
        case Channel::Received::kMessage:
            if (!Handle(message))
                return end_;
            continue;
        case Channel::Received::kClosed:
            End(stop_ ? SessionEnd::kStopped : SessionEnd::kServiceClosed, channel_.error());
            return end_;
        case Channel::Received::kInvalid:
            End(SessionEnd::kServiceInvalid, "invalid data from the service: " + channel_.error());
            return end_;
        case Channel::Received::kTimeout:
            break;
        }
        if (!Tick(Clock::now()))
            return end_;
    }
}

bool PhoneSession::Introduce()
{
    if (config_.fault == Fault::kRandomBytes) {
        faultDone_ = true;
        std::mt19937 random(config_.seed);
        Bytes garbage(FaultSize());
        for (std::uint8_t& byte : garbage)
            byte = static_cast<std::uint8_t>(random());
        Log("session {}: fault random-bytes: {} random bytes instead of the announcement", number_, garbage.size());
        phase_ = Phase::kSilent;
        return Send(garbage);
    }
    const Announcement& announcement = config_.announcement;
    if (!Send(WriteAnnouncement(announcement)))
        return false;
    Log("session {}: sent the announcement: client type {}, {} formats, format change {}, {} option entries", number_,
        announcement.clientType, announcement.formats.size(), announcement.formatChange ? "yes" : "no",
        announcement.optionKinds.size());
    if (!config_.helperText)
        return true;
    Log("session {}: sending MESSAGE_HELPERTEXT of {} bytes", number_, config_.helperText->size());
    return Send(WriteHelperText(*config_.helperText));
}

bool PhoneSession::Handle(const ServiceMessage& message)
{
    if (message.type == MESSAGE_KEEPALIVE)
        return true;
    const StreamRequest request = DecodeStreamRequest(message);
    Log("session {}: received MESSAGE_STARTSTREAM: format index {}, option index {}, third field {}", number_,
        request.formatIndex, request.optionIndex, request.third);
    if (request.third != 4)
        Log("session {}: the stream request's third field is {}, not 4", number_, request.third);
    return StartStream(request);
}

bool PhoneSession::StartStream(const StreamRequest& request)
{
    const Announcement& announcement = config_.announcement;
    if (IsBarcodeClient(announcement.clientType)) {
        Log("session {}: ignoring the stream request: a barcode reader sends no video", number_);
        return true;
    }
    if (phase_ == Phase::kLingering || phase_ == Phase::kSilent) {
        Log("session {}: ignoring the stream request after the injected fault", number_);
        return true;
    }
    if (request.formatIndex >= std::min(announcement.formats.size(), kMaxFormats))
        return End(SessionEnd::kServiceInvalid,
                   fmt::format("the service asked for format {}, but only {} were announced", request.formatIndex,
                               announcement.formats.size()));
    if (phase_ == Phase::kStreaming && !announcement.formatChange) {
        Log("session {}: ignoring the stream request: format change while streaming was not announced", number_);
        return true;
    }

    format_ = announcement.formats[request.formatIndex];
    form_ = format_.codec == kCodecNv12 ? VideoForm::kNv12 : config_.video;
    if (format_.codec != kCodecH264 && format_.codec != kCodecNv12)
        Log("session {}: format {} is {}, which the simulator cannot produce; streaming {} instead", number_,
            request.formatIndex, CodecName(format_.codec), FormName(form_));
    const int fps = std::max(1, static_cast<int>(format_.fps));
    encoder_.reset();
    if (form_ != VideoForm::kNv12) {
        std::string error;
        encoder_ = H264Encoder::Open(format_.width, format_.height, fps, error);
        if (!encoder_)
            return End(SessionEnd::kFailed, error);
    }
    picture_ = MakePicture(format_.width, format_.height);
    framePeriod_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
    if (config_.unpaced)
        framePeriod_ = Clock::duration::zero();

    const Clock::time_point now = Clock::now();
    if (phase_ != Phase::kStreaming) {
        streamStart_ = now;
        nextAudio_ = now;
    }
    nextFrame_ = now;
    phase_ = Phase::kStreaming;
    const std::string pace = config_.unpaced ? "full speed (unpaced)" : fmt::format("{} fps", fps);
    Log("session {}: streaming format {}: {}x{} {} at {} as {}{}", number_, request.formatIndex, format_.width,
        format_.height, CodecName(format_.codec), pace, FormName(form_),
        config_.orientationFlags != 0 ? fmt::format(", orientation flags 0x{:02X}", config_.orientationFlags) : "");

    if (DescribeFault(config_.fault).afterFrames && !faultDone_ && framesSent_ >= config_.faultAfter)
        return InjectFault();
    return true;
}

bool PhoneSession::Tick(Clock::time_point now)
{
    if ((phase_ == Phase::kWaiting || phase_ == Phase::kLingering) && now >= nextKeepAlive_) {
        if (!Send(WriteKeepAlive()))
            return false;
        ++keepAlivesSent_;
        nextKeepAlive_ = now + kKeepAliveInterval;
    }
    if (phase_ != Phase::kStreaming)
        return true;
    if (config_.toneHz > 0 && now >= nextAudio_) {
        if (!SendAudio())
            return false;
        nextAudio_ += kAudioBlockDuration;
        // Far behind (a stalled socket): start afresh instead of bursting.
        if (nextAudio_ + 4 * kAudioBlockDuration < now)
            nextAudio_ = now;
    }
    if (now >= nextFrame_) {
        if (!SendFrame())
            return false;
        nextFrame_ += framePeriod_;
        if (nextFrame_ + framePeriod_ < now)
            nextFrame_ = now;
    }
    return true;
}

bool PhoneSession::BuildFrame(std::uint32_t number, Bytes& message, double& encodeMs)
{
    DrawTestPattern(number, picture_);
    if (form_ == VideoForm::kNv12) {
        encodeMs = 0;
        const std::size_t pictureSize = picture_.y.size() + 2 * picture_.u.size();
        const Bytes header =
            WriteVideoDataHeader(config_.orientationFlags | kFlagRawNv12, number, StreamMs(), pictureSize);
        message.assign(header.begin(), header.end());
        AppendNv12(picture_, message);
        return true;
    }
    const Clock::time_point before = Clock::now();
    Bytes accessUnit;
    if (!encoder_->Encode(picture_, accessUnit))
        return End(SessionEnd::kFailed, "H.264 encoder: " + encoder_->error());
    encodeMs = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
    if (form_ == VideoForm::kDepth)
        message = WriteVideoDataWithDepth(config_.orientationFlags, number, config_.depthWidth, config_.depthHeight,
                                          accessUnit, DepthMap(config_.depthWidth, config_.depthHeight, number));
    else
        message = WriteVideoData(config_.orientationFlags, number, StreamMs(), accessUnit);
    return true;
}

bool PhoneSession::SendFrame()
{
    const std::uint32_t number = framesSent_;
    const Clock::time_point capture = Clock::now();
    double encodeMs = 0;
    if (!BuildFrame(number, frame_, encodeMs))
        return false;
    const Clock::time_point sending = Clock::now();
    if (!Send(frame_))
        return false;
    ++framesSent_;
    encodeMsTotal_ += encodeMs;
    Log("session {}: frame={} size={}x{} form={} bytes={} capture_us={} send_us={} encode_ms={:.2f}", number_, number,
        format_.width, format_.height, FormName(form_), frame_.size(), MonotonicUs(capture), MonotonicUs(sending),
        encodeMs);

    if (config_.framesPerSession != 0 && framesSent_ >= config_.framesPerSession)
        return End(SessionEnd::kFinished, fmt::format("sent the {} frames asked for", framesSent_));
    if (DescribeFault(config_.fault).afterFrames && !faultDone_ && framesSent_ >= config_.faultAfter)
        return InjectFault();
    return true;
}

bool PhoneSession::SendAudio()
{
    std::int16_t samples[kAudioBlockSamples];
    tone_.Fill(samples);
    if (!Send(WriteAudioData(audioBlocksSent_, StreamMs(), samples)))
        return false;
    ++audioBlocksSent_;
    return true;
}

bool PhoneSession::InjectFault()
{
    faultDone_ = true;
    const FaultInfo& fault = DescribeFault(config_.fault);
    const std::uint64_t size = FaultSize();
    Log("session {}: fault {} after {} frames", number_, fault.name, framesSent_);
    switch (config_.fault) {
    case Fault::kBadMagic: {
        Bytes header = WriteKeepAlive();
        std::reverse(header.begin(), header.begin() + 4);
        phase_ = Phase::kLingering;
        return Send(header);
    }
    case Fault::kOversizedPayload:
        phase_ = Phase::kLingering;
        return Send(WriteHeader(MESSAGE_VIDEODATA, static_cast<std::uint32_t>(size)));
    case Fault::kTruncated: {
        Bytes message;
        double encodeMs = 0;
        if (!BuildFrame(framesSent_, message, encodeMs))
            return false;
        const std::size_t keep = message.size() / 2;
        if (channel_.SendCut(message, keep) != IoResult::kOk)
            return End(SessionEnd::kFailed, channel_.error());
        return End(SessionEnd::kFinished,
                   fmt::format("closed after {} of the {} bytes of frame {}", keep, message.size(), framesSent_));
    }
    case Fault::kSilence:
        phase_ = Phase::kSilent;
        return true;
    case Fault::kSecondAnnouncement: {
        Announcement other = config_.announcement;
        other.formats = {VideoFormat{320, 240, 30.0f, kCodecH264}};
        return Send(WriteAnnouncement(other));
    }
    case Fault::kLongHelperText:
        return Send(WriteHelperText(LongText(size)));
    case Fault::kUsbOversizedFrame:
        phase_ = Phase::kLingering;
        if (channel_.SendRaw(WriteUsbFrameHeader(static_cast<std::uint32_t>(size))) != IoResult::kOk)
            return End(SessionEnd::kFailed, channel_.error());
        return true;
    case Fault::kUsbEmptyFrame:
        if (channel_.SendRaw(WriteUsbFrameHeader(0)) != IoResult::kOk)
            return End(SessionEnd::kFailed, channel_.error());
        return true;
    default:
        return true;
    }
}

bool PhoneSession::Send(const Bytes& piece)
{
    switch (channel_.Send(piece)) {
    case IoResult::kOk:
        return true;
    case IoResult::kClosed:
        return End(stop_ ? SessionEnd::kStopped : SessionEnd::kServiceClosed, channel_.error());
    case IoResult::kFailed:
        break;
    }
    return End(stop_ ? SessionEnd::kStopped : SessionEnd::kFailed, channel_.error());
}

bool PhoneSession::End(SessionEnd end, const std::string& reason)
{
    end_ = end;
    double meanEncodeMs = framesSent_ != 0 ? encodeMsTotal_ / framesSent_ : 0;
    Log("session {}: ended: {}; sent {} frames, {} audio blocks, {} keep-alives; mean encode time {:.2f} ms per frame",
        number_, reason, framesSent_, audioBlocksSent_, keepAlivesSent_, meanEncodeMs);
    return false;
}

std::uint64_t PhoneSession::FaultSize() const
{
    return config_.faultSize != 0 ? config_.faultSize : DescribeFault(config_.fault).defaultSize;
}

std::uint32_t PhoneSession::StreamMs() const
{
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - streamStart_).count());
}

} // namespace talvik::phonesim
