// How the simulated phone behaves on every connection: what it announces,
// what it streams and which fault it injects.
#pragma once

#include "tools/phonesim/wire_writer.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace talvik::phonesim {

// The form of the video messages: H.264 in MESSAGE_VIDEODATA, H.264 with a
// depth map in MESSAGE_VIDEODATA_WITH_DEPTH, or raw NV12 pictures. A
// requested entry with the NV12 codec is always streamed raw.
enum class VideoForm { kH264, kDepth, kNv12 };

enum class Fault {
    kNone,
    kBadMagic,
    kOversizedPayload,
    kTruncated,
    kSilence,
    kUnknownClient,
    kBarcodeClient,
    kByteAtATime,
    kRandomBytes,
    kUsbOversizedFrame,
    kUsbEmptyFrame,
    kUsbFlapping,
    kSecondAnnouncement,
    kLongHelperText,
};

struct FaultInfo {
    Fault fault;
    std::string_view name;
    std::string_view help;
    bool afterFrames;           // injected once --fault-after frames were sent
    bool usbOnly;
    std::uint64_t defaultSize;  // for --fault-size; 0 when the fault has no size
    std::uint64_t maxSize;      // the largest --fault-size
};

// Every fault the simulator can inject, in the order --help lists them.
std::span<const FaultInfo> AllFaults();
const FaultInfo& DescribeFault(Fault fault);

// Client types of the barcode-reader app, which sends no video.
bool IsBarcodeClient(std::uint32_t clientType);

struct PhoneConfig {
    Announcement announcement;
    VideoForm video = VideoForm::kH264;
    std::uint16_t depthWidth = 160;
    std::uint16_t depthHeight = 120;
    std::uint32_t orientationFlags = 0;  // kFlagUpsideDown, kFlagMirrored
    double toneHz = 440;                 // 0: no audio
    std::optional<std::string> helperText;
    std::uint32_t framesPerSession = 0;  // 0: no bound
    // Video frames back to back, as fast as the connection takes them,
    // instead of at the entry's frame rate; for throughput measurements.
    bool unpaced = false;
    Fault fault = Fault::kNone;
    std::uint32_t faultAfter = 30;
    std::uint64_t faultSize = 0;  // 0: the fault's default size
    std::uint32_t seed = 1;
};

} // namespace talvik::phonesim
