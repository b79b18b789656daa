#include "engine/vidrelo_engine.h"

#include "base/config.h"
#include "base/logging.h"
#include "base/tray_link.h"
#include "engine/com_apartment.h"
#include "engine/resolution.h"

#include <spdlog/spdlog.h>

namespace talvik {

VidreloEngine::VidreloEngine(Edges edges)
    : config_(edges.config), desktop_(edges.desktop), openSession_(std::move(edges.openSession))
{
    const int level = SetUpLogging(config_, edges.debuggerSink ? edges.debuggerSink : MakeDebuggerSink());
    spdlog::trace("VidreloEngine created with log level {0}", level);
    apartment_ = std::make_unique<ComApartment>();
    // Media: codec libraries, drawing library and status-screen images.
    appleServiceRunning_ = desktop_.IsAppleMobileDeviceServiceRunning();
}

VidreloEngine::~VidreloEngine()
{
    spdlog::info("Deleting VidreloEngine");
    if (state_.load() != EngineState::kIdle)
        TransitionTo(EngineState::kIdle);
    // Media: codec libraries released, images freed.
    apartment_.reset();
    spdlog::default_logger()->flush();
    spdlog::info("VidreloEngine deleted");
    ShutDownLogging();
}

void VidreloEngine::Start()
{
    spdlog::info("Engine Start");
    {
        std::lock_guard<std::mutex> guard(formatsLock_);
        clientFormats_.clear();
    }
    // Media: create the video decoder and run its Init.
    state_ = EngineState::kIdle;
    ReadDriverSize();
    pixelFormat_ = 3;
    reconnectPending_ = false;
    // Media: create the camera client and open the camera device.
    session_ = openSession_(*this);
    // Media: create the audio client and open the audio device.
}

void VidreloEngine::ReadDriverSize()
{
    const VideoSize size = ReadSetup(config_);
    driverWidth_ = size.width;
    driverHeight_ = size.height;
}

void VidreloEngine::Stop()
{
    spdlog::info("Engine Stop");
    if (state_.load() != EngineState::kIdle)
        TransitionTo(EngineState::kIdle);
    {
        std::lock_guard<std::mutex> guard(formatsLock_);
        clientFormats_.clear();
    }
    // Ends the loop thread first, so that no observer call can reach the
    // media clients closed below.
    session_.reset();
    // Media: close the camera client, then the audio client, then the decoder.
}

void VidreloEngine::TransitionTo(EngineState next)
{
    const EngineState previous = state_.load();
    spdlog::trace("VidreloEngine: {0} -> {1}", EngineStateName(previous), EngineStateName(next));
    if (next == EngineState::kIdle) {
        std::lock_guard<std::mutex> guard(formatsLock_);
        selected_.width = 0;
        selected_.height = 0;
    }
    state_ = next;
}

void VidreloEngine::Tick(std::uint32_t nowMs)
{
    now_ = nowMs;
    if (session_)
        session_->Tick(nowMs);

    // Media: while connected and with a decoder, a pending reconnect is
    // served here (choose again, ask the phone for the new format) and the
    // decoder is drained into the camera.
    if (state_.load() == EngineState::kVidreloConnected)
        return;

    // The status screen is painted at most once every 34 ms.
    if (nowMs - lastStatusFrame_ <= kStatusFrameMs - 1)
        return;
    lastStatusFrame_ = nowMs;
    // Media: paint one status-screen frame.
}

ClientFormat VidreloEngine::ChooseResolution()
{
    std::lock_guard<std::mutex> guard(formatsLock_);
    selected_ = ChooseFormat(clientFormats_.data(), static_cast<std::uint32_t>(clientFormats_.size()),
                             driverWidth_.load(), driverHeight_.load());
    framesShown_.exchange(0);
    overlayUntil_ = now_.load() + kFormatTextMs;
    return selected_;
}

ClientFormat VidreloEngine::selectedFormat() const
{
    std::lock_guard<std::mutex> guard(formatsLock_);
    return selected_;
}

void VidreloEngine::OnConnectionReceived(ConnectionType type, const ClientFormat* formats, std::uint32_t count)
{
    connectionType_ = type;
    spdlog::info("Vidrelo connection received");
    if (type == ConnectionType::Wifi)
        desktop_.NotifyTray(kTrayWifiPhone);
    else if (type == ConnectionType::Usb)
        desktop_.NotifyTray(kTrayUsbPhone);

    {
        std::lock_guard<std::mutex> guard(formatsLock_);
        clientFormats_.assign(formats, formats + count);
    }
    if (state_.load() != EngineState::kVidreloConnected)
        TransitionTo(EngineState::kVidreloConnected);

    const ClientFormat chosen = ChooseResolution();
    if (session_)
        session_->StartStreaming(chosen);
}

void VidreloEngine::OnBarcodeClientConnected()
{
    desktop_.NotifyTray(kTrayBarcodeClient);
}

void VidreloEngine::ConnectionDisconnected()
{
    spdlog::info("ConnectionDisconnected");
    if (state_.load() != EngineState::kIdle)
        TransitionTo(EngineState::kIdle);
}

void VidreloEngine::OnVideoData(const std::uint8_t*, std::uint32_t, std::uint32_t)
{
    // Media: to the decoder.
}

void VidreloEngine::OnVideoDataWithDepth(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint16_t,
                                         std::uint16_t, const std::uint8_t*, std::uint32_t)
{
    // Media: to the decoder with a depth record.
}

void VidreloEngine::OnRawVideoFrame(const std::uint8_t*, std::uint32_t)
{
    // Media: size check, then to the scaler.
}

void VidreloEngine::OnAudioData(const std::uint8_t*, std::uint32_t)
{
    // Media: to the audio client.
}

void VidreloEngine::OnStartHelperProgram(const char* text, std::uint32_t length)
{
    const std::optional<std::string> dir = InstallDirectory(config_);
    if (!dir)
        return;
    ProgramCommand command{*dir + kHelperProgramFile, std::string(text, length)};
    // The phone's text has no bound of its own; a command line that does not
    // fit its buffer is refused rather than cut, so that the helper never
    // acts on half a text.
    if (!CommandLineText(command)) {
        spdlog::error("Helper program text of {0} bytes does not fit the command line", length);
        return;
    }
    desktop_.StartProgram(command);
}

} // namespace talvik
