// The daemon side of usbmuxd's client protocol, as far as the service's
// USB library uses it. Every message, both ways, is a 16-byte little-endian
// header followed by an XML property list:
//
//      0          4          8          12         16
//      +----------+----------+----------+----------+----------------------
//      | length   | version  | message  |   tag    | XML plist (a dict with
//      | incl. hdr|    1     |    8     |          | "MessageType", ...)
//      +----------+----------+----------+----------+----------------------
//
// Replies echo the tag of the request they answer; events carry tag 0.
// Requests handled: "ListDevices", "Listen" (then "Attached" and "Detached"
// events), "Connect" (its "PortNumber" arrives in network byte order,
// i.e. byte-swapped when read as a number). Answers: "Result" with a
// "Number", or the "DeviceList".
#pragma once

#include "tools/phonesim/wire_writer.h"

#include <optional>
#include <string>

namespace talvik::phonesim {

inline constexpr std::size_t kUsbmuxHeaderSize = 16;
inline constexpr std::uint32_t kUsbmuxVersion = 1;
inline constexpr std::uint32_t kUsbmuxPlistMessage = 8;

enum UsbmuxResult : std::uint32_t {
    kResultOk = 0,
    kResultBadCommand = 1,
    kResultBadDevice = 2,
    kResultConnectionRefused = 3,
};

struct UsbmuxHeader {
    std::uint32_t length = 0;
    std::uint32_t version = 0;
    std::uint32_t message = 0;
    std::uint32_t tag = 0;
};

// Nothing until `bytes` holds a whole header.
std::optional<UsbmuxHeader> ParseUsbmuxHeader(std::span<const std::uint8_t> bytes);

struct UsbmuxRequest {
    std::string messageType;
    std::uint32_t deviceId = 0;
    std::uint16_t port = 0;  // host byte order
};

// The request in a plist body; nothing when the body is not a dictionary
// with a "MessageType" string.
std::optional<UsbmuxRequest> ParseUsbmuxRequest(std::span<const std::uint8_t> body);

// One attached device as usbmuxd describes it.
struct UsbDeviceRecord {
    std::uint32_t handle = 0;  // "DeviceID"
    std::uint16_t productId = 0;
    std::string udid;          // "SerialNumber"
    std::uint32_t location = 0;
};

Bytes WriteUsbmuxResult(std::uint32_t tag, std::uint32_t number);
Bytes WriteUsbmuxDeviceList(std::uint32_t tag, std::span<const UsbDeviceRecord> devices);
Bytes WriteUsbmuxAttached(const UsbDeviceRecord& device);
Bytes WriteUsbmuxDetached(std::uint32_t handle);

} // namespace talvik::phonesim
