#include "engine/status_screen.h"

#include "base/config.h"
#include "engine/overlay_image_blend.h"
#include "engine/png_image.h"
#include "engine/text_image.h"
#include "media/pixel_format.h"
#include "media/video_driver.h"
#include "session/phone_session.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>

namespace talvik {
namespace {

constexpr std::uint32_t kBlinkMs = 1000;

void FillBlack(std::uint8_t* buffer, const CameraPicture& frame)
{
    const std::size_t pixels = static_cast<std::size_t>(frame.width) * frame.height;
    switch (frame.pixelFormat) {
    case kPixelArgb32: {
        const std::uint32_t opaqueBlack = 0xFF000000u;
        for (std::size_t i = 0; i < pixels; ++i)
            std::memcpy(buffer + 4 * i, &opaqueBlack, 4);
        break;
    }
    case kPixelNv12:
        std::memset(buffer, 0, pixels);
        std::memset(buffer + pixels, 128, pixels / 2);
        break;
    case kPixelYuy2: {
        const std::uint16_t blackCell = 0x8000; // luma 0, chroma 128
        for (std::size_t i = 0; i < pixels; ++i)
            std::memcpy(buffer + 2 * i, &blackCell, 2);
        break;
    }
    default:
        break;
    }
}

void Draw(const OverlayImage& image, std::uint8_t* buffer, const CameraPicture& frame, std::int64_t x,
          std::int64_t y)
{
    BlendOverlay(image, frame.pixelFormat, frame.width, frame.height,
                 FramePlanesOf(buffer, frame.width, frame.height, frame.pixelFormat), static_cast<std::int32_t>(x),
                 static_cast<std::int32_t>(y));
}

} // namespace

StatusScreen::StatusScreen(ConfigStore& config) : config_(config)
{
    for (int frame = 0; frame < kSpinnerFrames; ++frame)
        spinner_.push_back(LoadPngImage(kSpinnerResource + frame));
    usbIcon_ = LoadPngImage(kUsbIconResource);
    wifiIcon_ = LoadPngImage(kWifiIconResource);
    crossedUsbIcon_ = LoadPngImage(kCrossedUsbIconResource);
}

void StatusScreen::PaintStatusFrame(VideoDriver& camera, const PhoneSession& session, bool appleServiceRunning,
                                    std::uint32_t now, CameraPicture& picture, std::uint32_t& overlayUntil)
{
    CameraPicture frame;
    std::uint8_t* buffer = camera.GetOutputBuffer(frame.width, frame.height, frame.pixelFormat);
    if (buffer == nullptr)
        return;
    const bool newPicture = frame.width != picture.width || frame.height != picture.height ||
                            frame.pixelFormat != picture.pixelFormat;
    picture = frame;
    const LinkStatus links{session.networkAvailable(),
                           session.HasUsbConnection() && session.UsbHasDeviceList() &&
                               session.UsbValidDeviceCount() > 0,
                           appleServiceRunning};
    PaintStatusPicture(buffer, frame, newPicture, links, now, overlayUntil);
    camera.CommitOutputBuffer(buffer, FrameBytes(frame.pixelFormat, frame.width, frame.height));
}

void StatusScreen::PaintStatusPicture(std::uint8_t* buffer, const CameraPicture& frame, bool newPicture,
                                      const LinkStatus& links, std::uint32_t now, std::uint32_t& overlayUntil)
{
    FillBlack(buffer, frame);
    const OverlayImage& spinner = spinner_[spinnerIndex_];
    // Signed: a frame narrower than the spinner puts it partly outside.
    Draw(spinner, buffer, frame, (std::int64_t{frame.width} - spinner.width) / 2,
         (std::int64_t{frame.height} - spinner.height) / 2);
    spinnerIndex_ = (spinnerIndex_ + 1) % spinner_.size();

    if (!formatText_ || newPicture) {
        WriteSetup(config_, static_cast<int>(frame.width), static_cast<int>(frame.height));
        CreateFormatBitmap(frame.width, frame.height, frame.pixelFormat, FormatTextKind::StatusScreen, std::nullopt);
        overlayUntil = now + kFormatTextMs;
    }
    DrawIcons(buffer, frame, links, now);
    OverlayFormatText(buffer, frame.width, frame.height, frame.pixelFormat, now, overlayUntil);
}

void StatusScreen::DrawIcons(std::uint8_t* buffer, const CameraPicture& frame, const LinkStatus& links,
                             std::uint32_t now)
{
    if (!links.network && !links.usbDevice)
        return;
    std::int64_t x = 10;
    if (links.network) {
        Draw(wifiIcon_, buffer, frame, 10, kIconTop);
        x = std::int64_t{wifiIcon_.width} + 10;
    }
    if (links.usbDevice) {
        Draw(usbIcon_, buffer, frame, x, kIconTop);
        if (now - blinkTime_ > kBlinkMs)
            blinkTime_ = now;
    } else if (!links.appleServiceRunning) {
        // Without the service that reaches USB phones, the crossed-out icon
        // alternates with the plain one once a second.
        if (now - blinkTime_ > kBlinkMs) {
            blinkTime_ = now;
            blink_ = !blink_;
        }
        Draw(blink_ ? crossedUsbIcon_ : usbIcon_, buffer, frame, x, kIconTop);
    }
}

void StatusScreen::CreateFormatBitmap(std::uint32_t width, std::uint32_t height, std::int32_t pixelFormat,
                                      FormatTextKind kind, std::optional<VideoSize> sourceSize)
{
    const std::string text = FormatText(width, height, pixelFormat, kind, sourceSize);
    formatText_.reset();
    spdlog::info("CreateFormatBitmap: '{0}'", text);
    formatText_ = CreateTextImage(text, static_cast<int>(width / 28));
}

void StatusScreen::OverlayFormatText(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                                     std::int32_t pixelFormat, std::uint32_t now, std::uint32_t overlayUntil) const
{
    // "now before overlayUntil" by signed difference, so that the clock's
    // wrap-around does not make the text stay or vanish.
    if (!formatText_ || static_cast<std::int32_t>(overlayUntil - now) <= 0)
        return;
    Draw(*formatText_, buffer, {width, height, pixelFormat}, std::int64_t{width} - formatText_->width, 0);
}

} // namespace talvik
