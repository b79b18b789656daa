// The phone app on one connection, whatever the transport: it announces its
// formats, sends bare keep-alives while it waits, streams the format each
// MESSAGE_STARTSTREAM asks for (video at the format's frame rate, or back to
// back when unpaced; a 1024-sample audio block every 23.2 ms) and injects the
// configured fault.
// Every video frame is logged with its frame number and its capture and send
// times on the monotonic clock.
#pragma once

#include "tools/phonesim/audio_tone.h"
#include "tools/phonesim/channel.h"
#include "tools/phonesim/h264_encoder.h"
#include "tools/phonesim/phone_config.h"

#include <atomic>
#include <chrono>
#include <memory>

namespace talvik::phonesim {

enum class SessionEnd {
    kFinished,        // the phone ended it: frame bound reached, or closed on purpose
    kStopped,         // the simulator ended it: duration over, signal, device detached
    kServiceClosed,   // the service closed the connection
    kServiceInvalid,  // the service sent something it never should
    kFailed,          // the phone could not go on (encoder, socket)
};

class PhoneSession {
public:
    using Clock = std::chrono::steady_clock;

    // `stop` ends the session at the next chance; `deadline` is the end of
    // the simulator's run.
    PhoneSession(Channel& channel, const PhoneConfig& config, int number, const std::atomic<bool>& stop,
                 Clock::time_point deadline);
    ~PhoneSession();

    SessionEnd Run();

private:
    enum class Phase {
        kWaiting,    // announced, no stream requested yet: keep-alives
        kStreaming,  // video and audio
        kLingering,  // after a fault that broke the stream: keep-alives only
        kSilent,     // sends nothing, only reads
    };

    // The first thing the phone sends: its announcement (and helper text),
    // or the random bytes of that fault.
    bool Introduce();
    bool Handle(const ServiceMessage& message);
    bool StartStream(const StreamRequest& request);
    bool Tick(Clock::time_point now);
    bool SendFrame();
    bool SendAudio();
    bool InjectFault();
    // The next video message, frame number `number` of the current stream.
    bool BuildFrame(std::uint32_t number, Bytes& message, double& encodeMs);
    bool Send(const Bytes& piece);
    // Records how the session ended and logs its summary; false, for
    // returning from the step that ended it.
    bool End(SessionEnd end, const std::string& reason);
    std::uint64_t FaultSize() const;
    std::uint32_t StreamMs() const;

    Channel& channel_;
    const PhoneConfig& config_;
    const int number_;
    const std::atomic<bool>& stop_;
    const Clock::time_point deadline_;

    Phase phase_ = Phase::kWaiting;
    SessionEnd end_ = SessionEnd::kFinished;
    bool faultDone_ = false;

    VideoFormat format_;
    VideoForm form_ = VideoForm::kH264;
    std::unique_ptr<H264Encoder> encoder_;
    Picture picture_;
    // The video message being sent, kept from frame to frame so that raw
    // pictures of megabytes do not cost an allocation each.
    Bytes frame_;
    ToneGenerator tone_;
    Clock::duration framePeriod_{};
    Clock::time_point streamStart_;
    Clock::time_point nextFrame_;
    Clock::time_point nextAudio_;
    Clock::time_point nextKeepAlive_;

    std::uint32_t framesSent_ = 0;
    std::uint32_t audioBlocksSent_ = 0;
    std::uint32_t keepAlivesSent_ = 0;
    double encodeMsTotal_ = 0;
};

} // namespace talvik::phonesim
