// A scripted libusbmuxd: the device list, connection results, the bytes the
// phone sends and what the service wrote, all in the test's hands. Its
// binding's plain function pointers reach the one live script, so only one
// may exist at a time (tests are single-threaded here).
#pragma once

#include "session/usbmuxd_binding.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace talvik::test {

struct ScriptedUsbmuxd {
    // What usbmuxd_recv_timeout returns when nothing is queued.
    static constexpr int kTimedOut = -110;

    ScriptedUsbmuxd();
    ~ScriptedUsbmuxd();
    ScriptedUsbmuxd(const ScriptedUsbmuxd&) = delete;
    ScriptedUsbmuxd& operator=(const ScriptedUsbmuxd&) = delete;

    // The library calls, answering from the live script.
    static const UsbmuxdBinding& Binding();

    std::vector<UsbmuxdDeviceInfo> devices;
    int listError = 0; // returned instead of the list when negative
    int listCalls = 0;
    std::map<std::uint32_t, int> connectResults; // by handle; 7 when absent
    std::vector<std::uint32_t> connectHandles;
    std::vector<unsigned> connectPorts;

    // Each receive takes from the front chunk. With nothing queued it calls
    // `whenEmpty` (standing in for the time a real receive waits) and times
    // out unless that queued more.
    std::deque<std::string> incoming;
    std::function<void()> whenEmpty;
    std::vector<std::uint32_t> asked;
    std::vector<unsigned> timeouts;

    std::string wire; // everything sent, in order
    int sendCalls = 0;
    std::vector<int> sendResults; // per call, 0 when exhausted
    std::map<int, std::uint32_t> sendLimits; // call index -> bytes accepted

    UsbmuxdEventCallback callback = nullptr;
    void* userData = nullptr;
    int subscribes = 0;
    int unsubscribes = 0;
    int debugLevel = -1;
    std::vector<int> disconnected;
    int disconnectResult = 0;
};

// A listing entry; the UDID is copied up to the field's size.
UsbmuxdDeviceInfo ScriptedDevice(std::uint32_t handle, std::uint32_t productId,
                                 const char* udid = "0123456789abcdef0123456789abcdef01234567");

// The 8 bytes in front of a USB frame's body: magic DE C0 AD DE, then the
// body length big-endian.
std::string UsbFrameHeader(std::uint32_t bodyLength);

} // namespace talvik::test
