#include "tools/phonesim/phone_config.h"

namespace talvik::phonesim {

namespace {

// Faults that send SIZE bytes, not just announce them, are kept to a size
// the simulator can build in memory.
constexpr std::uint64_t kMaxSent = 64 << 20;
constexpr std::uint64_t kMaxAnnounced = 0xFFFFFFFF;

constexpr FaultInfo kFaults[] = {
    {Fault::kBadMagic, "bad-magic",
     "after N frames, a header whose magic is in big-endian order (DE AD C0 DE); then only keep-alives", true, false,
     0, 0},
    {Fault::kOversizedPayload, "oversized-payload",
     "after N frames, a MESSAGE_VIDEODATA header announcing SIZE payload bytes (default 4294967295); then only "
     "keep-alives",
     true, false, 4294967295u, kMaxAnnounced},
    {Fault::kTruncated, "truncated", "after N frames, half of the next video message, then the phone closes", true,
     false, 0, 0},
    {Fault::kSilence, "silence", "after N frames, the phone sends nothing more but keeps the connection", true, false,
     0, 0},
    {Fault::kUnknownClient, "unknown-client", "announces client type 800, which no app uses", false, false, 0, 0},
    {Fault::kBarcodeClient, "barcode-client", "announces client type 1000, the barcode reader; it sends no video",
     false, false, 0, 0},
    {Fault::kByteAtATime, "byte-at-a-time", "writes the whole stream one byte at a time (one byte per USB frame)",
     false, false, 0, 0},
    {Fault::kRandomBytes, "random-bytes", "sends SIZE random bytes (default 4096) instead of the announcement",
     false, false, 4096, kMaxSent},
    {Fault::kUsbOversizedFrame, "usb-oversized-frame",
     "after N frames, a USB frame header announcing SIZE body bytes (default 4194305); then only keep-alives", true,
     true, 4194305, kMaxAnnounced},
    {Fault::kUsbEmptyFrame, "usb-empty-frame", "after N frames, a USB frame with an empty body; streaming goes on",
     true, true, 0, 0},
    {Fault::kUsbFlapping, "usb-flapping", "the devices detach and attach again every --flap-ms", false, true, 0, 0},
    {Fault::kSecondAnnouncement, "second-announcement",
     "after N frames, a second announcement offering only 320x240; streaming goes on", true, false, 0, 0},
    {Fault::kLongHelperText, "long-helper-text",
     "after N frames, a MESSAGE_HELPERTEXT of SIZE bytes (default 300); streaming goes on", true, false, 300,
     kMaxSent},
};

constexpr FaultInfo kNoFault{Fault::kNone, "none", "", false, false, 0, 0};

} // namespace

std::span<const FaultInfo> AllFaults()
{
    return kFaults;
}

const FaultInfo& DescribeFault(Fault fault)
{
    for (const FaultInfo& info : kFaults)
        if (info.fault == fault)
            return info;
    return kNoFault;
}

bool IsBarcodeClient(std::uint32_t clientType)
{
    return clientType >= 1000 && clientType <= 1599;
}

} // namespace talvik::phonesim
