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
#include <array>

namespace talvik {
namespace {

constexpr std::uint32_t kBlinkMs = 1000;

// Where an image lies in a frame, in top-down pixels (right and bottom
// exclusive).
struct Area {
    std::int64_t left, top, right, bottom;
};

// Whether the text that shows until `overlayUntil` (kFormatTextMs after it
// started) still shows: the time since it started, by unsigned difference,
// is below its span. A signed "until minus now" would turn true again about
// 24.9 days later and show the text for as long again.
bool FormatTextShown(std::uint32_t now, std::uint32_t overlayUntil)
{
    const std::uint32_t started = overlayUntil - StatusScreen::kFormatTextMs;
    return now - started < StatusScreen::kFormatTextMs;
}

} // namespace

// Draws the images of one status frame: an image that lies wholly inside
// the frame and over nothing drawn before is copied from its canvas on
// black; any other is blended.
class StatusScreen::Placement {
public:
    Placement(std::uint8_t* buffer, const CameraPicture& frame)
        : frame_(frame), planes_(FramePlanesOf(buffer, frame.width, frame.height, frame.pixelFormat))
    {
    }

    void Draw(const OverlayImage& image, const OverlayOnBlack& onBlack, std::int64_t x, std::int64_t y)
    {
        const Area area{x, y, x + image.width, y + image.height};
        const bool overDrawn = std::any_of(drawn_.begin(), drawn_.begin() + count_, [&](const Area& other) {
            return area.left < other.right && other.left < area.right && area.top < other.bottom &&
                   other.top < area.bottom;
        });
        if (overDrawn || !onBlack.CopyInto(planes_, frame_.pixelFormat, frame_.width, frame_.height, x, y))
            BlendOverlay(image, frame_.pixelFormat, frame_.width, frame_.height, planes_,
                         static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
        if (count_ < drawn_.size())
            drawn_[count_++] = area;
    }

private:
    const CameraPicture& frame_;
    FramePlanes planes_;
    std::array<Area, 4> drawn_{}; // spinner, two icons, text
    std::size_t count_ = 0;
};

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
                           session.hasUsbConnection() && session.usbHasDeviceList() &&
                               session.usbValidDeviceCount() > 0,
                           appleServiceRunning};
    PaintStatusPicture(buffer, frame, newPicture, links, now, overlayUntil);
    camera.CommitOutputBuffer(buffer, FrameBytes(frame.pixelFormat, frame.width, frame.height));
}

void StatusScreen::PaintStatusPicture(std::uint8_t* buffer, const CameraPicture& frame, bool newPicture,
                                      const LinkStatus& links, std::uint32_t now, std::uint32_t& overlayUntil)
{
    FillStatusBackground(buffer, frame.width, frame.height, frame.pixelFormat);
    if (!formatText_ || newPicture) {
        WriteSetup(config_, static_cast<int>(frame.width), static_cast<int>(frame.height));
        CreateFormatBitmap(frame.width, frame.height, frame.pixelFormat, FormatTextKind::kStatusScreen, std::nullopt);
        overlayUntil = now + kFormatTextMs;
    }
    PrepareOnBlack(frame.pixelFormat);

    Placement placement(buffer, frame);
    const OverlayImage& spinner = spinner_[spinnerIndex_];
    // Signed: a frame narrower than the spinner puts it partly outside.
    placement.Draw(spinner, spinnerOnBlack_[spinnerIndex_], (std::int64_t{frame.width} - spinner.width) / 2,
                   (std::int64_t{frame.height} - spinner.height) / 2);
    spinnerIndex_ = (spinnerIndex_ + 1) % spinner_.size();
    DrawIcons(placement, links, now);
    if (formatText_ && FormatTextShown(now, overlayUntil))
        placement.Draw(*formatText_, formatTextOnBlack_, std::int64_t{frame.width} - formatText_->width, 0);
}

void StatusScreen::PrepareOnBlack(DriverPixelFormat pixelFormat)
{
    if (pixelFormat != onBlackFormat_) {
        spinnerOnBlack_.clear();
        for (const OverlayImage& frame : spinner_)
            spinnerOnBlack_.emplace_back(frame, pixelFormat);
        usbIconOnBlack_ = OverlayOnBlack(usbIcon_, pixelFormat);
        wifiIconOnBlack_ = OverlayOnBlack(wifiIcon_, pixelFormat);
        crossedUsbIconOnBlack_ = OverlayOnBlack(crossedUsbIcon_, pixelFormat);
        onBlackFormat_ = pixelFormat;
        formatTextOnBlackStale_ = true;
    }
    if (formatTextOnBlackStale_ && formatText_) {
        formatTextOnBlack_ = OverlayOnBlack(*formatText_, pixelFormat);
        formatTextOnBlackStale_ = false;
    }
}

void StatusScreen::DrawIcons(Placement& placement, const LinkStatus& links, std::uint32_t now)
{
    if (!links.network && !links.usbDevice)
        return;
    std::int64_t x = 10;
    if (links.network) {
        placement.Draw(wifiIcon_, wifiIconOnBlack_, 10, kIconTop);
        x = std::int64_t{wifiIcon_.width} + 10;
    }
    if (links.usbDevice) {
        placement.Draw(usbIcon_, usbIconOnBlack_, x, kIconTop);
        if (now - blinkTime_ > kBlinkMs)
            blinkTime_ = now;
    } else if (!links.appleServiceRunning) {
        // Without the service that reaches USB phones, the crossed-out icon
        // alternates with the plain one once a second.
        if (now - blinkTime_ > kBlinkMs) {
            blinkTime_ = now;
            blink_ = !blink_;
        }
        if (blink_)
            placement.Draw(crossedUsbIcon_, crossedUsbIconOnBlack_, x, kIconTop);
        else
            placement.Draw(usbIcon_, usbIconOnBlack_, x, kIconTop);
    }
}

void StatusScreen::CreateFormatBitmap(std::uint32_t width, std::uint32_t height, DriverPixelFormat pixelFormat,
                                      FormatTextKind kind, std::optional<VideoSize> sourceSize)
{
    const std::string text = FormatText(width, height, pixelFormat, kind, sourceSize);
    formatText_.reset();
    spdlog::info("CreateFormatBitmap: '{0}'", text);
    formatText_ = CreateTextImage(text, static_cast<int>(width / 28));
    formatTextOnBlackStale_ = true;
}

void StatusScreen::OverlayFormatText(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                                     DriverPixelFormat pixelFormat, std::uint32_t now, std::uint32_t overlayUntil) const
{
    if (!formatText_ || !FormatTextShown(now, overlayUntil))
        return;
    BlendOverlay(*formatText_, pixelFormat, width, height, FramePlanesOf(buffer, width, height, pixelFormat),
                 static_cast<std::int32_t>(std::int64_t{width} - formatText_->width), 0);
}

} // namespace talvik
