#include "engine/vidrelo_engine.h"

#include "base/console_status.h"
#include "base/config.h"
#include "base/logging.h"
#include "base/tray_link.h"
#include "engine/com_apartment.h"
#include "engine/drawing_library.h"
#include "engine/resolution.h"
#include "media/audio_driver.h"
#include "media/camera_channel.h"
#include "media/codec_library.h"
#include "media/pixel_format.h"
#include "media/video_driver.h"

#include <spdlog/spdlog.h>

namespace talvik {

VidreloEngine::VidreloEngine(Edges edges)
    : config_(edges.config), desktop_(edges.desktop), openSession_(std::move(edges.openSession))
{
    const int level = SetUpLogging(config_, edges.debuggerSink ? edges.debuggerSink : MakeDebuggerSink());
    spdlog::trace("VidreloEngine created with log level {0}", level);
    apartment_ = std::make_unique<ComApartment>();
    // A failed binding is logged there; the decoder, the audio client and
    // the status screen's NV12 and YUY2 drawing then do without it.
    if (LoadCodecLibraries(config_))
        StartDrawingLibrary();
    statusScreen_ = std::make_unique<StatusScreen>(config_);
    appleServiceRunning_ = desktop_.IsAppleMobileDeviceServiceRunning();
}

VidreloEngine::~VidreloEngine()
{
    spdlog::info("Deleting VidreloEngine");
    if (state_.load() != EngineState::kIdle)
        TransitionTo(EngineState::kIdle);
    // Stop has done this already; without it the loop thread must end
    // before the clients it calls, and they before the libraries they use.
    session_.reset();
    CloseMedia();
    UnloadCodecLibraries();
    statusScreen_.reset();
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
    decoder_ = std::make_unique<VideoDecoder>(*this, this);
    decoder_->Init();
    state_ = EngineState::kIdle;
    ReadDriverSize();
    pixelFormat_ = kPixelRgba32;
    reconnectPending_ = false;
    camera_ = std::make_unique<VideoDriver>(MakeCameraChannel(config_));
    camera_->Open();
    session_ = openSession_(*this);
    // A failed lookup leaves an empty path, whose open fails and logs.
    AudioDriver::FindDevicePath(config_);
    audio_ = std::make_unique<AudioDriver>();
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
    CloseMedia();
}

void VidreloEngine::CloseMedia()
{
    camera_.reset();
    audio_.reset();
    decoder_.reset();
    depthRecords_.Clear();
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

    if (state_.load() == EngineState::kVidreloConnected) {
        if (decoder_) {
            if (reconnectPending_.exchange(false)) {
                const ClientFormat chosen = ChooseResolution();
                if (session_)
                    session_->StartStreaming(chosen);
            }
            std::lock_guard<std::mutex> hold(decoder_->Lock());
            decoder_->ReceiveFrames();
        }
        if (state_.load() == EngineState::kVidreloConnected)
            return;
    }

    // The status screen is painted at most once every 34 ms.
    if (nowMs - lastStatusFrame_ <= kStatusFrameMs - 1)
        return;
    lastStatusFrame_ = nowMs;
    PaintStatusFrame(nowMs);
}

void VidreloEngine::PaintStatusFrame(std::uint32_t nowMs)
{
    if (!camera_ || !session_)
        return;
    std::unique_lock<std::mutex> hold;
    if (decoder_)
        hold = std::unique_lock<std::mutex>(decoder_->Lock());
    CameraPicture picture{static_cast<std::uint32_t>(driverWidth_.load()),
                          static_cast<std::uint32_t>(driverHeight_.load()), pixelFormat_.load()};
    std::uint32_t overlayUntil = overlayUntil_.load();
    statusScreen_->PaintStatusFrame(*camera_, *session_, appleServiceRunning_, nowMs, picture, overlayUntil);
    // The camera's size is what the next format choice aims at.
    driverWidth_ = static_cast<std::int32_t>(picture.width);
    driverHeight_ = static_cast<std::int32_t>(picture.height);
    pixelFormat_ = picture.pixelFormat;
    overlayUntil_ = overlayUntil;
}

ClientFormat VidreloEngine::ChooseResolution()
{
    std::lock_guard<std::mutex> guard(formatsLock_);
    selected_ = ChooseFormat(clientFormats_.data(), static_cast<std::uint32_t>(clientFormats_.size()),
                             driverWidth_.load(), driverHeight_.load());
    framesShown_.exchange(0);
    overlayUntil_ = now_.load() + StatusScreen::kFormatTextMs;
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
    if (type == ConnectionType::kWifi)
        desktop_.NotifyTray(kTrayWifiPhone);
    else if (type == ConnectionType::kUsb)
        desktop_.NotifyTray(kTrayUsbPhone);

    {
        std::lock_guard<std::mutex> guard(formatsLock_);
        clientFormats_.assign(formats, formats + count);
    }
    if (state_.load() != EngineState::kVidreloConnected)
        TransitionTo(EngineState::kVidreloConnected);

    const ClientFormat chosen = ChooseResolution();
    ConsoleStatus(fmt::format("a phone connected over {0}; it is asked for {1} x {2} at {3} fps",
                              type == ConnectionType::kUsb ? "USB" : "WiFi", chosen.width, chosen.height, chosen.fps));
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
    if (state_.load() != EngineState::kIdle) {
        ConsoleStatus("the phone left; the camera shows the status screen");
        TransitionTo(EngineState::kIdle);
    }
}

void VidreloEngine::OnVideoData(const std::uint8_t* data, std::uint32_t size, std::uint32_t orientation)
{
    if (camera_)
        camera_->SetDepthMode(false);
    if (decoder_)
        decoder_->Decode(data, size, orientation, 0);
}

void VidreloEngine::OnVideoDataWithDepth(const std::uint8_t* video, std::uint32_t videoSize,
                                         std::uint32_t orientation, std::uint16_t depthWidth,
                                         std::uint16_t depthHeight, const std::uint8_t* depth,
                                         std::uint32_t depthSize)
{
    if (camera_)
        camera_->SetDepthMode(true);
    if (!decoder_)
        return;
    const std::uintptr_t record = depthRecords_.Add(DepthRecord{depth, depthSize, depthWidth, depthHeight});
    spdlog::trace("Decode with depth frame: {0:p}", reinterpret_cast<const void*>(record));
    decoder_->Decode(video, videoSize, orientation, record);
}

void VidreloEngine::OnRawVideoFrame(const std::uint8_t* data, std::uint32_t size)
{
    const ClientFormat selected = selectedFormat();
    const std::uint32_t expected = selected.width * selected.height * 12 / 8;
    if (size != expected)
        spdlog::error("Wrong size video frame received: {0} (expected: {1}", size, expected);
    // A shorter frame would be read past its end; without a selected size
    // there is no picture to describe.
    if (size < expected || expected == 0 || !decoder_ || !CodecLibrariesBound())
        return;

    // Raw frames share the camera buffer with decoded pictures: the same
    // lock keeps them from being delivered at the same time.
    std::lock_guard<std::mutex> hold(decoder_->Lock());
    decoder_->DeliverRawFrame(data, selected.width, selected.height, 0);
}

void VidreloEngine::OnAudioData(const std::uint8_t* samples, std::uint32_t size)
{
    if (audio_)
        audio_->Write(samples, size);
}

std::uint8_t* VidreloEngine::GetFrameBuffer(std::uint32_t& width, std::uint32_t& height, std::int32_t& format)
{
    if (!camera_) {
        width = 0;
        height = 0;
        format = kPixelRgba32;
        return nullptr;
    }
    DriverPixelFormat given = PixelFormatFromIndex(format);
    std::uint8_t* buffer = camera_->GetOutputBuffer(width, height, given);
    format = given;
    return buffer;
}

void VidreloEngine::OnPictureDropped(std::uint8_t* buffer, std::uintptr_t userData)
{
    if (userData != 0)
        depthRecords_.Release(userData);
    if (buffer && camera_)
        camera_->ReturnOutputBuffer(buffer);
}

void VidreloEngine::OnFrameReady(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                                 std::int32_t index, std::uintptr_t userData)
{
    if (userData != 0)
        depthRecords_.Release(userData);
    const DriverPixelFormat format = PixelFormatFromIndex(index);
    const std::uint32_t sourceWidth = decoder_->SourceWidth();
    const std::uint32_t sourceHeight = decoder_->SourceHeight();
    const bool isNew = static_cast<std::int32_t>(width) != driverWidth_.load() ||
                       static_cast<std::int32_t>(height) != driverHeight_.load() || format != pixelFormat_.load() ||
                       framesShown_.load() == 0 || sourceWidth != sourceWidth_ || sourceHeight != sourceHeight_;
    pixelFormat_ = format;

    if (state_.load() == EngineState::kVidreloConnected &&
        (static_cast<std::int32_t>(width) != driverWidth_.load() ||
         static_cast<std::int32_t>(height) != driverHeight_.load()))
        FollowDriverSize(width, height);

    if (!statusScreen_->hasFormatText() || isNew) {
        spdlog::info("Showing video parameters");
        statusScreen_->CreateFormatBitmap(
            width, height, format,
            connectionType_.load() == ConnectionType::kUsb ? FormatTextKind::kUsb : FormatTextKind::kWifi,
            VideoSize{static_cast<int>(sourceWidth), static_cast<int>(sourceHeight)});
        overlayUntil_ = now_.load() + StatusScreen::kFormatTextMs;
        WriteSetup(config_, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
    }
    statusScreen_->OverlayFormatText(buffer, width, height, format, now_.load(), overlayUntil_.load());

    framesShown_.fetch_add(1);
    sourceWidth_ = sourceWidth;
    sourceHeight_ = sourceHeight;
    camera_->CommitOutputBuffer(buffer, FrameBytes(format, width, height));
}

void VidreloEngine::FollowDriverSize(std::uint32_t width, std::uint32_t height)
{
    driverWidth_ = static_cast<std::int32_t>(width);
    driverHeight_ = static_cast<std::int32_t>(height);
    const ClientFormat streamed = selectedFormat();
    const ClientFormat chosen = ChooseResolution();
    // Only widths are compared: another height at the same width is
    // letterboxed by the scaler rather than asked of the phone.
    if (chosen.width == streamed.width) {
        spdlog::info("Video resolution changed but we are already streaming best possible format");
        return;
    }
    spdlog::info("Video resolution changed, reconnecting to change client resolution from {0} x {1} to {2} x {3}",
                 streamed.width, streamed.height, chosen.width, chosen.height);
    reconnectPending_ = true;
}

void VidreloEngine::OnStartHelperProgram(const char* text, std::uint32_t length)
{
    const std::optional<std::string> dir = ProgramDirectory(config_);
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
