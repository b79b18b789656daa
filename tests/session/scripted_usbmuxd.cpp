#include "tests/session/scripted_usbmuxd.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace talvik::test {

namespace {

// Set before the threads that use it start, cleared after they end.
ScriptedUsbmuxd* live = nullptr;

std::unique_lock<std::recursive_mutex> Locked()
{
    return live->Lock();
}

int Subscribe(UsbmuxdEventCallback callback, void* userData)
{
    const auto guard = Locked();
    ++live->subscribes;
    live->callback = callback;
    live->userData = userData;
    return 0;
}

int Unsubscribe()
{
    const auto guard = Locked();
    ++live->unsubscribes;
    return 0;
}

int GetDeviceList(UsbmuxdDeviceInfo** list)
{
    const auto guard = Locked();
    ++live->listCalls;
    if (live->listError < 0)
        return live->listError;
    *list = new UsbmuxdDeviceInfo[live->devices.size() + 1]{};
    std::copy(live->devices.begin(), live->devices.end(), *list);
    return static_cast<int>(live->devices.size());
}

int FreeDeviceList(UsbmuxdDeviceInfo** list)
{
    delete[] *list;
    *list = nullptr;
    return 0;
}

int Connect(std::uint32_t handle, unsigned short port)
{
    const auto guard = Locked();
    live->connectHandles.push_back(handle);
    live->connectPorts.push_back(port);
    auto it = live->connectResults.find(handle);
    return it == live->connectResults.end() ? 7 : it->second;
}

int Disconnect(int connection)
{
    const auto guard = Locked();
    live->disconnected.push_back(connection);
    return live->disconnectResult;
}

int Send(int, const char* data, std::uint32_t length, std::uint32_t* sent)
{
    const auto guard = Locked();
    const int call = live->sendCalls++;
    const int result = call < int(live->sendResults.size()) ? live->sendResults[call] : 0;
    if (result != 0)
        return result;
    auto limit = live->sendLimits.find(call);
    *sent = limit == live->sendLimits.end() ? length : std::min(length, limit->second);
    live->wire.append(data, *sent);
    return 0;
}

int ReceiveWithTimeout(int, char* data, std::uint32_t length, std::uint32_t* received, unsigned timeout)
{
    const auto guard = Locked();
    live->asked.push_back(length);
    live->timeouts.push_back(timeout);
    *received = 0;
    if (length == 0)
        return -22; // what a 0-byte receive must never come to
    if (live->incoming.empty() && live->whenEmpty) {
        // A copy, so that the hook may replace itself.
        const std::function<void()> hook = live->whenEmpty;
        hook();
    }
    if (live->incoming.empty())
        return ScriptedUsbmuxd::kTimedOut;
    std::string& chunk = live->incoming.front();
    const std::uint32_t n = std::min<std::uint32_t>(length, std::uint32_t(chunk.size()));
    std::memcpy(data, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty())
        live->incoming.pop_front();
    *received = n;
    return 0;
}

void SetDebugLevel(int level)
{
    const auto guard = Locked();
    live->debugLevel = level;
}

const UsbmuxdBinding kBinding = {Subscribe, Unsubscribe, GetDeviceList,      FreeDeviceList,
                                 Connect,   Disconnect,  Send,               ReceiveWithTimeout,
                                 SetDebugLevel};

} // namespace

ScriptedUsbmuxd::ScriptedUsbmuxd()
{
    assert(!live && "one scripted usbmuxd at a time");
    live = this;
}

ScriptedUsbmuxd::~ScriptedUsbmuxd()
{
    live = nullptr;
}

const UsbmuxdBinding& ScriptedUsbmuxd::Binding()
{
    return kBinding;
}

UsbmuxdDeviceInfo ScriptedDevice(std::uint32_t handle, std::uint32_t productId, const char* udid)
{
    UsbmuxdDeviceInfo device{};
    device.handle = handle;
    device.product_id = productId;
    // Fills the whole field: a UDID of its full length has no terminator.
    std::memcpy(device.udid, udid, std::min(std::strlen(udid), sizeof device.udid));
    return device;
}

std::string UsbFrameHeader(std::uint32_t bodyLength)
{
    return std::string("\xDE\xC0\xAD\xDE", 4) + char(bodyLength >> 24) + char(bodyLength >> 16) +
           char(bodyLength >> 8) + char(bodyLength);
}

} // namespace talvik::test
