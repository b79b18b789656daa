#include "session/announcement.h"

#include "base/byte_order.h"

namespace talvik {

namespace {

constexpr std::size_t kCapabilityOffset = 8;
constexpr std::size_t kOptionCountOffset = 11;
constexpr std::size_t kFormatCountOffset = 12;
constexpr std::size_t kFormatsOffset = 16;
constexpr std::size_t kFormatSize = 8;
constexpr std::size_t kOptionsOffset = kFormatsOffset + kMaxAnnouncedFormats * kFormatSize;
constexpr std::size_t kOptionSize = 8;
static_assert(kOptionsOffset + kMaxAnnouncedOptions * kOptionSize == kAnnouncementPayloadSize);

constexpr uint8_t kDynamicFormatChange = 0x10;

uint32_t TruncateFps(float fps)
{
    // Converting a float outside the target's range is undefined, and the
    // phone's bytes may hold anything.
    if (!(fps >= 0.0f))
        return 0;
    if (fps >= 4294967296.0f)
        return UINT32_MAX;
    return static_cast<uint32_t>(fps);
}

} // namespace

ClientClass ClassifyClient(uint32_t clientType)
{
    if ((clientType >= 1 && clientType <= 4) || (clientType >= 201 && clientType <= 799 && clientType != 300))
        return ClientClass::kCamera;
    if (clientType >= 1000 && clientType <= 1599)
        return ClientClass::kBarcodeReader;
    return ClientClass::kUnknown;
}

uint32_t Announcement::clientType() const
{
    return LoadU32Le(payload_);
}

bool Announcement::SupportsDynamicFormatChange() const
{
    return (payload_[kCapabilityOffset] & kDynamicFormatChange) != 0;
}

uint32_t Announcement::FormatCount() const
{
    const uint32_t count = LoadU32Le(payload_ + kFormatCountOffset);
    return count < kMaxAnnouncedFormats ? count : kMaxAnnouncedFormats;
}

uint32_t Announcement::OptionCount() const
{
    const uint32_t count = payload_[kOptionCountOffset];
    return count < kMaxAnnouncedOptions ? count : kMaxAnnouncedOptions;
}

ClientFormat Announcement::Format(uint32_t index) const
{
    const uint32_t packed = LoadU32Le(payload_ + kFormatsOffset + index * kFormatSize);
    return {packed & 0xFFF, (packed >> 12) & 0xFFF, TruncateFps(FormatFps(index)), packed >> 24};
}

float Announcement::FormatFps(uint32_t index) const
{
    return LoadF32Le(payload_ + kFormatsOffset + index * kFormatSize + 4);
}

uint8_t Announcement::OptionKind(uint32_t index) const
{
    return payload_[kOptionsOffset + index * kOptionSize];
}

} // namespace talvik
