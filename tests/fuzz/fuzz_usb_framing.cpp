// Fuzzes the USB transport's framing: iOSUSBConnection::ReadPacket reads a
// phone's byte stream through a fake usbmuxd whose receives hand it out in
// random pieces, and must return exactly the packets a plain reading of the
// frames gives (magic DE C0 AD DE, big-endian body length of at most
// 4,194,304), in order, then fail where the frames turn invalid or the
// stream ends. Sanitizers catch any access outside the receive buffer.
//
// Input:
//   byte 0       bits 0-3: receives of at most 2^n bytes
//   bytes 1-4    seed of the piece sizes
//   the rest     the stream
#include "session/ios_usb_connection.h"
#include "session/usb_device_listing.h"

#include "base/byte_order.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace talvik;

namespace {

constexpr std::uint32_t kMagic = 0xDEADC0DE;

// The phone behind the fake usbmuxd: one stream, given out in pieces.
struct Phone {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    std::uint32_t maxPiece = 1;
    std::minstd_rand pieces;
} phone;

int Receive(int, char* buffer, std::uint32_t length, std::uint32_t* received, unsigned)
{
    *received = 0;
    if (phone.at == phone.size)
        return iOSUSBConnection::kReceiveTimedOut;
    const std::size_t piece = std::min<std::size_t>({length, phone.size - phone.at, 1 + phone.pieces() % phone.maxPiece});
    std::memcpy(buffer, phone.data + phone.at, piece);
    phone.at += piece;
    *received = static_cast<std::uint32_t>(piece);
    return 0;
}

int ListOnePhone(UsbmuxdDeviceInfo** list)
{
    *list = new UsbmuxdDeviceInfo[1]{};
    (*list)[0].handle = 1;
    (*list)[0].product_id = 0x12a8;
    return 1;
}

int FreeList(UsbmuxdDeviceInfo** list)
{
    delete[] *list;
    *list = nullptr;
    return 0;
}

const UsbmuxdBinding kFakeUsbmuxd = {
    [](UsbmuxdEventCallback, void*) { return 0; },
    [] { return 0; },
    ListOnePhone,
    FreeList,
    [](std::uint32_t, unsigned short) { return 7; },
    [](int) { return 0; },
    [](int, const char*, std::uint32_t, std::uint32_t*) { return -1; },
    Receive,
    [](int) {},
};

// The packets a plain reading of the frames gives, up to the first invalid
// or incomplete frame.
std::vector<std::string> ExpectedPackets(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> packets;
    std::size_t at = 0;
    while (size - at >= 8 && LoadU32Le(data + at) == kMagic) {
        const std::uint32_t length = LoadU32Be(data + at + 4);
        if (length > iOSUSBConnection::kMaxBodyLength || size - at - 8 < length)
            break;
        packets.emplace_back(reinterpret_cast<const char*>(data + at + 8), length);
        at += 8 + length;
    }
    return packets;
}

UsbDeviceListing* listing;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Log lines are formatted but go nowhere.
    auto logger = std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    listing = new UsbDeviceListing(kFakeUsbmuxd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    phone.maxPiece = 1u << (data[0] & 15);
    phone.pieces.seed(data[1] | data[2] << 8 | data[3] << 16 | static_cast<std::uint32_t>(data[4]) << 24);
    phone.data = data + 5;
    phone.size = size - 5;
    phone.at = 0;

    const std::vector<std::string> expected = ExpectedPackets(phone.data, phone.size);
    std::vector<std::string> packets;
    iOSUSBConnection usb(kFakeUsbmuxd, *listing);
    // The first call lists (the clock is past the listing interval) and
    // connects; every call after the stream ends fails.
    for (;;) {
        std::uint32_t length = 0;
        bool failed = false;
        const std::uint8_t* body = usb.ReadPacket(2000, length, failed);
        if (failed)
            break;
        if (!body) {
            // Not connected yet: the listing has not come back in time.
            continue;
        }
        packets.emplace_back(reinterpret_cast<const char*>(body), length);
        if (packets.size() > expected.size())
            break;
    }
    if (packets != expected) {
        std::fprintf(stderr, "%zu packets read, %zu framed\n", packets.size(), expected.size());
        std::abort();
    }
    return 0;
}
