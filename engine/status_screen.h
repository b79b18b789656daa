// StatusScreen: the pictures the camera shows while no phone streams (a
// black frame, a turning spinner in the middle, WiFi and USB icons in the
// top-left corner), and the format text drawn for two seconds in the
// top-right corner of status frames and of video frames alike.
//
// The engine owns one StatusScreen, made once COM is initialised on its
// thread and the codec libraries are bound (without them the images draw
// nothing in NV12 and YUY2). The spinner index and the blink flag live as
// long as this object, which the engine keeps for the process's life.
//
// Threads: PaintStatusFrame runs on the service worker only. The format
// text is replaced and drawn by whichever thread hands a picture to the
// camera; callers serialise those calls (the engine's picture lock).
#pragma once

#include "base/config_store.h"
#include "engine/overlay_image.h"
#include "engine/overlay_on_black.h"
#include "engine/status_screen_text.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace talvik {

class PhoneSession;
class VideoDriver;

// The camera picture the engine last saw; PaintStatusFrame updates it.
struct CameraPicture {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    DriverPixelFormat pixelFormat = kPixelArgb32;
};

// What the icons show.
struct LinkStatus {
    bool network = false;          // the session's networkAvailable()
    bool usbDevice = false;        // a USB transport whose device list has a valid device
    bool appleServiceRunning = false; // when the engine was built
};

class StatusScreen {
public:
    static constexpr std::uint32_t kFormatTextMs = 2000;
    static constexpr std::int32_t kIconTop = 10;

    // Loads the spinner frames and the icons.
    explicit StatusScreen(ConfigStore& config);

    // One status frame: a buffer from the camera client (none: nothing
    // happens), painted and committed. A picture whose size or pixel format
    // differs from `picture` is new: `picture` takes it, "Setup" is written
    // and the format text made afresh, shown until now + 2000 ms
    // (`overlayUntil`). The same happens while no format text exists.
    void PaintStatusFrame(VideoDriver& camera, const PhoneSession& session, bool appleServiceRunning,
                          std::uint32_t now, CameraPicture& picture, std::uint32_t& overlayUntil);

    // The painting of PaintStatusFrame into a given buffer, without the
    // camera client: background, spinner (one step on), icons, format text.
    void PaintStatusPicture(std::uint8_t* buffer, const CameraPicture& frame, bool newPicture,
                            const LinkStatus& links, std::uint32_t now, std::uint32_t& overlayUntil);

    // Replaces the format text (logs "CreateFormatBitmap: '{0}'"), drawn in
    // font height width / 28.
    void CreateFormatBitmap(std::uint32_t width, std::uint32_t height, DriverPixelFormat pixelFormat,
                            FormatTextKind kind, std::optional<VideoSize> sourceSize);

    // Draws the format text at the top-right corner while now < overlayUntil.
    void OverlayFormatText(std::uint8_t* buffer, std::uint32_t width, std::uint32_t height,
                           DriverPixelFormat pixelFormat, std::uint32_t now, std::uint32_t overlayUntil) const;

    bool hasFormatText() const { return formatText_.has_value(); }

private:
    class Placement;

    void DrawIcons(Placement& placement, const LinkStatus& links, std::uint32_t now);
    // Blends every image onto black in `pixelFormat` when the last status
    // frame had another format, and the format text when it was replaced.
    void PrepareOnBlack(DriverPixelFormat pixelFormat);

    ConfigStore& config_;
    std::vector<OverlayImage> spinner_;
    OverlayImage usbIcon_;
    OverlayImage wifiIcon_;
    OverlayImage crossedUsbIcon_;
    std::optional<OverlayImage> formatText_;
    // The images blended onto black in onBlackFormat_, index for index.
    std::optional<DriverPixelFormat> onBlackFormat_;
    std::vector<OverlayOnBlack> spinnerOnBlack_;
    OverlayOnBlack usbIconOnBlack_;
    OverlayOnBlack wifiIconOnBlack_;
    OverlayOnBlack crossedUsbIconOnBlack_;
    OverlayOnBlack formatTextOnBlack_;
    bool formatTextOnBlackStale_ = true;
    std::size_t spinnerIndex_ = 0;
    bool blink_ = true;
    std::uint32_t blinkTime_ = 0;
};

} // namespace talvik
