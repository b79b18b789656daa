// A test double of "libusbmuxd-2.0.dll", never installed: it exports exactly
// the entry points the Windows USB binding resolves and speaks usbmuxd's
// client protocol over TCP, to 127.0.0.1:27015 or to the host:port in
// USBMUXD_SOCKET_ADDRESS, so that the Windows USB transport runs under Wine
// against the native phone simulator's usbmuxd.
//
// Each message is a 16-byte little-endian header (total length, version 1,
// message 8 = XML plist, tag) and an XML property list. Requests are
// written as plain XML; replies are read by key, which is enough for the
// simulator's answers (a real usbmuxd is never behind this library).
// Results follow the library's conventions: usbmuxd_connect gives the
// tunnel's socket, failures are negative, a receive that times out gives
// -ETIMEDOUT.
#include "base/byte_order.h"
#include "session/usbmuxd_binding.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define TEST_DOUBLE_EXPORT extern "C" __declspec(dllexport)

using talvik::UsbmuxdDeviceInfo;
using talvik::UsbmuxdEvent;
using talvik::UsbmuxdEventCallback;

namespace {

constexpr std::uint32_t kHeaderSize = 16;

bool StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// A new connection to the daemon, or INVALID_SOCKET.
SOCKET ConnectDaemon()
{
    if (!StartWinsock())
        return INVALID_SOCKET;
    std::string host = "127.0.0.1", port = "27015";
    if (const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS")) {
        const std::string text = address;
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.rfind("UNIX:", 0) == 0)
            return INVALID_SOCKET;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
        return INVALID_SOCKET;
    SOCKET s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (s != INVALID_SOCKET && connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    freeaddrinfo(found);
    return s;
}

bool SendAll(SOCKET s, const char* data, std::size_t length)
{
    while (length > 0) {
        const int n = send(s, data, static_cast<int>(length), 0);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(SOCKET s, char* data, std::size_t length)
{
    while (length > 0) {
        const int n = recv(s, data, static_cast<int>(length), 0);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// A request: a dictionary of MessageType and the given integer items.
bool SendRequest(SOCKET s, std::uint32_t tag, const char* type, const std::vector<std::pair<const char*, unsigned>>& items = {})
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>MessageType</key><string>";
    xml += type;
    xml += "</string>";
    for (const auto& [key, value] : items)
        xml += std::string("<key>") + key + "</key><integer>" + std::to_string(value) + "</integer>";
    xml += "</dict></plist>\n";
    std::uint8_t header[kHeaderSize];
    talvik::StoreU32Le(header, static_cast<std::uint32_t>(kHeaderSize + xml.size()));
    talvik::StoreU32Le(header + 4, 1);
    talvik::StoreU32Le(header + 8, 8);
    talvik::StoreU32Le(header + 12, tag);
    return SendAll(s, reinterpret_cast<const char*>(header), sizeof header) && SendAll(s, xml.data(), xml.size());
}

// The body of the next message.
bool ReceiveMessage(SOCKET s, std::string& body)
{
    std::uint8_t header[kHeaderSize];
    if (!ReceiveAll(s, reinterpret_cast<char*>(header), sizeof header))
        return false;
    const std::uint32_t length = talvik::LoadU32Le(header);
    if (length < kHeaderSize || length > (1u << 20))
        return false;
    body.resize(length - kHeaderSize);
    return ReceiveAll(s, body.data(), body.size());
}

// The text of the first <integer> or <string> element after `key` at or
// after `from`, or nothing.
bool ValueAfter(const std::string& xml, const char* key, std::size_t from, std::string& value)
{
    const std::size_t at = xml.find(std::string("<key>") + key + "</key>", from);
    if (at == std::string::npos)
        return false;
    const std::size_t open = xml.find('<', at + std::strlen(key) + 11);
    const std::size_t start = xml.find('>', open);
    const std::size_t end = xml.find('<', start);
    if (open == std::string::npos || start == std::string::npos || end == std::string::npos)
        return false;
    value = xml.substr(start + 1, end - start - 1);
    return true;
}

unsigned NumberAfter(const std::string& xml, const char* key, std::size_t from = 0)
{
    std::string value;
    return ValueAfter(xml, key, from, value) ? static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10)) : 0;
}

// The device whose properties start at `properties` (a "Properties" key).
UsbmuxdDeviceInfo DeviceAt(const std::string& xml, std::size_t properties)
{
    UsbmuxdDeviceInfo device{};
    device.handle = NumberAfter(xml, "DeviceID", properties);
    device.product_id = NumberAfter(xml, "ProductID", properties);
    std::string udid;
    ValueAfter(xml, "SerialNumber", properties, udid);
    std::strncpy(device.udid, udid.c_str(), sizeof device.udid - 1);
    return device;
}

// The "Result" of a request made on its own connection.
bool Ask(SOCKET s, const char* type, const std::vector<std::pair<const char*, unsigned>>& items, std::string& reply)
{
    return SendRequest(s, 1, type, items) && ReceiveMessage(s, reply);
}

struct Subscription {
    std::mutex lock;
    std::thread thread;
    std::atomic<bool> stopping{false};
    SOCKET socket = INVALID_SOCKET;
} subscription;

// Listens for device events until unsubscribed; connects again while the
// daemon cannot be reached, as the library does.
void Watch(UsbmuxdEventCallback callback, void* userData)
{
    while (!subscription.stopping.load()) {
        SOCKET s = ConnectDaemon();
        {
            std::lock_guard<std::mutex> guard(subscription.lock);
            subscription.socket = s;
        }
        std::string body;
        if (s != INVALID_SOCKET && Ask(s, "Listen", {}, body) && NumberAfter(body, "Number") == 0) {
            while (!subscription.stopping.load() && ReceiveMessage(s, body)) {
                std::string type;
                ValueAfter(body, "MessageType", 0, type);
                UsbmuxdEvent event{};
                if (type == "Attached") {
                    event.event = 1;
                    event.device = DeviceAt(body, body.find("<key>Properties</key>"));
                } else if (type == "Detached") {
                    event.event = 2;
                    event.device.handle = NumberAfter(body, "DeviceID");
                } else {
                    continue;
                }
                callback(&event, userData);
            }
        }
        {
            std::lock_guard<std::mutex> guard(subscription.lock);
            if (subscription.socket != INVALID_SOCKET)
                closesocket(subscription.socket);
            subscription.socket = INVALID_SOCKET;
        }
        for (int i = 0; i < 10 && !subscription.stopping.load(); ++i)
            Sleep(50);
    }
}

} // namespace

TEST_DOUBLE_EXPORT int usbmuxd_subscribe(UsbmuxdEventCallback callback, void* userData)
{
    if (subscription.thread.joinable())
        return -EBUSY;
    subscription.stopping.store(false);
    subscription.thread = std::thread(Watch, callback, userData);
    return 0;
}

TEST_DOUBLE_EXPORT int usbmuxd_unsubscribe()
{
    subscription.stopping.store(true);
    {
        // Ends a receive in progress.
        std::lock_guard<std::mutex> guard(subscription.lock);
        if (subscription.socket != INVALID_SOCKET)
            shutdown(subscription.socket, SD_BOTH);
    }
    if (subscription.thread.joinable())
        subscription.thread.join();
    return 0;
}

TEST_DOUBLE_EXPORT int usbmuxd_get_device_list(UsbmuxdDeviceInfo** list)
{
    *list = nullptr;
    const SOCKET s = ConnectDaemon();
    if (s == INVALID_SOCKET)
        return -ECONNREFUSED;
    std::string reply;
    const bool answered = Ask(s, "ListDevices", {}, reply);
    closesocket(s);
    if (!answered)
        return -ECONNRESET;
    std::vector<UsbmuxdDeviceInfo> devices;
    for (std::size_t at = reply.find("<key>Properties</key>"); at != std::string::npos;
         at = reply.find("<key>Properties</key>", at + 1))
        devices.push_back(DeviceAt(reply, at));
    *list = new UsbmuxdDeviceInfo[devices.size() + 1]{};
    std::copy(devices.begin(), devices.end(), *list);
    return static_cast<int>(devices.size());
}

TEST_DOUBLE_EXPORT int usbmuxd_device_list_free(UsbmuxdDeviceInfo** list)
{
    delete[] *list;
    *list = nullptr;
    return 0;
}

TEST_DOUBLE_EXPORT int usbmuxd_connect(std::uint32_t handle, unsigned short port)
{
    const SOCKET s = ConnectDaemon();
    if (s == INVALID_SOCKET)
        return -ECONNREFUSED;
    std::string reply;
        // The port travels in network byte order inside the integer.
    std::uint8_t networkOrder[2];
    talvik::StoreU16Be(networkOrder, port);
    const unsigned networkPort = talvik::LoadU16Le(networkOrder);
    if (!Ask(s, "Connect", {{"DeviceID", handle}, {"PortNumber", networkPort}}, reply) ||
        NumberAfter(reply, "Number") != 0) {
        closesocket(s);
        return -ECONNREFUSED;
    }
    return static_cast<int>(s);
}

TEST_DOUBLE_EXPORT int usbmuxd_disconnect(int connection)
{
    return closesocket(static_cast<SOCKET>(connection)) == 0 ? 0 : -EINVAL;
}

TEST_DOUBLE_EXPORT int usbmuxd_send(int connection, const char* data, std::uint32_t length, std::uint32_t* sent)
{
    *sent = 0;
    while (*sent < length) {
        const int n = send(static_cast<SOCKET>(connection), data + *sent, static_cast<int>(length - *sent), 0);
        if (n <= 0)
            return -ECONNRESET;
        *sent += static_cast<std::uint32_t>(n);
    }
    return 0;
}

TEST_DOUBLE_EXPORT int usbmuxd_recv_timeout(int connection, char* data, std::uint32_t length,
                                            std::uint32_t* received, unsigned int timeoutMs)
{
    *received = 0;
    const SOCKET s = static_cast<SOCKET>(connection);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval timeout{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000 * 1000)};
    const int ready = select(0, &readable, nullptr, nullptr, &timeout);
    if (ready == 0)
        return -ETIMEDOUT;
    if (ready < 0)
        return -EBADF;
    const int n = recv(s, data, static_cast<int>(length), 0);
    if (n <= 0)
        return -ECONNRESET;
    *received = static_cast<std::uint32_t>(n);
    return 0;
}

TEST_DOUBLE_EXPORT void libusbmuxd_set_debug_level(int)
{
}
