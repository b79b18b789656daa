// A scripted libusbmuxd: the device list, connection results, the bytes the
// phone sends and what the service wrote, all in the test's hands. Its
// binding's plain function pointers reach the one live script, so only one
// may exist at a time.
//
// Two threads use it: the listing runs on a thread of its own, the other
// calls on the test's (or the loop's) thread. Every call takes `lock`; the
// test takes it too (Lock()) to change or read the script while a listing
// may run. The hooks run under it.
#pragma once

#include "session/ios_usb_connection.h"
#include "session/usbmuxd_binding.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace talvik::test {

struct ScriptedUsbmuxd {
    // What usbmuxd_recv_timeout returns when nothing is queued.
    static constexpr int kTimedOut = talvik::iOSUSBConnection::kReceiveTimedOut;

    ScriptedUsbmuxd();
    ~ScriptedUsbmuxd();
    ScriptedUsbmuxd(const ScriptedUsbmuxd&) = delete;
    ScriptedUsbmuxd& operator=(const ScriptedUsbmuxd&) = delete;

    // The library calls, answering from the live script.
    static const UsbmuxdBinding& Binding();

    std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock<std::recursive_mutex>(lock); }
    // Recursive: a hook may call back into the binding.
    std::recursive_mutex lock;

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
