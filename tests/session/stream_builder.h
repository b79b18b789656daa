// Builds wire-protocol messages from the phone's side, for the parser's
// tests, fuzzer and benchmark.
#pragma once

#include "session/messages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvik::test {

using Bytes = std::vector<uint8_t>;

// Little-endian field writer.
class PayloadWriter {
public:
    PayloadWriter& U8(uint8_t value);
    PayloadWriter& U16(uint16_t value);
    PayloadWriter& U32(uint32_t value);
    PayloadWriter& F32(float value);
    PayloadWriter& Append(const Bytes& bytes);
    PayloadWriter& Append(const std::string& text);
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

// Header (with `magic`, `type` and the payload's size) followed by `payload`.
Bytes Message(uint32_t type, const Bytes& payload, uint32_t magic = kMessageMagic);
// A header alone, announcing `payloadSize` bytes.
Bytes Header(uint32_t type, uint32_t payloadSize, uint32_t magic = kMessageMagic);

Bytes VideoMessage(uint32_t flags, const Bytes& data);
// The sample-bytes field is the samples' size unless given.
Bytes AudioMessage(const Bytes& samples, std::optional<uint32_t> sampleBytes = std::nullopt);
Bytes HelperTextMessage(const std::string& text);
Bytes DepthMessage(uint32_t flags, uint16_t depthWidth, uint16_t depthHeight, const Bytes& video, const Bytes& depth);

struct WireFormat {
    uint32_t width;
    uint32_t height;
    uint32_t codec;
    float fps;
};

struct AnnouncementFields {
    uint32_t clientType = 201;
    uint8_t capabilities = 0;
    std::vector<WireFormat> formats;       // at most 35
    std::optional<uint32_t> formatCount;   // the number of formats unless given
    std::vector<uint8_t> optionKinds;      // at most 5
    std::optional<uint8_t> optionCount;    // the number of kinds unless given
};

Bytes AnnouncementPayload(const AnnouncementFields& content);
Bytes AnnouncementMessage(const AnnouncementFields& content);

// Concatenation.
Bytes Join(const std::vector<Bytes>& parts);

} // namespace talvik::test
