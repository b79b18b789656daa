// VidreloEngine: the service's central object. It owns the phone session,
// reacts to it (tray notifications, the format request, the helper
// program), keeps the engine state and is driven by the service worker's
// 16 ms tick.
//
// Life: construct (logging, apartment, media preparation, the USB service
// check) -> Start -> Tick... -> Stop -> destroy, all on the service worker's
// thread. Between Start and Stop the ConnectionManagerObserver operations
// arrive on the connection manager's loop thread.
//
// Media: the engine owns the video decoder, the camera client and the audio
// client between Start and Stop, and binds the codec libraries for its whole
// life. Any of them that cannot be set up is logged and left out; the engine
// runs on without it. Decoded pictures reach the camera under the decoder's
// lock, from Tick's drain, from Decode on the loop thread and from raw
// frames, so that only one thread at a time fills and commits a buffer;
// the status screen, painted by the tick while nothing streams, takes the
// same lock, since a stream's first pictures may already be arriving.
#pragma once

#include "base/config_store.h"
#include "engine/depth_records.h"
#include "engine/desktop.h"
#include "engine/engine_state.h"
#include "engine/status_screen.h"
#include "media/video_decoder.h"
#include "session/connection_manager_observer.h"
#include "session/phone_session.h"

#include <spdlog/sinks/sink.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace talvik {

class AudioDriver;
class ComApartment;
class VideoDriver;

class VidreloEngine final : public ConnectionManagerObserver,
                            public CVideoDecoderObserver,
                            public DroppedPictureObserver {
public:
    // Opens the phone session with the engine as its observer; the service
    // makes a ConnectionManager, tests a fake.
    using SessionFactory = std::function<std::unique_ptr<PhoneSession>(ConnectionManagerObserver& observer)>;

    // What the engine reaches outside itself. All of it outlives the engine.
    struct Edges {
        ConfigStore& config;
        Desktop& desktop;
        SessionFactory openSession;
        // Replaces the platform's debugger output in the logger (tests read
        // it); null: the platform's.
        std::shared_ptr<spdlog::sinks::sink> debuggerSink = nullptr;
    };

    explicit VidreloEngine(Edges edges);
    ~VidreloEngine();
    VidreloEngine(const VidreloEngine&) = delete;
    VidreloEngine& operator=(const VidreloEngine&) = delete;

    void Start();
    void Stop();
    void Tick(std::uint32_t nowMs);

    // Chooses the phone's format for the camera's current size, remembers
    // it as the selected format, restarts the frames-shown count and shows
    // the format text for two seconds.
    ClientFormat ChooseResolution();

    EngineState state() const { return state_.load(); }
    ClientFormat selectedFormat() const;
    bool appleServiceRunning() const { return appleServiceRunning_; }

    // ConnectionManagerObserver, on the connection manager's loop thread.
    void OnConnectionReceived(ConnectionType type, const ClientFormat* formats, std::uint32_t count) override;
    void OnBarcodeClientConnected() override;
    void ConnectionDisconnected() override;
    void OnVideoData(const std::uint8_t* data, std::uint32_t size, std::uint32_t orientation) override;
    void OnVideoDataWithDepth(const std::uint8_t* video, std::uint32_t videoSize, std::uint32_t orientation,
                              std::uint16_t depthWidth, std::uint16_t depthHeight, const std::uint8_t* depth,
                              std::uint32_t depthSize) override;
    void OnRawVideoFrame(const std::uint8_t* data, std::uint32_t size) override;
    void OnAudioData(const std::uint8_t* samples, std::uint32_t size) override;
    void OnStartHelperProgram(const char* text, std::uint32_t length) override;

    // CVideoDecoderObserver, under the decoder's lock: on the service
    // worker's thread for pictures drained by Tick, on the loop thread for
    // pictures delivered by Decode and for raw frames.
    void OnFrameReady(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height, std::int32_t index,
                      std::uintptr_t userData) override;
    std::uint8_t* GetFrameBuffer(std::uint32_t& width, std::uint32_t& height, std::int32_t& format) override;
    // A picture the decoder dropped: its buffer goes back to the camera
    // client uncommitted and its depth record is freed.
    void OnPictureDropped(std::uint8_t* buffer, std::uintptr_t userData) override;

    // The lock under which pictures reach the camera; null without a
    // decoder (before Start, after Stop).
    std::mutex* pictureLock() { return decoder_ ? &decoder_->Lock() : nullptr; }
    // Depth records whose pictures have not come back yet.
    std::size_t depthRecordsWaiting() const { return depthRecords_.waiting(); }

    static constexpr std::uint32_t kStatusFrameMs = 34;

private:
    void TransitionTo(EngineState next);
    void ReadDriverSize();
    // A camera size other than the one streamed asks for a new format.
    void FollowDriverSize(std::uint32_t width, std::uint32_t height);
    // Closes the camera client, the audio client and the decoder, in that
    // order, once the session is gone.
    void CloseMedia();
    void PaintStatusFrame(std::uint32_t nowMs);

    ConfigStore& config_;
    Desktop& desktop_;
    SessionFactory openSession_;
    std::unique_ptr<ComApartment> apartment_;
    std::unique_ptr<PhoneSession> session_;
    std::unique_ptr<VideoDecoder> decoder_;
    std::unique_ptr<VideoDriver> camera_;
    std::unique_ptr<AudioDriver> audio_;
    DepthRecords depthRecords_;
    std::unique_ptr<StatusScreen> statusScreen_;

    // The phone's formats and the choice made from them are read and written
    // on both threads (a connection on the loop thread, a pending reconnect
    // on the tick); one lock keeps each choice whole.
    mutable std::mutex formatsLock_;
    std::vector<ClientFormat> clientFormats_;
    ClientFormat selected_{};

    std::atomic<EngineState> state_{EngineState::kIdle};
    std::atomic<std::int32_t> driverWidth_{640};
    std::atomic<std::int32_t> driverHeight_{480};
    std::atomic<DriverPixelFormat> pixelFormat_{kPixelRgba32};
    std::atomic<ConnectionType> connectionType_{ConnectionType::kWifi};
    std::atomic<bool> reconnectPending_{false};
    std::atomic<std::uint32_t> now_{0};
    std::uint32_t lastStatusFrame_ = 0;
    std::atomic<std::uint32_t> overlayUntil_{0};
    std::atomic<std::uint32_t> framesShown_{0};
    // The decoder's source size when the last frame was shown.
    std::uint32_t sourceWidth_ = 0;
    std::uint32_t sourceHeight_ = 0;
    bool appleServiceRunning_ = false;
};

} // namespace talvik
